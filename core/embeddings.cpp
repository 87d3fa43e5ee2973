#include "core/embeddings.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <string>
#include <utility>

#include "core/errors.hpp"
#include "core/parallel.hpp"
#include "core/vector_kernels.hpp"

#if defined(__x86_64__) || defined(__i386__)
#define THALREN_EMB_X86 1
#include <immintrin.h>
#endif

namespace thalren::embeddings {

using vec::floor_norm;
using vec::NORM_FLOOR;
using vec::PARALLEL_THRESHOLD;

namespace {

// Batches of vectors for the matrix products go to the pool above this many.
constexpr std::size_t kVectorBatchThreshold = 10;

// Rows handed to one pool task in a pooled matrix-vector product: a few
// microseconds of work, so that scheduling costs stay small.
constexpr std::size_t kRowGrain = 64;

// Cache blocking of the all-pairs scans: a block of rows of about this many
// bytes stays in the second-level cache while every row of the other block is
// scored against it.
constexpr std::size_t kBlockBytes = 256 * 1024;

// Projection rows are generated in blocks of at most this many floats (or one
// row, if a row is longer), so that a large target dimension never
// materialises a matrix bigger than the input itself.
constexpr std::size_t kProjectionBlockFloats = std::size_t{1} << 20;

std::string matrix_row_error(std::size_t row, std::size_t len, std::size_t expected) {
  return "Matrix row " + std::to_string(row) + " has " + std::to_string(len) + " cols, expected " +
         std::to_string(expected);
}

std::string vector_dims_error(std::size_t len, std::size_t expected) {
  return "Vector has " + std::to_string(len) + " dims, expected " + std::to_string(expected);
}

// ---------------------------------------------------------------------------
// 8-bit integer sums. Integer addition modulo 2^32 is associative, so any
// grouping gives the same wrapped result as a left-to-right sum; the sums are
// kept in unsigned arithmetic so that wrapping is defined.

struct Int8Sums {
  std::uint32_t dot;    // sum a[i] * b[i]
  std::uint32_t sumsq;  // sum b[i] * b[i]
};

Int8Sums int8_sums_scalar(const std::int8_t* a, const std::int8_t* b, std::size_t n) noexcept {
  std::uint32_t dot = 0, sq = 0;
  for (std::size_t i = 0; i < n; ++i) {
    dot += static_cast<std::uint32_t>(static_cast<std::int32_t>(a[i]) * b[i]);
    sq += static_cast<std::uint32_t>(static_cast<std::int32_t>(b[i]) * b[i]);
  }
  return {dot, sq};
}

#ifdef THALREN_EMB_X86
__attribute__((target("avx2"))) std::uint32_t hsum_epi32(__m256i v) noexcept {
  alignas(32) std::uint32_t lanes[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), v);
  std::uint32_t s = 0;
  for (std::uint32_t x : lanes) s += x;
  return s;
}

// Sixteen bytes per step, widened to 16-bit lanes; _mm256_madd_epi16 adds
// pairs of products into 32-bit lanes (at most 2 * 128 * 128, no overflow),
// and the 32-bit lane sums wrap exactly like the scalar sum.
__attribute__((target("avx2"))) Int8Sums int8_sums_avx2(const std::int8_t* a,
                                                       const std::int8_t* b,
                                                       std::size_t n) noexcept {
  __m256i dot = _mm256_setzero_si256();
  __m256i sq = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m256i va =
        _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i)));
    const __m256i vb =
        _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)));
    dot = _mm256_add_epi32(dot, _mm256_madd_epi16(va, vb));
    sq = _mm256_add_epi32(sq, _mm256_madd_epi16(vb, vb));
  }
  const Int8Sums tail = int8_sums_scalar(a + i, b + i, n - i);
  return {hsum_epi32(dot) + tail.dot, hsum_epi32(sq) + tail.sumsq};
}
#endif

using Int8SumsFn = Int8Sums (*)(const std::int8_t*, const std::int8_t*, std::size_t) noexcept;

Int8SumsFn pick_int8_sums() noexcept {
#ifdef THALREN_EMB_X86
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return int8_sums_avx2;
#endif
  return int8_sums_scalar;
}

