"""Quantised embeddings, matrix products, random projection, pairwise distances and kNN graphs.

Numbers are compared bit for bit with float32 references written here with numpy scalars
(every product, sum, square root and quotient rounded to binary32, dot products in the
eight-lane order).
"""
import math
import os
import random
import struct
import threading

import numpy as np
import pytest

import thalren_native as tn

F32 = np.float32
NORM_FLOOR = struct.unpack("<f", struct.pack("<I", 0x3089705F))[0]
NAN = float("nan")
INF = float("inf")


# ---- float32 references ---------------------------------------------------------------------

def dot8(a, b):
    a = np.asarray(a, dtype=np.float32)
    b = np.asarray(b, dtype=np.float32)
    n = min(len(a), len(b))
    body = n - n % 8
    acc = np.zeros(8, dtype=np.float32)
    prod = a[:body] * b[:body]
    for i in range(0, body, 8):
        acc = acc + prod[i:i + 8]
    total = (((acc[0] + acc[1]) + acc[2]) + acc[3]) + (((acc[4] + acc[5]) + acc[6]) + acc[7])
    for i in range(body, n):
        total = total + a[i] * b[i]
    return F32(total)


def floor_norm(x):
    return x if x > F32(NORM_FLOOR) else F32(NORM_FLOOR)


def normalize_sequential(row):
    row = np.asarray(row, dtype=np.float32)
    s = F32(-0.0)
    for x in row:
        s = s + x * x
    n = floor_norm(np.sqrt(F32(s)))
    return row / n


def quantize_ref(values):
    with np.errstate(over="ignore"):
        v = np.asarray(values, dtype=np.float32)
    if len(v) == 0:
        return [], 1.0
    finite = v[~np.isnan(v)]
    lo = finite.min() if len(finite) else F32(INF)
    hi = finite.max() if len(finite) else F32(-INF)
    m = max(abs(lo), abs(hi))
    s = F32(m) / F32(127)
    if s < F32(NORM_FLOOR):
        data = [0] * len(v)
    else:
        data = []
        with np.errstate(invalid="ignore", divide="ignore"):
            q = (v / s).astype(np.float64)
        for x in q:
            if math.isnan(x):
                data.append(0)
                continue
            r = math.copysign(math.floor(abs(x) + 0.5), x)
            data.append(int(max(-128.0, min(127.0, r))))
    return data, float(floor_norm(s))


def wrap32(x):
    x &= 0xFFFFFFFF
    return x - (1 << 32) if x >= 1 << 31 else x


def quantized_cosine_ref(a, b):
    if not a:
        return 0.0
    s = wrap32(sum(x * y for x, y in zip(a, b)))
    aa = wrap32(sum(x * x for x in a))
    bb = wrap32(sum(y * y for y in b))
    na = np.sqrt(F32(aa))
    if na < F32(NORM_FLOOR):
        return 0.0
    nb = np.sqrt(F32(bb))
    if nb < F32(NORM_FLOOR):
        return 0.0
    return float(F32(s) / (na * nb))


def projection_matrix(t, d, seed):
    """The generator of random_projection: 64-bit LCG, fraction = top 24 bits / 2**24."""
    state = seed
    x = np.sqrt(F32(1) / F32(t))
    r = np.empty((t, d), dtype=np.float32)
    for i in range(t):
        for j in range(d):
            state = (state * 6364136223846793005 + 1) & 0xFFFFFFFFFFFFFFFF
            f = F32((state >> 40) / 2.0 ** 24)
            r[i, j] = ((f + f) - F32(1)) * x
    return r


def rand_rows(rng, n, d):
    return [[rng.uniform(-2, 2) for _ in range(d)] for _ in range(n)]


def assert_note(excinfo, param):
    assert f"while processing '{param}'" in getattr(excinfo.value, "__notes__", [])


# ---- QuantizedEmbedding and quantisation ------------------------------------------------------

