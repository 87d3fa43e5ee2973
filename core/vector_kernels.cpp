#include "core/vector_kernels.hpp"

#include <algorithm>
#include <cmath>

#if defined(__x86_64__) || defined(__i386__)
#define THALREN_VEC_X86 1
#include <immintrin.h>
#endif

namespace thalren::vec {
namespace {

// ---------------------------------------------------------------------------
// Scalar kernels: the eight-lane order written out one element at a time.

inline float combine8(const float* acc) noexcept {
  return (((acc[0] + acc[1]) + acc[2]) + acc[3]) + (((acc[4] + acc[5]) + acc[6]) + acc[7]);
}

float dot_scalar(const float* a, const float* b, std::size_t n) noexcept {
  float acc[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
  const std::size_t body = n - n % 8;
  for (std::size_t i = 0; i < body; i += 8)
    for (std::size_t j = 0; j < 8; ++j) acc[j] += a[i + j] * b[i + j];
  float total = combine8(acc);
  for (std::size_t i = body; i < n; ++i) total += a[i] * b[i];
  return total;
}

void dot2_scalar(const float* a, const float* b, std::size_t n, float* dot,
                 float* sumsq) noexcept {
  *dot = dot_scalar(a, b, n);
  *sumsq = dot_scalar(a, a, n);
}

void rows_scalar(const float* rows, std::size_t count, std::size_t dim, std::size_t stride,
                 const float* q, float* out) noexcept {
  for (std::size_t r = 0; r < count; ++r) out[r] = dot_scalar(rows + r * stride, q, dim);
}

// Pairs in b-tiles of this many rows, so that a tile stays in the L2 cache
// while every row of a passes over it.
constexpr std::size_t kPairTileBytes = 192 * 1024;

inline std::size_t pair_tile_rows(std::size_t dim) noexcept {
  return std::max<std::size_t>(4, kPairTileBytes / (sizeof(float) * std::max<std::size_t>(dim, 1)));
}

template <float (*Dot)(const float*, const float*, std::size_t) noexcept>
void pairs_generic(const float* a, std::size_t na, const float* b, std::size_t nb, std::size_t dim,
                   float* out, std::size_t out_stride) noexcept {
  const std::size_t tile = pair_tile_rows(dim);
  for (std::size_t j0 = 0; j0 < nb; j0 += tile) {
    const std::size_t j1 = std::min(nb, j0 + tile);
    for (std::size_t i = 0; i < na; ++i)
      for (std::size_t j = j0; j < j1; ++j) out[i * out_stride + j] = Dot(a + i * dim, b + j * dim, dim);
  }
}

void divide_scalar(const float* v, float d, float* out, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) out[i] = v[i] / d;
}

#ifdef THALREN_VEC_X86

// ---------------------------------------------------------------------------
// SSE2 (x86-64 baseline): lanes 0-3 in `lo`, lanes 4-7 in `hi`.

// Combines lanes [a0 a1 a2 a3] and [a4 a5 a6 a7] in the order
// (((a0+a1)+a2)+a3) + (((a4+a5)+a6)+a7), both halves side by side.
inline float combine_halves(__m128 lo, __m128 hi) noexcept {
  const __m128 t0 = _mm_unpacklo_ps(lo, hi);       // a0 a4 a1 a5
  const __m128 t1 = _mm_unpackhi_ps(lo, hi);       // a2 a6 a3 a7
  __m128 s = _mm_add_ps(t0, _mm_movehl_ps(t0, t0));  // a0+a1, a4+a5
  s = _mm_add_ps(s, t1);                           // +a2, +a6
  s = _mm_add_ps(s, _mm_movehl_ps(t1, t1));        // +a3, +a7
  return _mm_cvtss_f32(_mm_add_ss(s, _mm_shuffle_ps(s, s, 1)));
}

float dot_sse2(const float* a, const float* b, std::size_t n) noexcept {
  __m128 lo = _mm_setzero_ps();
  __m128 hi = _mm_setzero_ps();
  const std::size_t body = n - n % 8;
  for (std::size_t i = 0; i < body; i += 8) {
    lo = _mm_add_ps(lo, _mm_mul_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i)));
    hi = _mm_add_ps(hi, _mm_mul_ps(_mm_loadu_ps(a + i + 4), _mm_loadu_ps(b + i + 4)));
  }
  float total = combine_halves(lo, hi);
  for (std::size_t i = body; i < n; ++i) total += a[i] * b[i];
  return total;
}