Int8Sums int8_sums(std::span<const std::int8_t> a, std::span<const std::int8_t> b) noexcept {
  static const Int8SumsFn fn = pick_int8_sums();
  return fn(a.data(), b.data(), std::min(a.size(), b.size()));
}

// The cosine of two 8-bit vectors of equal, non-zero length, given the
// wrapped sums S = a.b, A = a.a and B = b.b.
float int8_cosine(std::uint32_t s, std::uint32_t a, std::uint32_t b) noexcept {
  const float na = std::sqrt(static_cast<float>(static_cast<std::int32_t>(a)));
  if (na < NORM_FLOOR) return 0.0f;
  const float nb = std::sqrt(static_cast<float>(static_cast<std::int32_t>(b)));
  if (nb < NORM_FLOOR) return 0.0f;
  return static_cast<float>(static_cast<std::int32_t>(s)) / (na * nb);
}

// ---------------------------------------------------------------------------
// Products of row blocks.

// out[r] = dot_product(row r, v) for `count` rows of `dim` floats at `rows`
// with the given stride; split over the pool when there are more than
// PARALLEL_THRESHOLD rows.
void rows_times_vector(const float* rows, std::size_t count, std::size_t dim, std::size_t stride,
                       const float* v, float* out) {
  if (count > PARALLEL_THRESHOLD) {
    parallel::parallel_for_ranges(
        count,
        [&](std::size_t begin, std::size_t end) {
          vec::dot_rows(rows + begin * stride, end - begin, dim, stride, v, out + begin);
        },
        kRowGrain);
  } else {
    vec::dot_rows(rows, count, dim, stride, v, out);
  }
}

// Rows per cache block for rows of `cols` floats.
std::size_t block_rows_for(std::size_t cols) noexcept {
  const std::size_t bytes = std::max<std::size_t>(cols, 1) * sizeof(float);
  return std::max<std::size_t>(16, kBlockBytes / bytes);
}

FlatMatrix normalized_matrix(FloatRows&& embeddings) {
  FlatMatrix m = FlatMatrix::from_nested(std::move(embeddings));
  if (m.cols > 0) {
    for (std::size_t i = 0; i < m.rows; ++i)
      normalize_sequential({m.data.data() + i * m.cols, static_cast<std::size_t>(m.cols)});
  }
  return m;
}

// The projection matrix's generator. Each draw advances a 64-bit LCG
// (multiplier 6364136223846793005, increment 1, modulo 2^64) and takes the
// top 24 bits of the new state as the fraction f = (state >> 40) / 2^24.
// Twenty-four bits are exactly what a binary32 significand holds, so f is
// exact, uniform over the 2^24 multiples of 2^-24 in [0, 1), and never rounds
// up to 1; the high bits are used because the low bits of a power-of-two LCG
// have short periods. (f + f) - 1 is then also exact, uniform in [-1, 1).
struct ProjectionGenerator {
  std::uint64_t state;
  float scale;  // sqrt(1 / target_dim), all in binary32

  ProjectionGenerator(std::uint64_t target_dim, std::uint64_t seed)
      : state(seed), scale(std::sqrt(1.0f / static_cast<float>(target_dim))) {}

  float next() noexcept {
    state = state * 6364136223846793005ULL + 1ULL;
    const float f = static_cast<float>(state >> 40) * 0x1p-24f;
    const float e = (f + f) - 1.0f;
    return e * scale;
  }
};

}  // namespace

// ---------------------------------------------------------------------------

FlatMatrix FlatMatrix::from_nested(FloatRows&& nested) {
  FlatMatrix m;
  const std::size_t rows = nested.rows();
  if (rows == 0) return m;
  const std::size_t cols = nested.row_size(0);
  m.rows = rows;
  if (cols == 0) return m;
  for (std::size_t i = 0; i < rows; ++i) {
    const std::size_t len = nested.row_size(i);
    if (len != cols) throw ValueError(matrix_row_error(i, len, cols));
  }
  m.cols = cols;
  // All rows have `cols` elements and are stored back to back: the buffer is
  // already the row-major matrix.
  m.data = std::move(nested.values);
  nested.offsets.assign(1, 0);
  return m;
}

