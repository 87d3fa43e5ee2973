"""Cosine similarity functions and EmbeddingIndex.

Numbers are checked bit for bit against a pure-Python binary32 model of the
eight-lane kernels (every operation rounded to 32 bits; rounding a double
result of +, -, *, / or sqrt on binary32 inputs to binary32 is exact).
"""
from __future__ import annotations

import math
import random
import sys
import threading
import time
from array import array

import pytest

import thalren_native as tn


# ---- binary32 reference model ---------------------------------------------------

def f32(x: float) -> float:
    return array("f", [x])[0]


def ref_dot(a, b):
    n = min(len(a), len(b))
    body = n - n % 8
    acc = [0.0] * 8
    for i in range(0, body, 8):
        for j in range(8):
            acc[j] = f32(acc[j] + f32(a[i + j] * b[i + j]))
    left = f32(f32(f32(acc[0] + acc[1]) + acc[2]) + acc[3])
    right = f32(f32(f32(acc[4] + acc[5]) + acc[6]) + acc[7])
    total = f32(left + right)
    for i in range(body, n):
        total = f32(total + f32(a[i] * b[i]))
    return total


NORM_FLOOR = f32(1e-9)


def floor_norm(x):
    return x if x > NORM_FLOOR else NORM_FLOOR


def ref_norm(v):
    return f32(math.sqrt(ref_dot(v, v)))


def ref_cos(a, b):
    return f32(ref_dot(a, b) / f32(floor_norm(ref_norm(a)) * floor_norm(ref_norm(b))))


def ref_normalize(v):
    n = floor_norm(ref_norm(v))
    return [f32(x / n) for x in v]


def ref_normalize_or_copy(v):
    n = floor_norm(ref_norm(v))
    return [f32(x / n) for x in v] if n > NORM_FLOOR else list(v)


def rand_vec(rng, n):
    # float32 values over several binades, so summation order shows in the bits
    return [f32(rng.uniform(1, 2) * 2.0 ** rng.randint(-8, 8) * rng.choice((-1, 1))) for _ in range(n)]


@pytest.fixture
def rng():
    return random.Random(20240611)


# ---- cosine_similarity ----------------------------------------------------------------

@pytest.mark.parametrize(
    "a, b, expected",
    [
        ([1, 2, 3], [1, 2, 3], 0.9999999403953552),
        ([1, 0], [1, 0], 1.0),
        ([3, 4], [4, 3], 0.9599999785423279),
        ([], [], 0.0),
        ([0, 0], [1, 0], 0.0),
        ((3.0, 4.0), (4, 3), 0.9599999785423279),
    ],
)
def test_cosine_worked_numbers(a, b, expected):
    assert tn.cosine_similarity(a, b) == expected


def test_cosine_length_mismatch():
    with pytest.raises(ValueError, match=r"^Vectors must have same length: 2 vs 3$"):
        tn.cosine_similarity([1, 2], [1, 2, 3])


@pytest.mark.parametrize("n", [1, 5, 7, 8, 9, 15, 16, 17, 33, 64, 70, 384, 1001])
def test_cosine_matches_binary32_model(rng, n):
    for _ in range(3):
        a, b = rand_vec(rng, n), rand_vec(rng, n)
        assert tn.cosine_similarity(a, b) == ref_cos(a, b)


def test_keyword_arguments_and_signature():
    assert tn.cosine_similarity(b=[1, 0], a=[1, 0]) == 1.0
    assert tn.cosine_similarity.__text_signature__ == "(a, b)"
    assert tn.top_k_similar.__text_signature__ == "(query, corpus, k=10)"
    assert tn.similarity_matrix.__text_signature__ == "(queries, corpus, normalize=True)"
    assert tn.EmbeddingIndex.query.__text_signature__ == "($self, query, k=10, threshold=0.0)"


# ---- argument conversion ----------------------------------------------------------------

class FloatLike:
    def __float__(self):
        return 0.5


class IndexLike:
    def __index__(self):
        return 2