void dot2_sse2(const float* a, const float* b, std::size_t n, float* dot,
               float* sumsq) noexcept {
  __m128 dlo = _mm_setzero_ps(), dhi = _mm_setzero_ps();
  __m128 slo = _mm_setzero_ps(), shi = _mm_setzero_ps();
  const std::size_t body = n - n % 8;
  for (std::size_t i = 0; i < body; i += 8) {
    const __m128 alo = _mm_loadu_ps(a + i), ahi = _mm_loadu_ps(a + i + 4);
    dlo = _mm_add_ps(dlo, _mm_mul_ps(alo, _mm_loadu_ps(b + i)));
    dhi = _mm_add_ps(dhi, _mm_mul_ps(ahi, _mm_loadu_ps(b + i + 4)));
    slo = _mm_add_ps(slo, _mm_mul_ps(alo, alo));
    shi = _mm_add_ps(shi, _mm_mul_ps(ahi, ahi));
  }
  float d = combine_halves(dlo, dhi);
  float s = combine_halves(slo, shi);
  for (std::size_t i = body; i < n; ++i) {
    d += a[i] * b[i];
    s += a[i] * a[i];
  }
  *dot = d;
  *sumsq = s;
}

void rows_sse2(const float* rows, std::size_t count, std::size_t dim, std::size_t stride,
               const float* q, float* out) noexcept {
  for (std::size_t r = 0; r < count; ++r) out[r] = dot_sse2(rows + r * stride, q, dim);
}

void divide_sse2(const float* v, float d, float* out, std::size_t n) noexcept {
  const __m128 dv = _mm_set1_ps(d);
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) _mm_storeu_ps(out + i, _mm_div_ps(_mm_loadu_ps(v + i), dv));
  for (; i < n; ++i) out[i] = v[i] / d;
}

// ---------------------------------------------------------------------------
// AVX2: the eight lanes are one 256-bit register. Only "avx2" is enabled for
// these functions (not "fma"), so the compiler cannot fuse the multiply and
// the add even if contraction were allowed.

__attribute__((target("avx2"))) inline float combine_avx(__m256 acc) noexcept {
  const __m128 lo = _mm256_castps256_ps128(acc);
  const __m128 hi = _mm256_extractf128_ps(acc, 1);
  const __m128 t0 = _mm_unpacklo_ps(lo, hi);
  const __m128 t1 = _mm_unpackhi_ps(lo, hi);
  __m128 s = _mm_add_ps(t0, _mm_movehl_ps(t0, t0));
  s = _mm_add_ps(s, t1);
  s = _mm_add_ps(s, _mm_movehl_ps(t1, t1));
  return _mm_cvtss_f32(_mm_add_ss(s, _mm_shuffle_ps(s, s, 1)));
}

__attribute__((target("avx2"))) float dot_avx2(const float* a, const float* b,
                                                std::size_t n) noexcept {
  __m256 acc = _mm256_setzero_ps();
  const std::size_t body = n - n % 8;
  for (std::size_t i = 0; i < body; i += 8)
    acc = _mm256_add_ps(acc, _mm256_mul_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i)));
  float total = combine_avx(acc);
  for (std::size_t i = body; i < n; ++i) total += a[i] * b[i];
  return total;
}

__attribute__((target("avx2"))) void dot2_avx2(const float* a, const float* b, std::size_t n,
                                               float* dot, float* sumsq) noexcept {
  __m256 dacc = _mm256_setzero_ps();
  __m256 sacc = _mm256_setzero_ps();
  const std::size_t body = n - n % 8;
  for (std::size_t i = 0; i < body; i += 8) {
    const __m256 av = _mm256_loadu_ps(a + i);
    dacc = _mm256_add_ps(dacc, _mm256_mul_ps(av, _mm256_loadu_ps(b + i)));
    sacc = _mm256_add_ps(sacc, _mm256_mul_ps(av, av));
  }
  float d = combine_avx(dacc);
  float s = combine_avx(sacc);
  for (std::size_t i = body; i < n; ++i) {
    d += a[i] * b[i];
    s += a[i] * a[i];
  }
  *dot = d;
  *sumsq = s;
}