void normalize_sequential(std::span<float> row) noexcept {
  if (row.empty()) return;
  float s = -0.0f;
  for (float x : row) s += x * x;
  const float n = floor_norm(std::sqrt(s));
  for (float& x : row) x = x / n;
}

// ---------------------------------------------------------------------------
// Quantisation.

QuantizedEmbedding quantize_embedding_slice(std::span<const float> v) {
  QuantizedEmbedding q;
  if (v.empty()) return q;  // scale 1, zero point 0
  float lo = std::numeric_limits<float>::infinity();
  float hi = -std::numeric_limits<float>::infinity();
  for (float x : v) {
    if (x < lo) lo = x;  // comparisons with NaN are false: NaN is skipped
    if (x > hi) hi = x;
  }
  const float m = std::max(std::fabs(lo), std::fabs(hi));
  const float s = m / 127.0f;
  q.data.resize(v.size());
  if (!(s < NORM_FLOOR)) {
    for (std::size_t i = 0; i < v.size(); ++i) {
      const float r = std::round(v[i] / s);  // halves away from zero
      std::int8_t b = 0;                     // NaN stays 0
      if (r >= 127.0f) {
        b = 127;
      } else if (r <= -128.0f) {
        b = -128;
      } else if (r == r) {
        b = static_cast<std::int8_t>(r);
      }
      q.data[i] = b;
    }
  }
  q.scale = floor_norm(s);
  q.zero_point = 0;
  return q;
}

std::vector<QuantizedEmbedding> batch_quantize_embeddings(const FloatRows& embeddings) {
  const std::size_t n = embeddings.rows();
  if (n > PARALLEL_THRESHOLD) {
    return parallel::parallel_map<QuantizedEmbedding>(
        n, [&](std::size_t i) { return quantize_embedding_slice(embeddings.row(i)); }, 8);
  }
  std::vector<QuantizedEmbedding> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) out.push_back(quantize_embedding_slice(embeddings.row(i)));
  return out;
}

std::vector<float> dequantize(const QuantizedEmbedding& q) {
  std::vector<float> out(q.data.size());
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<float>(q.data[i]) * q.scale;
  return out;
}

float quantized_dot(const QuantizedEmbedding& a, const QuantizedEmbedding& b) {
  if (a.data.size() != b.data.size()) throw ValueError("Embeddings must have same dimension");
  const std::size_t n = a.data.size();
  const std::uint32_t s = int8_sums(a.data, b.data).dot;
  // Float sums in index order from -0.0, as the formula is defined (exact for
  // any length below 2^17, where the integer sums would be too).
  float sa = -0.0f, sb = -0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    sa += static_cast<float>(a.data[i]);
    sb += static_cast<float>(b.data[i]);
  }
  const float za = static_cast<float>(a.zero_point);
  const float zb = static_cast<float>(b.zero_point);
  const float nf = static_cast<float>(n);
  const float sf = static_cast<float>(static_cast<std::int32_t>(s));
  const float offset = (nf * za) * zb;
  const float centred = (sf - sb * za) - sa * zb;
  const float total = offset + centred;
  return (total * a.scale) * b.scale;
}

float quantized_cosine_similarity(const QuantizedEmbedding& a, const QuantizedEmbedding& b) {
  if (a.data.size() != b.data.size()) throw ValueError("Embeddings must have same dimension");
  if (a.data.empty()) return 0.0f;
  const Int8Sums ab = int8_sums(a.data, b.data);
  const Int8Sums aa = int8_sums(a.data, a.data);
  return int8_cosine(ab.dot, aa.sumsq, ab.sumsq);
}

std::vector<float> batch_quantized_cosine_similarity(
    std::span<const std::int8_t> query, std::span<const std::span<const std::int8_t>> corpus) {
  std::vector<float> out(corpus.size(), 0.0f);
  if (query.empty()) return out;
  const std::uint32_t qq = int8_sums(query, query).sumsq;
  auto score = [&](std::size_t i) {
    const std::span<const std::int8_t> c = corpus[i];
    if (c.size() != query.size()) return 0.0f;
    const Int8Sums sums = int8_sums(query, c);
    return int8_cosine(sums.dot, qq, sums.sumsq);
  };
  if (corpus.size() > PARALLEL_THRESHOLD) {
    parallel::parallel_for_ranges(
        corpus.size(),
        [&](std::size_t begin, std::size_t end) {
          for (std::size_t i = begin; i < end; ++i) out[i] = score(i);
        },
        256);
  } else {
    for (std::size_t i = 0; i < corpus.size(); ++i) out[i] = score(i);
  }
  return out;
}

