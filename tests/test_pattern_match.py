import re
import threading

import pytest

import thalren_native as tn


def spans(matches):
    return [(m.pattern_idx, m.matched_text, m.start, m.end) for m in matches]


# ---- semantics ------------------------------------------------------------------


def test_standard_and_leftmost_longest_differ():
    patterns = ["a", "ab", "b"]
    assert tn.count_pattern_matches("ab", patterns) == 2
    assert tn.get_matched_pattern_indices("ab", patterns) == [0, 2]
    matcher = tn.PatternMatcher(patterns)
    assert matcher.count_matches("ab") == 1
    assert spans(matcher.find_all("ab")) == [(1, "ab", 0, 2)]
    assert spans(tn.find_all_patterns("ab", patterns)) == [(1, "ab", 0, 2)]


def test_standard_reports_earliest_end_longest_first():
    # "remove" and "move" both end at byte 6: the longer wins; "first let me"
    # ends before "let me read" does, and swallows its start.
    assert tn.get_matched_pattern_indices("remove", ["move", "remove"]) == [1]
    assert tn.count_pattern_matches("first let me read", ["first let me", "let me read"]) == 1


@pytest.mark.parametrize(
    "case_insensitive, text, expected",
    [
        (True, "say HELLO", [(0, "HELLO", 4, 9)]),
        (True, "say HeLLo", [(0, "HeLLo", 4, 9)]),
        (False, "say HELLO", []),
        (False, "say hello", [(0, "hello", 4, 9)]),
    ],
)
def test_ascii_case_folding(case_insensitive, text, expected):
    matcher = tn.PatternMatcher(["hello"], case_insensitive=case_insensitive)
    assert matcher.case_insensitive is case_insensitive
    assert spans(matcher.find_all(text)) == expected
    assert spans(tn.find_all_patterns(text, ["hello"], case_insensitive)) == expected


def test_non_ascii_letters_never_fold():
    assert not tn.contains_any_pattern("\u00c9t\u00e9", ["\u00e9t\u00e9"])
    assert tn.contains_any_pattern("\u00e9T\u00e9", ["\u00e9t\u00e9"])
    assert tn.PatternMatcher(["\u00e9"]).find_all("\u00c9") == []


def test_offsets_are_utf8_bytes():
    matches = tn.PatternMatcher(["x"]).find_all("\u00e9 x")
    assert spans(matches) == [(0, "x", 3, 4)]
    assert spans(tn.find_all_patterns("\u2581\U0001f600ab", ["ab"])) == [(0, "ab", 7, 9)]


def test_pattern_match_object():
    (m,) = tn.PatternMatcher(["it's"]).find_all("so IT'S")
    assert repr(m) == "PatternMatch(pattern=0, text='IT'S', span=(3, 7))"
    assert (m.pattern_idx, m.matched_text, m.start, m.end) == (0, "IT'S", 3, 7)
    assert type(m).__module__ == "builtins"
    with pytest.raises(AttributeError):
        m.start = 1
    with pytest.raises(TypeError):
        tn.PatternMatch()
    assert tn.PatternMatch.pattern_idx.__doc__ == "The pattern index that matched"
    assert tn.PatternMatch.matched_text.__doc__ == "The matched text (owned for Python FFI)"
    assert tn.PatternMatch.start.__doc__ == "Start position in text"
    assert tn.PatternMatch.end.__doc__ == "End position in text"


# ---- PatternMatcher methods --------------------------------------------------------


def test_matcher_queries():
    m = tn.PatternMatcher(["cat", "dog", "bird"])
    text = "bird dog cat dog bird bird"
    assert m.pattern_count() == 3
    assert m.get_pattern(1) == "dog"
    assert m.get_pattern(3) is None
    assert m.get_pattern(5) is None
    assert m.contains_any(text) and not m.contains_any("fish")
    assert m.count_matches(text) == 6
    assert m.count_by_pattern(text) == {2: 3, 1: 2, 0: 1}
    assert m.count_by_pattern("fish") == {}
    assert m.matched_patterns(text) == [2, 1, 0]
    assert m.matched_pattern_strings("A DOG and a Cat") == ["dog", "cat"]


