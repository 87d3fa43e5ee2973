"""Thinking-token streaming filter and the whole-text thinking-token functions."""
import random

import pytest

import thalren_native as tn

FW_BEGIN = "<\uff5cbegin\u2581of\u2581thinking\uff5c>"
FW_END = "<\uff5cend\u2581of\u2581thinking\uff5c>"
PIPE_BEGIN = "<|begin_of_thinking|>"
PIPE_END = "<|end_of_thinking|>"
STARTS = (FW_BEGIN, PIPE_BEGIN, "<think>")
ENDS = (FW_END, PIPE_END, "</think>")
INLINE = (FW_BEGIN, FW_END, PIPE_BEGIN, PIPE_END, "<think>", "</think>")


def b(s):
    return len(s.encode())


def run(chunks, suppress=False, limit=50000):
    f = tn.StreamingFilter(suppress, limit)
    results = [f.process_chunk(c) for c in chunks]
    return f, results


def flags(r):
    return (r.is_thinking, r.state_changed, r.entering_thinking, r.exiting_thinking)


# ---------------------------------------------------------------------------
# A reference for one whole response: the earliest-ending token of the set
# wanted in the current state, no buffering.

def earliest(text, p, tokens):
    best = None
    for t in tokens:
        i = text.find(t, p)
        if i >= 0 and (best is None or i + len(t) < best[1]):
            best = (i, i + len(t))
    return best


def reference(text, suppress=False, limit=50000):
    out, thinking, inside, p, abort = [], 0, False, 0, False
    while p < len(text):
        m = earliest(text, p, ENDS if inside else STARTS)
        piece = text[p:m[0]] if m else text[p:]
        if inside:
            thinking += b(piece)
            if m and thinking > limit:
                abort = True
        if not (inside and suppress):
            out.append(piece)
        if not m:
            break
        inside, p = not inside, m[1]
    return "".join(out), thinking, inside, abort


# ---------------------------------------------------------------------------
# Worked examples

@pytest.mark.parametrize("suppress", [False, True])
def test_token_split_across_three_chunks(suppress):
    f, (r1, r2, r3) = run(["Hello <thi", "nk>secret</th", "ink> world"], suppress)
    assert [r1.content, r2.content, r3.content] == ["Hello ", "" if suppress else "secret", " world"]
    assert flags(r1) == (False, False, False, False)
    assert flags(r2) == (True, True, True, False)
    assert flags(r3) == (False, True, False, True)
    assert f.get_thinking_length() == 6
    assert f.flush().content == ""


@pytest.mark.parametrize("suppress, content", [(False, "abc"), (True, "")])
def test_whole_block_in_one_chunk(suppress, content):
    _, (r,) = run(["<think>abc</think>"], suppress)
    assert r.content == content
    assert flags(r) == (False, True, True, True)


def test_partial_start_token_at_end_of_stream_is_flushed_as_output():
    f, (r,) = run(["answer <thi"])
    assert r.content == "answer "
    fl = f.flush()
    assert fl.content == "<thi"
    assert flags(fl) == (False, False, False, False)
    assert f.flush().content == ""


@pytest.mark.parametrize("suppress, content", [(False, "</thi"), (True, "")])
def test_partial_end_token_at_end_of_stream_is_thinking(suppress, content):
    f, (r,) = run(["<think>ab</thi"], suppress)
    assert r.content == ("" if suppress else "ab")
    assert f.get_thinking_length() == 2
    fl = f.flush()
    assert fl.content == content and fl.is_thinking
    assert not (fl.state_changed or fl.entering_thinking or fl.exiting_thinking)
    assert f.get_thinking_length() == 7
    assert f.get_state() == "in_thinking"


def test_tokens_of_the_other_kind_are_ordinary_text():
    _, (r,) = run(["a</think>b"])
    assert r.content == "a</think>b" and flags(r) == (False, False, False, False)
    f, (r1, r2) = run(["<think>x<think>y", "z"])
    assert r1.content == "x<think>y" and r2.content == "z"
    assert f.get_thinking_length() == 10


@pytest.mark.parametrize("start", STARTS)
@pytest.mark.parametrize("end", ENDS)
def test_any_start_form_is_closed_by_any_end_form(start, end):
    f, (r,) = run([f"a{start}think{end}b"])
    assert r.content == "athinkb"
    assert flags(r) == (False, True, True, True)
    assert f.get_thinking_length() == 5


