// Cosine similarity over embedding vectors: one pair, one query against a
// corpus, query-by-corpus matrices, top-k retrieval, bulk normalisation, and a
// pre-normalised in-memory index (EmbeddingIndex).
//
// All arithmetic is binary32 through the kernels of core/vector_kernels.hpp,
// so results are reproducible to the last bit. Errors are thrown as
// thalren::ValueError with the exact user-facing message.
//
// Threading: functions that take a corpus hand it to the worker pool when it
// holds more than vec::PARALLEL_THRESHOLD vectors (similarity_matrix always);
// results are identical either way. Nothing here touches Python, so callers
// may run these with the interpreter lock released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace thalren::similarity {

// A list of float vectors of possibly different lengths, stored back to back
// in one buffer: vector i is values[offsets[i] .. offsets[i+1]). One
// allocation for the whole batch, and when all lengths are equal the buffer is
// a row-major matrix.
class VectorList {
  // Leaves new floats uninitialised on resize: every one is written right
  // after, and zeroing tens of megabytes first would cost a pass of its own.
  template <class T>
  struct DefaultInitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
      using other = DefaultInitAllocator<U>;
    };
    using std::allocator<T>::allocator;
    template <class U>
    void construct(U* p) noexcept {
      ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
      ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
  };

 public:
  VectorList() : offsets_{0} {}

  std::size_t size() const noexcept { return offsets_.size() - 1; }
  bool empty() const noexcept { return size() == 0; }
  std::span<const float> operator[](std::size_t i) const noexcept {
    return {values_.data() + offsets_[i], offsets_[i + 1] - offsets_[i]};
  }
  std::size_t length(std::size_t i) const noexcept { return offsets_[i + 1] - offsets_[i]; }
  const float* data() const noexcept { return values_.data(); }
  float* mutable_data() noexcept { return values_.data(); }
  std::size_t total_values() const noexcept { return values_.size(); }

  // Building: reserve, then either append whole vectors or grow the last one.
  void reserve(std::size_t vectors, std::size_t values) {
    offsets_.reserve(vectors + 1);
    values_.reserve(values);
  }
  void push_back(std::span<const float> v) {
    values_.insert(values_.end(), v.begin(), v.end());
    offsets_.push_back(values_.size());
  }
  // Appends a new vector of `n` floats with unspecified contents, to be
  // filled through the returned pointer (valid until the next append).
  float* append_vector(std::size_t n) {
    const std::size_t at = values_.size();
    values_.resize(at + n);
    offsets_.push_back(values_.size());
    return values_.data() + at;
  }
  // Open-ended vector: append_value() any number of times, then
  // finish_vector().
  void append_value(float x) { values_.push_back(x); }
  void finish_vector() { offsets_.push_back(values_.size()); }
  void clear() noexcept {
    values_.clear();
    offsets_.assign(1, 0);
  }

 private:
  std::vector<float, DefaultInitAllocator<float>> values_;
  std::vector<std::size_t> offsets_;
};

// A rows x cols matrix of results in one row-major buffer.
struct ScoreMatrix {
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::vector<float> values;
};

// A corpus position and its score.
struct ScoredIndex {
  std::uint64_t index;
  float score;
};

// Cosine of a and b (not clamped). Throws ValueError
// "Vectors must have same length: {} vs {}"; two empty vectors give 0.
float cosine_similarity(std::span<const float> a, std::span<const float> b);

// One cosine per corpus vector, in corpus order. An empty corpus gives an
// empty result without looking at the query. Throws ValueError
// "Dimension mismatch: query has {} dims, corpus[{}] has {} dims" for the
// first corpus vector whose length differs from the query's.
std::vector<float> batch_cosine_similarity_impl(std::span<const float> query,
                                                const VectorList& corpus);

// Like batch_cosine_similarity_impl for a corpus of unit vectors: the query is
// normalised (floored) and each score is one dot product. Corpus vectors are
// used as given.
std::vector<float> batch_cosine_similarity_normalized_impl(std::span<const float> query,
                                                           const VectorList& normalized_corpus);

// Replaces every vector by its floored normalisation, in place. Lengths may
// differ.
void batch_normalize_vectors_impl(VectorList& vectors);

// The min(k, corpus size) best (index, cosine) pairs, best first. k = 0 or an
// empty corpus returns nothing without checking lengths. Selection first, then
// a stable sort of the selected entries only. NaN scores never fail; they
// rank below every number.
std::vector<ScoredIndex> top_k_similar(std::span<const float> query, const VectorList& corpus,
                                       std::uint64_t k);

// The same over a pre-normalised corpus, keeping a bounded heap of at most
// k + 1 entries. Lengths are checked even when k = 0.
std::vector<ScoredIndex> top_k_similar_normalized(std::span<const float> query,
                                                  const VectorList& normalized_corpus,
                                                  std::uint64_t k);

// Query-by-corpus cosine matrix (rows = queries). Empty queries or corpus give
// a 0 x 0 matrix. Throws ValueError
// "Query dimension mismatch: queries[0] has {} dims, queries[{}] has {}" or
// "Dimension mismatch: query has {} dims, corpus[{}] has {}".
ScoreMatrix similarity_matrix_impl(const VectorList& queries, const VectorList& corpus,
                                   bool normalize);

// Selects the min(k, entries.size()) highest scores (NaN lowest) and returns
// them sorted by descending score with a stable sort. Exposed for the index.
std::vector<ScoredIndex> select_top_k(std::vector<ScoredIndex> entries, std::uint64_t k);

// Labelled unit vectors in one contiguous row-major buffer. Rows are
// normalised once, on insertion; queries cost one normalisation plus one dot
// product per row. Single-threaded; callers serialise add() against readers.
class EmbeddingIndex {
 public:
  EmbeddingIndex() = default;
  // Throws ValueError for a count mismatch, a zero dimension or a row whose
  // length differs from the first one's.
  EmbeddingIndex(const VectorList& vectors, std::vector<std::string> labels);

  // Appends rows; all checks happen before anything changes (the dimension of
  // an empty index is recorded from the first new vector even if a later
  // check fails).
  void add(const VectorList& vectors, std::vector<std::string> labels);

  // Best-first (row, score) pairs with score >= threshold, at most k. A
  // query of the wrong length, or an empty index, gives nothing.
  std::vector<ScoredIndex> query(std::span<const float> q, std::uint64_t k, float threshold) const;

  // One score per row, in insertion order. Throws ValueError
  // "Dimension mismatch: index has {} dims, query has {} dims".
  std::vector<float> similarities(std::span<const float> q) const;

  std::uint64_t len() const noexcept { return count_; }
  std::uint64_t dim() const noexcept { return dim_; }
  const std::string& label(std::size_t row) const noexcept { return labels_[row]; }

 private:
  // Scores of every row against the normalised form of q (length dim_).
  std::vector<float> scores(std::span<const float> q) const;

  std::vector<float> data_;
  std::vector<std::string> labels_;
  std::uint64_t dim_ = 0;
  std::uint64_t count_ = 0;
};

}  // namespace thalren::similarity