def test_vector_accepts_numbers_of_every_kind():
    # ints, bools, __float__ and __index__ objects, tuples and other sequences
    a = [1, True, FloatLike(), IndexLike()]
    assert tn.cosine_similarity(a, [1.0, 1.0, 0.5, 2.0]) == tn.cosine_similarity([1.0, 1.0, 0.5, 2.0], [1.0, 1.0, 0.5, 2.0])
    assert tn.batch_cosine_similarity(range(1, 3), [range(1, 3)]) == [tn.cosine_similarity([1, 2], [1, 2])]


def test_values_are_rounded_to_binary32():
    # 0.1 becomes the nearest binary32; huge magnitudes become infinities
    assert tn.batch_normalize_vectors([[0.1]]) == [[1.0]]
    out = tn.batch_normalize_vectors([[1e300, 0.0]])
    assert math.isnan(out[0][0]) and out[0][1] == 0.0  # inf / inf


@pytest.mark.parametrize(
    "call, param, exc, msg",
    [
        (lambda: tn.cosine_similarity("abc", [1.0]), "a", TypeError, "str"),
        (lambda: tn.cosine_similarity([1.0], {1.0}), "b", TypeError, "'set' object is not an instance of 'Sequence'"),
        (lambda: tn.cosine_similarity([1.0, "x"], [1.0, 2.0]), "a", TypeError, "str"),
        (lambda: tn.cosine_similarity([1.0, None], [1.0, 2.0]), "a", TypeError, "NoneType"),
        (lambda: tn.batch_cosine_similarity([1.0], [[1.0], 2.0]), "corpus", TypeError, "'float' object is not an instance of 'Sequence'"),
        (lambda: tn.batch_cosine_similarity([1.0], ["ab"]), "corpus", TypeError, "str"),
        (lambda: tn.batch_cosine_similarity([1.0], [[1.0], [[1.0]]]), "corpus", TypeError, "list"),
        (lambda: tn.batch_cosine_similarity([1.0], "ab"), "corpus", TypeError, "str"),
        (lambda: tn.top_k_similar([1.0], [[1.0]], k=-1), "k", OverflowError, ""),
        (lambda: tn.top_k_similar([1.0], [[1.0]], k=1.5), "k", TypeError, ""),
        (lambda: tn.top_k_similar([1.0], [[1.0]], k=2**64), "k", OverflowError, ""),
        (lambda: tn.similarity_matrix([[1.0]], [[1.0]], normalize=1), "normalize", TypeError, "'int' object is not an instance of 'bool'"),
        (lambda: tn.cosine_similarity([1.0, 10**400], [1.0, 1.0]), "a", OverflowError, ""),
    ],
)
def test_conversion_errors_name_the_parameter(call, param, exc, msg):
    with pytest.raises(exc) as info:
        call()
    assert msg in str(info.value)
    assert f"while processing '{param}'" in getattr(info.value, "__notes__", [])


def test_buffers_read_like_sequences(rng):
    vecs = [rand_vec(rng, 9) for _ in range(4)]
    q = rand_vec(rng, 9)
    expected = tn.batch_cosine_similarity(q, vecs)
    # array.array of floats or doubles, memoryviews, and bytes (a sequence of ints)
    assert tn.batch_cosine_similarity(array("f", q), [array("d", v) for v in vecs]) == expected
    assert tn.batch_cosine_similarity(memoryview(array("f", q)), [memoryview(array("f", v)) for v in vecs]) == expected
    assert tn.cosine_similarity(b"\x01\x02", [1, 2]) == tn.cosine_similarity([1.0, 2.0], [1, 2])
    assert tn.cosine_similarity(array("i", [1, 2]), [1, 2]) == tn.cosine_similarity([1.0, 2.0], [1, 2])
    with pytest.raises(TypeError):
        tn.batch_cosine_similarity(q, array("f", q))  # a flat buffer is not a list of vectors