def test_abort_only_when_a_block_closes_beyond_the_limit():
    f, (r1,) = run(["<think>abcdef"], limit=5)
    assert f.get_thinking_length() == 6 and not f.should_abort()
    f.process_chunk("</think>after")
    assert f.should_abort()
    assert f.get_abort_reason() == "Thinking content exceeded 5 chars"
    f.process_chunk("<think>more</think>")  # processing carries on
    assert f.should_abort() and f.get_thinking_length() == 10
    # Exactly at the limit is not beyond it; flush never aborts.
    f, _ = run(["<think>abcde</think>"], limit=5)
    assert not f.should_abort() and f.get_abort_reason() is None
    f, _ = run(["<think>abcdefgh"], limit=5)
    f.flush()
    assert not f.should_abort()


def test_limit_counts_all_blocks_together():
    f, _ = run(["<think>abc</think>x", "<think>abc</think>"], limit=5)
    assert f.should_abort() and f.get_thinking_length() == 6


def test_thinking_length_counts_utf8_bytes():
    f, _ = run(["<think>\u00e9\U0001f642"])
    assert f.get_thinking_length() == 6


def test_empty_chunks():
    f, (r,) = run([""])
    assert r.content == "" and flags(r) == (False, False, False, False)
    f, (r1, r2) = run(["<think>a<", ""])
    assert r1.content == "a" and r2.content == "" and r2.is_thinking
    assert f.flush().content == "<"


def test_reset_and_state_queries():
    f, _ = run(["<think>abcdef</think><think>x</th"], limit=1)
    assert f.get_state() == "in_thinking" and f.should_abort()
    assert f.reset() is None
    assert f.get_state() == "normal"
    assert f.get_thinking_length() == 0
    assert f.get_abort_reason() is None and not f.should_abort()
    assert f.flush().content == ""  # the held-back "</th" is gone
    # The constructor's settings survive a reset.
    f.process_chunk("<think>abc</think>")
    assert f.should_abort()


def test_defaults():
    f = tn.StreamingFilter()
    f.process_chunk("<think>" + "x" * 50000 + "</think>")
    assert not f.should_abort()
    f.process_chunk("<think>x</think>")
    assert f.get_abort_reason() == "Thinking content exceeded 50000 chars"
    f = tn.StreamingFilter(max_thinking_content=0, suppress_thinking=True)
    assert f.process_chunk("<think>x</think>y").content == "y" and f.should_abort()


# ---------------------------------------------------------------------------
# The output never depends on where the chunks are cut.

PIECES = [
    "a", "b", " ", "\n", "\u00e9", "\U0001f642", "<", "<<", ">", "|", "/", "\uff5c", "\u2581",
    "<t", "<th", "</", "</t", "<|", "<|b", "<|end_of", "<\uff5c", "<\uff5cend\u2581",
    "think", "thinking", "_of_", "begin", "end",
    *STARTS, *ENDS,
    *(t[:-1] for t in STARTS + ENDS),
]


def random_response(rng, n):
    return "".join(rng.choice(PIECES) for _ in range(n))