def test_matched_pattern_strings_are_the_patterns_not_the_text():
    m = tn.PatternMatcher(["Hello"])
    assert m.matched_pattern_strings("HELLO hello") == ["Hello"]


def test_replace_all_and_replace_all_with():
    m = tn.PatternMatcher(["cat", "dog", "bird"])
    assert m.replace_all("a cat and a DOG", "pet") == "a pet and a pet"
    assert m.replace_all_with("cat dog bird", ["C", "D", "B"]) == "C D B"
    assert m.replace_all("nothing here", "x") == "nothing here"
    with pytest.raises(ValueError, match=r"^Expected 3 replacements, got 2$"):
        m.replace_all_with("cat", ["a", "b"])


def test_empty_pattern_list():
    m = tn.PatternMatcher([])
    assert m.find_all("abc") == []
    assert m.count_matches("abc") == 0
    assert m.replace_all("abc", "x") == "abc"
    assert m.replace_all_with("abc", []) == "abc"
    with pytest.raises(ValueError, match="Expected 0 replacements, got 1"):
        m.replace_all_with("abc", ["x"])
    assert m.pattern_count() == 0 and m.get_pattern(0) is None
    assert tn.find_all_patterns("abc", []) == []
    assert tn.contains_any_pattern("abc", []) is False
    assert tn.batch_contains_any(["a", "b"], []) == [False, False]
    assert tn.count_pattern_matches("abc", []) == 0
    assert tn.get_matched_pattern_indices("abc", []) == []
    assert tn.weighted_pattern_score("abc", [], []) == 0.0


def test_empty_patterns_match_at_character_boundaries():
    text = "a\u00e9\u2581"  # byte lengths 1, 2, 3
    m = tn.PatternMatcher(["", "\u00e9"])
    assert [(x.start, x.end) for x in m.find_all(text)] == [(0, 0), (1, 3), (3, 3), (6, 6)]
    assert m.replace_all(text, "|") == "|a||\u2581|"
    assert tn.count_pattern_matches(text, ["", "a"]) == 4  # standard: the empty match always ends first
    assert tn.contains_any_pattern("", [""]) is True
    assert tn.get_matched_pattern_indices(text, ["a", ""]) == [1]
    assert tn.PatternMatcher([""]).replace_all("ab", "-") == "-a-b-"


def test_duplicate_patterns_report_the_first_index():
    m = tn.PatternMatcher(["Fix", "fix", "FIX", "fix"])
    assert m.matched_patterns("fix FIX") == [0]
    assert m.count_by_pattern("fix FIX") == {0: 2}
    assert tn.get_matched_pattern_indices("fix", ["x", "fix", "fix"]) == [1]


# ---- module functions ------------------------------------------------------------------


def test_module_functions():
    patterns = ["error", "warning", "fatal"]
    text = "Warning: an ERROR occurred; error again"
    assert tn.contains_any_pattern(text, patterns) is True
    assert tn.contains_any_pattern(text, patterns, False) is True
    assert tn.contains_any_pattern("all good", patterns) is False
    assert tn.count_pattern_matches(text, patterns) == 3
    assert tn.count_pattern_matches(text, patterns, case_insensitive=False) == 1
    assert tn.get_matched_pattern_indices(text, patterns) == [1, 0]
    assert tn.batch_contains_any(["ok", "FATAL", "", "a warning"], patterns) == [False, True, False, True]
    assert tn.batch_contains_any([], patterns) == []
    assert spans(tn.find_all_patterns(text, patterns)) == [
        (1, "Warning", 0, 7),
        (0, "ERROR", 12, 17),
        (0, "error", 28, 33),
    ]


def test_weighted_pattern_score():
    assert tn.weighted_pattern_score("x a a a", ["a", "b"], [1.5, 2.0]) == 1.5
    assert tn.weighted_pattern_score("b a", ["a", "b"], [1.5, 2.25]) == 3.75
    assert tn.weighted_pattern_score("nothing", ["a", "b"], [1.5, 2.0]) == 0.0
    assert tn.weighted_pattern_score("A", ["a"], [1], case_insensitive=False) == 0.0
    # Weights are 64-bit floats: no narrowing.
    assert tn.weighted_pattern_score("a", ["a"], [0.1]) == 0.1
    with pytest.raises(ValueError, match=r"^Number of patterns \(2\) must match number of weights \(3\)$"):
        tn.weighted_pattern_score("a", ["a", "b"], [1.0, 2.0, 3.0])


