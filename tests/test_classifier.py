import inspect
import struct

import pytest

import thalren_native as tn

TT = tn.TaskType


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def result_tuple(r):
    return (r.task_type, r.matched_count, r.negated_count, r.recommended_tool_budget)


# ---- worked examples ----------------------------------------------------------------


@pytest.mark.parametrize("text", ["fix the login page", "FIX the login page", "Fix: the login page"])
def test_lone_fix_is_edit(text):
    r = tn.classify_task(text)
    assert r.task_type is TT.Edit
    assert r.confidence == 1.0
    assert (r.matched_count, r.negated_count) == (1, 0)
    assert r.is_action_task and not r.needs_execution
    assert not r.is_analysis_task and not r.is_generation_task
    assert r.recommended_tool_budget == 15


def test_position_weighted_scores_and_repr():
    text = "explain the fix right away"
    assert len(text.encode()) == 26 and text.index("fix") == 12
    analysis = f32(0.9) * 1.1
    edit = 1.0 * (1 + 0.1 * (1 - 12 / 26))
    r = tn.classify_task(text)
    assert r.task_type is TT.Edit
    assert r.confidence == edit / (analysis + edit)
    assert r.confidence == pytest.approx(0.5156, abs=1e-4)
    assert (r.matched_count, r.negated_count) == (2, 0)
    assert repr(r) == "ClassificationResult(type=Edit, confidence=0.52, matches=2, negated=0)"


def test_negation_within_radius():
    text = "don't fix the door"
    r = tn.classify_task(text)
    assert (r.task_type, r.confidence) == (TT.Default, 0.0)
    assert (r.matched_count, r.negated_count, r.recommended_tool_budget) == (0, 1, 20)
    assert not (r.is_action_task or r.is_analysis_task or r.is_generation_task or r.needs_execution)
    # With radius 5 "fix" (6 bytes after the negation) is not negated.
    r5 = tn.TaskClassifier(negation_radius=5).classify(text)
    assert (r5.task_type, r5.matched_count, r5.negated_count) == (TT.Edit, 1, 0)
    assert tn.TaskClassifier(negation_radius=6).classify(text).negated_count == 1


def test_negation_after_keyword_does_not_negate():
    r = tn.classify_task("fix it, do not wait")
    assert (r.task_type, r.matched_count, r.negated_count) == (TT.Edit, 1, 0)


def test_negated_weight_subtracts_half():
    # Analysis: "explain" matched at 0 (0.9 x 1.1), "review" negated (-0.45).
    text = "explain, never review"
    r = tn.classify_task(text)
    assert (r.task_type, r.matched_count, r.negated_count) == (TT.Analysis, 1, 1)
    assert r.confidence == 1.0


def test_empty_text():
    r = tn.classify_task("")
    assert (r.task_type, r.confidence, r.matched_count, r.negated_count) == (TT.Default, 0.0, 0, 0)
    assert repr(r) == "ClassificationResult(type=Default, confidence=0.00, matches=0, negated=0)"


@pytest.mark.parametrize(
    "text, expected_type, confidence",
    [
        ("grep", TT.Search, 1.0),
        # Equal top scores: the later category wins.
        ("grep fix", None, None),
        ("execute grep", TT.Search, 0.5),
        ("execute explore generate", TT.Generation, 1 / 3),
        ("execute explore generate search", TT.Default, 0.25),
        ("execute explore generate search modify", TT.Default, 0.2),
    ],
)
def test_ties(text, expected_type, confidence):
    # Same-weight keywords at the same start would score alike; give each
    # keyword its own position-free classifier to make the scores equal.
    r = tn.TaskClassifier(position_weight=0.0).classify(text)
    if expected_type is None:
        # grep (1.0) vs fix (1.0): Edit is later than Search.
        assert r.task_type is TT.Edit and r.confidence == 0.5
        return
    assert r.task_type is expected_type
    assert r.confidence == pytest.approx(confidence)


def test_all_scores_zero_gives_default():
    r = tn.classify_task("hello there")
    assert r.task_type is TT.Default and r.confidence == 0.0


def test_confidence_kept_when_falling_back_to_default():
    r = tn.TaskClassifier(position_weight=0.0).classify("execute explore generate search")
    assert r.task_type is TT.Default and r.confidence == 0.25
    assert r.matched_count == 4


