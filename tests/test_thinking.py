"""Thinking-loop detector and circular-phrase search."""

import pytest

import thalren_native as tn

STALL_ADVICE = {
    "search": "STOP saying 'let me search' - EXECUTE the search tool NOW. State your query and run the search.",
    "analysis": "STOP saying 'let me analyze' - provide your analysis NOW. Use the information you have.",
    "file_read": "STOP saying 'let me read' - EXECUTE the read tool NOW. If you've already read the file, "
                 "use that content.",
    "implementation": "STOP planning - EXECUTE the edit/write tool NOW. Write the code based on what you know.",
    "general": "STOP stating intent - TAKE ACTION NOW. Execute a tool or provide your response.",
}
LOOP_ADVICE = {
    "search": "You've already searched for this. Either use the results you have or try a different search query.",
    "analysis": "You've analyzed this enough. Proceed with your current understanding and take action.",
    "file_read": "You've already read this file. Use the content you have. If you need specific information, "
                 "state what you're looking for.",
    "implementation": "Stop planning and start implementing. Write the code now based on what you know.",
    "general": "Take a different approach or proceed with action. Repeated thinking without progress is "
               "unproductive.",
}
# A block of each category (none of them starts with a stall prefix).
CATEGORY_BLOCKS = {
    "file_read": "Open the config FILE and check the values",
    "search": "Search the repository for the handler",
    "analysis": "Understand why the parser rejects the input",
    "implementation": "Implement the parser changes",
    "general": "The parser seems odd today",
}


def stalling(n, category):
    return f"STALLING DETECTED: You've stated your intent {n} times without taking action. " \
           + STALL_ADVICE[category]


def exact(n, category):
    return f"LOOP DETECTED (exact_repetition): You've repeated this thought pattern {n} times. " \
           + LOOP_ADVICE[category]


def semantic(p, n, category):
    return f"LOOP DETECTED (semantic, {p}% similar): You've repeated this thought pattern {n} times. " \
           + LOOP_ADVICE[category]


def stats(d):
    return d.get_stats()


# ---------------------------------------------------------------------------
# The three loop kinds

def test_exact_repetition_with_defaults():
    d = tn.ThinkingDetector()
    block = "The parser module needs careful consideration"
    assert d.record_thinking(block) == (False, "")
    assert d.record_thinking(block) == (False, "")
    assert d.record_thinking(block) == (True, exact(3, "general"))
    s = stats(d)
    assert (s["exact_matches"], s["loops_detected"], s["total_analyzed"]) == (1, 1, 3)
    assert d.record_thinking(block) == (True, exact(4, "general"))


def test_blocks_differing_only_in_whitespace_are_the_same_block():
    d = tn.ThinkingDetector()
    variants = ["parser module\tbroken", "  parser   module broken\n", "parser\u3000module\u2028broken"]
    results = [d.record_thinking(v) for v in variants]
    assert results[2] == (True, exact(3, "general"))
    assert stats(d)["unique_patterns"] == 1


def test_stalling_counts_consecutive_intent_blocks():
    d = tn.ThinkingDetector()
    assert d.record_thinking("Let me check the parser.") == (False, "")
    assert d.record_thinking("LET ME inspect the parser") == (True, stalling(2, "general"))
    assert d.record_thinking("let me look") == (True, stalling(3, "general"))
    assert stats(d)["consecutive_stalls"] == 3
    assert d.record_thinking("The parser is broken") == (False, "")
    assert stats(d)["consecutive_stalls"] == 0
    assert d.record_thinking("let me look again") == (False, "")
    s = stats(d)
    assert (s["stalling_detected"], s["loops_detected"], s["consecutive_stalls"]) == (2, 2, 1)


@pytest.mark.parametrize("text, stalls", [
    ("let me think", True),
    ("  I'll go\nlater", True),
    ("I will", True),
    ("i need to go", True),
    ("I SHOULD go", True),
    ("Now", True),
    ("nowhere to go", True),           # a plain prefix test
    ("First things first", True),
    ("\u2003let me\r\nx", True),       # Unicode whitespace is trimmed
    ("\nlet me read", False),          # the first line is empty
    ("\r\nlet me read", False),
    (". let me read", False),          # nothing before the first full stop
    ("   ", False),
    ("", False),
    ("Well, let me read", False),
    ("le t me", False),
    ("i'd", False),
])
def test_stall_prefixes(text, stalls):
    d = tn.ThinkingDetector(stalling_threshold=1)
    is_loop, guidance = d.record_thinking(text)
    assert is_loop == stalls
    assert guidance.startswith("STALLING") == stalls