def test_quantize_worked_examples():
    q = tn.quantize_embedding([1.0, -0.5, 0.25])
    assert (q.data, q.scale, q.zero_point) == ([127, -64, 32], 0.007874015718698502, 0)
    assert q.dequantize() == [1.0, -0.5039370059967041, 0.25196850299835205]
    assert tn.dequantize_embedding(q) == q.dequantize()
    q = tn.quantize_embedding([3.0, 4.0])
    assert (q.data, q.scale) == ([95, 127], 0.031496062874794006)
    q = tn.quantize_embedding([0.0, 0.0])
    assert (q.data, q.scale) == ([0, 0], NORM_FLOOR)  # 9.99999971718e-10
    q = tn.quantize_embedding([])
    assert (q.data, q.scale, q.zero_point, q.dim()) == ([], 1.0, 0, 0)


@pytest.mark.parametrize("values", [
    [127.0, 63.5, -63.5, 0.5, -0.5, 1.5],        # halves round away from zero
    [NAN, 2.0, -1.0],                          # NaN is skipped and quantises to 0
    [NAN, NAN],                                # no number at all
    [INF, 5.0, -1.0],                          # infinite magnitude: finite values become 0
    [1e-12, -3e-12],                           # step below the norm floor: all zeros
    [1e39, -1.0],                              # beyond binary32: infinity
    [-7.25],
])
def test_quantize_matches_reference(values):
    q = tn.quantize_embedding(values)
    data, scale = quantize_ref(values)
    assert q.data == data
    assert q.scale == scale or (math.isnan(q.scale) and math.isnan(scale))
    assert q.zero_point == 0


def test_quantize_random_and_batch_pooled_or_not():
    rng = random.Random(4)
    rows = [[rng.gauss(0, 1) for _ in range(rng.randrange(0, 40))] for _ in range(150)]
    expected = [quantize_ref(r) for r in rows]
    for batch in (rows[:100], rows[:101], rows):
        got = tn.batch_quantize_embeddings(batch)
        assert [(q.data, q.scale) for q in got] == expected[:len(batch)]
    assert tn.batch_quantize_embeddings([]) == []
    assert tn.batch_quantize_embeddings(((1.0, 2.0),))[0].data == [64, 127]


def test_quantized_embedding_class():
    q = tn.QuantizedEmbedding([1, 2], 0.5, 1)
    assert q.dequantize() == [0.5, 1.0]            # zero point ignored
    assert q.dot(q) == 0.25                        # (0*0 + 1*1) * 0.25
    assert q.dim() == 2
    assert tn.QuantizedEmbedding(data=[-128, 127], scale=0.1, zero_point=-3).data == [-128, 127]
    assert tn.QuantizedEmbedding([1], 0.1, 0).scale == 0.10000000149011612
    assert type(q).__module__ == "builtins"
    assert tn.QuantizedEmbedding.__text_signature__ == "(data, scale, zero_point)"
    assert "Stores scale factor for dequantization: value = quantized * scale" in tn.QuantizedEmbedding.__doc__
    with pytest.raises(AttributeError):
        q.scale = 2.0
    with pytest.raises(AttributeError):
        q.extra = 1
    with pytest.raises(TypeError):
        class Sub(tn.QuantizedEmbedding):
            pass


@pytest.mark.parametrize("args, exc, message, param", [
    (([200], 1.0, 0), OverflowError, "number too large to fit in target type", "data"),
    (([-129], 1.0, 0), OverflowError, "number too small to fit in target type", "data"),
    (([1], 1.0, 128), OverflowError, "number too large to fit in target type", "zero_point"),
    (([1.5], 1.0, 0), TypeError, None, "data"),
    (("ab", 1.0, 0), TypeError, "str", "data"),
    (([1], "x", 0), TypeError, None, "scale"),
    (([1], 1.0, 2 ** 70), OverflowError, None, "zero_point"),
])
def test_quantized_embedding_conversion_errors(args, exc, message, param):
    with pytest.raises(exc) as excinfo:
        tn.QuantizedEmbedding(*args)
    if message:
        assert message in str(excinfo.value)
    assert_note(excinfo, param)


