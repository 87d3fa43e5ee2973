// Every kernel path (AVX2, SSE2, scalar: whichever this CPU runs) against an
// independent one-element-at-a-time implementation of the eight-lane order,
// compared bit for bit.
#include "core/vector_kernels.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace thalren::vec {
namespace {

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

float ref_dot(const float* a, const float* b, std::size_t n) {
  float acc[8] = {};
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8)
    for (int j = 0; j < 8; ++j) {
      const float p = a[i + j] * b[i + j];
      acc[j] = acc[j] + p;
    }
  const float left = ((acc[0] + acc[1]) + acc[2]) + acc[3];
  const float right = ((acc[4] + acc[5]) + acc[6]) + acc[7];
  float total = left + right;
  for (; i < n; ++i) {
    const float p = a[i] * b[i];
    total = total + p;
  }
  return total;
}

float ref_floor(float x) { return x > NORM_FLOOR ? x : NORM_FLOOR; }

// Values spread over many binades with random signs, so that any change of
// summation order shows up in the low bits.
std::vector<float> random_vector(std::mt19937& rng, std::size_t n) {
  std::uniform_real_distribution<float> mant(1.0f, 2.0f);
  std::uniform_int_distribution<int> expo(-12, 12);
  std::bernoulli_distribution sign(0.5);
  std::vector<float> v(n);
  for (float& x : v) x = std::ldexp(mant(rng), expo(rng)) * (sign(rng) ? -1.0f : 1.0f);
  return v;
}

std::vector<std::size_t> test_lengths() {
  std::vector<std::size_t> n;
  for (std::size_t i = 0; i <= 70; ++i) n.push_back(i);
  for (std::size_t i : {127u, 128u, 129u, 384u, 385u, 1000u, 4099u, 65536u, 100003u}) n.push_back(i);
  return n;
}

TEST(VectorKernels, NormFloorIsNearestFloatToOneBillionth) {
  EXPECT_EQ(bits(NORM_FLOOR), 0x3089705Fu);
  EXPECT_EQ(NORM_FLOOR, static_cast<float>(1e-9));
  EXPECT_EQ(floor_norm(0.0f), NORM_FLOOR);
  EXPECT_EQ(floor_norm(NORM_FLOOR), NORM_FLOOR);
  EXPECT_EQ(floor_norm(std::numeric_limits<float>::quiet_NaN()), NORM_FLOOR);
  EXPECT_EQ(floor_norm(2.5f), 2.5f);
}

TEST(VectorKernels, EveryKernelSetMatchesReferenceBitForBit) {
  std::mt19937 rng(12345);
  ASSERT_FALSE(detail::available_kernel_sets().empty());
  for (const detail::KernelSet& ks : detail::available_kernel_sets()) {
    SCOPED_TRACE(ks.isa);
    for (std::size_t n : test_lengths()) {
      SCOPED_TRACE("n=" + std::to_string(n));
      for (int rep = 0; rep < (n <= 70 ? 20 : 2); ++rep) {
        const auto a = random_vector(rng, n);
        const auto b = random_vector(rng, n);
        ASSERT_EQ(bits(ks.dot(a.data(), b.data(), n)), bits(ref_dot(a.data(), b.data(), n)));
        float d = -1.0f, s = -1.0f;
        ks.dot2(a.data(), b.data(), n, &d, &s);
        ASSERT_EQ(bits(d), bits(ref_dot(a.data(), b.data(), n)));
        ASSERT_EQ(bits(s), bits(ref_dot(a.data(), a.data(), n)));
        std::vector<float> out(n, -7.0f);
        ks.divide(a.data(), 3.3f, out.data(), n);
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(bits(out[i]), bits(a[i] / 3.3f));
      }
    }
  }
}

TEST(VectorKernels, RowScanMatchesPerRowReference) {
  std::mt19937 rng(777);
  for (const detail::KernelSet& ks : detail::available_kernel_sets()) {
    SCOPED_TRACE(ks.isa);
    for (std::size_t dim : {1u, 7u, 8u, 9u, 16u, 23u, 384u}) {
      for (std::size_t count : {0u, 1u, 3u, 4u, 5u, 8u, 13u}) {
        for (std::size_t pad : {0u, 5u}) {
          const std::size_t stride = dim + pad;
          const auto m = random_vector(rng, count * stride);
          const auto q = random_vector(rng, dim);
          std::vector<float> out(count + 1, -3.0f);
          ks.rows(m.data(), count, dim, stride, q.data(), out.data());
          for (std::size_t r = 0; r < count; ++r)
            ASSERT_EQ(bits(out[r]), bits(ref_dot(m.data() + r * stride, q.data(), dim)))
                << "dim=" << dim << " count=" << count << " row=" << r;
          ASSERT_EQ(out[count], -3.0f);  // nothing written past the end
        }
      }
    }
  }
}

