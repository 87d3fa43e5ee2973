#include "core/similarity.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <string>

#include "core/errors.hpp"
#include "core/parallel.hpp"
#include "core/vector_kernels.hpp"

namespace thalren::similarity {
namespace {

using vec::floor_norm;
using vec::NORM_FLOOR;
using vec::PARALLEL_THRESHOLD;

std::string num(std::uint64_t x) { return std::to_string(x); }

// Rows per pool task: about 64K floats of work each, so that small batches
// stay in one piece and large ones spread across the workers.
std::size_t grain_for(std::size_t dim) {
  return std::max<std::size_t>(16, (std::size_t{1} << 16) / std::max<std::size_t>(dim, 1));
}

// Runs fn(begin, end) over [0, n): on the calling thread when `pooled` is
// false, otherwise on the worker pool.
template <class Fn>
void run_ranges(std::size_t n, bool pooled, std::size_t grain, Fn&& fn) {
  if (n == 0) return;
  if (pooled) {
    parallel::parallel_for_ranges(n, fn, grain);
  } else {
    fn(std::size_t{0}, n);
  }
}

// Ranks scores for selection: higher first, NaN below every number (NaNs are
// equivalent to each other). A strict weak order, so the standard selection
// and sorting algorithms stay well defined whatever the input holds.
inline bool ranks_higher(float a, float b) noexcept {
  return a > b || (std::isnan(b) && !std::isnan(a));
}

struct HigherScore {
  bool operator()(const ScoredIndex& a, const ScoredIndex& b) const noexcept {
    return ranks_higher(a.score, b.score);
  }
};

void check_corpus_dims(std::size_t dim, const VectorList& corpus) {
  for (std::size_t i = 0; i < corpus.size(); ++i) {
    if (corpus.length(i) != dim) {
      throw ValueError("Dimension mismatch: query has " + num(dim) + " dims, corpus[" + num(i) +
                       "] has " + num(corpus.length(i)) + " dims");
    }
  }
}

}  // namespace

float cosine_similarity(std::span<const float> a, std::span<const float> b) {
  if (a.size() != b.size()) {
    throw ValueError("Vectors must have same length: " + num(a.size()) + " vs " + num(b.size()));
  }
  if (a.empty()) return 0.0f;
  return vec::cosine_pair(a, b);
}

std::vector<float> batch_cosine_similarity_impl(std::span<const float> query,
                                                const VectorList& corpus) {
  if (corpus.empty()) return {};
  const std::size_t dim = query.size();
  check_corpus_dims(dim, corpus);
  const float qn = floor_norm(vec::l2_norm(query));
  std::vector<float> out(corpus.size());
  // Every corpus vector has the query's length, so the corpus buffer is a
  // row-major matrix with stride `dim`.
  const float* rows = corpus.data();
  run_ranges(corpus.size(), corpus.size() > PARALLEL_THRESHOLD, grain_for(dim),
             [&](std::size_t begin, std::size_t end) {
               for (std::size_t i = begin; i < end; ++i) {
                 float dot, sumsq;
                 vec::dot_and_sumsq({rows + i * dim, dim}, query, &dot, &sumsq);
                 out[i] = dot / (floor_norm(std::sqrt(sumsq)) * qn);
               }
             });
  return out;
}

std::vector<float> batch_cosine_similarity_normalized_impl(std::span<const float> query,
                                                           const VectorList& normalized_corpus) {
  if (normalized_corpus.empty()) return {};
  const std::size_t dim = query.size();
  check_corpus_dims(dim, normalized_corpus);
  const std::vector<float> q = vec::normalize_floored(query);
  std::vector<float> out(normalized_corpus.size());
  const float* rows = normalized_corpus.data();
  run_ranges(normalized_corpus.size(), normalized_corpus.size() > PARALLEL_THRESHOLD,
             grain_for(dim), [&](std::size_t begin, std::size_t end) {
               vec::dot_rows(rows + begin * dim, end - begin, dim, dim, q.data(),
                             out.data() + begin);
             });
  return out;
}

void batch_normalize_vectors_impl(VectorList& vectors) {
  const std::size_t n = vectors.size();
  const std::size_t avg = n == 0 ? 1 : vectors.total_values() / n;
  float* data = vectors.mutable_data();
  run_ranges(n, n > PARALLEL_THRESHOLD, grain_for(avg), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const std::span<const float> v = vectors[i];
      vec::normalize_floored_into(v, data + (v.data() - vectors.data()));
    }
  });
}