def test_numpy_arrays_read_like_lists(rng):
    np = pytest.importorskip("numpy")
    vecs = [rand_vec(rng, 11) for _ in range(130)]
    q = rand_vec(rng, 11)
    expected = tn.batch_cosine_similarity(q, vecs)
    m32 = np.array(vecs, dtype=np.float32)
    m64 = np.array(vecs, dtype=np.float64) + 1e-12  # rounded back to the same binary32 values
    for corpus in (m32, m64, list(m32), m32.T.copy().T, np.asfortranarray(m32)):
        assert tn.batch_cosine_similarity(np.array(q, dtype=np.float32), corpus) == expected
    wide = np.zeros((130, 22), dtype=np.float32)
    wide[:, ::2] = m32
    assert tn.batch_cosine_similarity(q, wide[:, ::2]) == expected  # strided: element by element
    assert tn.batch_cosine_similarity(q, m32.astype(np.float16).astype(np.float32)) == \
        tn.batch_cosine_similarity(q, m32.astype(np.float16))
    assert tn.batch_normalize_vectors(m32) == tn.batch_normalize_vectors(vecs)
    assert tn.EmbeddingIndex(m32, [str(i) for i in range(130)]).similarities(np.array(q)) == \
        tn.EmbeddingIndex(vecs, [str(i) for i in range(130)]).similarities(q)
    with pytest.raises(TypeError):
        tn.cosine_similarity(np.float32(1.0), [1.0])
    assert tn.similarity_matrix(np.zeros((0, 3), dtype=np.float32), m32) == []


def test_binding_errors():
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'b'"):
        tn.cosine_similarity([1.0])
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'c'"):
        tn.cosine_similarity([1.0], [1.0], c=1)


def test_sequence_mutated_by_float_conversion_is_refused():
    victim = [1.0, 2.0, 3.0]

    class Evil:
        def __float__(self):
            victim.clear()
            return 1.0

    victim.insert(1, Evil())
    with pytest.raises(RuntimeError, match="changed size during conversion"):
        tn.cosine_similarity(victim, [1.0, 1.0, 1.0, 1.0])
    outer = [[1.0, 2.0], [3.0, 4.0]]

    class EvilOuter:
        def __float__(self):
            outer.clear()
            return 1.0

    outer.append([EvilOuter(), 1.0])
    with pytest.raises(RuntimeError, match="changed size during conversion"):
        tn.batch_cosine_similarity([1.0, 1.0], outer)
    # a tuple cannot change: the same values in a tuple convert fine
    assert tn.batch_cosine_similarity([1.0, 1.0], ((1.0, 1.0), [FloatLike(), FloatLike()])) == [
        tn.cosine_similarity([1.0, 1.0], [1.0, 1.0]),
        tn.cosine_similarity([1.0, 1.0], [0.5, 0.5]),
    ]


# ---- batch functions ----------------------------------------------------------------------

def test_batch_worked_numbers():
    assert tn.batch_cosine_similarity([1, 0], []) == []
    with pytest.raises(ValueError, match=r"^Dimension mismatch: query has 2 dims, corpus\[1\] has 3 dims$"):
        tn.batch_cosine_similarity([1, 0], [[1, 0], [1, 0, 0]])
    with pytest.raises(ValueError, match=r"^Dimension mismatch: query has 2 dims, corpus\[0\] has 1 dims$"):
        tn.batch_cosine_similarity_normalized([1, 0], [[1], [1, 0, 0]])
    assert tn.batch_cosine_similarity_normalized([1, 0], []) == []


@pytest.mark.parametrize("size", [0, 1, 99, 100, 101, 350])
@pytest.mark.parametrize("dim", [3, 8, 19])
def test_batch_equals_per_item_on_both_sides_of_the_pool_threshold(rng, size, dim):
    q = rand_vec(rng, dim)
    corpus = [rand_vec(rng, dim) for _ in range(size)]
    got = tn.batch_cosine_similarity(q, corpus)
    assert got == [tn.cosine_similarity(q, c) for c in corpus]
    assert got == [ref_cos(c, q) for c in corpus]
    qn = ref_normalize(q)
    assert tn.batch_cosine_similarity_normalized(q, corpus) == [ref_dot(c, qn) for c in corpus]