def test_semantic_similarity_of_blocks_sharing_keywords():
    d = tn.ThinkingDetector()
    blocks = ["parser tokens grammar", "Grammar, tokens and the parser!", "the PARSER: grammar tokens?"]
    assert d.record_thinking(blocks[0]) == (False, "")
    assert d.record_thinking(blocks[1]) == (False, "")
    assert d.record_thinking(blocks[2]) == (True, semantic(100, 3, "general"))
    s = stats(d)
    assert (s["similar_matches"], s["exact_matches"], s["history_size"]) == (1, 0, 3)


def test_stopword_blocks_are_never_similar():
    d = tn.ThinkingDetector(repetition_threshold=2, similarity_threshold=0.0)
    for text in ["it is the one", "and so it was", "we do go by car", "through between"]:
        # Similarity 0 only reaches a threshold of 0: every later block counts.
        assert d.record_thinking(text)[0] is (text != "it is the one")
    d = tn.ThinkingDetector(repetition_threshold=2)
    for text in ["it is the one", "and so it was", "we do go by car", "through between"]:
        assert d.record_thinking(text) == (False, "")


@pytest.mark.parametrize("shared, only_first, percent", [
    (27, 13, 68),   # 67.5: an exact half rounds up
    (23, 17, 58),   # 57.5 (0.575 * 100 is 57.4999... in binary floating point)
    (1, 7, 13),     # 12.5
    (2, 1, 67),     # 66.67
    (1, 2, 33),     # 33.33
    (3, 0, 100),
])
def test_similarity_percentage(shared, only_first, percent):
    words = [f"word{i:03d}" for i in range(shared + only_first)]
    d = tn.ThinkingDetector(repetition_threshold=2, similarity_threshold=0.1)
    assert d.record_thinking(" ".join(words)) == (False, "")
    # Same keywords minus the first block's extras; " the" is a stop word.
    second = " ".join(reversed(words[:shared])) + " the"
    assert d.record_thinking(second) == (True, semantic(percent, 2, "general"))


def test_percentage_comes_from_the_best_match():
    d = tn.ThinkingDetector(repetition_threshold=2, similarity_threshold=0.5)
    assert d.record_thinking("aaaa bbbb cccc dddd") == (False, "")
    assert d.record_thinking("aaaa eeee ffff gggg") == (False, "")       # 1/7
    # 3/4 with the first block, 1/6 with the second.
    assert d.record_thinking("cccc bbbb aaaa") == (True, semantic(75, 2, "general"))


@pytest.mark.parametrize("category", CATEGORY_BLOCKS)
def test_guidance_texts_by_category(category):
    block = CATEGORY_BLOCKS[category]
    assert tn.ThinkingDetector(stalling_threshold=1).record_thinking("Let me think.\n" + block) \
        == (True, stalling(1, category))
    assert tn.ThinkingDetector(repetition_threshold=1).record_thinking(block) == (True, exact(1, category))
    d = tn.ThinkingDetector(repetition_threshold=2)
    d.record_thinking(block)
    assert d.record_thinking(block + " the") == (True, semantic(100, 2, category))


@pytest.mark.parametrize("text, category", [
    ("reading list", "file_read"),
    ("look for the content", "file_read"),     # the first rule wins
    ("FIND it", "search"),
    ("go LOOK FOR it", "search"),
    ("analyze this", "analysis"),
    ("examine", "analysis"),
    ("create a test", "implementation"),
    ("WRITE", "implementation"),
    ("look  for", "general"),
    ("r\u00e9ad", "general"),
])
def test_category_rules(text, category):
    assert tn.ThinkingDetector(repetition_threshold=1).record_thinking(text) == (True, exact(1, category))


def test_keywords_are_unicode_aware():
    d = tn.ThinkingDetector(repetition_threshold=2)
    d.record_thinking("\u00c9COLE r\u00e9sum\u00e9 \u0394\u0395\u039b\u03a4\u0391")
    assert d.record_thinking("\u00e9cole,R\u00c9SUM\u00c9;\u03b4\u03b5\u03bb\u03c4\u03b1") \
        == (True, semantic(100, 2, "general"))
    # Underscores and punctuation split words; a piece needs 4 bytes.
    d = tn.ThinkingDetector(repetition_threshold=2)
    d.record_thinking("snake_case_name")
    assert d.record_thinking("name case snake") == (True, semantic(100, 2, "general"))
    d = tn.ThinkingDetector(repetition_threshold=2)
    d.record_thinking("abc \u00e9\u00e9")       # "éé" is 4 bytes, "abc" only 3
    assert d.record_thinking("\u00c9\u00c9") == (True, semantic(100, 2, "general"))