// One row after the other. Interleaving several rows (independent
// accumulator chains) was measured to be slower: the single sequential stream
// keeps the hardware prefetcher ahead, and one chain per row already runs
// faster than memory delivers a row.
__attribute__((target("avx2"))) void rows_avx2(const float* rows, std::size_t count,
                                               std::size_t dim, std::size_t stride,
                                               const float* q, float* out) noexcept {
  for (std::size_t r = 0; r < count; ++r) out[r] = dot_avx2(rows + r * stride, q, dim);
}

// Two rows of a against four rows of b: eight independent accumulators, so
// the adds of one pair no longer wait on each other, and each loaded chunk
// serves four (or two) products.
__attribute__((target("avx2"))) void pairs_2x4(const float* a0, const float* a1, const float* b0,
                                               std::size_t dim, std::size_t b_stride, float* out0,
                                               float* out1) noexcept {
  const float* b1 = b0 + b_stride;
  const float* b2 = b1 + b_stride;
  const float* b3 = b2 + b_stride;
  __m256 s00 = _mm256_setzero_ps(), s01 = _mm256_setzero_ps();
  __m256 s02 = _mm256_setzero_ps(), s03 = _mm256_setzero_ps();
  __m256 s10 = _mm256_setzero_ps(), s11 = _mm256_setzero_ps();
  __m256 s12 = _mm256_setzero_ps(), s13 = _mm256_setzero_ps();
  const std::size_t body = dim - dim % 8;
  for (std::size_t i = 0; i < body; i += 8) {
    const __m256 x0 = _mm256_loadu_ps(a0 + i);
    const __m256 x1 = _mm256_loadu_ps(a1 + i);
    __m256 y = _mm256_loadu_ps(b0 + i);
    s00 = _mm256_add_ps(s00, _mm256_mul_ps(x0, y));
    s10 = _mm256_add_ps(s10, _mm256_mul_ps(x1, y));
    y = _mm256_loadu_ps(b1 + i);
    s01 = _mm256_add_ps(s01, _mm256_mul_ps(x0, y));
    s11 = _mm256_add_ps(s11, _mm256_mul_ps(x1, y));
    y = _mm256_loadu_ps(b2 + i);
    s02 = _mm256_add_ps(s02, _mm256_mul_ps(x0, y));
    s12 = _mm256_add_ps(s12, _mm256_mul_ps(x1, y));
    y = _mm256_loadu_ps(b3 + i);
    s03 = _mm256_add_ps(s03, _mm256_mul_ps(x0, y));
    s13 = _mm256_add_ps(s13, _mm256_mul_ps(x1, y));
  }
  float t[8] = {combine_avx(s00), combine_avx(s01), combine_avx(s02), combine_avx(s03),
                combine_avx(s10), combine_avx(s11), combine_avx(s12), combine_avx(s13)};
  const float* bs[4] = {b0, b1, b2, b3};
  for (std::size_t i = body; i < dim; ++i) {
    for (std::size_t k = 0; k < 4; ++k) {
      t[k] += a0[i] * bs[k][i];
      t[4 + k] += a1[i] * bs[k][i];
    }
  }
  for (std::size_t k = 0; k < 4; ++k) {
    out0[k] = t[k];
    out1[k] = t[4 + k];
  }
}

__attribute__((target("avx2"))) void pairs_avx2(const float* a, std::size_t na, const float* b,
                                                std::size_t nb, std::size_t dim, float* out,
                                                std::size_t out_stride) noexcept {
  const std::size_t tile = pair_tile_rows(dim);
  for (std::size_t j0 = 0; j0 < nb; j0 += tile) {
    const std::size_t j1 = std::min(nb, j0 + tile);
    std::size_t i = 0;
    for (; i + 2 <= na; i += 2) {
      const float* a0 = a + i * dim;
      const float* a1 = a0 + dim;
      float* o0 = out + i * out_stride;
      float* o1 = o0 + out_stride;
      std::size_t j = j0;
      for (; j + 4 <= j1; j += 4) pairs_2x4(a0, a1, b + j * dim, dim, dim, o0 + j, o1 + j);
      for (; j < j1; ++j) {
        o0[j] = dot_avx2(a0, b + j * dim, dim);
        o1[j] = dot_avx2(a1, b + j * dim, dim);
      }
    }
    for (; i < na; ++i)
      for (std::size_t j = j0; j < j1; ++j) out[i * out_stride + j] = dot_avx2(a + i * dim, b + j * dim, dim);
  }
}