def test_normalized_batch_uses_corpus_as_given():
    # the corpus is not normalised: a non-unit corpus gives scaled scores
    assert tn.batch_cosine_similarity_normalized([3, 4], [[3, 4], [6, 8]]) == [
        ref_dot([3, 4], ref_normalize([3, 4])),
        ref_dot([6, 8], ref_normalize([3, 4])),
    ]
    assert tn.batch_cosine_similarity_normalized([3, 4], [[6, 8]])[0] == pytest.approx(10.0, rel=1e-6)


def test_batch_normalize_worked_numbers(rng):
    assert tn.batch_normalize_vectors([[3, 4], [0, 0], []]) == [[0.6000000238418579, 0.800000011920929], [0.0, 0.0], []]
    assert tn.batch_normalize_vectors([]) == []
    tiny = tn.batch_normalize_vectors([[1e-10, 0]])[0]
    assert tiny[0] == pytest.approx(0.1, rel=1e-6) and tiny[1] == 0.0
    vecs = [rand_vec(rng, rng.randint(0, 40)) for _ in range(150)]  # mixed lengths, pooled
    assert tn.batch_normalize_vectors(vecs) == [ref_normalize(v) for v in vecs]


# ---- top-k ----------------------------------------------------------------------------------

def test_top_k_zero_and_empty():
    ragged = [[1.0, 0.0], [1.0]]
    assert tn.top_k_similar([1.0, 0.0], ragged, k=0) == []
    assert tn.top_k_similar([1.0, 0.0], [], k=5) == []
    with pytest.raises(ValueError, match=r"^Dimension mismatch: query has 2 dims, corpus\[1\] has 1 dims$"):
        tn.top_k_similar_normalized([1.0, 0.0], ragged, k=0)
    with pytest.raises(ValueError, match=r"corpus\[1\] has 1 dims"):
        tn.top_k_similar([1.0, 0.0], ragged, k=1)
    assert tn.top_k_similar_normalized([1.0, 0.0], [], k=3) == []
    assert tn.top_k_similar_normalized([1.0, 0.0], [[1.0, 0.0]], k=0) == []


@pytest.mark.parametrize("fn", [tn.top_k_similar, tn.top_k_similar_normalized])
@pytest.mark.parametrize("k", [1, 3, 10, 150, 10**6, 2**64 - 1])
@pytest.mark.parametrize("size", [1, 7, 100, 101, 300])
def test_top_k_selects_the_best_in_order(rng, fn, k, size):
    q = rand_vec(rng, 12)
    corpus = [rand_vec(rng, 12) for _ in range(size)]
    got = fn(q, corpus, k)
    scores = (tn.batch_cosine_similarity if fn is tn.top_k_similar else tn.batch_cosine_similarity_normalized)(q, corpus)
    assert len(got) == min(k, size)
    assert all(isinstance(i, int) and isinstance(s, float) for i, s in got)
    assert [s for _, s in got] == sorted(scores, reverse=True)[: len(got)]
    assert all(scores[i] == s for i, s in got)
    assert len({i for i, _ in got}) == len(got)


def test_top_k_default_k_is_ten(rng):
    corpus = [rand_vec(rng, 4) for _ in range(30)]
    assert len(tn.top_k_similar(corpus[0], corpus)) == 10
    assert len(tn.top_k_similar_normalized(corpus[0], corpus)) == 10
    assert tn.top_k_similar(corpus[0], corpus)[0] == (0, tn.cosine_similarity(corpus[0], corpus[0]))