// ---------------------------------------------------------------------------
// Matrix products.

std::vector<float> matmul_vector_internal(const FlatMatrix& matrix,
                                          std::span<const float> vector) {
  std::vector<float> out(matrix.rows);
  const std::size_t dim = std::min<std::size_t>(matrix.cols, vector.size());
  rows_times_vector(matrix.data.data(), matrix.rows, dim, matrix.cols, vector.data(), out.data());
  return out;
}

std::vector<float> matmul_vector(FloatRows&& matrix, std::span<const float> vector) {
  const std::size_t rows = matrix.rows();
  if (rows == 0) return {};
  for (std::size_t i = 0; i < rows; ++i) {
    const std::size_t len = matrix.row_size(i);
    if (len != vector.size()) throw ValueError(matrix_row_error(i, len, vector.size()));
  }
  return matmul_vector_internal(FlatMatrix::from_nested(std::move(matrix)), vector);
}

namespace {

// out row v (of `width` floats, starting at column `col0`) = the `count` rows
// at `rows` (row-major, `dim` floats each) times vectors.row(v). With more
// than kVectorBatchThreshold vectors the vectors are spread over the pool;
// otherwise each product may split its rows over the pool itself.
void product_block(const float* rows, std::size_t count, std::size_t dim, const FloatRows& vectors,
                   float* out, std::size_t width, std::size_t col0) {
  const std::size_t n = vectors.rows();
  if (n > kVectorBatchThreshold) {
    parallel::parallel_for(n, [&](std::size_t v) {
      vec::dot_rows(rows, count, dim, dim, vectors.row(v).data(), out + v * width + col0);
    });
  } else {
    for (std::size_t v = 0; v < n; ++v)
      rows_times_vector(rows, count, dim, dim, vectors.row(v).data(), out + v * width + col0);
  }
}

FlatMatrix result_table(std::size_t rows, std::size_t cols) {
  FlatMatrix out;
  out.rows = rows;
  out.cols = cols;
  out.data.resize(rows * cols);
  return out;
}

}  // namespace

FlatMatrix batch_matmul_vector(FloatRows&& matrix, const FloatRows& vectors) {
  if (matrix.rows() == 0 || vectors.rows() == 0) return {};
  const FlatMatrix m = FlatMatrix::from_nested(std::move(matrix));
  // Every vector is checked before any product is computed, so the error
  // names the first failing vector in input order, pooled or not.
  for (std::size_t v = 0; v < vectors.rows(); ++v) {
    if (vectors.row_size(v) != m.cols) throw ValueError(vector_dims_error(vectors.row_size(v), m.cols));
  }
  FlatMatrix out = result_table(vectors.rows(), m.rows);
  product_block(m.data.data(), m.rows, m.cols, vectors, out.data.data(), m.rows, 0);
  return out;
}

float projection_entry(std::uint64_t target_dim, std::uint64_t seed, std::uint64_t index) {
  ProjectionGenerator gen(target_dim, seed);
  float e = 0.0f;
  for (std::uint64_t i = 0; i <= index; ++i) e = gen.next();
  return e;
}