def test_dot_and_cosine_errors():
    a = tn.QuantizedEmbedding([1, 2], 1.0, 0)
    b = tn.QuantizedEmbedding([1, 2, 3], 1.0, 0)
    for call in (lambda: a.dot(b), lambda: tn.quantized_cosine_similarity(a, b)):
        with pytest.raises(ValueError, match="^Embeddings must have same dimension$"):
            call()
    with pytest.raises(TypeError, match="'list' object is not an instance of 'QuantizedEmbedding'") as excinfo:
        a.dot([1, 2])
    assert_note(excinfo, "other")
    with pytest.raises(TypeError, match="'None' is not an instance of 'QuantizedEmbedding'") as excinfo:
        tn.quantized_cosine_similarity(a, None)
    assert_note(excinfo, "b")


def test_dot_formula_with_zero_points():
    rng = random.Random(8)
    for n in (0, 1, 5, 33):
        a = [rng.randrange(-128, 128) for _ in range(n)]
        b = [rng.randrange(-128, 128) for _ in range(n)]
        sa, sb, za, zb = F32(0.013), F32(0.7), -3, 5
        qa, qb = tn.QuantizedEmbedding(a, float(sa), za), tn.QuantizedEmbedding(b, float(sb), zb)
        s_a, s_b = F32(-0.0), F32(-0.0)
        for x, y in zip(a, b):
            s_a, s_b = s_a + F32(x), s_b + F32(y)
        s = F32(wrap32(sum(x * y for x, y in zip(a, b))))
        expected = (((F32(n) * F32(za)) * F32(zb)) + ((s - s_b * F32(za)) - s_a * F32(zb))) * sa * sb
        assert qa.dot(qb) == float(expected)


def test_quantized_cosine():
    rng = random.Random(2)
    zero = tn.QuantizedEmbedding([0, 0, 0], 1.0, 0)
    other = tn.QuantizedEmbedding([1, 2, 3], 1.0, 0)
    assert tn.quantized_cosine_similarity(zero, other) == 0.0
    assert tn.quantized_cosine_similarity(other, zero) == 0.0
    empty = tn.QuantizedEmbedding([], 1.0, 0)
    assert tn.quantized_cosine_similarity(empty, empty) == 0.0
    for n in (1, 7, 16, 17, 100, 384):
        a = [rng.randrange(-128, 128) for _ in range(n)]
        b = [rng.randrange(-128, 128) for _ in range(n)]
        got = tn.quantized_cosine_similarity(tn.QuantizedEmbedding(a, 3.0, 9), tn.QuantizedEmbedding(b, 0.5, -2))
        assert got == quantized_cosine_ref(a, b)


def test_quantized_cosine_integer_sums_wrap():
    # Sums of squares past 2**31 (and past 2**32) wrap in 32-bit integers.
    a = [-128] * 270000
    b = [-128] * 200000 + [127] * 70000
    expected = quantized_cosine_ref(a, b)
    assert expected > 17.0          # only possible with wrapped sums
    qa, qb = tn.QuantizedEmbedding(a, 1.0, 0), tn.QuantizedEmbedding(b, 1.0, 0)
    assert tn.quantized_cosine_similarity(qa, qb) == expected
    assert tn.batch_quantized_cosine_similarity(qa, [qb] * 101) == [expected] * 101
    short = tn.QuantizedEmbedding([-128] * 140000, 1.0, 0)   # negative wrapped sum: NaN norm
    assert math.isnan(tn.quantized_cosine_similarity(short, short))


