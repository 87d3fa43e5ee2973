// The embeddings engine against straightforward one-pair-at-a-time
// implementations built on vec::dot_product, compared bit for bit, plus the
// worked numbers of the quantisation and matrix functions.
#include "core/embeddings.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "core/vector_kernels.hpp"

namespace thalren::embeddings {
namespace {

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

FloatRows rows_of(const std::vector<std::vector<float>>& rows) {
  FloatRows r;
  for (const auto& row : rows) r.push_row(row);
  return r;
}

FloatRows random_rows(std::mt19937& rng, std::size_t n, std::size_t dim) {
  std::normal_distribution<float> dist(0.0f, 1.0f);
  FloatRows r;
  std::vector<float> row(dim);
  for (std::size_t i = 0; i < n; ++i) {
    for (float& x : row) x = dist(rng);
    r.push_row(row);
  }
  return r;
}

template <class Fn>
std::string value_error(Fn&& fn) {
  try {
    fn();
  } catch (const ValueError& e) {
    return e.what();
  }
  return "<no error>";
}

std::vector<float> ref_normalized(std::span<const float> r) {
  float s = -0.0f;
  for (float x : r) s = s + x * x;
  const float n = vec::floor_norm(std::sqrt(s));
  std::vector<float> out(r.begin(), r.end());
  for (float& x : out) x = x / n;
  return out;
}

// ---------------------------------------------------------------------------

TEST(FlatMatrix, FromNested) {
  FlatMatrix empty = FlatMatrix::from_nested(FloatRows{});
  EXPECT_EQ(empty.rows, 0u);
  EXPECT_EQ(empty.cols, 0u);

  FlatMatrix zero = FlatMatrix::from_nested(rows_of({{}, {1, 2}, {3}}));
  EXPECT_EQ(zero.rows, 3u);
  EXPECT_EQ(zero.cols, 0u);
  EXPECT_TRUE(zero.data.empty());

  FlatMatrix m = FlatMatrix::from_nested(rows_of({{1, 2}, {3, 4}, {5, 6}}));
  EXPECT_EQ(m.rows, 3u);
  EXPECT_EQ(m.cols, 2u);
  EXPECT_EQ(m.data, (std::vector<float>{1, 2, 3, 4, 5, 6}));

  EXPECT_EQ(value_error([] { FlatMatrix::from_nested(rows_of({{1, 2}, {3, 4}, {5}})); }),
            "Matrix row 2 has 1 cols, expected 2");
}

TEST(Quantize, WorkedExamples) {
  QuantizedEmbedding q = quantize_embedding_slice(std::vector<float>{1.0f, -0.5f, 0.25f});
  EXPECT_EQ(q.data, (std::vector<std::int8_t>{127, -64, 32}));
  EXPECT_EQ(static_cast<double>(q.scale), 0.007874015718698502);
  EXPECT_EQ(q.zero_point, 0);
  std::vector<float> d = dequantize(q);
  EXPECT_EQ(static_cast<double>(d[1]), -0.5039370059967041);

  q = quantize_embedding_slice(std::vector<float>{3.0f, 4.0f});
  EXPECT_EQ(q.data, (std::vector<std::int8_t>{95, 127}));
  EXPECT_EQ(static_cast<double>(q.scale), 0.031496062874794006);

  q = quantize_embedding_slice(std::vector<float>{0.0f, 0.0f});
  EXPECT_EQ(q.data, (std::vector<std::int8_t>{0, 0}));
  EXPECT_EQ(bits(q.scale), bits(vec::NORM_FLOOR));

  q = quantize_embedding_slice(std::vector<float>{});
  EXPECT_TRUE(q.data.empty());
  EXPECT_EQ(q.scale, 1.0f);
}

TEST(Quantize, NanAndInfinity) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  QuantizedEmbedding q = quantize_embedding_slice(std::vector<float>{nan, 2.0f, -1.0f});
  EXPECT_EQ(q.data, (std::vector<std::int8_t>{0, 127, -64}));
  q = quantize_embedding_slice(std::vector<float>{inf, 5.0f, -inf});
  EXPECT_EQ(q.data, (std::vector<std::int8_t>{0, 0, 0}));
  EXPECT_TRUE(std::isinf(q.scale));
}

TEST(Quantize, DotHonoursZeroPoints) {
  QuantizedEmbedding a{{1, 2}, 0.5f, 1};
  EXPECT_EQ(quantized_dot(a, a), 0.25f);
  QuantizedEmbedding b{{1, 2, 3}, 1.0f, 0};
  EXPECT_EQ(value_error([&] { quantized_dot(a, b); }), "Embeddings must have same dimension");
  EXPECT_EQ(value_error([&] { quantized_cosine_similarity(a, b); }),
            "Embeddings must have same dimension");
}

// Integer sums wrap at 32 bits; lengths past 2^17 make that observable.
TEST(Quantize, CosineMatchesScalarReferenceIncludingWrap) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> byte(-128, 127);
  std::vector<std::size_t> lengths;
  for (std::size_t n = 1; n <= 70; ++n) lengths.push_back(n);
  for (std::size_t n : {384u, 1000u, 4099u, 140000u, 300000u}) lengths.push_back(n);
  for (std::size_t n : lengths) {
    QuantizedEmbedding a, b;
    for (std::size_t i = 0; i < n; ++i) {
      a.data.push_back(static_cast<std::int8_t>(n > 100000 ? -128 : byte(rng)));
      b.data.push_back(static_cast<std::int8_t>(n > 100000 ? -128 : byte(rng)));
    }
    std::uint32_t s = 0, aa = 0, bb = 0;
    for (std::size_t i = 0; i < n; ++i) {
      s += static_cast<std::uint32_t>(a.data[i] * b.data[i]);
      aa += static_cast<std::uint32_t>(a.data[i] * a.data[i]);
      bb += static_cast<std::uint32_t>(b.data[i] * b.data[i]);
    }
    const float na = std::sqrt(static_cast<float>(static_cast<std::int32_t>(aa)));
    const float nb = std::sqrt(static_cast<float>(static_cast<std::int32_t>(bb)));
    float expected = 0.0f;
    if (!(na < vec::NORM_FLOOR) && !(nb < vec::NORM_FLOOR))
      expected = static_cast<float>(static_cast<std::int32_t>(s)) / (na * nb);
    const float got = quantized_cosine_similarity(a, b);
    EXPECT_EQ(bits(got), bits(expected)) << n;
    std::vector<std::span<const std::int8_t>> corpus(150, b.data);
    for (float x : batch_quantized_cosine_similarity(a.data, corpus))
      EXPECT_EQ(bits(x), bits(expected)) << n;
  }
}