def test_infinite_position_weight_gives_default():
    r = tn.TaskClassifier(position_weight=float("inf")).classify("fix it")
    assert r.task_type is TT.Default
    r = tn.TaskClassifier(position_weight=float("nan")).classify("fix it")
    assert r.task_type is TT.Default and r.confidence == 0.0
    r = tn.TaskClassifier(position_weight=-float("inf")).classify("fix it")
    assert r.task_type is TT.Default and r.confidence == 0.0


def test_substring_matching_and_longest_at_same_end():
    assert tn.has_generation_keywords("my address")  # "add" inside a word
    assert tn.has_action_keywords("the latest one")  # "test"
    assert tn.has_negation("another")  # "not"
    assert tn.find_all_keywords("Please ReMoVe it") == [(7, 13, "ReMoVe", "edit")]
    assert tn.find_all_keywords("RESTART") == [(0, 7, "RESTART", "action")]


def test_keyword_weights_are_32_bit():
    # A lone "run" at the end of an otherwise empty text scores 0.9 x f32.
    r = tn.TaskClassifier(position_weight=0.0).classify("run")
    assert r.task_type is TT.Action and r.confidence == 1.0
    # Two categories: confidence is exact arithmetic on widened weights.
    r = tn.TaskClassifier(position_weight=0.0).classify("run grep")
    assert r.confidence == 1.0 / (f32(0.9) + 1.0)


def test_find_all_keywords_order_and_overlap():
    text = "Find and fix: what is the new list"
    got = tn.find_all_keywords(text)
    assert got == [
        (0, 4, "Find", "search"),
        (9, 12, "fix", "edit"),
        (14, 21, "what is", "analysis"),
        (26, 29, "new", "generation"),
        (30, 34, "list", "search"),
    ]
    # Different categories can coincide; same start keeps category order.
    assert tn.find_all_keywords("runtest") == [(0, 3, "run", "action"), (3, 7, "test", "action")]
    assert tn.find_all_keywords("") == []
    # Negation is ignored here.
    assert tn.find_all_keywords("don't fix") == [(6, 9, "fix", "edit")]


def test_find_all_keywords_byte_offsets():
    assert tn.find_all_keywords("\u00e9\u00e9 grep") == [(5, 9, "grep", "search")]


@pytest.mark.parametrize(
    "fn, yes, no",
    [
        (tn.has_action_keywords, "please DEPLOY", "all good"),
        (tn.has_analysis_keywords, "What Is this", "all good"),
        (tn.has_generation_keywords, "Scaffold it", "all good"),
        (tn.has_negation, "we CANNOT", "all good"),
    ],
)
def test_has_functions(fn, yes, no):
    assert fn(yes) is True
    assert fn(no) is False
    assert fn("") is False


def test_has_functions_ignore_negation():
    assert tn.has_action_keywords("don't deploy") is True


# ---- result object ----------------------------------------------------------------


@pytest.mark.parametrize(
    "text, task_type, flags, coarse, budget",
    [
        ("deploy", TT.Action, (True, False, False, True), "action", 15),
        ("analyze", TT.Analysis, (False, True, False, False), "analysis", 30),
        ("create", TT.Generation, (False, False, True, False), "action", 20),
        ("search", TT.Search, (False, True, False, False), "analysis", 10),
        ("modify", TT.Edit, (True, False, False, False), "action", 15),
        ("hello", TT.Default, (False, False, False, False), "default", 20),
    ],
)
def test_result_by_type(text, task_type, flags, coarse, budget):
    r = tn.classify_task(text)
    assert r.task_type is task_type
    assert (r.is_action_task, r.is_analysis_task, r.is_generation_task, r.needs_execution) == flags
    assert r.recommended_tool_budget == budget
    d = r.to_legacy_dict()
    assert list(d) == [
        "is_action_task",
        "is_analysis_task",
        "needs_execution",
        "coarse_task_type",
        "confidence",
        "source",
        "task_type",
    ]
    assert d["coarse_task_type"] == coarse
    assert d["source"] == "native"
    assert d["task_type"] == str(task_type)
    assert d["confidence"] == r.confidence
    assert (d["is_action_task"], d["is_analysis_task"], d["needs_execution"]) == (flags[0], flags[1], flags[3])
    assert repr(r).startswith(f"ClassificationResult(type={str(task_type).capitalize()}, ")


