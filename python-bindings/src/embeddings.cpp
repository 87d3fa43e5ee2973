// Python face of the embeddings family: QuantizedEmbedding and the
// quantisation functions, matrix-vector products, random projection, pairwise
// distances and kNN graphs.
//
// Converting Python lists is most of the cost of these calls, so lists of
// vectors get their own caster: one pass over the outer list, every element
// written straight into one shared buffer (core FloatRows), no allocation per
// row or per element. Results are built directly from the flat native
// buffers.
#include "core/embeddings.hpp"

#include "families.hpp"

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace emb = thalren::embeddings;
using emb::FlatMatrix;
using emb::FloatRows;
using emb::KnnGraph;
using emb::QuantizedEmbedding;

namespace {

// A corpus of QuantizedEmbedding objects, viewed in place: the caster's tuple
// snapshot keeps every object alive for the call, and the objects are
// immutable, so their byte vectors can be read without copying.
struct QuantizedCorpus {
  std::vector<std::span<const std::int8_t>> rows;
};

}  // namespace

namespace bind {

// Lists of vectors of 32-bit floats (list of lists, tuples, any sequence but
// str) into one FloatRows buffer.
template <>
struct Caster<FloatRows> {
  FloatRows value;

  bool load(PyObject* src) {
    Ref outer = detail::sequence_snapshot(src);
    if (!outer) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(outer.get());
    std::size_t hint = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* row = PyTuple_GET_ITEM(outer.get(), i);
      if (PyList_CheckExact(row) || PyTuple_CheckExact(row)) hint += static_cast<std::size_t>(Py_SIZE(row));
    }
    value.values.reserve(hint);
    value.offsets.reserve(static_cast<std::size_t>(n) + 1);
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!append_row(PyTuple_GET_ITEM(outer.get(), i))) return false;
    }
    return true;
  }
  FloatRows&& get() { return std::move(value); }

 private:
  bool append_row(PyObject* row) {
    if (!PyList_CheckExact(row) && !PyTuple_CheckExact(row)) {
      Ref snapshot = detail::sequence_snapshot(row);
      if (!snapshot) return false;
      return append_row(snapshot.get());
    }
    const std::size_t base = value.values.size();
    value.values.resize(base + static_cast<std::size_t>(Py_SIZE(row)));
    if (!detail::fill_floats(row, value.values.data() + base)) return false;
    value.offsets.push_back(value.values.size());
    return true;
  }
};

template <>
struct Caster<QuantizedCorpus> {
  QuantizedCorpus value;
  Ref keep;  // the snapshot that keeps every element alive

  bool load(PyObject* src) {
    keep = detail::sequence_snapshot(src);
    if (!keep) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(keep.get());
    PyTypeObject* type = TypeSlot<QuantizedEmbedding>::type;
    value.rows.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PyTuple_GET_ITEM(keep.get(), i);
      if (type == nullptr || Py_TYPE(item) != type) return type_mismatch(item, "QuantizedEmbedding");
      value.rows.emplace_back(detail::as_instance<QuantizedEmbedding>(item)->value.data);
    }
    return true;
  }
  QuantizedCorpus&& get() { return std::move(value); }
};

// A matrix result: a list of rows, each a list of floats.
template <>
struct Caster<FlatMatrix> {
  static PyObject* cast(const FlatMatrix& m) {
    const std::size_t rows = static_cast<std::size_t>(m.rows), cols = static_cast<std::size_t>(m.cols);
    Ref list = check_ref(PyList_New(static_cast<Py_ssize_t>(rows)));
    for (std::size_t r = 0; r < rows; ++r)
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(r), detail::float_list(std::span<const float>(m.data.data() + r * cols, cols)));
    return list.release();
  }
};

// A neighbour graph: one (indices, distances) tuple per embedding.
template <>
struct Caster<KnnGraph> {
  static PyObject* cast(const KnnGraph& g) {
    Ref list = check_ref(PyList_New(static_cast<Py_ssize_t>(g.n)));
    for (std::size_t i = 0; i < g.n; ++i) {
      Ref indices = check_ref(PyList_New(static_cast<Py_ssize_t>(g.m)));
      for (std::size_t r = 0; r < g.m; ++r)
        PyList_SET_ITEM(indices.get(), static_cast<Py_ssize_t>(r),
                        check(PyLong_FromUnsignedLongLong(g.indices[i * g.m + r])));
      Ref distances = Ref::steal(detail::float_list(std::span<const float>(g.distances.data() + i * g.m, g.m)));
      PyObject* pair = check(PyTuple_New(2));
      PyTuple_SET_ITEM(pair, 0, indices.release());
      PyTuple_SET_ITEM(pair, 1, distances.release());
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
  }
};

}  // namespace bind