TEST(MatrixProducts, MatchDotProductPooledOrNot) {
  std::mt19937 rng(11);
  for (std::size_t rows : {1u, 5u, 100u, 101u, 333u}) {
    for (std::size_t dim : {1u, 8u, 13u, 384u}) {
      FloatRows m = random_rows(rng, rows, dim);
      FloatRows v = random_rows(rng, 12, dim);
      FloatRows few;
      for (std::size_t i = 0; i < 3; ++i) few.push_row(v.row(i));
      FloatRows copy = m;
      FlatMatrix pooled = batch_matmul_vector(FloatRows(m), v);
      FlatMatrix seq = batch_matmul_vector(FloatRows(m), few);
      std::vector<float> single = matmul_vector(std::move(copy), v.row(0));
      for (std::size_t i = 0; i < v.rows(); ++i)
        for (std::size_t r = 0; r < rows; ++r) {
          const float expected = vec::dot_product(m.row(r), v.row(i));
          ASSERT_EQ(bits(pooled.data[i * rows + r]), bits(expected));
          if (i < 3) {
            ASSERT_EQ(bits(seq.data[i * rows + r]), bits(expected));
          }
          if (i == 0) {
            ASSERT_EQ(bits(single[r]), bits(expected));
          }
        }
    }
  }
}

