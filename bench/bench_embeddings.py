"""kNN graph, pairwise distances and quantised cosine similarity against numpy.

Inputs are Python lists on both sides (384-dimensional embeddings): numpy pays
np.asarray(..., dtype=...) for its conversion, we pay ours. numpy's results are
left as arrays (not converted back to lists), ours are lists of Python objects.
For the quantised case our corpus is a list of QuantizedEmbedding objects and
numpy's the same 8-bit values as lists of ints.
"""
from __future__ import annotations

import numpy as np

import thalren_native as tn
from harness import Case

DIM = 384
NORM_FLOOR = np.float32(1e-9)


def _lists(rng, rows, dim=DIM):
    return rng.standard_normal((rows, dim), dtype=np.float32).tolist()


def _np_normalized(embeddings):
    x = np.asarray(embeddings, dtype=np.float32)
    return x / np.maximum(np.linalg.norm(x, axis=1, keepdims=True), NORM_FLOOR)


def _np_knn(embeddings, k=5):
    x = _np_normalized(embeddings)
    s = x @ x.T
    np.fill_diagonal(s, -np.inf)
    idx = np.argsort(-s, axis=1, kind="stable")[:, :k]
    return idx, 1.0 - np.take_along_axis(s, idx, axis=1)


def _np_knn_partition(embeddings, k=5):
    """The same with a partial selection: argpartition, then a stable sort of the k kept."""
    x = _np_normalized(embeddings)
    s = x @ x.T
    np.fill_diagonal(s, -np.inf)
    part = np.argpartition(-s, k, axis=1)[:, :k]
    order = np.argsort(-np.take_along_axis(s, part, axis=1), axis=1, kind="stable")
    idx = np.take_along_axis(part, order, axis=1)
    return idx, 1.0 - np.take_along_axis(s, idx, axis=1)


def _np_pairwise(embeddings):
    x = _np_normalized(embeddings)
    d = 1.0 - x @ x.T
    return d[np.triu_indices(len(x), 1)]


def _np_quantized_cosine(query, corpus):
    q = np.asarray(query, dtype=np.int8).astype(np.int32)
    c = np.asarray(corpus, dtype=np.int8).astype(np.int32)
    s = (c @ q).astype(np.float32)
    qn = np.sqrt(np.float32(q @ q))
    cn = np.sqrt(np.einsum("ij,ij->i", c, c).astype(np.float32))
    return s / (qn * cn)


def cases() -> list[Case]:
    rng = np.random.default_rng(7)
    knn_input = _lists(rng, 2000)
    pairwise_input = knn_input[:1000]

    quantized = tn.batch_quantize_embeddings(_lists(rng, 10_001))
    query, corpus = quantized[0], quantized[1:]
    query_ints, corpus_ints = query.data, [q.data for q in corpus]

    return [
        Case(function="knn_graph", workload="2,000 x 384, k=5",
             ours=lambda: tn.knn_graph(knn_input, 5),
             peer_name="numpy @ + argsort", peer=lambda: _np_knn(knn_input, 5), target=1.0),
        Case(function="knn_graph", workload="2,000 x 384, k=5",
             ours=lambda: tn.knn_graph(knn_input, 5),
             peer_name="numpy @ + argpartition", peer=lambda: _np_knn_partition(knn_input, 5)),
        Case(function="pairwise_distances", workload="1,000 x 384 (499,500 pairs)",
             ours=lambda: tn.pairwise_distances(pairwise_input),
             peer_name="numpy @ + triu", peer=lambda: _np_pairwise(pairwise_input), target=1.0),
        Case(function="batch_quantized_cosine_similarity", workload="1 x 10,000, 384 int8",
             ours=lambda: tn.batch_quantized_cosine_similarity(query, corpus),
             peer_name="numpy int32 @", peer=lambda: _np_quantized_cosine(query_ints, corpus_ints),
             target=1.0),
    ]