def test_batch_quantized_cosine():
    rng = random.Random(6)
    query = tn.QuantizedEmbedding([rng.randrange(-128, 128) for _ in range(24)], 1.0, 0)
    corpus = [tn.QuantizedEmbedding([rng.randrange(-128, 128) for _ in range(24)], 1.0, 0) for _ in range(150)]
    expected = [tn.quantized_cosine_similarity(query, c) for c in corpus]
    for size in (0, 1, 100, 101, 150):
        assert tn.batch_quantized_cosine_similarity(query, corpus[:size]) == expected[:size]
    mixed = [corpus[0], tn.QuantizedEmbedding([1, 2], 1.0, 0), corpus[1]]
    assert tn.batch_quantized_cosine_similarity(query, tuple(mixed)) == [expected[0], 0.0, expected[1]]
    empty = tn.QuantizedEmbedding([], 1.0, 0)
    assert tn.batch_quantized_cosine_similarity(empty, [empty, empty]) == [0.0, 0.0]


@pytest.mark.parametrize("corpus, message", [
    ("ab", "str"),
    ({1, 2}, "'set' object is not an instance of 'Sequence'"),
    ([None], "'None' is not an instance of 'QuantizedEmbedding'"),
    ([[1, 2]], "'list' object is not an instance of 'QuantizedEmbedding'"),
])
def test_batch_quantized_cosine_conversion_errors(corpus, message):
    q = tn.QuantizedEmbedding([1], 1.0, 0)
    with pytest.raises(TypeError, match=message) as excinfo:
        tn.batch_quantized_cosine_similarity(q, corpus)
    assert_note(excinfo, "corpus")


# ---- matrix products ----------------------------------------------------------------------------

def test_matmul_worked_examples():
    assert tn.matmul_vector([[1, 2], [3, 4]], [1, 1]) == [3.0, 7.0]
    assert tn.matmul_vector([], [1]) == []
    assert tn.matmul_vector([[], []], []) == [0.0, 0.0]
    with pytest.raises(ValueError, match=r"^Matrix row 1 has 1 cols, expected 2$"):
        tn.matmul_vector([[1, 2], [3]], [1, 1])
    with pytest.raises(ValueError, match=r"^Matrix row 0 has 2 cols, expected 3$"):
        tn.matmul_vector([[1, 2]], [1, 1, 1])
    with pytest.raises(ValueError, match=r"^Vector has 1 dims, expected 2$"):
        tn.batch_matmul_vector([[1, 0], [0, 1]], [[2, 3], [4]])
    with pytest.raises(ValueError, match=r"^Matrix row 1 has 3 cols, expected 2$"):
        tn.batch_matmul_vector([[1, 0], [0, 1, 2]], [[2, 3]])
    assert tn.batch_matmul_vector([], [[1]]) == []
    assert tn.batch_matmul_vector([[1]], []) == []
    assert tn.batch_matmul_vector([[], [1, 2]], [[]]) == [[0.0, 0.0]]


@pytest.mark.parametrize("rows, dim", [(3, 5), (100, 9), (101, 9), (130, 16)])
def test_matmul_bit_exact_pooled_or_not(rows, dim):
    rng = random.Random(rows * 31 + dim)
    m = rand_rows(rng, rows, dim)
    vectors = rand_rows(rng, 13, dim)
    expected = [[float(dot8(r, v)) for r in m] for v in vectors]
    assert tn.matmul_vector(m, vectors[0]) == expected[0]
    assert tn.batch_matmul_vector(m, vectors[:10]) == expected[:10]   # calling thread
    assert tn.batch_matmul_vector(m, vectors) == expected             # worker pool


def test_batch_matmul_reports_first_failing_vector_when_pooled():
    vectors = [[1.0, 2.0]] * 30
    vectors[12] = [1.0]
    vectors[25] = [1.0, 2.0, 3.0]
    with pytest.raises(ValueError, match=r"^Vector has 1 dims, expected 2$"):
        tn.batch_matmul_vector([[1, 0]], vectors)


# ---- random projection ------------------------------------------------------------------------

