// Python face of the similarity family: cosine similarity functions and
// EmbeddingIndex.
//
// Converting Python lists of floats is most of the cost of every call here,
// so lists of vectors have their own caster: one pass over exact lists and
// tuples of exact floats straight into a single flat buffer (no per-vector
// allocation), contiguous float buffers (numpy arrays, array.array) are
// copied whole, and everything else takes the generic sequence path. Results
// are built directly as lists of Python floats.
#include "bind/bind.hpp"
#include "core/similarity.hpp"
#include "families.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim = thalren::similarity;

namespace {

// One vector argument. A type of this file's own (not std::span) so that its
// converter cannot collide with another family's.
struct FloatVector {
  sim::VectorList storage;
  std::span<const float> span() const { return storage[0]; }
};

}  // namespace

namespace bind {
namespace similarity_detail {

inline PyObject** items_of(PyObject* seq, bool is_list) {
  return is_list ? reinterpret_cast<PyListObject*>(seq)->ob_item
                 : reinterpret_cast<PyTupleObject*>(seq)->ob_item;
}

// A C-contiguous buffer of native 32- or 64-bit floats (numpy arrays,
// array.array, memoryview) whose elements, read one by one as Python floats,
// would give exactly these values: it is copied without creating an object
// per element. Anything else is left to the sequence path.
class FloatBuffer {
 public:
  explicit FloatBuffer(PyObject* src) {
    if (!PyObject_CheckBuffer(src) || PyBytes_Check(src) || PyByteArray_Check(src)) return;
    if (PyObject_GetBuffer(src, &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) {
      PyErr_Clear();  // not contiguous or not exportable: iterate instead
      return;
    }
    held_ = true;
    const std::string_view f = view_.format ? std::string_view(view_.format) : std::string_view("B");
    const std::string_view bare = (f.size() == 2 && (f[0] == '@' || f[0] == '=' ||
                                                     (f[0] == '<' && std::endian::native == std::endian::little)))
                                      ? f.substr(1)
                                      : f;
    if (bare == "f" && view_.itemsize == 4) kind_ = Kind::F32;
    if (bare == "d" && view_.itemsize == 8) kind_ = Kind::F64;
  }
  ~FloatBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  FloatBuffer(const FloatBuffer&) = delete;
  FloatBuffer& operator=(const FloatBuffer&) = delete;

  bool usable(int ndim) const { return kind_ != Kind::None && view_.ndim == ndim; }
  std::size_t extent(int axis) const { return static_cast<std::size_t>(view_.shape[axis]); }
  // Copies `n` elements starting at element `first`, narrowing doubles.
  void copy(std::size_t first, std::size_t n, float* dst) const {
    if (kind_ == Kind::F32) {
      const float* p = static_cast<const float*>(view_.buf) + first;
      std::copy(p, p + n, dst);
    } else {
      const double* p = static_cast<const double*>(view_.buf) + first;
      for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<float>(p[i]);
    }
  }

 private:
  enum class Kind { None, F32, F64 };
  Py_buffer view_{};
  bool held_ = false;
  Kind kind_ = Kind::None;
};

// Appends the vector `src` (any sequence but str) to `out`.
inline bool append_vector(PyObject* src, sim::VectorList& out) {
  if (PyList_CheckExact(src) || PyTuple_CheckExact(src)) {
    return detail::fill_floats(src, out.append_vector(static_cast<std::size_t>(Py_SIZE(src))));
  }
  if (!PyUnicode_Check(src)) {
    FloatBuffer buffer(src);
    if (buffer.usable(1)) {
      const std::size_t n = buffer.extent(0);
      buffer.copy(0, n, out.append_vector(n));
      return true;
    }
  }
  Ref snapshot = detail::sequence_snapshot(src);
  if (!snapshot) return false;
  return append_vector(snapshot.get(), out);
}

}  // namespace similarity_detail

// A single vector, read like one row of a list of vectors.
template <>
struct Caster<FloatVector> {
  FloatVector value;
  bool load(PyObject* src) { return similarity_detail::append_vector(src, value.storage); }
  const FloatVector& get() const { return value; }
};

// A list of vectors (a sequence of sequences of numbers, str refused at both
// levels) into one flat buffer.
template <>
struct Caster<sim::VectorList> {
  sim::VectorList value;