def random_split(rng, text):
    cuts = sorted(rng.randint(0, len(text)) for _ in range(rng.randint(0, max(1, len(text) // 2))))
    bounds = [0, *cuts, len(text)]
    return [text[i:j] for i, j in zip(bounds, bounds[1:])]


def streamed(chunks, suppress, limit):
    f = tn.StreamingFilter(suppress, limit)
    out, entered, exited = [], False, False
    for c in chunks:
        r = f.process_chunk(c)
        out.append(r.content)
        entered |= r.entering_thinking
        exited |= r.exiting_thinking
        assert r.is_thinking == (f.get_state() == "in_thinking")
        assert r.state_changed == (r.entering_thinking or r.exiting_thinking)
    last = f.flush()
    out.append(last.content)
    return ("".join(out), f.get_thinking_length(), f.get_state(), f.should_abort(),
            f.get_abort_reason(), entered, exited)


@pytest.mark.parametrize("seed", range(30))
@pytest.mark.parametrize("suppress", [False, True])
def test_any_split_gives_the_whole_response_result(seed, suppress):
    rng = random.Random(seed)
    limit = rng.choice([0, 3, 10, 50000])
    for _ in range(20):
        text = random_response(rng, rng.randint(0, 40))
        whole = streamed([text], suppress, limit)
        out, thinking, inside, abort = reference(text, suppress, limit)
        assert whole[:4] == (out, thinking, "in_thinking" if inside else "normal", abort)
        for _ in range(5):
            assert streamed(random_split(rng, text), suppress, limit) == whole


@pytest.mark.parametrize("text", [
    "Hello <think>secret</think> world",
    f"x{FW_BEGIN}\u00e9\u00e9{PIPE_END}<<think>y</thin</think>z{FW_END[:5]}",
    "<<|<|begin_of_thinking|></think>|<\uff5cend\u2581of\u2581thinking\uff5c>",
])
@pytest.mark.parametrize("suppress", [False, True])
def test_every_one_and_two_cut_split(text, suppress):
    whole = streamed([text], suppress, 2)
    n = len(text)
    for i in range(n + 1):
        assert streamed([text[:i], text[i:]], suppress, 2) == whole
        for j in range(i, n + 1, 3):
            assert streamed([text[:i], text[i:j], text[j:]], suppress, 2) == whole
    assert streamed(list(text), suppress, 2) == whole


# ---------------------------------------------------------------------------
# StreamingChunkResult

def test_chunk_result_repr():
    _, (r,) = run(['say "hi"\\\n\r\t\0\x07\x85\u2028 \u00e9 <think>'])
    assert repr(r) == ('StreamingChunkResult(content="say \\"hi\\"\\\\\\n\\r\\t\\0\\u{7}\\u{85}'
                       '\\u{2028} \u00e9 ", is_thinking=true, entering=true, exiting=false)')


@pytest.mark.parametrize("content, preview", [
    ("x" * 50, "x" * 50),
    ("x" * 48 + "\u00e9", "x" * 48 + "\u00e9"),
    ("x" * 51, "x" * 50 + "..."),
    ("x" * 49 + "\u00e9", "x" * 49 + "..."),  # byte 50 falls inside the last character
    ("\u20ac" * 20, "\u20ac" * 16 + "..."),
])
def test_chunk_result_repr_preview_is_cut_after_50_bytes(content, preview):
    _, (r,) = run([content])
    assert repr(r) == (f'StreamingChunkResult(content="{preview}", is_thinking=false, '
                       'entering=false, exiting=false)')


def test_content_is_always_an_exact_str():
    class Text(str):
        pass
    f = tn.StreamingFilter()
    for chunk in (Text("plain"), Text("<think>x"), "plain", "\u00e9t\u00e9"):
        r = f.process_chunk(chunk)
        assert type(r.content) is str
    assert r.content == "\u00e9t\u00e9" and type(f.flush().content) is str


def test_chunk_result_is_read_only_and_not_constructible():
    _, (r,) = run(["x"])
    for name in ("content", "is_thinking", "state_changed", "entering_thinking", "exiting_thinking"):
        with pytest.raises(AttributeError):
            setattr(r, name, None)
    with pytest.raises(AttributeError):
        r.other = 1
    with pytest.raises(TypeError):
        tn.StreamingChunkResult()
    with pytest.raises(TypeError):
        type("Sub", (tn.StreamingChunkResult,), {})
    assert tn.StreamingChunkResult.__doc__.startswith("Result of processing a streaming chunk")
    assert tn.StreamingChunkResult.__module__ == "builtins"


# ---------------------------------------------------------------------------
# Signatures, docstrings and argument errors

@pytest.mark.parametrize("fn, signature, first_line", [
    (tn.StreamingFilter, "(suppress_thinking=False, max_thinking_content=50000)",
     "High-performance streaming content filter."),
    (tn.StreamingFilter.process_chunk, "($self, chunk)",
     "Process a content chunk, detecting thinking state transitions."),
    (tn.StreamingFilter.flush, "($self)", "Flush the residual buffer at end-of-stream."),
    (tn.StreamingFilter.reset, "($self)", "Reset filter state for a new response."),
    (tn.StreamingFilter.get_state, "($self)", "Get current thinking state as string."),
    (tn.StreamingFilter.should_abort, "($self)", "Check if streaming should be aborted."),
    (tn.StreamingFilter.get_abort_reason, "($self)", "Get abort reason if any."),
    (tn.StreamingFilter.get_thinking_length, "($self)", "Get total thinking content length processed."),
    (tn.find_thinking_tokens, "(content)", "Find all thinking token positions in content."),
    (tn.strip_thinking_tokens, "(content)", "Strip all thinking tokens from content (batch processing)."),
    (tn.contains_thinking_tokens, "(content)", "Check if content contains any thinking tokens."),
    (tn.extract_thinking_content, "(content)", "Extract thinking content from a complete response."),
])
def test_signatures_and_docstrings(fn, signature, first_line):
    assert fn.__text_signature__ == signature
    assert fn.__doc__.splitlines()[0] == first_line


def test_docstring_bodies():
    assert "Returns list of (start, end, pattern_index) tuples." in tn.find_thinking_tokens.__doc__
    assert "More efficient than streaming for complete content." in tn.strip_thinking_tokens.__doc__
    assert "Returns (main_content, thinking_content) tuple." in tn.extract_thinking_content.__doc__
    assert "Aho-Corasick" in tn.StreamingFilter.__doc__


def note_of(excinfo):
    return getattr(excinfo.value, "__notes__", [])


@pytest.mark.parametrize("kwargs, exc, param", [
    ({"suppress_thinking": 1}, TypeError, "suppress_thinking"),
    ({"suppress_thinking": None}, TypeError, "suppress_thinking"),
    ({"max_thinking_content": -1}, OverflowError, "max_thinking_content"),
    ({"max_thinking_content": 2**64}, OverflowError, "max_thinking_content"),
    ({"max_thinking_content": 1.5}, TypeError, "max_thinking_content"),
])
def test_constructor_conversion_errors(kwargs, exc, param):
    with pytest.raises(exc) as e:
        tn.StreamingFilter(**kwargs)
    assert f"while processing '{param}'" in note_of(e)


def test_constructor_binding():
    f = tn.StreamingFilter(True, 2**64 - 1)
    assert f.process_chunk("<think>x</think>").content == ""
    with pytest.raises(TypeError, match="unexpected keyword argument 'suppress'"):
        tn.StreamingFilter(suppress=True)
    with pytest.raises(TypeError):
        tn.StreamingFilter(False, 1, 2)


@pytest.mark.parametrize("bad, exc", [(5, TypeError), (b"<think>", TypeError), (None, TypeError),
                                      ("\ud800", UnicodeEncodeError)])
def test_chunk_conversion_errors_leave_the_filter_untouched(bad, exc):
    f, _ = run(["<think>ab<"])
    with pytest.raises(exc) as e:
        f.process_chunk(bad)
    assert "while processing 'chunk'" in note_of(e)
    assert f.get_state() == "in_thinking" and f.get_thinking_length() == 2
    assert f.flush().content == "<"


@pytest.mark.parametrize("fn", [tn.find_thinking_tokens, tn.strip_thinking_tokens,
                                tn.contains_thinking_tokens, tn.extract_thinking_content])
@pytest.mark.parametrize("bad, exc", [(1, TypeError), (["<think>"], TypeError),
                                      ("a\udfffb", UnicodeEncodeError)])
def test_whole_text_conversion_errors(fn, bad, exc):
    with pytest.raises(exc) as e:
        fn(bad)
    assert "while processing 'content'" in note_of(e)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'content'"):
        fn()
    assert fn(content="") is not None


# ---------------------------------------------------------------------------
# Whole-text functions

def test_whole_text_worked_example():
    text = "<think>plan</think>answer"
    assert tn.find_thinking_tokens(text) == [(0, 7, 4), (11, 19, 5)]
    assert tn.strip_thinking_tokens(text) == "plananswer"
    assert tn.contains_thinking_tokens(text) is True
    assert tn.extract_thinking_content(text) == ("answer", "plan")


def test_full_width_tokens_count_bytes():
    text = FW_BEGIN + "\u00e9" + FW_END + "x"
    assert tn.find_thinking_tokens(text) == [(0, 29, 0), (31, 58, 1)]
    assert tn.extract_thinking_content(text) == ("x", "\u00e9")


@pytest.mark.parametrize("index, token", list(enumerate(INLINE)))
def test_every_inline_token_index(index, token):
    assert tn.find_thinking_tokens("\u00e9" + token) == [(2, 2 + b(token), index)]
    assert tn.strip_thinking_tokens("a" + token + "b") == "ab"


def test_lone_end_token_is_stripped_but_stays_in_main_content():
    text = "before</think>after"
    assert tn.find_thinking_tokens(text) == [(6, 14, 5)]
    assert tn.strip_thinking_tokens(text) == "beforeafter"
    assert tn.extract_thinking_content(text) == (text, "")


def test_extract_blocks():
    assert tn.extract_thinking_content("<think>open") == ("", "open")
    assert tn.extract_thinking_content("a<think>1</think>b<|begin_of_thinking|>2<think>3</think>c") \
        == ("abc", "12<think>3")
    assert tn.extract_thinking_content("<think></think>") == ("", "")


def test_case_matters_and_empty_content():
    for text in ("<THINK>x</THINK>", ""):
        assert tn.find_thinking_tokens(text) == []
        assert tn.strip_thinking_tokens(text) == text
        assert tn.contains_thinking_tokens(text) is False
        assert tn.extract_thinking_content(text) == (text, "")


@pytest.mark.parametrize("seed", range(10))
def test_whole_text_functions_against_reference(seed):
    rng = random.Random(1000 + seed)
    for _ in range(50):
        text = random_response(rng, rng.randint(0, 30))
        tokens, p = [], 0
        while (m := earliest(text, p, INLINE)) is not None:
            tokens.append((b(text[:m[0]]), b(text[:m[1]]), INLINE.index(text[m[0]:m[1]])))
            p = m[1]
        assert tn.find_thinking_tokens(text) == tokens
        assert tn.contains_thinking_tokens(text) == bool(tokens)
        raw = text.encode()
        kept, last = [], 0
        for s, e, _ in tokens:
            kept.append(raw[last:s])
            last = e
        kept.append(raw[last:])
        assert tn.strip_thinking_tokens(text) == b"".join(kept).decode()
        main, thinking = tn.extract_thinking_content(text)
        assert main == reference(text, suppress=True)[0]
        assert b(thinking) == reference(text)[1]


# ---------------------------------------------------------------------------
# Hostile input: linear time, bounded hold-back, no failure

def test_many_partial_tokens():
    text = "<" * 1_000_000
    f, (r,) = run([text])
    assert r.content == "<" * 999_999
    assert f.flush().content == "<"
    f = tn.StreamingFilter()
    out = [f.process_chunk("<" * 20).content for _ in range(10_000)]
    assert "".join(out) + f.flush().content == "<" * 200_000
    f = tn.StreamingFilter()
    out = [f.process_chunk("<|begin_of_thinking")] + [f.process_chunk("<|end_of_th") for _ in range(1000)]
    assert all(not r.is_thinking for r in out)
    assert tn.find_thinking_tokens(text) == [] and tn.strip_thinking_tokens(text) == text


@pytest.mark.parametrize("suppress", [False, True])
def test_hundred_megabyte_response(suppress):
    body = "x" * (100 * 1024 * 1024)
    text = "<think>" + body + "</think>tail"
    f, (r,) = run([text], suppress, limit=10)
    assert len(r.content) == (4 if suppress else len(body) + 4)
    assert f.should_abort() and f.get_thinking_length() == len(body)
    del r
    assert tn.find_thinking_tokens(text) == [(0, 7, 4), (7 + len(body), 15 + len(body), 5)]
    assert tn.contains_thinking_tokens(text)
    assert len(tn.strip_thinking_tokens(text)) == len(body) + 4
    main, thinking = tn.extract_thinking_content(text)
    assert main == "tail" and len(thinking) == len(body)


def test_hundred_megabytes_of_tokens():
    text = "<think></think>" * (7 * 1024 * 1024)   # 105 MB, 14.7 million tokens
    f, (r,) = run([text])
    assert r.content == "" and not r.is_thinking and f.get_thinking_length() == 0
    assert tn.strip_thinking_tokens(text) == ""
    assert tn.extract_thinking_content(text) == ("", "")


def test_first_use_from_many_threads():
    # In a fresh interpreter, so that the automata are built by racing threads.
    import os
    import subprocess
    import sys
    code = """
import threading, thalren_native as tn
out = []
def work():
    f = tn.StreamingFilter()
    out.append((f.process_chunk("a<think>b</think>c").content, tn.find_thinking_tokens("<think>"),
                tn.count_circular_patterns("Let me read")))
threads = [threading.Thread(target=work) for _ in range(8)]
for t in threads: t.start()
for t in threads: t.join()
assert out == [("abc", [(0, 7, 4)], 1)] * 8, out
"""
    env = {**os.environ, "PYTHONPATH": os.path.dirname(tn.__file__)}
    subprocess.run([sys.executable, "-c", code], check=True, env=env, timeout=120)
