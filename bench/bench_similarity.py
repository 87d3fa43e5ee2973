"""Cosine similarity and EmbeddingIndex against numpy.

Inputs are Python lists of floats on both sides (384-dimensional embeddings):
numpy pays np.asarray(..., dtype=np.float32) for its conversion, we pay ours.
numpy's results are left as arrays (not converted back to lists), ours are
lists of Python floats. EmbeddingIndex.query is compared with `matrix @ query`
on a prebuilt float32 array, and its scan rate with the machine's memory copy
bandwidth.
"""
from __future__ import annotations

import time

import numpy as np

import thalren_native as tn
from harness import Case

DIM = 384
NORM_FLOOR = np.float32(1e-9)


def _lists(rng, rows, dim=DIM):
    return rng.standard_normal((rows, dim), dtype=np.float32).tolist()


def _np_cosine(query, corpus):
    q = np.asarray(query, dtype=np.float32)
    c = np.asarray(corpus, dtype=np.float32)
    qn = max(np.float32(np.linalg.norm(q)), NORM_FLOOR)
    cn = np.maximum(np.linalg.norm(c, axis=1), NORM_FLOOR)
    return (c @ q) / (cn * qn)


def _np_top_k(query, corpus, k=10):
    s = _np_cosine(query, corpus)
    part = np.argpartition(-s, k)[:k]
    best = part[np.argsort(-s[part], kind="stable")]
    return [(int(i), float(s[i])) for i in best]


def _np_matrix(queries, corpus):
    q = np.asarray(queries, dtype=np.float32)
    c = np.asarray(corpus, dtype=np.float32)
    q = q / np.maximum(np.linalg.norm(q, axis=1, keepdims=True), NORM_FLOOR)
    c = c / np.maximum(np.linalg.norm(c, axis=1, keepdims=True), NORM_FLOOR)
    return q @ c.T


def _np_normalize(vectors):
    c = np.asarray(vectors, dtype=np.float32)
    return c / np.maximum(np.linalg.norm(c, axis=1, keepdims=True), NORM_FLOOR)


def _best(fn, repeat=5):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def _copy_bandwidth():
    """Bytes copied per second by a large memcpy (best of several)."""
    src = np.ones(64 * 1024 * 1024 // 4 * 4, dtype=np.float32)  # 256 MB
    dst = np.empty_like(src)
    return src.nbytes / _best(lambda: np.copyto(dst, src))


def cases():
    rng = np.random.default_rng(7)
    query = _lists(rng, 1)[0]
    corpus = _lists(rng, 10_000)
    queries = _lists(rng, 200)
    corpus2k = corpus[:2000]

    # 100,000 stored rows, built in slices so the Python lists stay small.
    rows = 100_000
    matrix = rng.standard_normal((rows, DIM), dtype=np.float32)
    index = tn.EmbeddingIndex([], [])
    step = 5_000
    for start in range(0, rows, step):
        index.add(matrix[start:start + step].tolist(), [f"doc{i}" for i in range(start, start + step)])
    np_query = np.asarray(query, dtype=np.float32)

    def index_note():
        scan = matrix.nbytes / _best(lambda: index.query(query, k=10))
        copy = _copy_bandwidth()
        return (f"EmbeddingIndex.query scans {scan / 1e9:.2f} GB/s of rows; memory copy bandwidth "
                f"{copy / 1e9:.2f} GB/s ({100 * scan / copy:.0f}%); CPU offers {tn_kernel_isa()}")

    return [
        Case("batch_cosine_similarity", "384-d query vs 10,000 lists",
             ours=lambda: tn.batch_cosine_similarity(query, corpus),
             peer_name="numpy", peer=lambda: _np_cosine(query, corpus), target=1.0),
        Case("top_k_similar", "k=10 over 10,000 lists",
             ours=lambda: tn.top_k_similar(query, corpus, 10),
             peer_name="numpy argpartition", peer=lambda: _np_top_k(query, corpus), target=1.0),
        Case("top_k_similar_normalized", "k=10 over 10,000 lists",
             ours=lambda: tn.top_k_similar_normalized(query, corpus, 10),
             peer_name="numpy argpartition", peer=lambda: _np_top_k(query, corpus)),
        Case("similarity_matrix", "200 x 2,000 lists, 384-d",
             ours=lambda: tn.similarity_matrix(queries, corpus2k),
             peer_name="numpy", peer=lambda: _np_matrix(queries, corpus2k), target=1.0),
        Case("batch_normalize_vectors", "10,000 lists, 384-d",
             ours=lambda: tn.batch_normalize_vectors(corpus),
             peer_name="numpy (array result)", peer=lambda: _np_normalize(corpus)),
        Case("batch_normalize_vectors", "10,000 lists, 384-d",
             ours=lambda: tn.batch_normalize_vectors(corpus),
             peer_name="numpy + tolist()", peer=lambda: _np_normalize(corpus).tolist()),
        Case("EmbeddingIndex.query", "100,000 rows x 384, k=10",
             ours=lambda: index.query(query, k=10),
             peer_name="numpy matrix @ query", peer=lambda: matrix @ np_query, target=1 / 1.5,
             note=index_note),
    ]


def tn_kernel_isa():
    # The kernel choice is not exposed to Python; report what the CPU offers.
    try:
        flags = open("/proc/cpuinfo").read()
    except OSError:
        return "unknown"
    return "avx2" if " avx2" in flags else "sse2"