  bool load(PyObject* src) {
    using similarity_detail::append_vector;
    using similarity_detail::FloatBuffer;
    using similarity_detail::items_of;
    if (PyList_CheckExact(src) || PyTuple_CheckExact(src)) {
      const bool is_list = PyList_CheckExact(src);
      const Py_ssize_t n = Py_SIZE(src);
      PyObject** items = items_of(src, is_list);
      // Size the buffer once from the lengths of the exact lists and tuples.
      std::size_t total = 0;
      for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = items[i];
        if (PyList_CheckExact(item) || PyTuple_CheckExact(item))
          total += static_cast<std::size_t>(Py_SIZE(item));
      }
      value.reserve(static_cast<std::size_t>(n), total);
      for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = items[i];
        if (!is_list) {
          if (!append_vector(item, value)) return false;
          continue;
        }
        Ref hold = Ref::borrow(item);
        if (!append_vector(item, value)) return false;
        if (Py_SIZE(src) != n) return detail::list_changed_size();
        items = items_of(src, true);
      }
      return true;
    }
    if (!PyUnicode_Check(src)) {
      // A 2-D float array: every row at once.
      FloatBuffer buffer(src);
      if (buffer.usable(2)) {
        const std::size_t rows = buffer.extent(0), cols = buffer.extent(1);
        value.reserve(rows, rows * cols);
        for (std::size_t r = 0; r < rows; ++r) buffer.copy(r * cols, cols, value.append_vector(cols));
        return true;
      }
    }
    Ref snapshot = detail::sequence_snapshot(src);
    if (!snapshot) return false;
    return load(snapshot.get());
  }
  sim::VectorList& get() { return value; }

  static PyObject* cast(const sim::VectorList& v) {
    Ref list = check_ref(PyList_New(static_cast<Py_ssize_t>(v.size())));
    for (std::size_t i = 0; i < v.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), detail::float_list(v[i]));
    }
    return list.release();
  }
};

template <>
struct Caster<sim::ScoreMatrix> {
  static PyObject* cast(const sim::ScoreMatrix& m) {
    Ref rows = check_ref(PyList_New(static_cast<Py_ssize_t>(m.rows)));
    for (std::size_t r = 0; r < m.rows; ++r) {
      PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(r),
                      detail::float_list(std::span<const float>(m.values.data() + r * m.cols, m.cols)));
    }
    return rows.release();
  }
};

template <>
struct Caster<sim::ScoredIndex> {
  static PyObject* cast(const sim::ScoredIndex& e) {
    Ref tuple = check_ref(PyTuple_New(2));
    PyTuple_SET_ITEM(tuple.get(), 0, check(PyLong_FromUnsignedLongLong(e.index)));
    PyTuple_SET_ITEM(tuple.get(), 1, check(PyFloat_FromDouble(static_cast<double>(e.score))));
    return tuple.release();
  }
};

}  // namespace bind

