// Quantised embeddings, matrix-vector products, seeded random projection,
// pairwise cosine distances and k-nearest-neighbour graphs.
//
// Floating-point work is binary32 throughout and uses the eight-lane
// dot-product order of core/vector_kernels.hpp, so every result here is
// reproducible bit for bit. Functions throw thalren::ValueError with the exact
// user-facing messages; nothing touches Python objects, so everything may run
// on the worker pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace thalren::embeddings {

// Vectors of possibly different lengths stored back to back in one buffer:
// row i is values[offsets[i], offsets[i + 1]). This is what a Python list of
// lists of floats converts into: one allocation for all elements however many
// rows there are, and a matrix whose rows agree becomes a FlatMatrix without a
// copy.
struct FloatRows {
  std::vector<float> values;
  std::vector<std::size_t> offsets{0};  // always rows() + 1 entries

  std::size_t rows() const noexcept { return offsets.size() - 1; }
  std::size_t row_size(std::size_t i) const noexcept { return offsets[i + 1] - offsets[i]; }
  std::span<const float> row(std::size_t i) const noexcept {
    return {values.data() + offsets[i], row_size(i)};
  }
  // Appends one row (used by tests and by callers building rows natively).
  void push_row(std::span<const float> r) {
    values.insert(values.end(), r.begin(), r.end());
    offsets.push_back(values.size());
  }
};

// A dense row-major matrix: rows x cols floats in one buffer.
struct FlatMatrix {
  std::vector<float> data;
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;

  // Takes over `nested` (no copy). No rows: an empty matrix. A first row of
  // length 0 gives rows = nested.rows(), cols = 0 and no data, whatever the
  // other rows hold. Otherwise every row must have the first row's length:
  // ValueError "Matrix row {} has {} cols, expected {}".
  static FlatMatrix from_nested(FloatRows&& nested);

  std::span<const float> row(std::size_t i) const noexcept {
    return {data.data() + i * cols, static_cast<std::size_t>(cols)};
  }
};

// ---------------------------------------------------------------------------
// Quantised embeddings: value = (q - zero_point) * scale, q a signed byte.

struct QuantizedEmbedding {
  std::vector<std::int8_t> data;
  float scale = 1.0f;
  std::int8_t zero_point = 0;
};

// Symmetric 8-bit quantisation: the largest magnitude (NaN elements skipped)
// maps to 127, each element to round(v / scale) with halves away from zero,
// NaN to 0; zero point 0. An empty input gives scale 1, an all-zero input
// scale NORM_FLOOR and all-zero data.
QuantizedEmbedding quantize_embedding_slice(std::span<const float> values);

// One result per row, in order; more than PARALLEL_THRESHOLD rows are
// quantised on the worker pool.
std::vector<QuantizedEmbedding> batch_quantize_embeddings(const FloatRows& embeddings);

// q * scale for every element (the zero point is not applied).
std::vector<float> dequantize(const QuantizedEmbedding& q);

// scale_a * scale_b * sum((a[i] - za) * (b[i] - zb)), evaluated as
// (((n*za)*zb) + ((S - SB*za) - SA*zb)) * sa * sb in binary32.
// ValueError "Embeddings must have same dimension" on a length mismatch.
float quantized_dot(const QuantizedEmbedding& a, const QuantizedEmbedding& b);

// Cosine of the raw 8-bit vectors (scales and zero points ignored), from
// 32-bit wrapping integer sums. ValueError "Embeddings must have same
// dimension" on a length mismatch; 0 for empty or all-zero inputs.
float quantized_cosine_similarity(const QuantizedEmbedding& a, const QuantizedEmbedding& b);

// quantized_cosine_similarity of the query with each corpus vector, except
// that a length mismatch (or an empty query) scores 0 instead of failing.
// More than PARALLEL_THRESHOLD corpus vectors go to the worker pool.
std::vector<float> batch_quantized_cosine_similarity(
    std::span<const std::int8_t> query, std::span<const std::span<const std::int8_t>> corpus);

// ---------------------------------------------------------------------------
// Matrix products, projection and neighbour graphs.

// out[r] = dot_product(matrix row r, vector) over their common length. More
// than PARALLEL_THRESHOLD rows are split across the worker pool.
std::vector<float> matmul_vector_internal(const FlatMatrix& matrix, std::span<const float> vector);

// Checks every row against the vector's length ("Matrix row {} has {} cols,
// expected {}"), then the product. No rows: empty result.
std::vector<float> matmul_vector(FloatRows&& matrix, std::span<const float> vector);

// One product per vector, as a matrix with one row per vector (row v is
// matmul_vector_internal(matrix, vectors[v])). Rows are checked against the
// first row, vectors against the column count ("Vector has {} dims, expected
// {}"; every vector is checked before any product, so the first failing
// vector in input order is reported). More than 10 vectors go to the pool.
FlatMatrix batch_matmul_vector(FloatRows&& matrix, const FloatRows& vectors);

// Row v of the result is R * embeddings[v], R a target_dim x d matrix drawn
// in storage order (row 0 left to right, then row 1, ...). Each entry advances
// the 64-bit state (initially `seed`) to state * 6364136223846793005 + 1 mod
// 2^64 and takes the fraction f = (state >> 40) / 2^24 from its top 24 bits:
// exact in binary32, uniform over [0, 1) and never 1. The entry is
// ((f + f) - 1) * sqrt(1 / target_dim), all in binary32, so it lies in
// [-x, x) for x = sqrt(1 / target_dim). R is drawn a block of rows at a time,
// never held whole when it would be larger than a million floats.
// ValueError "Target dimension must be <= input dimension" when d <
// target_dim, "Vector has {} dims, expected {}" for an embedding whose length
// is not d (the first in input order). More than 10 embeddings go to the pool.
FlatMatrix random_projection(const FloatRows& embeddings, std::uint64_t target_dim,
                             std::uint64_t seed);

// The entry R[index] of the projection matrix for (target_dim, seed), with
// index counted in storage order. For tests.
float projection_entry(std::uint64_t target_dim, std::uint64_t seed, std::uint64_t index);

// 1 - cosine of every pair i < j, in the order (0,1), (0,2), ..., (n-2,n-1),
// rows normalised with a left-to-right sum of squares. Calling thread only.
std::vector<float> pairwise_distances(FloatRows&& embeddings);

// For every embedding, its min(k, n - 1) nearest others by cosine (rows
// normalised as in pairwise_distances), nearest first; ties keep the lower
// index first and NaN similarities rank after every number, in index order.
// Always computed on the worker pool; each pair is scored once.
struct KnnGraph {
  std::size_t n = 0;  // embeddings
  std::size_t m = 0;  // neighbours per embedding
  std::vector<std::uint64_t> indices;  // n * m, row-major
  std::vector<float> distances;        // n * m, row-major
};
KnnGraph knn_graph(FloatRows&& embeddings, std::uint64_t k);

// Scales row r in place by 1 / max(sqrt(left-to-right sum of r[i]^2),
// NORM_FLOOR), element by element with a true division.
void normalize_sequential(std::span<float> row) noexcept;

}  // namespace thalren::embeddings