TEST(VectorKernels, PairKernelMatchesPerPairReference) {
  std::mt19937 rng(31337);
  for (const detail::KernelSet& ks : detail::available_kernel_sets()) {
    SCOPED_TRACE(ks.isa);
    // 130 x 384 floats exceed one b-tile, so tiles are crossed too.
    for (std::size_t dim : {0u, 1u, 5u, 8u, 13u, 64u, 384u}) {
      for (std::size_t na : {0u, 1u, 2u, 3u, 5u}) {
        for (std::size_t nb : {0u, 1u, 4u, 7u, 130u}) {
          const auto a = random_vector(rng, na * dim);
          const auto b = random_vector(rng, nb * dim);
          const std::size_t stride = nb + 2;
          std::vector<float> out(na * stride + 1, -5.0f);
          ks.pairs(a.data(), na, b.data(), nb, dim, out.data(), stride);
          for (std::size_t i = 0; i < na; ++i) {
            for (std::size_t j = 0; j < nb; ++j)
              ASSERT_EQ(bits(out[i * stride + j]), bits(ref_dot(a.data() + i * dim, b.data() + j * dim, dim)))
                  << "dim=" << dim << " na=" << na << " nb=" << nb << " i=" << i << " j=" << j;
            ASSERT_EQ(out[i * stride + nb], -5.0f);  // padding untouched
          }
        }
      }
    }
  }
}

TEST(VectorKernels, OrderIsObservable) {
  // A left-to-right sum of these differs from the eight-lane order, so the
  // comparisons above really do pin the order.
  std::mt19937 rng(99);
  int differs = 0;
  for (int rep = 0; rep < 50; ++rep) {
    const auto a = random_vector(rng, 64);
    const auto b = random_vector(rng, 64);
    float naive = 0.0f;
    for (std::size_t i = 0; i < 64; ++i) naive += a[i] * b[i];
    differs += bits(naive) != bits(dot_product(a, b));
  }
  EXPECT_GT(differs, 10);
}

TEST(VectorKernels, PublicFunctionsFollowTheDefinitions) {
  std::mt19937 rng(4242);
  for (std::size_t n : test_lengths()) {
    SCOPED_TRACE("n=" + std::to_string(n));
    const auto a = random_vector(rng, n);
    auto b = random_vector(rng, n + 3);  // dot products use the common length
    const float d = ref_dot(a.data(), b.data(), n);
    EXPECT_EQ(bits(dot_product(a, b)), bits(d));
    EXPECT_EQ(bits(dot_product(b, a)), bits(d));
    const float na = std::sqrt(ref_dot(a.data(), a.data(), n));
    EXPECT_EQ(bits(l2_norm(a)), bits(na));
    const std::span<const float> bn(b.data(), n);
    const float nb = std::sqrt(ref_dot(b.data(), b.data(), n));
    EXPECT_EQ(bits(cosine_pair(a, bn)), bits(d / (ref_floor(na) * ref_floor(nb))));
    float dd, ss;
    dot_and_sumsq(a, bn, &dd, &ss);
    EXPECT_EQ(bits(dd), bits(d));
    EXPECT_EQ(bits(ss), bits(ref_dot(a.data(), a.data(), n)));

    const auto nf = normalize_floored(a);
    const auto nc = normalize_or_copy(a);
    ASSERT_EQ(nf.size(), n);
    ASSERT_EQ(nc.size(), n);
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(bits(nf[i]), bits(a[i] / ref_floor(na)));
      ASSERT_EQ(bits(nc[i]), bits(a[i] / ref_floor(na)));
    }
    std::vector<float> inplace = a;
    normalize_floored_into(inplace, inplace.data());
    EXPECT_EQ(inplace, nf);
  }
}

TEST(VectorKernels, WorkedNumbers) {
  const std::vector<float> v123{1, 2, 3};
  EXPECT_EQ(static_cast<double>(cosine_pair(v123, v123)), 0.9999999403953552);
  const std::vector<float> a{3, 4}, b{4, 3};
  EXPECT_EQ(static_cast<double>(cosine_pair(a, b)), 0.9599999785423279);
  const std::vector<float> e;
  EXPECT_EQ(cosine_pair(e, e), 0.0f);
  const auto n34 = normalize_floored(a);
  EXPECT_EQ(static_cast<double>(n34[0]), 0.6000000238418579);
  EXPECT_EQ(static_cast<double>(n34[1]), 0.800000011920929);
}

TEST(VectorKernels, TinyAndZeroVectors) {
  const std::vector<float> zero{0, 0};
  const auto nz = normalize_floored(zero);
  EXPECT_EQ(nz, zero);
  EXPECT_EQ(normalize_or_copy(zero), zero);
  // Norm below the floor: the floored form scales up by the floor, the other
  // leaves the vector as it is.
  const std::vector<float> tiny{1e-10f, 0.0f};
  EXPECT_EQ(normalize_floored(tiny)[0], 1e-10f / NORM_FLOOR);
  EXPECT_NEAR(normalize_floored(tiny)[0], 0.1f, 1e-6f);
  EXPECT_EQ(normalize_or_copy(tiny), tiny);
  const std::vector<float> one{1.0f, 0.0f};
  EXPECT_EQ(cosine_pair(zero, one), 0.0f);
  EXPECT_TRUE(normalize_floored(std::vector<float>{}).empty());
}

TEST(VectorKernels, NonFiniteValuesPropagate) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<float> v(20, 1.0f), w(20, 1.0f);
  v[3] = nan;
  EXPECT_TRUE(std::isnan(dot_product(v, w)));
  EXPECT_TRUE(std::isnan(cosine_pair(v, w)));
  v[3] = inf;
  EXPECT_EQ(dot_product(v, w), inf);
  EXPECT_TRUE(std::isnan(cosine_pair(v, w)));  // inf / inf
  // A NaN norm falls back to the floor.
  std::vector<float> n1{nan};
  EXPECT_TRUE(std::isnan(normalize_floored(n1)[0]));
}

}  // namespace
}  // namespace thalren::vec