def test_random_projection_is_the_seeded_matrix():
    rng = random.Random(1)
    d, t = 19, 7
    emb = rand_rows(rng, 12, d)
    r = projection_matrix(t, d, 42)
    expected = [[float(dot8(r[j], e)) for j in range(t)] for e in emb]
    assert tn.random_projection(emb, t) == expected
    assert tn.random_projection(emb[:3], t, seed=42) == expected[:3]
    # Unit vectors read out the columns of the matrix.
    units = [[1.0 if i == j else 0.0 for i in range(d)] for j in range(d)]
    r = projection_matrix(t, d, 7)
    assert tn.random_projection(units, t, 7) == [[float(r[i, j]) for i in range(t)] for j in range(d)]


def test_random_projection_determinism_and_range():
    rng = random.Random(2)
    emb = rand_rows(rng, 3, 64)
    assert tn.random_projection(emb, 16, 5) == tn.random_projection(emb, 16, 5)
    assert tn.random_projection(emb, 16, 5) != tn.random_projection(emb, 16, 6)
    units = [[1.0 if i == j else 0.0 for i in range(300)] for j in range(300)]
    values = [x for row in tn.random_projection(units, 1, 2 ** 64 - 1) for x in row]
    assert all(-1.0 <= x < 1.0 for x in values)
    assert min(values) < -0.5 and max(values) > 0.5
    t = 3
    bound = float(np.sqrt(F32(1) / F32(t)))
    values = [x for row in tn.random_projection(units, t, 9) for x in row]
    assert all(-bound <= x < bound for x in values)
    assert sum(x < 0 for x in values) > 300 and sum(x > 0 for x in values) > 300


def test_random_projection_edges():
    with pytest.raises(ValueError, match="^Target dimension must be <= input dimension$"):
        tn.random_projection([[1, 2]], 3)
    with pytest.raises(ValueError, match=r"^Vector has 1 dims, expected 2$"):
        tn.random_projection([[1, 2], [1]], 1)
    with pytest.raises(ValueError, match=r"^Vector has 3 dims, expected 2$"):
        tn.random_projection([[1, 2]] * 20 + [[1, 2, 3]], 1)
    assert tn.random_projection([], 2 ** 64 - 1) == []
    assert tn.random_projection([[1, 2], [3, 4]], 0) == [[], []]
    assert tn.random_projection([[]], 0) == [[]]
    with pytest.raises(OverflowError) as excinfo:
        tn.random_projection([[1]], -1)
    assert_note(excinfo, "target_dim")
    with pytest.raises(OverflowError) as excinfo:
        tn.random_projection([[1]], 1, seed=-1)
    assert_note(excinfo, "seed")


# ---- pairwise distances and kNN graph -------------------------------------------------------

def test_pairwise_worked_examples():
    assert tn.pairwise_distances([[1, 0], [0, 1], [1, 1]]) == [1.0, 0.2928932309150696, 0.2928932309150696]
    assert tn.pairwise_distances([[1, 0]]) == []
    assert tn.pairwise_distances([]) == []
    assert tn.pairwise_distances([[], [1, 2]]) == [1.0]
    assert tn.pairwise_distances([[], [1, 2], [3]]) == [1.0, 1.0, 1.0]
    with pytest.raises(ValueError, match=r"^Matrix row 2 has 1 cols, expected 2$"):
        tn.pairwise_distances([[1, 0], [0, 1], [1]])


@pytest.mark.parametrize("n, d", [(2, 3), (9, 8), (17, 21), (40, 3)])
def test_pairwise_bit_exact(n, d):
    rng = random.Random(n * 100 + d)
    emb = rand_rows(rng, n, d)
    emb[1][0] = 0.0
    norm = [normalize_sequential(e) for e in emb]
    expected = [float(F32(1) - dot8(norm[i], norm[j])) for i in range(n) for j in range(i + 1, n)]
    assert tn.pairwise_distances(emb) == expected