def test_module_functions_repeat_and_vary_keys():
    # Same list again, the same strings reordered, the other case setting:
    # each must answer for its own key.
    patterns = ["alpha", "beta", "alphabet"]
    for _ in range(3):
        assert tn.get_matched_pattern_indices("ALPHABET beta", patterns) == [0, 1]
    assert tn.get_matched_pattern_indices("ALPHABET beta", list(reversed(patterns))) == [2, 1]
    assert tn.get_matched_pattern_indices("ALPHABET beta", patterns, False) == [1]
    assert [m.pattern_idx for m in tn.find_all_patterns("alphabet", patterns)] == [2]
    # Boundaries between patterns are part of the key.
    assert tn.contains_any_pattern("ab", ["a", "b"]) and not tn.contains_any_pattern("ab", ["ab c"])
    assert tn.contains_any_pattern("abc", ["ab", "c"]) and not tn.contains_any_pattern("abc", ["abc "])


def test_cache_bound_keeps_answers_right():
    # Far more distinct lists than the cache holds: those beyond it are built
    # per call and must still answer correctly.
    for i in range(700):
        word = f"w{i}x"
        assert tn.count_pattern_matches(f"{word} {word}", [word, "zz"]) == 2
        assert tn.contains_any_pattern("nothing", [word]) is False
    assert tn.count_pattern_matches("w3x", ["w3x", "zz"]) == 1


def test_threads_share_the_cache():
    patterns = [f"p{i}q" for i in range(200)]
    text = " ".join(patterns) * 5
    errors = []

    def work():
        try:
            for _ in range(20):
                assert tn.count_pattern_matches(text, patterns) == 1000
                assert len(tn.find_all_patterns(text, patterns)) == 1000
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


# ---- agreement with a reference -----------------------------------------------------


def _leftmost_longest_reference(text, patterns, ci):
    # Python's re with a longest-first alternation is leftmost-longest for literals.
    order = sorted(range(len(patterns)), key=lambda i: (-len(patterns[i].encode()), i))
    expr = re.compile("|".join(f"({re.escape(patterns[i])})" for i in order), re.IGNORECASE if ci else 0)
    out = []
    for m in expr.finditer(text):
        idx = order[m.lastindex - 1]
        # Duplicates report the first index of the same text.
        idx = min(i for i, p in enumerate(patterns) if (p.lower() if ci else p) == (patterns[idx].lower() if ci else patterns[idx]))
        out.append((idx, m.group(0)))
    return out


@pytest.mark.parametrize("seed", range(8))
def test_find_all_agrees_with_reference(seed):
    import random

    rng = random.Random(seed)
    alphabet = "abAB c"
    patterns = ["".join(rng.choice(alphabet) for _ in range(rng.randint(1, 4))) for _ in range(rng.randint(1, 12))]
    text = "".join(rng.choice(alphabet) for _ in range(300))
    ci = seed % 2 == 0
    ours = [(m.pattern_idx, m.matched_text) for m in tn.PatternMatcher(patterns, ci).find_all(text)]
    assert ours == _leftmost_longest_reference(text, patterns, ci)


# ---- bad input -------------------------------------------------------------------


@pytest.mark.parametrize(
    "call, param",
    [
        (lambda: tn.PatternMatcher("abc"), "patterns"),
        (lambda: tn.PatternMatcher(["a", 1]), "patterns"),
        (lambda: tn.PatternMatcher({"a"}), "patterns"),
        (lambda: tn.PatternMatcher(["a"], case_insensitive=1), "case_insensitive"),
        (lambda: tn.PatternMatcher(["a"]).find_all(b"a"), "text"),
        (lambda: tn.PatternMatcher(["a"]).get_pattern(1.0), "idx"),
        (lambda: tn.PatternMatcher(["a"]).replace_all("a", None), "replacement"),
        (lambda: tn.PatternMatcher(["a"]).replace_all_with("a", "x"), "replacements"),
        (lambda: tn.contains_any_pattern(None, ["a"]), "text"),
        (lambda: tn.find_all_patterns("a", ["a", None]), "patterns"),
        (lambda: tn.batch_contains_any("abc", ["a"]), "texts"),
        (lambda: tn.count_pattern_matches("a", ["a"], "yes"), "case_insensitive"),
        (lambda: tn.weighted_pattern_score("a", ["a"], ["1"]), "weights"),
        (lambda: tn.get_matched_pattern_indices("a", 5), "patterns"),
    ],
)
def test_type_errors_name_the_parameter(call, param):
    with pytest.raises(TypeError) as info:
        call()
    assert f"while processing '{param}'" in info.value.__notes__