std::vector<ScoredIndex> select_top_k(std::vector<ScoredIndex> entries, std::uint64_t k) {
  const std::size_t m = static_cast<std::size_t>(std::min<std::uint64_t>(k, entries.size()));
  if (m == 0) return {};
  if (m < entries.size()) {
    // Introselect: only the m best are kept, and only they get sorted.
    std::nth_element(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(m),
                     entries.end(), HigherScore{});
    entries.resize(m);
  }
  std::stable_sort(entries.begin(), entries.end(), HigherScore{});
  return entries;
}

std::vector<ScoredIndex> top_k_similar(std::span<const float> query, const VectorList& corpus,
                                       std::uint64_t k) {
  if (k == 0 || corpus.empty()) return {};
  const std::vector<float> scores = batch_cosine_similarity_impl(query, corpus);
  std::vector<ScoredIndex> entries(scores.size());
  for (std::size_t i = 0; i < scores.size(); ++i) entries[i] = {i, scores[i]};
  return select_top_k(std::move(entries), k);
}

std::vector<ScoredIndex> top_k_similar_normalized(std::span<const float> query,
                                                  const VectorList& normalized_corpus,
                                                  std::uint64_t k) {
  const std::vector<float> scores =
      batch_cosine_similarity_normalized_impl(query, normalized_corpus);
  const std::size_t m = static_cast<std::size_t>(std::min<std::uint64_t>(k, scores.size()));
  if (m == 0) return {};
  // Bounded heap with the lowest-ranked entry on top. An entry that does not
  // beat the current top when the heap is full would be pushed and popped
  // straight away, so it is skipped without touching the heap.
  std::vector<ScoredIndex> heap;
  heap.reserve(m + 1);
  const HigherScore higher;
  for (std::size_t i = 0; i < scores.size(); ++i) {
    const ScoredIndex e{i, scores[i]};
    if (heap.size() == m && !higher(e, heap.front())) continue;
    heap.push_back(e);
    std::push_heap(heap.begin(), heap.end(), higher);
    if (heap.size() > m) {
      std::pop_heap(heap.begin(), heap.end(), higher);
      heap.pop_back();
    }
  }
  std::stable_sort(heap.begin(), heap.end(), higher);
  return heap;
}

ScoreMatrix similarity_matrix_impl(const VectorList& queries, const VectorList& corpus,
                                   bool normalize) {
  ScoreMatrix result;
  if (queries.empty() || corpus.empty()) return result;
  const std::size_t dim = queries.length(0);
  for (std::size_t i = 0; i < queries.size(); ++i) {
    if (queries.length(i) != dim) {
      throw ValueError("Query dimension mismatch: queries[0] has " + num(dim) + " dims, queries[" +
                       num(i) + "] has " + num(queries.length(i)));
    }
  }
  for (std::size_t i = 0; i < corpus.size(); ++i) {
    if (corpus.length(i) != dim) {
      throw ValueError("Dimension mismatch: query has " + num(dim) + " dims, corpus[" + num(i) +
                       "] has " + num(corpus.length(i)));
    }
  }
  const std::size_t nq = queries.size();
  const std::size_t nc = corpus.size();
  std::size_t cells = 0;
  if (__builtin_mul_overflow(nq, nc, &cells)) throw std::bad_alloc();
  result.rows = nq;
  result.cols = nc;
  result.values.resize(cells);
  const std::size_t grain = grain_for(dim);

  // Queries go to the pool in small blocks: each block is multiplied against
  // the whole corpus, tile by tile, by the pair kernel.
  constexpr std::size_t kQueryBlock = 8;
  float* out = result.values.data();
  if (normalize) {
    std::vector<float> unit_corpus(nc * dim);
    std::vector<float> unit_queries(nq * dim);
    run_ranges(nc, true, grain, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i)
        vec::normalize_or_copy_into(corpus[i], unit_corpus.data() + i * dim);
    });
    run_ranges(nq, true, kQueryBlock, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i)
        vec::normalize_or_copy_into(queries[i], unit_queries.data() + i * dim);
      vec::dot_pairs(unit_queries.data() + begin * dim, end - begin, unit_corpus.data(), nc, dim,
                     out + begin * nc, nc);
    });
  } else {
    // The corpus norms do not depend on the query: compute them once.
    std::vector<float> corpus_norm(nc);
    run_ranges(nc, true, grain, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) corpus_norm[i] = floor_norm(vec::l2_norm(corpus[i]));
    });
    run_ranges(nq, true, kQueryBlock, [&](std::size_t begin, std::size_t end) {
      vec::dot_pairs(queries.data() + begin * dim, end - begin, corpus.data(), nc, dim,
                     out + begin * nc, nc);
      for (std::size_t i = begin; i < end; ++i) {
        const float qn = floor_norm(vec::l2_norm(queries[i]));
        float* row = out + i * nc;
        for (std::size_t j = 0; j < nc; ++j) row[j] = row[j] / (corpus_norm[j] * qn);
      }
    });
  }
  return result;
}