def test_result_is_read_only_and_not_constructible():
    r = tn.classify_task("fix")
    with pytest.raises(AttributeError):
        r.confidence = 0.5
    with pytest.raises(TypeError):
        tn.ClassificationResult()
    assert r.to_legacy_dict() is not r.to_legacy_dict()


# ---- TaskType ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "member, value, text",
    [
        (TT.Action, 0, "action"),
        (TT.Analysis, 1, "analysis"),
        (TT.Generation, 2, "generation"),
        (TT.Search, 3, "search"),
        (TT.Edit, 4, "edit"),
        (TT.Default, 5, "default"),
    ],
)
def test_task_type_members(member, value, text):
    assert int(member) == value
    assert str(member) == text
    assert repr(member) == "TaskType." + text.upper()
    assert member == value and value == member and member != value + 1
    assert member == member


def test_task_type_comparisons():
    assert TT.Search != TT.Edit
    assert not (TT.Search == "search")
    assert TT.Search != 3.0
    with pytest.raises(TypeError):
        TT.Search < TT.Edit
    with pytest.raises(TypeError):
        hash(TT.Search)
    with pytest.raises(TypeError):
        {TT.Search}
    with pytest.raises(TypeError):
        TT()
    assert tn.classify_task("grep").task_type is TT.Search
    assert TT.__doc__ == "Task type enumeration"


# ---- construction and bad input --------------------------------------------------------


def test_classifier_constructor():
    assert str(inspect.signature(tn.TaskClassifier)) == "(position_weight=0.1, negation_radius=20)"
    tn.TaskClassifier(1, 0)  # an int is a valid float
    tn.TaskClassifier(position_weight=0.5, negation_radius=2**64 - 1)
    with pytest.raises(OverflowError) as info:
        tn.TaskClassifier(negation_radius=-1)
    assert "while processing 'negation_radius'" in info.value.__notes__
    with pytest.raises(TypeError) as info:
        tn.TaskClassifier(position_weight="0.1")
    assert "while processing 'position_weight'" in info.value.__notes__
    with pytest.raises(TypeError) as info:
        tn.TaskClassifier(negation_radius=2.0)
    assert "while processing 'negation_radius'" in info.value.__notes__
    c = tn.TaskClassifier()
    with pytest.raises(AttributeError):
        c.position_weight


@pytest.mark.parametrize(
    "fn",
    [
        tn.classify_task,
        tn.has_negation,
        tn.has_action_keywords,
        tn.has_analysis_keywords,
        tn.has_generation_keywords,
        tn.find_all_keywords,
        tn.TaskClassifier().classify,
    ],
)
def test_text_must_be_str(fn):
    with pytest.raises(TypeError) as info:
        fn(b"fix")
    assert "while processing 'text'" in info.value.__notes__
    with pytest.raises(UnicodeEncodeError):
        fn("fix \ud800")


def test_large_and_hostile_text():
    text = ("don't fix " * 100_000) + " " * 30 + "explain"
    r = tn.classify_task(text)
    assert r.negated_count == 100_000 and r.matched_count == 1
    assert r.task_type is TT.Analysis
    assert len(tn.find_all_keywords("fix" * 100_000)) == 100_000


def test_docstrings():
    assert tn.classify_task.__doc__.endswith("Classify a task using default settings (convenience function).")
    assert tn.TaskClassifier.classify.__text_signature__ == "($self, text)"
    assert tn.TaskClassifier.classify.__doc__ == (
        "Classify a task from user input text.\n\nReturns classification result with task type, confidence, and metadata."
    )
    assert tn.find_all_keywords.__doc__.endswith(
        "Find all keyword matches in text (Python FFI version with owned strings)."
    )
    assert tn.ClassificationResult.to_legacy_dict.__doc__.endswith(
        "Convert to legacy dictionary format for backward compatibility."
    )
    assert tn.TaskClassifier.__doc__ == "Fast task classifier using Aho-Corasick multi-pattern matching."
    assert tn.ClassificationResult.__doc__ == "Classification result with confidence and metadata"


# ---- agreement with a straightforward reference ----------------------------------