namespace {

// ---- QuantizedEmbedding -------------------------------------------------------

QuantizedEmbedding make_quantized(std::vector<std::int8_t> data, float scale, std::int8_t zero_point) {
  return QuantizedEmbedding{std::move(data), scale, zero_point};
}
std::uint64_t quantized_dim(const QuantizedEmbedding& q) { return q.data.size(); }
std::vector<float> quantized_dequantize(const QuantizedEmbedding& q) { return emb::dequantize(q); }
float quantized_dot(const QuantizedEmbedding& a, const QuantizedEmbedding& b) { return emb::quantized_dot(a, b); }
std::vector<std::int8_t> quantized_data(const QuantizedEmbedding& q) { return q.data; }
float quantized_scale(const QuantizedEmbedding& q) { return q.scale; }
std::int8_t quantized_zero_point(const QuantizedEmbedding& q) { return q.zero_point; }

// ---- module functions -----------------------------------------------------------

QuantizedEmbedding quantize_embedding(std::vector<float> embedding) {
  return emb::quantize_embedding_slice(embedding);
}
std::vector<QuantizedEmbedding> batch_quantize_embeddings(FloatRows&& embeddings) {
  return emb::batch_quantize_embeddings(embeddings);
}
std::vector<float> dequantize_embedding(const QuantizedEmbedding& quantized) { return emb::dequantize(quantized); }
float quantized_cosine_similarity(const QuantizedEmbedding& a, const QuantizedEmbedding& b) {
  return emb::quantized_cosine_similarity(a, b);
}
std::vector<float> batch_quantized_cosine_similarity(const QuantizedEmbedding& query, QuantizedCorpus&& corpus) {
  return emb::batch_quantized_cosine_similarity(query.data, corpus.rows);
}

std::vector<float> matmul_vector(FloatRows&& matrix, std::vector<float> vector) {
  return emb::matmul_vector(std::move(matrix), vector);
}
FlatMatrix batch_matmul_vector(FloatRows&& matrix, FloatRows&& vectors) {
  return emb::batch_matmul_vector(std::move(matrix), vectors);
}
FlatMatrix random_projection(FloatRows&& embeddings, std::uint64_t target_dim, std::uint64_t seed) {
  return emb::random_projection(embeddings, target_dim, seed);
}
std::vector<float> pairwise_distances(FloatRows&& embeddings) { return emb::pairwise_distances(std::move(embeddings)); }
KnnGraph knn_graph(FloatRows&& embeddings, std::uint64_t k) { return emb::knn_graph(std::move(embeddings), k); }

}  // namespace

const bind::Family& embeddings_family() {
  static const bind::Family family{
      bind::Class<QuantizedEmbedding>(
          "QuantizedEmbedding",
          "An embedding stored as signed 8-bit integers with one scale factor.\n\n"
          "Stores scale factor for dequantization: value = quantized * scale")
          .init<"QuantizedEmbedding(data, scale, zero_point)", &make_quantized>()
          .method<"dim($self)", &quantized_dim>("Number of elements.")
          .method<"dequantize($self)", &quantized_dequantize>(
              "The elements as floats, each quantized value times the scale (the zero point is not applied).")
          .method<"dot($self, other)", &quantized_dot>(
              "Dot product of the dequantized vectors, zero points applied, computed from integer sums.")
          .property<"data", &quantized_data>("The quantized values, signed 8-bit integers.")
          .property<"scale", &quantized_scale>("The size of one quantization step.")
          .property<"zero_point", &quantized_zero_point>("The quantized value that stands for 0.0."),
      bind::def<"quantize_embedding(embedding)", &quantize_embedding>(
          "Quantize a float vector symmetrically to 8 bits: the largest magnitude maps to 127."),
      bind::def<"batch_quantize_embeddings(embeddings)", &batch_quantize_embeddings>(
          "Quantize every vector of a list; vectors may differ in length."),
      bind::def<"dequantize_embedding(quantized)", &dequantize_embedding>(
          "The elements of a QuantizedEmbedding as floats (quantized value times scale)."),
      bind::def<"quantized_cosine_similarity(a, b)", &quantized_cosine_similarity>(
          "Cosine similarity of two quantized embeddings, computed on the 8-bit integers."),
      bind::def<"batch_quantized_cosine_similarity(query, corpus)", &batch_quantized_cosine_similarity>(
          "Cosine similarity of a quantized query with every quantized corpus vector; 0.0 where the lengths "
          "differ."),
      bind::def<"matmul_vector(matrix, vector)", &matmul_vector>(
          "Product of a matrix (a list of rows) and a vector: one float per row."),
      bind::def<"batch_matmul_vector(matrix, vectors)", &batch_matmul_vector>(
          "Product of a matrix with each of several vectors: one list of floats per vector."),
      bind::def<"random_projection(embeddings, target_dim, seed=42)", &random_projection>(
          "Project embeddings to target_dim dimensions with a random matrix drawn from the seed."),
      bind::def<"pairwise_distances(embeddings)", &pairwise_distances>(
          "Cosine distances of all pairs i < j, flattened in the order (0,1), (0,2), ..., (n-2,n-1)."),
      bind::def<"knn_graph(embeddings, k=5)", &knn_graph>(
          "For each embedding, the indices and cosine distances of its k nearest other embeddings, nearest "
          "first."),
  };
  return family;
}