FlatMatrix random_projection(const FloatRows& embeddings, std::uint64_t target_dim,
                             std::uint64_t seed) {
  if (embeddings.rows() == 0) return {};
  const std::size_t d = embeddings.row_size(0);
  if (d < target_dim) throw ValueError("Target dimension must be <= input dimension");
  for (std::size_t v = 0; v < embeddings.rows(); ++v) {
    if (embeddings.row_size(v) != d) throw ValueError(vector_dims_error(embeddings.row_size(v), d));
  }
  const std::size_t t = static_cast<std::size_t>(target_dim);
  FlatMatrix out = result_table(embeddings.rows(), t);
  if (t == 0) return out;
  // R is drawn in storage order, one block of whole rows at a time; every
  // block is applied to all embeddings before the next is drawn.
  ProjectionGenerator gen(target_dim, seed);
  const std::size_t block_rows = std::max<std::size_t>(1, kProjectionBlockFloats / std::max<std::size_t>(d, 1));
  std::vector<float> block(std::min(block_rows, t) * d);
  for (std::size_t r0 = 0; r0 < t; r0 += block_rows) {
    const std::size_t count = std::min(block_rows, t - r0);
    for (std::size_t i = 0; i < count * d; ++i) block[i] = gen.next();
    product_block(block.data(), count, d, embeddings, out.data.data(), t, r0);
  }
  return out;
}

// ---------------------------------------------------------------------------
// Pairwise distances and neighbour graphs.

std::vector<float> pairwise_distances(FloatRows&& embeddings) {
  const std::size_t n = embeddings.rows();
  if (n < 2) return {};
  const FlatMatrix m = normalized_matrix(std::move(embeddings));
  const std::size_t cols = m.cols;
  std::vector<float> out(n * (n - 1) / 2);
  const float* data = m.data.data();
  // Pair (i, j), i < j, lives at offset(i) + (j - i - 1).
  auto offset = [n](std::size_t i) { return i * (2 * n - i - 1) / 2; };
  if (cols == 0) {
    std::fill(out.begin(), out.end(), 1.0f);
    return out;
  }
  // Blocks of rows i against blocks of rows j, so that the j block is
  // re-read from cache for every i of the i block; rows i go two at a time.
  const std::size_t block = block_rows_for(cols);
  auto row = [&](std::size_t i) { return data + i * cols; };
  for (std::size_t i0 = 0; i0 + 1 < n; i0 += block) {
    const std::size_t i1 = std::min(n - 1, i0 + block);
    for (std::size_t j0 = i0 + 1; j0 < n; j0 += block) {
      const std::size_t j1 = std::min(n, j0 + block);
      std::size_t i = i0;
      for (; i + 2 <= i1; i += 2) {
        // Row i takes j from max(j0, i + 1), row i + 1 from max(j0, i + 2).
        if (i + 1 >= j0 && i + 1 < j1) out[offset(i)] = vec::dot_product({row(i), cols}, {row(i + 1), cols});
        const std::size_t js = std::max(j0, i + 2);
        if (js >= j1) continue;
        // Rows i and i + 1 are adjacent, and so are their runs of the output:
        // offset(i + 1) + (js - i - 2) is n - i - 2 past offset(i) + (js - i - 1).
        vec::dot_pairs(row(i), 2, row(js), j1 - js, cols, out.data() + offset(i) + (js - i - 1), n - i - 2);
      }
      for (; i < i1; ++i) {
        const std::size_t js = std::max(j0, i + 1);
        if (js >= j1) continue;
        vec::dot_rows(row(js), j1 - js, cols, cols, row(i), out.data() + offset(i) + (js - i - 1));
      }
    }
  }
  for (float& x : out) x = 1.0f - x;
  return out;
}

namespace {

// A neighbour candidate of one row.
struct Candidate {
  float sim;
  std::uint64_t index;
};

// The order of a neighbour list: higher similarity first, equal similarities
// by increasing index (what a stable sort of the candidates, taken in index
// order, gives). NaN has no place among numbers, so NaN similarities come
// after every number, by increasing index. This is a strict total order over
// distinct indices, so the m best of a row are the same whatever order the
// candidates arrive in.
inline bool ranks_before(const Candidate& a, const Candidate& b) noexcept {
  const bool a_nan = a.sim != a.sim, b_nan = b.sim != b.sim;
  if (a_nan || b_nan) return a_nan == b_nan ? a.index < b.index : b_nan;
  if (a.sim != b.sim) return a.sim > b.sim;
  return a.index < b.index;
}

// The m best candidates of one row seen so far, as a binary heap whose top is
// the worst of them.
class BoundedBest {
 public:
  BoundedBest(Candidate* slots, std::size_t capacity) : slots_(slots), capacity_(capacity) {}

