// Numeric kernels shared by every vector function of the module.
//
// Everything here computes in IEEE-754 binary32: every product, sum, square
// root and quotient is rounded to 32 bits, no wider accumulator is used and no
// multiply-add is fused (the build keeps -ffp-contract=off). Results are
// compared bit for bit with other implementations, so the summation order
// below is part of the contract, not an implementation detail.
//
// Dot-product order ("eight-lane rule"), for n = common length:
//   * the first n - n % 8 elements are taken in chunks of eight; eight
//     accumulators start at +0.0f and accumulator j adds, chunk by chunk, the
//     rounded product a[8i+j] * b[8i+j];
//   * the accumulators combine as
//       (((acc0 + acc1) + acc2) + acc3) + (((acc4 + acc5) + acc6) + acc7);
//   * the remaining n % 8 products are added to that total one at a time in
//     index order.
// A length below 8 is therefore a plain left-to-right sum starting from 0.
//
// The eight lanes map onto one 256-bit register (AVX2 path, chosen at run
// time) or two 128-bit registers (SSE2 baseline); both keep the order above.
//
// All functions are thread-safe and allocation-free unless they return a
// std::vector.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace thalren::vec {

// The binary32 nearest to 1e-9 (bits 0x3089705F). A norm is never used as a
// divisor below this value.
inline constexpr float NORM_FLOOR = std::bit_cast<float>(std::uint32_t{0x3089705Fu});

// Batches of more than this many vectors go to the worker pool (in the
// functions that say so); smaller batches stay on the calling thread.
inline constexpr std::size_t PARALLEL_THRESHOLD = 100;

// max(x, NORM_FLOOR): x when x > NORM_FLOOR, else NORM_FLOOR. A NaN norm
// therefore becomes NORM_FLOOR.
inline float floor_norm(float x) noexcept { return x > NORM_FLOOR ? x : NORM_FLOOR; }

// Eight-lane dot product over min(a.size(), b.size()) elements.
float dot_product(std::span<const float> a, std::span<const float> b) noexcept;

// Correctly rounded binary32 square root of dot_product(v, v).
float l2_norm(std::span<const float> v) noexcept;

// dot_product(a, b) / (floor_norm(l2_norm(a)) * floor_norm(l2_norm(b))).
// Not clamped to [-1, 1]. Empty inputs give 0 / (NORM_FLOOR * NORM_FLOOR) = 0.
float cosine_pair(std::span<const float> a, std::span<const float> b) noexcept;

// Computes dot_product(a, b) and dot_product(a, a) in one pass over a, each
// with exactly the eight-lane order (the two results are bit-identical to two
// separate calls). Length is the common length of a and b.
void dot_and_sumsq(std::span<const float> a, std::span<const float> b, float* dot,
                   float* sumsq) noexcept;

// out[i] = v[i] / floor_norm(l2_norm(v)) (a true division per element, not a
// multiplication by a reciprocal). `out` must hold v.size() floats; it may
// alias v exactly (in-place) but must not partially overlap it.
void normalize_floored_into(std::span<const float> v, float* out) noexcept;
std::vector<float> normalize_floored(std::span<const float> v);

// Like normalize_floored when floor_norm(l2_norm(v)) > NORM_FLOOR; otherwise
// out is an unchanged copy of v. Same aliasing rule.
void normalize_or_copy_into(std::span<const float> v, float* out) noexcept;
std::vector<float> normalize_or_copy(std::span<const float> v);

// out[i] = dot_product(row i, q) for i in [0, count), where row i is the
// `dim` floats at rows + i * stride (stride >= dim) and q holds at least dim
// floats. Equivalent to a loop of dot_product calls, bit for bit, with the
// instruction-set dispatch hoisted out of the loop, so that a scan over a
// large contiguous matrix runs at memory speed. Runs on the calling thread.
void dot_rows(const float* rows, std::size_t count, std::size_t dim, std::size_t stride,
              const float* q, float* out) noexcept;

// out[i * out_stride + j] = dot_product(a_i, b_j) for every i < na and
// j < nb, where a_i is the `dim` floats at a + i * dim and b_j those at
// b + j * dim. Bit-identical to separate dot_product calls; several pairs are
// computed side by side (each with its own accumulators, so the order per pair
// is unchanged) and b is walked in cache-sized tiles, for query-by-corpus
// matrices. Runs on the calling thread.
void dot_pairs(const float* a, std::size_t na, const float* b, std::size_t nb, std::size_t dim,
               float* out, std::size_t out_stride) noexcept;

// Which implementation the dispatcher picked ("avx2", "sse2" or "scalar").
// For tests and diagnostics.
const char* kernel_isa() noexcept;

namespace detail {
// One set of kernels per instruction set, so that tests can compare every
// path with a scalar reference whatever the dispatcher picks on this machine.
struct KernelSet {
  const char* isa;
  float (*dot)(const float* a, const float* b, std::size_t n) noexcept;
  void (*dot2)(const float* a, const float* b, std::size_t n, float* dot, float* sumsq) noexcept;
  void (*rows)(const float* rows, std::size_t count, std::size_t dim, std::size_t stride,
               const float* q, float* out) noexcept;
  void (*pairs)(const float* a, std::size_t na, const float* b, std::size_t nb, std::size_t dim,
                float* out, std::size_t out_stride) noexcept;
  // out[i] = v[i] / d for i in [0, n).
  void (*divide)(const float* v, float d, float* out, std::size_t n) noexcept;
};
// The kernel sets this CPU can run, fastest first (always at least one).
std::span<const KernelSet> available_kernel_sets() noexcept;
}  // namespace detail

}  // namespace thalren::vec