TEST(MatrixProducts, Errors) {
  EXPECT_EQ(value_error([] { matmul_vector(rows_of({{1, 2}, {3}}), std::vector<float>{1, 1}); }),
            "Matrix row 1 has 1 cols, expected 2");
  EXPECT_EQ(value_error([] { batch_matmul_vector(rows_of({{1, 0}, {0, 1}}), rows_of({{2, 3}, {4}})); }),
            "Vector has 1 dims, expected 2");
  // Pooled batches report the first failing vector too.
  FloatRows many;
  for (int i = 0; i < 40; ++i) many.push_row(std::vector<float>(i == 17 || i == 30 ? 3 : 2, 1.0f));
  EXPECT_EQ(value_error([&] { batch_matmul_vector(rows_of({{1, 0}}), many); }),
            "Vector has 3 dims, expected 2");
  EXPECT_EQ(matmul_vector(rows_of({{1, 2}, {3, 4}}), std::vector<float>{1, 1}),
            (std::vector<float>{3, 7}));
}

TEST(RandomProjection, IsTheSeededMatrixTimesEachEmbedding) {
  std::mt19937 rng(3);
  for (std::size_t n : {1u, 10u, 11u, 40u}) {
    const std::size_t d = 37, t = 9;
    FloatRows e = random_rows(rng, n, d);
    FlatMatrix p = random_projection(e, t, 1234);
    std::vector<float> r(t * d);
    for (std::size_t i = 0; i < r.size(); ++i) r[i] = projection_entry(t, 1234, i);
    for (std::size_t v = 0; v < n; ++v)
      for (std::size_t j = 0; j < t; ++j)
        ASSERT_EQ(bits(p.data[v * t + j]),
                  bits(vec::dot_product(std::span<const float>(r.data() + j * d, d), e.row(v))));
  }
}

TEST(RandomProjection, EntriesAreSymmetricAndBounded) {
  const float x = std::sqrt(1.0f / 5.0f);
  int negative = 0, positive = 0;
  for (std::uint64_t i = 0; i < 5000; ++i) {
    const float e = projection_entry(5, 42, i);
    ASSERT_GE(e, -x);
    ASSERT_LT(e, x);
    negative += e < 0;
    positive += e > 0;
  }
  EXPECT_GT(negative, 2000);
  EXPECT_GT(positive, 2000);
  // Blocks of generated rows line up with the single-stream definition, also
  // when a block holds several rows and when a row is longer than a block.
  for (std::size_t d : {std::size_t{100000}, std::size_t{(1u << 20) + 3}}) {
    const std::size_t t = d == 100000 ? 25 : 2;
    FloatRows e;
    std::vector<float> unit(d, 0.0f);
    unit[d - 1] = 1.0f;
    e.push_row(unit);
    FlatMatrix p = random_projection(e, t, 9);
    for (std::size_t r = 0; r < t; r += 3)
      EXPECT_EQ(bits(p.data[r]), bits(projection_entry(t, 9, r * d + d - 1))) << d << " " << r;
  }
}

TEST(RandomProjection, Errors) {
  EXPECT_EQ(value_error([] { random_projection(rows_of({{1, 2}}), 3, 42); }),
            "Target dimension must be <= input dimension");
  EXPECT_EQ(value_error([] { random_projection(rows_of({{1, 2}, {1}}), 1, 42); }),
            "Vector has 1 dims, expected 2");
}

TEST(Pairwise, WorkedExampleAndReference) {
  std::vector<float> d = pairwise_distances(rows_of({{1, 0}, {0, 1}, {1, 1}}));
  ASSERT_EQ(d.size(), 3u);
  EXPECT_EQ(d[0], 1.0f);
  EXPECT_EQ(static_cast<double>(d[1]), 0.2928932309150696);
  EXPECT_EQ(static_cast<double>(d[2]), 0.2928932309150696);
  EXPECT_EQ(pairwise_distances(rows_of({{}, {1, 2}})), std::vector<float>{1.0f});

  std::mt19937 rng(5);
  for (std::size_t dim : {3u, 8u, 13u, 384u, 1000u, 1001u}) {
    const std::size_t n = dim >= 1000 ? 300 : 151;
    FloatRows e = random_rows(rng, n, dim);
    std::vector<std::vector<float>> norm;
    for (std::size_t i = 0; i < n; ++i) norm.push_back(ref_normalized(e.row(i)));
    std::vector<float> got = pairwise_distances(std::move(e));
    std::size_t p = 0;
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = i + 1; j < n; ++j, ++p)
        ASSERT_EQ(bits(got[p]), bits(1.0f - vec::dot_product(norm[i], norm[j]))) << i << "," << j;
    EXPECT_EQ(p, got.size());
  }
}