@pytest.mark.parametrize("fn", [tn.top_k_similar, tn.top_k_similar_normalized])
@pytest.mark.parametrize("k", [1, 2, 4, 6, 200])
def test_top_k_with_nan_scores_never_fails(rng, fn, k):
    nan = float("nan")
    corpus = [rand_vec(rng, 3) for _ in range(150)]
    for i in range(0, 150, 3):
        corpus[i][1] = nan
    q = rand_vec(rng, 3)
    got = fn(q, corpus, k)
    assert len(got) == min(k, 150)
    finite = sorted((s for s in (tn.batch_cosine_similarity(q, corpus) if fn is tn.top_k_similar
                                 else tn.batch_cosine_similarity_normalized(q, corpus)) if not math.isnan(s)), reverse=True)
    numbers = [s for _, s in got if not math.isnan(s)]
    assert numbers == finite[: len(numbers)]
    # a NaN query makes every score NaN; still a full, well-formed answer
    got = fn([nan, 1.0, 1.0], corpus, k)
    assert len(got) == min(k, 150) and all(math.isnan(s) for _, s in got)
    assert len({i for i, _ in got}) == len(got)


# ---- similarity_matrix ------------------------------------------------------------------

def test_matrix_worked_numbers():
    assert tn.similarity_matrix([[1, 0]], []) == []
    assert tn.similarity_matrix([], [[1, 0]]) == []
    assert tn.similarity_matrix([[1, 0], [1]], []) == []
    with pytest.raises(ValueError, match=r"^Query dimension mismatch: queries\[0\] has 2 dims, queries\[1\] has 1$"):
        tn.similarity_matrix([[1, 0], [1]], [[1, 0]])
    with pytest.raises(ValueError, match=r"^Dimension mismatch: query has 2 dims, corpus\[2\] has 3$"):
        tn.similarity_matrix([[1, 0]], [[1, 0], [0, 1], [1, 2, 3]], normalize=False)
    # a vector with norm below the floor is left as is by the normalising branch
    tiny = [[1e-10, 0.0]]
    assert tn.similarity_matrix(tiny, [[1.0, 0.0]]) == [[f32(1e-10)]]
    assert tn.similarity_matrix(tiny, [[1.0, 0.0]], normalize=False) == [[ref_cos(tiny[0], [1.0, 0.0])]]
    assert tn.similarity_matrix(tiny, [[1.0, 0.0]], normalize=False)[0][0] == pytest.approx(0.1, rel=1e-6)


@pytest.mark.parametrize("nq, nc, dim", [(1, 1, 1), (3, 5, 9), (7, 130, 16), (12, 40, 23)])
def test_matrix_matches_model(rng, nq, nc, dim):
    queries = [rand_vec(rng, dim) for _ in range(nq)]
    corpus = [rand_vec(rng, dim) for _ in range(nc)]
    got = tn.similarity_matrix(queries, corpus)
    unit_corpus = [ref_normalize_or_copy(c) for c in corpus]
    assert got == [[ref_dot(ref_normalize_or_copy(q), c) for c in unit_corpus] for q in queries]
    raw = tn.similarity_matrix(queries, corpus, normalize=False)
    assert raw == [tn.batch_cosine_similarity(q, corpus) for q in queries]


# ---- hostile input -------------------------------------------------------------------------

def test_large_vectors():
    n = 10_000_000
    big = [0.5] * n
    assert tn.cosine_similarity(big, big) == pytest.approx(1.0, abs=1e-3)
    out = tn.batch_normalize_vectors([big])
    assert len(out[0]) == n
    del out
    assert tn.top_k_similar([1.0], [[1.0]] * 1000, k=10**18)[0] == (0, 1.0)


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: tn.batch_cosine_similarity([], [[], []]), [0.0, 0.0]),
        (lambda: tn.batch_cosine_similarity_normalized([], [[]]), [0.0]),
        (lambda: tn.top_k_similar([], [[], []], 1), [(0, 0.0)]),
        (lambda: tn.top_k_similar_normalized([], [[]], 5), [(0, 0.0)]),
        (lambda: tn.similarity_matrix([[]], [[], []]), [[0.0, 0.0]]),
        (lambda: tn.similarity_matrix([[]], [[]], normalize=False), [[0.0]]),
        (lambda: tn.batch_normalize_vectors([[], ()]), [[], []]),
    ],
)
def test_empty_vectors(call, expected):
    assert call() == expected