def test_other_conversion_errors():
    with pytest.raises(OverflowError):
        tn.PatternMatcher(["a"]).get_pattern(-1)
    with pytest.raises(UnicodeEncodeError):
        tn.PatternMatcher(["\ud800"])
    with pytest.raises(UnicodeEncodeError):
        tn.count_pattern_matches("a\udfff", ["a"])
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'patterns'"):
        tn.PatternMatcher()
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'weights'"):
        tn.weighted_pattern_score("a", ["a"])


def test_large_inputs_stay_linear():
    # A huge text, thousands of patterns, a text of repeated prefixes.
    text = "abc " * 2_500_000  # 10 MB
    assert tn.count_pattern_matches(text, ["abc"]) == 2_500_000
    patterns = [f"{i:05d}" for i in range(5000)]
    digits = "".join(patterns)
    assert tn.PatternMatcher(patterns, False).count_matches(digits) == 5000
    assert tn.count_pattern_matches("<" * 1_000_000, ["<" * 50 + ">"]) == 0
    m = tn.PatternMatcher(["a" * 64 + "b", "a"])
    assert m.count_matches("a" * 200_000) == 200_000


def test_near_matches_of_a_long_pattern_stay_linear():
    # Each "a" is a match, and each is followed by a run that almost matches
    # the long pattern: iteration must not re-read that run per match.
    text = "a" * 3_000_000
    m = tn.PatternMatcher(["a", "a" * 5000 + "b"])
    assert m.count_matches(text) == 3_000_000
    assert m.replace_all(text[:100_000], "") == ""
    with_empty = tn.PatternMatcher(["", "a" * 5000 + "b", "aa"])
    assert with_empty.count_matches(text) == 1_500_001
    assert tn.count_pattern_matches(text, ["a", "a" * 5000 + "b"]) == 3_000_000


def test_automaton_limit_is_a_value_error():
    import random

    rng = random.Random(1)
    patterns = ["".join(rng.choice("abcdefghij") for _ in range(100)) for _ in range(45_000)]
    with pytest.raises(ValueError, match=r"^Pattern set too large: the automaton needs more than 4194304 states$"):
        tn.PatternMatcher(patterns)
    assert tn.count_pattern_matches("abc", patterns) == 0
    with pytest.raises(ValueError, match=r"^failed to build pattern automaton$"):
        tn.weighted_pattern_score("abc", patterns, [1.0] * len(patterns))


def test_hundred_megabyte_text():
    text = "x" * (100 * 1024 * 1024 - 3) + "end"
    assert tn.count_pattern_matches(text, ["end", "xend"]) == 1
    assert tn.contains_any_pattern(text, ["nope"]) is False
    assert tn.get_matched_pattern_indices(text, ["xx", "end"]) == [0, 1]


def test_subclassing_and_attributes_refused():
    with pytest.raises(TypeError):
        type("Sub", (tn.PatternMatcher,), {})
    m = tn.PatternMatcher(["a"])
    with pytest.raises(AttributeError):
        m.case_insensitive = False
    with pytest.raises(AttributeError):
        m.extra = 1


def test_signatures_and_docstrings():
    import inspect

    assert str(inspect.signature(tn.PatternMatcher)) == "(patterns, case_insensitive=True)"
    assert str(inspect.signature(tn.weighted_pattern_score)) == "(text, patterns, weights, case_insensitive=True)"
    assert tn.PatternMatcher.find_all.__doc__.startswith("Find all matches in text (Python FFI version with owned strings)")
    assert tn.weighted_pattern_score.__doc__.startswith("Calculate a weighted score for pattern matches")
    assert tn.find_all_patterns.__doc__ == "Quick function to find all pattern matches in text (zero-copy internal)"