namespace {

using Vector = const FloatVector&;
using sim::VectorList;

// ---- module functions ----------------------------------------------------------

double cosine_similarity(Vector a, Vector b) { return sim::cosine_similarity(a.span(), b.span()); }

std::vector<float> batch_cosine_similarity(Vector query, const VectorList& corpus) {
  bind::ReleaseGil unlocked;
  return sim::batch_cosine_similarity_impl(query.span(), corpus);
}

std::vector<float> batch_cosine_similarity_normalized(Vector query,
                                                      const VectorList& normalized_corpus) {
  bind::ReleaseGil unlocked;
  return sim::batch_cosine_similarity_normalized_impl(query.span(), normalized_corpus);
}

const VectorList& batch_normalize_vectors(VectorList& vectors) {
  {
    bind::ReleaseGil unlocked;
    sim::batch_normalize_vectors_impl(vectors);
  }
  return vectors;
}

std::vector<sim::ScoredIndex> top_k_similar(Vector query, const VectorList& corpus, std::uint64_t k) {
  return sim::top_k_similar(query.span(), corpus, k);
}

std::vector<sim::ScoredIndex> top_k_similar_normalized(Vector query, const VectorList& normalized_corpus,
                                                       std::uint64_t k) {
  return sim::top_k_similar_normalized(query.span(), normalized_corpus, k);
}

sim::ScoreMatrix similarity_matrix(const VectorList& queries, const VectorList& corpus, bool normalize) {
  bind::ReleaseGil unlocked;
  return sim::similarity_matrix_impl(queries, corpus, normalize);
}

// ---- EmbeddingIndex ----------------------------------------------------------------

sim::EmbeddingIndex make_index(const VectorList& vectors, std::vector<std::string> labels) {
  return sim::EmbeddingIndex(vectors, std::move(labels));
}

void index_add(sim::EmbeddingIndex& index, const VectorList& vectors, std::vector<std::string> labels) {
  index.add(vectors, std::move(labels));
}

// Labels are viewed in place: the index stays borrowed until the result list
// has been built.
std::vector<std::pair<std::string_view, float>> index_query(const sim::EmbeddingIndex& index, Vector query,
                                                            std::uint64_t k, float threshold) {
  const std::vector<sim::ScoredIndex> hits = index.query(query.span(), k, threshold);
  std::vector<std::pair<std::string_view, float>> out;
  out.reserve(hits.size());
  for (const sim::ScoredIndex& h : hits) out.emplace_back(index.label(static_cast<std::size_t>(h.index)), h.score);
  return out;
}

std::vector<float> index_similarities(const sim::EmbeddingIndex& index, Vector query) {
  return index.similarities(query.span());
}

std::uint64_t index_len(const sim::EmbeddingIndex& index) { return index.len(); }
std::uint64_t index_dim(const sim::EmbeddingIndex& index) { return index.dim(); }

}  // namespace

const bind::Family& similarity_family() {
  static const bind::Family family{
      bind::def<"cosine_similarity(a, b)", &cosine_similarity>(
          "Cosine similarity of two vectors of equal length, in 32-bit floats.\n\n"
          "Raises ValueError if the lengths differ; two empty vectors give 0.0."),
      bind::def<"batch_cosine_similarity(query, corpus)", &batch_cosine_similarity>(
          "Cosine similarity of the query with every corpus vector, in corpus order.\n\n"
          "Releases the GIL while computing; large corpora are processed in parallel."),
      bind::def<"similarity_matrix(queries, corpus, normalize=True)", &similarity_matrix>(
          "Cosine similarity of every query with every corpus vector: one row per query.\n\n"
          "Releases the GIL and computes in parallel."),
      bind::def<"top_k_similar(query, corpus, k=10)", &top_k_similar>(
          "The k corpus vectors most similar to the query, as (index, score) pairs, best first."),
      bind::def<"batch_normalize_vectors(vectors)", &batch_normalize_vectors>(
          "L2-normalises every vector (vectors may differ in length).\n\n"
          "Releases the GIL while computing."),
      bind::def<"batch_cosine_similarity_normalized(query, normalized_corpus)",
                &batch_cosine_similarity_normalized>(
          "Similarity of the query with a corpus of unit vectors: one dot product per vector.\n\n"
          "The corpus is used as given; releases the GIL while computing."),
      bind::def<"top_k_similar_normalized(query, normalized_corpus, k=10)", &top_k_similar_normalized>(
          "The k most similar vectors of a pre-normalised corpus, as (index, score) pairs, best first."),
      bind::Class<sim::EmbeddingIndex>(
          "EmbeddingIndex",
          "An in-memory index of labelled embeddings, normalised on insertion and stored in one\n"
          "contiguous buffer; queries return the most similar labels.")
          .init<"EmbeddingIndex(vectors, labels)", &make_index>()
          .method<"add($self, vectors, labels)", &index_add>("Appends vectors with their labels.")
          .method<"query($self, query, k=10, threshold=0.0)", &index_query>(
              "The k stored labels most similar to the query with a score of at least threshold,\n"
              "as (label, score) pairs, best first. A query of the wrong length gives [].")
          .method<"similarities($self, query)", &index_similarities>(
              "Similarity of the query with every stored vector, in insertion order.")
          .method<"len($self)", &index_len>("Number of stored vectors.")
          .method<"dim($self)", &index_dim>("Dimension of the stored vectors (0 for an empty index)."),
  };
  return family;
}