def test_knn_worked_examples():
    assert tn.knn_graph([[1, 0], [0, 1], [1, 1]], k=1) == [
        ([2], [0.2928932309150696]), ([2], [0.2928932309150696]), ([0], [0.2928932309150696])]
    assert tn.knn_graph([[1, 0], [0, 1], [1, 1]], k=10) == tn.knn_graph([[1, 0], [0, 1], [1, 1]], 2)
    assert len(tn.knn_graph([[1, 0], [0, 1], [1, 1]], 2 ** 64 - 1)[0][0]) == 2
    assert tn.knn_graph([[1, 2]]) == [([], [])]
    assert tn.knn_graph([[1, 2], [2, 1]], 0) == [([], []), ([], [])]
    assert tn.knn_graph([]) == []
    assert tn.knn_graph([[], [1], [2, 3]], 5) == [([1, 2], [1.0, 1.0]), ([0, 2], [1.0, 1.0]), ([0, 1], [1.0, 1.0])]
    with pytest.raises(ValueError, match=r"^Matrix row 1 has 3 cols, expected 2$"):
        tn.knn_graph([[1, 0], [1, 2, 3]])
    with pytest.raises(OverflowError) as excinfo:
        tn.knn_graph([[1.0]], k=-1)
    assert_note(excinfo, "k")
    with pytest.raises(TypeError) as excinfo:
        tn.knn_graph([[1.0]], k=1.0)
    assert_note(excinfo, "k")


@pytest.mark.parametrize("n, d, k", [(12, 3, 4), (30, 2, 29), (25, 10, 5)])
def test_knn_bit_exact_with_ties(n, d, k):
    rng = random.Random(n + d + k)
    emb = [[float(rng.randrange(-2, 3)) for _ in range(d)] for _ in range(n)]  # many exact ties
    norm = [normalize_sequential(e) for e in emb]
    expected = []
    for i in range(n):
        cand = [(j, dot8(norm[i], norm[j])) for j in range(n) if j != i]
        cand.sort(key=lambda c: -c[1])  # stable: equal similarities keep increasing j
        best = cand[:min(k, n - 1)]
        expected.append(([j for j, _ in best], [float(F32(1) - s) for _, s in best]))
    assert tn.knn_graph(emb, k) == expected


def test_knn_nan_similarities_rank_last():
    graph = tn.knn_graph([[1, 0], [NAN, 1], [0, 1], [1, 1]], 3)
    indices, distances = graph[0]
    assert indices == [3, 2, 1]
    assert math.isnan(distances[2])
    assert graph[1][0] == [0, 2, 3]          # every similarity NaN: index order
    assert all(math.isnan(x) for x in graph[1][1])


def test_nan_and_infinity_propagate():
    assert math.isnan(tn.matmul_vector([[NAN, 1]], [1, 1])[0])
    assert tn.matmul_vector([[INF, 1]], [1, 1]) == [INF]
    assert tn.matmul_vector([[1e39, 0]], [1, 0]) == [INF]   # beyond binary32
    assert math.isnan(tn.pairwise_distances([[NAN, 1], [1, 1]])[0])
    assert all(math.isnan(x) for x in tn.random_projection([[NAN, 1, 2]], 2)[0])


# ---- conversion and hostile input -------------------------------------------------------------