__attribute__((target("avx2"))) void divide_avx2(const float* v, float d, float* out,
                                                 std::size_t n) noexcept {
  const __m256 dv = _mm256_set1_ps(d);
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8)
    _mm256_storeu_ps(out + i, _mm256_div_ps(_mm256_loadu_ps(v + i), dv));
  for (; i < n; ++i) out[i] = v[i] / d;
}

#endif  // THALREN_VEC_X86

constexpr detail::KernelSet kScalar{"scalar", dot_scalar, dot2_scalar, rows_scalar,
                                    pairs_generic<dot_scalar>, divide_scalar};
#ifdef THALREN_VEC_X86
constexpr detail::KernelSet kSse2{"sse2", dot_sse2, dot2_sse2, rows_sse2, pairs_generic<dot_sse2>,
                                 divide_sse2};
constexpr detail::KernelSet kAvx2{"avx2", dot_avx2, dot2_avx2, rows_avx2, pairs_avx2, divide_avx2};
#endif

struct KernelTable {
  detail::KernelSet sets[3];
  std::size_t size = 0;
};

KernelTable detect() noexcept {
  KernelTable t;
#ifdef THALREN_VEC_X86
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) t.sets[t.size++] = kAvx2;
  t.sets[t.size++] = kSse2;
#endif
  t.sets[t.size++] = kScalar;
  return t;
}

// Detected once, on first use; read-only afterwards.
const KernelTable& table() noexcept {
  static const KernelTable t = detect();
  return t;
}

inline const detail::KernelSet& best() noexcept { return table().sets[0]; }

}  // namespace

std::span<const detail::KernelSet> detail::available_kernel_sets() noexcept {
  const KernelTable& t = table();
  return {t.sets, t.size};
}

const char* kernel_isa() noexcept { return best().isa; }

float dot_product(std::span<const float> a, std::span<const float> b) noexcept {
  return best().dot(a.data(), b.data(), std::min(a.size(), b.size()));
}

float l2_norm(std::span<const float> v) noexcept {
  return std::sqrt(best().dot(v.data(), v.data(), v.size()));
}

float cosine_pair(std::span<const float> a, std::span<const float> b) noexcept {
  const float d = dot_product(a, b);
  return d / (floor_norm(l2_norm(a)) * floor_norm(l2_norm(b)));
}

void dot_and_sumsq(std::span<const float> a, std::span<const float> b, float* dot,
                   float* sumsq) noexcept {
  best().dot2(a.data(), b.data(), std::min(a.size(), b.size()), dot, sumsq);
}

void normalize_floored_into(std::span<const float> v, float* out) noexcept {
  if (v.empty()) return;
  const float n = floor_norm(l2_norm(v));
  best().divide(v.data(), n, out, v.size());
}

std::vector<float> normalize_floored(std::span<const float> v) {
  std::vector<float> out(v.size());
  normalize_floored_into(v, out.data());
  return out;
}

void normalize_or_copy_into(std::span<const float> v, float* out) noexcept {
  if (v.empty()) return;
  const float n = floor_norm(l2_norm(v));
  if (n > NORM_FLOOR) {
    best().divide(v.data(), n, out, v.size());
  } else if (out != v.data()) {
    std::copy(v.begin(), v.end(), out);
  }
}

std::vector<float> normalize_or_copy(std::span<const float> v) {
  std::vector<float> out(v.size());
  normalize_or_copy_into(v, out.data());
  return out;
}

void dot_rows(const float* rows, std::size_t count, std::size_t dim, std::size_t stride,
              const float* q, float* out) noexcept {
  best().rows(rows, count, dim, stride, q, out);
}

void dot_pairs(const float* a, std::size_t na, const float* b, std::size_t nb, std::size_t dim,
               float* out, std::size_t out_stride) noexcept {
  best().pairs(a, na, b, nb, dim, out, out_stride);
}

}  // namespace thalren::vec