// ---------------------------------------------------------------------------
// EmbeddingIndex

namespace {

void check_label_count(std::size_t vectors, std::size_t labels) {
  if (vectors != labels) {
    throw ValueError("vectors length (" + num(vectors) + ") must match labels length (" +
                     num(labels) + ")");
  }
}

}  // namespace

EmbeddingIndex::EmbeddingIndex(const VectorList& vectors, std::vector<std::string> labels) {
  check_label_count(vectors.size(), labels.size());
  if (vectors.empty()) return;
  const std::size_t dim = vectors.length(0);
  if (dim == 0) throw ValueError("Vectors must have non-zero dimension");
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    if (vectors.length(i) != dim) {
      throw ValueError("Dimension mismatch: vectors[0] has " + num(dim) + " dims, vectors[" +
                       num(i) + "] has " + num(vectors.length(i)) + " dims");
    }
  }
  data_.resize(vectors.size() * dim);
  for (std::size_t i = 0; i < vectors.size(); ++i)
    vec::normalize_floored_into(vectors[i], data_.data() + i * dim);
  labels_ = std::move(labels);
  dim_ = dim;
  count_ = vectors.size();
}

void EmbeddingIndex::add(const VectorList& vectors, std::vector<std::string> labels) {
  check_label_count(vectors.size(), labels.size());
  if (vectors.empty()) return;
  if (count_ == 0) {
    dim_ = vectors.length(0);
    if (dim_ == 0) throw ValueError("Vectors must have non-zero dimension");
  }
  const std::size_t dim = static_cast<std::size_t>(dim_);
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    if (vectors.length(i) != dim) {
      throw ValueError("Dimension mismatch: index has " + num(dim) + " dims, vectors[" + num(i) +
                       "] has " + num(vectors.length(i)) + " dims");
    }
  }
  const std::size_t old_values = data_.size();
  data_.resize(old_values + vectors.size() * dim);
  labels_.reserve(labels_.size() + labels.size());
  for (std::size_t i = 0; i < vectors.size(); ++i)
    vec::normalize_floored_into(vectors[i], data_.data() + old_values + i * dim);
  for (std::string& label : labels) labels_.push_back(std::move(label));
  count_ += vectors.size();
}

std::vector<float> EmbeddingIndex::scores(std::span<const float> q) const {
  const std::vector<float> unit = vec::normalize_floored(q);
  std::vector<float> out(static_cast<std::size_t>(count_));
  vec::dot_rows(data_.data(), out.size(), static_cast<std::size_t>(dim_),
                static_cast<std::size_t>(dim_), unit.data(), out.data());
  return out;
}

std::vector<ScoredIndex> EmbeddingIndex::query(std::span<const float> q, std::uint64_t k,
                                               float threshold) const {
  if (count_ == 0 || q.size() != dim_ || k == 0) return {};
  const std::vector<float> unit = vec::normalize_floored(q);
  const std::size_t dim = static_cast<std::size_t>(dim_);
  const std::size_t count = static_cast<std::size_t>(count_);
  // Scan in blocks so the scores stay in cache while they are filtered.
  constexpr std::size_t kBlock = 1024;
  float block[kBlock];
  std::vector<ScoredIndex> candidates;
  for (std::size_t begin = 0; begin < count; begin += kBlock) {
    const std::size_t n = std::min(kBlock, count - begin);
    vec::dot_rows(data_.data() + begin * dim, n, dim, dim, unit.data(), block);
    for (std::size_t i = 0; i < n; ++i) {
      // A NaN score or a NaN threshold fails this test.
      if (block[i] >= threshold) candidates.push_back({begin + i, block[i]});
    }
  }
  return select_top_k(std::move(candidates), k);
}

std::vector<float> EmbeddingIndex::similarities(std::span<const float> q) const {
  if (count_ == 0) return {};
  if (q.size() != dim_) {
    throw ValueError("Dimension mismatch: index has " + num(dim_) + " dims, query has " +
                     num(q.size()) + " dims");
  }
  return scores(q);
}

}  // namespace thalren::similarity