@pytest.mark.parametrize("func, args, param, exc, message", [
    (tn.pairwise_distances, ("abc",), "embeddings", TypeError, "str"),
    (tn.pairwise_distances, (["ab", "cd"],), "embeddings", TypeError, "str"),
    (tn.pairwise_distances, ([[1.0, "x"]],), "embeddings", TypeError, "str"),
    (tn.pairwise_distances, ([[1.0, None]],), "embeddings", TypeError, "NoneType"),
    (tn.knn_graph, ({1, 2},), "embeddings", TypeError, "'set' object is not an instance of 'Sequence'"),
    (tn.knn_graph, ([(x for x in [1.0])],), "embeddings", TypeError, "'generator' object is not an instance of 'Sequence'"),
    (tn.knn_graph, ([1.0, 2.0],), "embeddings", TypeError, "'float' object is not an instance of 'Sequence'"),
    (tn.matmul_vector, ([[1.0]], "a"), "vector", TypeError, "str"),
    (tn.matmul_vector, ([[1.0]], None), "vector", TypeError, None),
    (tn.batch_matmul_vector, ([[1.0]], [[10 ** 400]]), "vectors", OverflowError, None),
    (tn.random_projection, ([[1.0]], "1"), "target_dim", TypeError, None),
    (tn.quantize_embedding, ([1.0, []],), "embedding", TypeError, None),
    (tn.batch_quantize_embeddings, ([[1.0], 3],), "embeddings", TypeError, "'int' object is not an instance of 'Sequence'"),
])
def test_conversion_errors_name_the_parameter(func, args, param, exc, message):
    with pytest.raises(exc) as excinfo:
        func(*args)
    if message:
        assert message in str(excinfo.value)
    assert_note(excinfo, param)


def test_generic_sequences_convert_like_lists():
    class Floaty:
        def __float__(self):
            return 0.5

    class Indexy:
        def __index__(self):
            return 3

    expected = tn.matmul_vector([[1.0, 2.0], [3.0, 4.0]], [0.5, 3.0])
    assert tn.matmul_vector(((1, 2), (3, 4)), (Floaty(), Indexy())) == expected
    assert tn.matmul_vector(np.array([[1, 2], [3, 4]], dtype=np.float32), np.array([0.5, 3.0])) == expected
    assert tn.matmul_vector([range(1, 3), [3, np.float64(4)]], [0.5, 3]) == expected
    assert tn.matmul_vector([[True, False]], [2.0, 3.0]) == [2.0]


def test_list_mutated_during_conversion_is_refused():
    row = [1.0, 2.0, 3.0]

    class Shrinks:
        def __float__(self):
            row.clear()
            return 1.0

    row.insert(1, Shrinks())
    with pytest.raises(RuntimeError) as excinfo:
        tn.pairwise_distances([row, [1.0, 2.0, 3.0, 4.0]])
    assert_note(excinfo, "embeddings")


def test_ten_million_floats():
    big = [0.5] * 10_000_000
    assert tn.matmul_vector([big], big) == [2500000.0]
    assert tn.quantize_embedding(big).dim() == 10_000_000
    (distance,) = tn.pairwise_distances([big, big])
    assert abs(distance) < 0.05     # binary32 sums over 10 million terms
    assert len(tn.random_projection([big], 2)[0]) == 2
    assert tn.knn_graph([big, big], 10 ** 18)[0][0] == [1]


def test_calls_from_many_threads_agree():
    rng = random.Random(3)
    emb = rand_rows(rng, 150, 24)
    expected = (tn.knn_graph(emb, 3), tn.pairwise_distances(emb), tn.random_projection(emb, 8))
    results = []

    def work():
        results.append((tn.knn_graph(emb, 3), tn.pairwise_distances(emb), tn.random_projection(emb, 8)))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [expected] * 4


def test_signatures():
    assert tn.random_projection.__text_signature__ == "(embeddings, target_dim, seed=42)"
    assert tn.knn_graph.__text_signature__ == "(embeddings, k=5)"
    assert tn.QuantizedEmbedding.dot.__text_signature__ == "($self, other)"
    with pytest.raises(TypeError, match=r"^knn_graph\(\) missing 1 required positional argument: 'embeddings'$"):
        tn.knn_graph()


# AddressSanitizer aborts on an allocation it cannot serve instead of letting it fail.
@pytest.mark.skipif(os.environ.get("THALREN_SANITIZED") == "1", reason="allocation failure aborts under ASan")
def test_impossible_result_sizes_raise_memory_error():
    rows = [[1.0]] * 3_000_000          # 4.5e12 pairs, 9e12 neighbour entries
    with pytest.raises(MemoryError):
        tn.pairwise_distances(rows)
    with pytest.raises(MemoryError):
        tn.knn_graph(rows, 2 ** 63)