  void offer(Candidate c) noexcept {
    // Most candidates of a long row lose to the worst kept one outright.
    if (size_ == capacity_ && c.sim < slots_[0].sim) return;
    offer_slow(c);
  }
  // Sorts the kept candidates best first.
  void finish() noexcept { std::sort_heap(slots_, slots_ + size_, ranks_before); }

 private:
  void offer_slow(Candidate c) noexcept {
    if (size_ < capacity_) {
      slots_[size_++] = c;
      std::push_heap(slots_, slots_ + size_, ranks_before);
    } else if (ranks_before(c, slots_[0])) {
      std::pop_heap(slots_, slots_ + size_, ranks_before);
      slots_[size_ - 1] = c;
      std::push_heap(slots_, slots_ + size_, ranks_before);
    }
  }

  Candidate* slots_;
  std::size_t capacity_;
  std::size_t size_ = 0;
};

}  // namespace

KnnGraph knn_graph(FloatRows&& embeddings, std::uint64_t k) {
  KnnGraph g;
  const std::size_t n = embeddings.rows();
  if (n == 0) return g;
  const FlatMatrix m = normalized_matrix(std::move(embeddings));
  const std::size_t cols = m.cols;
  const std::size_t mm = static_cast<std::size_t>(std::min<std::uint64_t>(k, n - 1));
  g.n = n;
  g.m = mm;
  if (mm == 0) return g;
  const float* data = m.data.data();

  // dot_product(a, b) and dot_product(b, a) are the same number bit for bit
  // (the products commute and the summation order depends only on the
  // position), so each pair is scored once: the rows are cut into blocks, and
  // every tile of blocks (I, J) with I <= J feeds its scores to the rows of I
  // and, transposed, to the rows of J. Each row keeps only its m best, so the
  // memory beyond the result is one tile per worker.
  const std::size_t block = std::min<std::size_t>(block_rows_for(cols), 256);
  const std::size_t blocks = (n + block - 1) / block;
  std::vector<std::pair<std::size_t, std::size_t>> tiles;
  tiles.reserve(blocks * (blocks + 1) / 2);
  for (std::size_t bi = 0; bi < blocks; ++bi)
    for (std::size_t bj = bi; bj < blocks; ++bj) tiles.emplace_back(bi, bj);

  std::vector<Candidate> slots(n * mm);
  std::vector<BoundedBest> best;
  best.reserve(n);
  for (std::size_t i = 0; i < n; ++i) best.emplace_back(slots.data() + i * mm, mm);
  std::vector<std::mutex> block_locks(blocks);

  parallel::parallel_for(tiles.size(), [&](std::size_t t) {
    const auto [bi, bj] = tiles[t];
    const std::size_t i0 = bi * block, i1 = std::min(n, i0 + block);
    const std::size_t j0 = bj * block, j1 = std::min(n, j0 + block);
    const std::size_t width = j1 - j0;
    std::vector<float> tile((i1 - i0) * width, 0.0f);
    if (cols > 0) {
      const float* j_rows = data + j0 * cols;
      vec::dot_pairs(data + i0 * cols, i1 - i0, j_rows, width, cols, tile.data(), width);
    }
    {
      std::lock_guard<std::mutex> lock(block_locks[bi]);
      for (std::size_t i = i0; i < i1; ++i)
        for (std::size_t j = j0; j < j1; ++j)
          if (j != i) best[i].offer({tile[(i - i0) * width + (j - j0)], j});
    }
    if (bi != bj) {
      std::lock_guard<std::mutex> lock(block_locks[bj]);
      for (std::size_t j = j0; j < j1; ++j)
        for (std::size_t i = i0; i < i1; ++i) best[j].offer({tile[(i - i0) * width + (j - j0)], i});
    }
  });

  g.indices.resize(n * mm);
  g.distances.resize(n * mm);
  parallel::parallel_for_ranges(
      n,
      [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
          best[i].finish();
          for (std::size_t r = 0; r < mm; ++r) {
            const Candidate& c = slots[i * mm + r];
            g.indices[i * mm + r] = c.index;
            g.distances[i * mm + r] = 1.0f - c.sim;
          }
        }
      },
      64);
  return g;
}

}  // namespace thalren::embeddings