# ---------------------------------------------------------------------------
# State: history window, reset, clear_stats, keyword cache

def test_window_limits_the_history():
    d = tn.ThinkingDetector(window_size=2)
    for i in range(5):
        d.record_thinking(f"topic{i} subject{i}")
    assert stats(d)["history_size"] == 2
    d = tn.ThinkingDetector(window_size=0, repetition_threshold=2)
    d.record_thinking("aaaa bbbb")
    assert stats(d)["history_size"] == 1
    assert d.record_thinking("bbbb aaaa") == (True, semantic(100, 2, "general"))
    assert stats(d)["history_size"] == 1


def test_zero_repetition_threshold_reports_every_block_as_exact():
    d = tn.ThinkingDetector(repetition_threshold=0)
    assert d.record_thinking("anything") == (True, exact(1, "general"))


def test_stats_reset_and_clear():
    d = tn.ThinkingDetector()
    assert list(stats(d).items()) == [
        ("total_analyzed", 0), ("loops_detected", 0), ("exact_matches", 0), ("similar_matches", 0),
        ("stalling_detected", 0), ("consecutive_stalls", 0), ("detection_rate", 0.0),
        ("history_size", 0), ("unique_patterns", 0)]
    for _ in range(3):
        d.record_thinking("same block here")
    d.record_thinking("let me go")
    s = stats(d)
    assert s["detection_rate"] == 0.25 and type(s["detection_rate"]) is float
    assert (s["history_size"], s["unique_patterns"], s["consecutive_stalls"]) == (4, 2, 1)
    assert d.reset() is None
    s = stats(d)
    assert (s["history_size"], s["unique_patterns"], s["consecutive_stalls"]) == (0, 0, 0)
    assert (s["total_analyzed"], s["loops_detected"]) == (4, 1)
    d.record_thinking("same block here")
    assert d.clear_stats() is None
    s = stats(d)
    assert [s[k] for k in ("total_analyzed", "loops_detected", "exact_matches", "similar_matches",
                           "stalling_detected")] == [0] * 5
    assert s["detection_rate"] == 0.0 and s["history_size"] == 1 and s["unique_patterns"] == 1
    assert stats(d) is not stats(d)


def test_keyword_cache_eviction_never_changes_results():
    d = tn.ThinkingDetector(window_size=1)
    d.record_thinking("block zero content")
    for i in range(150):
        d.record_thinking(f"filler{i} words{i}")
    d.record_thinking("block zero content")
    assert d.record_thinking("  block zero\ncontent ") == (True, exact(3, "file_read"))


# ---------------------------------------------------------------------------
# Circular phrases

def test_circular_phrase_search():
    text = "Let me read the file. Then I'LL READ it; now I will go"
    assert tn.find_circular_patterns(text) == [(0, 11, "Let me read"), (27, 36, "I'LL READ"),
                                               (41, 51, "now I will")]
    assert tn.count_circular_patterns(text) == 3
    assert tn.detect_circular_phrases(text) is True


def test_circular_matches_do_not_overlap():
    assert tn.find_circular_patterns("first let me read") == [(0, 12, "first let me")]
    assert tn.count_circular_patterns("first let me read") == 1


@pytest.mark.parametrize("text, expected", [
    ("\u00e9 let me see", [(3, 13, "let me see")]),
    ("I NEED TO READ", [(0, 14, "I NEED TO READ")]),
    ("let me", []),
    ("", []),
    ("l\u00e9t me read", []),
    ("let  me read", []),
])
def test_circular_phrase_cases(text, expected):
    assert tn.find_circular_patterns(text) == expected
    assert tn.count_circular_patterns(text) == len(expected)
    assert tn.detect_circular_phrases(text) is bool(expected)


# ---------------------------------------------------------------------------
# Interface