_VOCAB = {
    "action": [("execute", 1.0), ("apply", 1.0), ("run", 0.9), ("deploy", 1.0), ("build", 0.8), ("install", 0.9),
               ("start", 0.7), ("stop", 0.7), ("restart", 0.8), ("test", 0.8), ("commit", 0.9), ("push", 0.8),
               ("pull", 0.7), ("merge", 0.8)],
    "analysis": [("analyze", 1.0), ("explore", 1.0), ("review", 0.9), ("understand", 0.9), ("explain", 0.9),
                 ("describe", 0.8), ("investigate", 0.9), ("examine", 0.9), ("study", 0.8), ("assess", 0.8),
                 ("evaluate", 0.8), ("summarize", 0.8), ("overview", 0.7), ("what is", 0.8), ("what does", 0.8),
                 ("how does", 0.8), ("why does", 0.7)],
    "generation": [("create", 1.0), ("generate", 1.0), ("write", 0.9), ("implement", 1.0), ("add", 0.8),
                   ("new", 0.7), ("scaffold", 0.9), ("initialize", 0.8), ("setup", 0.8), ("bootstrap", 0.9)],
    "search": [("find", 1.0), ("search", 1.0), ("locate", 0.9), ("grep", 1.0), ("look for", 0.9),
               ("where is", 0.9), ("which file", 0.8), ("list", 0.7)],
    "edit": [("modify", 1.0), ("refactor", 1.0), ("fix", 1.0), ("update", 0.9), ("change", 0.8), ("edit", 0.9),
             ("rename", 0.9), ("move", 0.7), ("delete", 0.8), ("remove", 0.8), ("replace", 0.9), ("improve", 0.8),
             ("optimize", 0.9), ("clean up", 0.8), ("debug", 0.9)],
}
_NEGATIONS = ["don't", "do not", "dont", "shouldn't", "should not", "wouldn't", "would not", "can't", "cannot",
              "not", "never", "without", "avoid", "skip", "ignore"]


def _iterate(raw, words):
    """Standard non-overlapping iteration over bytes: earliest end, longest at that end."""
    out, pos = [], 0
    while True:
        cands = [(j + len(w), -len(w), j, i) for i, w in enumerate(words)
                 for j in range(pos, len(raw)) if raw.startswith(w, j)]
        if not cands:
            return out
        end, _, start, i = min(cands)
        out.append((start, i))
        pos = end


def _reference(text, position_weight=0.1, radius=20):
    raw = text.encode().lower()  # bytes.lower folds ASCII letters only
    def it(words):
        return _iterate(raw, [w.encode() for w in words])
    negs = [s for s, _ in it(_NEGATIONS)]
    scores, matched, negated = [], 0, 0
    for cat in ("action", "analysis", "generation", "search", "edit"):
        words = [w for w, _ in _VOCAB[cat]]
        total = 0.0
        for s, i in it(words):
            w = f32(_VOCAB[cat][i][1])
            if any(n < s and s - n <= radius for n in negs):
                negated += 1
                total += w * -0.5
            else:
                matched += 1
                total += w * (1.0 + position_weight * (1.0 - s / len(raw)))
        scores.append(total if total > 0 else 0.0)
    winner = max(i for i in range(5) if scores[i] == max(scores))
    total = 0.0
    for x in scores:
        total += x
    conf = scores[winner] / total if total > 0 else 0.0
    names = [TT.Action, TT.Analysis, TT.Generation, TT.Search, TT.Edit]
    return (names[winner] if conf >= 0.3 else TT.Default, conf, matched, negated)


@pytest.mark.parametrize("seed", range(6))
def test_classify_agrees_with_reference(seed):
    import random

    rng = random.Random(seed)
    pieces = [w for cat in _VOCAB.values() for w, _ in cat] + _NEGATIONS + [
        "restart", "RESTART", "Remove", "do not", "the", " ", " ", "x", "\u00e9", "eat", "ing", "t", "re"]
    for _ in range(40):
        text = "".join(rng.choice(pieces) + rng.choice(["", " ", "  ", ", "]) for _ in range(rng.randint(0, 25)))
        r = tn.classify_task(text)
        assert (r.task_type, r.confidence, r.matched_count, r.negated_count) == _reference(text), text