TEST(Knn, WorkedExampleTiesAndReference) {
  KnnGraph g = knn_graph(rows_of({{1, 0}, {0, 1}, {1, 1}}), 1);
  EXPECT_EQ(g.indices, (std::vector<std::uint64_t>{2, 2, 0}));
  EXPECT_EQ(static_cast<double>(g.distances[2]), 0.2928932309150696);

  std::mt19937 rng(9);
  std::uniform_int_distribution<int> small(-2, 2);  // many exact ties
  struct Shape {
    std::size_t n, dim, k;
  };
  // Several cache blocks (rows are scored tile by tile), ties everywhere.
  for (Shape shape : {Shape{60, 4, 0}, Shape{60, 4, 3}, Shape{60, 4, 40}, Shape{60, 4, 1000},
                      Shape{600, 4, 1}, Shape{600, 4, 7}, Shape{600, 4, 599}, Shape{300, 384, 5}, Shape{301, 13, 9}}) {
    const std::size_t n = shape.n, dim = shape.dim, k = shape.k;
    FloatRows e;
    for (std::size_t i = 0; i < n; ++i) {
      std::vector<float> row(dim);
      for (float& x : row) x = static_cast<float>(small(rng));
      e.push_row(row);
    }
    std::vector<std::vector<float>> norm;
    for (std::size_t i = 0; i < n; ++i) norm.push_back(ref_normalized(e.row(i)));
    KnnGraph got = knn_graph(std::move(e), k);
    const std::size_t m = std::min<std::size_t>(k, n - 1);
    ASSERT_EQ(got.m, m);
    for (std::size_t i = 0; i < n; ++i) {
      std::vector<std::pair<std::size_t, float>> cand;
      for (std::size_t j = 0; j < n; ++j)
        if (j != i) cand.emplace_back(j, vec::dot_product(norm[i], norm[j]));
      std::stable_sort(cand.begin(), cand.end(),
                       [](const auto& a, const auto& b) { return a.second > b.second; });
      for (std::size_t r = 0; r < m; ++r) {
        ASSERT_EQ(got.indices[i * m + r], cand[r].first);
        ASSERT_EQ(bits(got.distances[i * m + r]), bits(1.0f - cand[r].second));
      }
    }
  }
}

TEST(Knn, NanSimilaritiesGoLast) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  KnnGraph g = knn_graph(rows_of({{1, 0}, {nan, 1}, {0, 1}, {1, 1}}), 3);
  // Row 0: similarities to 1 (NaN), 2 (0), 3 (0.707).
  EXPECT_EQ(std::vector<std::uint64_t>(g.indices.begin(), g.indices.begin() + 3),
            (std::vector<std::uint64_t>{3, 2, 1}));
  EXPECT_TRUE(std::isnan(g.distances[2]));
  // Row 1 is all NaN: plain index order.
  EXPECT_EQ(std::vector<std::uint64_t>(g.indices.begin() + 3, g.indices.begin() + 6),
            (std::vector<std::uint64_t>{0, 2, 3}));
}

TEST(Knn, DegenerateSizes) {
  KnnGraph one = knn_graph(rows_of({{1, 2}}), 5);
  EXPECT_EQ(one.n, 1u);
  EXPECT_EQ(one.m, 0u);
  KnnGraph huge_k = knn_graph(rows_of({{1, 2}, {2, 1}, {0, 1}}), ~std::uint64_t{0});
  EXPECT_EQ(huge_k.m, 2u);
  KnnGraph empty_rows = knn_graph(rows_of({{}, {1}, {2, 3}}), 2);
  EXPECT_EQ(empty_rows.indices, (std::vector<std::uint64_t>{1, 2, 0, 2, 0, 1}));
  for (float d : empty_rows.distances) EXPECT_EQ(d, 1.0f);
  EXPECT_EQ(knn_graph(FloatRows{}, 3).n, 0u);
}

}  // namespace
}  // namespace thalren::embeddings