@pytest.mark.parametrize("fn, signature, first_line", [
    (tn.ThinkingDetector,
     "(repetition_threshold=3, similarity_threshold=0.65, window_size=10, stalling_threshold=2)",
     "High-performance thinking pattern detector."),
    (tn.ThinkingDetector.record_thinking, "($self, content)", "Record a thinking block and detect loops."),
    (tn.ThinkingDetector.get_stats, "($self)", "Get detection statistics."),
    (tn.ThinkingDetector.reset, "($self)", "Reset detector state for new task."),
    (tn.ThinkingDetector.clear_stats, "($self)", "Clear statistics but keep pattern history."),
    (tn.find_circular_patterns, "(text)", "Find all circular pattern matches."),
    (tn.count_circular_patterns, "(text)", "Count circular patterns in text."),
    (tn.detect_circular_phrases, "(text)", "Detect circular phrases using Aho-Corasick."),
])
def test_signatures_and_docstrings(fn, signature, first_line):
    assert fn.__text_signature__ == signature
    assert fn.__doc__.splitlines()[0] == first_line


def test_docstrings_and_pattern_analysis_class():
    assert "Returns (is_loop, guidance_message) tuple." in tn.ThinkingDetector.record_thinking.__doc__
    assert "Uses Aho-Corasick for O(n) pattern matching and xxHash3 for fast hashing." \
        in tn.ThinkingDetector.__doc__
    assert tn.PatternAnalysis.__doc__.startswith("Detection result")
    assert tn.PatternAnalysis.__module__ == "builtins"
    for name in ("is_loop", "loop_type", "similarity_score", "matching_patterns", "guidance", "category"):
        assert hasattr(tn.PatternAnalysis, name)
    with pytest.raises(TypeError):
        tn.PatternAnalysis()
    with pytest.raises(TypeError):
        type("Sub", (tn.ThinkingDetector,), {})


def test_constructor_arguments():
    d = tn.ThinkingDetector(2, 1, 5, 1)          # an int is a valid float
    assert d.record_thinking("x")[0] is False

    class F:
        def __float__(self):
            return 0.5
    tn.ThinkingDetector(similarity_threshold=F())
    with pytest.raises(AttributeError):
        d.window_size = 3


def note_of(excinfo):
    return getattr(excinfo.value, "__notes__", [])


@pytest.mark.parametrize("kwargs, exc, param", [
    ({"repetition_threshold": -1}, OverflowError, "repetition_threshold"),
    ({"repetition_threshold": 2.0}, TypeError, "repetition_threshold"),
    ({"similarity_threshold": "0.5"}, TypeError, "similarity_threshold"),
    ({"window_size": 2**64}, OverflowError, "window_size"),
    ({"stalling_threshold": None}, TypeError, "stalling_threshold"),
])
def test_constructor_conversion_errors(kwargs, exc, param):
    with pytest.raises(exc) as e:
        tn.ThinkingDetector(**kwargs)
    assert f"while processing '{param}'" in note_of(e)


@pytest.mark.parametrize("call, param", [
    (lambda v: tn.ThinkingDetector().record_thinking(v), "content"),
    (tn.find_circular_patterns, "text"),
    (tn.count_circular_patterns, "text"),
    (tn.detect_circular_phrases, "text"),
])
@pytest.mark.parametrize("bad, exc", [(3, TypeError), (None, TypeError), ("\udc80", UnicodeEncodeError)])
def test_text_conversion_errors(call, param, bad, exc):
    with pytest.raises(exc) as e:
        call(bad)
    assert f"while processing '{param}'" in note_of(e)


def test_failed_conversion_records_nothing():
    d = tn.ThinkingDetector()
    with pytest.raises(UnicodeEncodeError):
        d.record_thinking("\ud800")
    assert stats(d)["total_analyzed"] == 0


# ---------------------------------------------------------------------------
# Hostile input

def test_huge_blocks():
    text = "let me read the file again " * (4 * 1024 * 1024)    # 108 MB
    d = tn.ThinkingDetector()
    assert d.record_thinking(text) == (False, "")
    assert d.record_thinking(text) == (True, stalling(2, "file_read"))
    assert tn.count_circular_patterns(text) == 4 * 1024 * 1024
    assert tn.detect_circular_phrases(text)
    distinct = " ".join(f"w{i}" for i in range(1_000_000))   # many distinct keywords
    d = tn.ThinkingDetector(repetition_threshold=2)
    d.record_thinking(distinct)
    assert d.record_thinking(distinct + " w0") == (True, semantic(100, 2, "general"))