class Seq:
    """A sequence that is neither a list nor a tuple."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


def test_generic_sequences_and_hostile_shapes():
    assert tn.batch_cosine_similarity(Seq([3, 4]), Seq([Seq([4, 3]), (4.0, 3.0)])) == [0.9599999785423279] * 2
    with pytest.raises(TypeError, match="'generator' object is not an instance of 'Sequence'"):
        tn.cosine_similarity((x for x in [1.0]), [1.0])
    with pytest.raises(TypeError, match="'dict' object is not an instance of 'Sequence'"):
        tn.batch_normalize_vectors([{0: 1.0}])
    deep = [1.0]
    for _ in range(10_000):
        deep = [deep]
    with pytest.raises(TypeError):
        tn.batch_normalize_vectors(deep)
    with pytest.raises(TypeError):
        tn.similarity_matrix([[1.0]], [[1.0], None])


def test_non_finite_values_propagate():
    inf, nan = float("inf"), float("nan")
    assert math.isnan(tn.cosine_similarity([nan, 1.0], [1.0, 1.0]))
    assert math.isnan(tn.cosine_similarity([inf, 1.0], [1.0, 1.0]))
    assert math.isnan(tn.batch_cosine_similarity([1.0, 1.0], [[nan, 0.0]])[0])
    assert math.isnan(tn.similarity_matrix([[1.0, 1.0]], [[inf, 0.0]])[0][0])


# ---- the interpreter lock -------------------------------------------------------------------

def _progress_during(call):
    """How far another Python thread gets while `call` runs.

    The switch interval is made huge, so the interpreter never forces a
    switch: the spinning thread can run only while the calling thread has
    given the lock up. It hands the lock straight back after every step.
    """
    state = {"n": 0, "stop": False}
    started = threading.Event()

    def spin():
        started.set()
        while not state["stop"]:
            state["n"] += 1
            time.sleep(0)

    old = sys.getswitchinterval()
    sys.setswitchinterval(30.0)
    t = threading.Thread(target=spin)
    t.start()
    try:
        started.wait()
        before = state["n"]
        call()
        after = state["n"]
    finally:
        state["stop"] = True
        t.join()
        sys.setswitchinterval(old)
    return after - before


ROW = [0.25] * 384
CORPUS = [ROW] * 5000  # 1.9 million floats to convert and score, little memory


def _ten_calls(fn, *args):
    # map() makes the ten calls back to back from C: no Python code between
    # them where the calling thread could give up the lock by itself.
    return lambda: list(map(fn, *([a] * 10 for a in args)))


@pytest.mark.parametrize(
    "call",
    [
        _ten_calls(tn.batch_cosine_similarity, ROW, CORPUS),
        _ten_calls(tn.batch_cosine_similarity_normalized, ROW, CORPUS),
        _ten_calls(tn.batch_normalize_vectors, CORPUS[:500]),
        _ten_calls(tn.similarity_matrix, CORPUS[:20], CORPUS[:1000]),
    ],
    ids=["batch_cosine_similarity", "batch_cosine_similarity_normalized", "batch_normalize_vectors",
         "similarity_matrix"],
)
def test_lock_is_released_while_computing(call):
    assert max(_progress_during(call) for _ in range(5)) > 0


@pytest.mark.parametrize(
    "call",
    [
        _ten_calls(tn.top_k_similar, ROW, CORPUS, 3),
        _ten_calls(tn.top_k_similar_normalized, ROW, CORPUS, 3),
        _ten_calls(tn.cosine_similarity, ROW * 1000, ROW * 1000),
        _ten_calls(tn.EmbeddingIndex(CORPUS[:2000], ["x"] * 2000).similarities, ROW),
    ],
    ids=["top_k_similar", "top_k_similar_normalized", "cosine_similarity", "EmbeddingIndex"],
)
def test_lock_is_held_by_the_other_functions(call):
    # the measurement itself is sound: nothing runs while the lock is held
    assert [_progress_during(call) for _ in range(3)] == [0, 0, 0]


def test_calls_from_many_threads_agree(rng):
    q = rand_vec(rng, 32)
    corpus = [rand_vec(rng, 32) for _ in range(500)]
    expected = tn.batch_cosine_similarity(q, corpus)
    results = []

    def work():
        for _ in range(5):
            results.append(tn.batch_cosine_similarity(q, corpus) == expected)
            results.append(tn.similarity_matrix([q], corpus, normalize=False) == [expected])

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results and all(results)


# ---- EmbeddingIndex -------------------------------------------------------------------------

def test_index_empty():
    idx = tn.EmbeddingIndex([], [])
    assert idx.len() == 0 and idx.dim() == 0
    assert idx.query([1.0, 2.0]) == []
    assert idx.similarities([1.0, 2.0, 3.0]) == []
    with pytest.raises(TypeError):
        len(idx)


@pytest.mark.parametrize(
    "vectors, labels, message",
    [
        ([[1, 2]], ["a", "b"], r"^vectors length \(1\) must match labels length \(2\)$"),
        ([[]], ["a"], r"^Vectors must have non-zero dimension$"),
        ([[1, 0], [1]], ["a", "b"], r"^Dimension mismatch: vectors\[0\] has 2 dims, vectors\[1\] has 1 dims$"),
    ],
)
def test_index_construction_errors(vectors, labels, message):
    with pytest.raises(ValueError, match=message):
        tn.EmbeddingIndex(vectors, labels)


def test_index_add():
    idx = tn.EmbeddingIndex([[1, 0], [0, 1]], ["a", "b"])
    with pytest.raises(ValueError, match=r"^Dimension mismatch: index has 2 dims, vectors\[0\] has 3 dims$"):
        idx.add([[1, 0, 0]], ["c"])
    with pytest.raises(ValueError, match=r"^Dimension mismatch: index has 2 dims, vectors\[1\] has 1 dims$"):
        idx.add([[1, 1], [1]], ["c", "d"])
    with pytest.raises(ValueError, match=r"^vectors length \(1\) must match labels length \(0\)$"):
        idx.add([[1, 1]], [])
    assert idx.len() == 2
    assert idx.add([], []) is None
    idx.add(vectors=[[1, 1]], labels=["c"])
    assert idx.len() == 3
    assert idx.similarities([1, 1]) == [ref_dot(ref_normalize(v), ref_normalize([1, 1])) for v in ([1, 0], [0, 1], [1, 1])]
    with pytest.raises(TypeError):
        idx.add([[1, 1]], [3])
    assert idx.len() == 3


def test_empty_index_records_dim_on_add():
    idx = tn.EmbeddingIndex([], [])
    with pytest.raises(ValueError, match=r"^Dimension mismatch: index has 3 dims, vectors\[1\] has 2 dims$"):
        idx.add([[1, 2, 3], [1, 2]], ["a", "b"])
    assert idx.dim() == 3 and idx.len() == 0
    with pytest.raises(ValueError, match=r"^Vectors must have non-zero dimension$"):
        idx.add([[]], ["a"])
    idx.add([[1, 2]], ["x"])  # a still-empty index takes its dim from the new vectors
    assert idx.dim() == 2 and idx.len() == 1


def test_index_worked_numbers():
    idx = tn.EmbeddingIndex([[3, 4]], ["a"])
    assert idx.query([4, 3]) == [("a", 0.9600000381469727)]
    assert idx.query([-4, -3]) == []
    got = idx.query([-4, -3], threshold=-1.0)
    assert len(got) == 1 and got[0][0] == "a" and got[0][1] < 0
    assert idx.query([4, 3], k=0) == []
    assert idx.query([1, 0, 0]) == []
    with pytest.raises(ValueError, match=r"^Dimension mismatch: index has 2 dims, query has 3 dims$"):
        idx.similarities([1, 0, 0])
    assert tn.EmbeddingIndex([[3, 0]], ["a"]).similarities([2, 0]) == [1.0]
    # exactly 0.0 passes the default threshold
    assert tn.EmbeddingIndex([[0, 1]], ["z"]).query([1, 0]) == [("z", 0.0)]
    # duplicate labels come back as stored, one tuple per row
    dup = tn.EmbeddingIndex([[1, 0], [0, 1], [2, 0]], ["x", "y", "x"])
    assert dup.query([1, 0], k=5) == [("x", 1.0), ("x", 1.0), ("y", 0.0)]


def test_index_query_selects_best_candidates(rng):
    vectors = [rand_vec(rng, 10) for _ in range(300)]
    labels = [f"v{i % 50}" for i in range(300)]  # duplicates allowed
    idx = tn.EmbeddingIndex(vectors, labels)
    q = rand_vec(rng, 10)
    sims = idx.similarities(q)
    qn = ref_normalize(q)
    assert sims == [ref_dot(ref_normalize(v), qn) for v in vectors]
    for k, threshold in [(5, 0.0), (1000, 0.0), (1000, -2.0), (7, 0.3), (3, 2.0)]:
        got = idx.query(q, k=k, threshold=threshold)
        cand = sorted((s for s in sims if s >= f32(threshold)), reverse=True)
        assert [s for _, s in got] == cand[:k]
        assert all(isinstance(label, str) for label, _ in got)


def test_index_nan_handling():
    nan = float("nan")
    idx = tn.EmbeddingIndex([[1, 0], [nan, 1], [0.5, 0.5]], ["a", "b", "c"])
    got = idx.query([1, 0], k=10)
    assert [label for label, _ in got] == ["a", "c"]
    assert idx.query([1, 0], threshold=nan) == []
    assert math.isnan(idx.similarities([1, 0])[1])


def test_index_unicode_labels_and_hostile_input():
    idx = tn.EmbeddingIndex([[1, 0]], ["\u00e9t\u00e9 \U0001f600"])
    assert idx.query([1, 0]) == [("\u00e9t\u00e9 \U0001f600", 1.0)]
    with pytest.raises(UnicodeEncodeError):
        tn.EmbeddingIndex([[1, 0]], ["\ud800"])
    with pytest.raises(TypeError):
        tn.EmbeddingIndex([[1, 0]], "a")
    with pytest.raises(TypeError):
        idx.query("ab")
    assert idx.query([1, 0], k=2**64 - 1) == [("\u00e9t\u00e9 \U0001f600", 1.0)]
    with pytest.raises(OverflowError):
        idx.query([1, 0], k=-1)


def test_index_borrow_rules():
    idx = tn.EmbeddingIndex([[1.0, 0.0]], ["a"])
    seen = []

    class AddsWhileQueried:
        def __float__(self):
            try:
                idx.add([[0.0, 1.0]], ["b"])
            except RuntimeError as e:
                seen.append(e)
            return 1.0

    class QueriesWhileAdding:
        def __float__(self):
            try:
                idx.query([1.0, 0.0])
            except RuntimeError as e:
                seen.append(e)
            return 1.0

    # a shared borrow (query) refuses an exclusive one (add) ...
    assert idx.query([AddsWhileQueried(), 0.0]) == [("a", 1.0)]
    assert isinstance(seen[0], RuntimeError) and idx.len() == 1
    # ... and an exclusive borrow refuses a shared one
    idx.add([[QueriesWhileAdding(), 1.0]], ["c"])
    assert isinstance(seen[1], RuntimeError) and idx.len() == 2
    # reads may nest inside reads
    nested = []

    class QueriesWhileQueried:
        def __float__(self):
            nested.append(idx.similarities([1.0, 0.0]))
            return 1.0

    idx.query([QueriesWhileQueried(), 0.0])
    assert len(nested) == 1 and len(nested[0]) == 2


def test_index_class_traits():
    idx = tn.EmbeddingIndex([[1, 0]], ["a"])
    assert type(idx).__module__ == "builtins" and type(idx).__qualname__ == "EmbeddingIndex"
    with pytest.raises(AttributeError):
        idx.x = 1
    with pytest.raises(TypeError):
        class Sub(tn.EmbeddingIndex):  # noqa: F841
            pass
    assert tn.EmbeddingIndex.__text_signature__ == "(vectors, labels)"
