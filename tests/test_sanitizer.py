"""Response sanitiser: cleanup pipeline, markup stripping, garbage and leakage
detection, tool-name validation."""
import pathlib
import random
import sys

import pytest

import thalren_native as tn

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
import peer_sanitizer as peer  # noqa: E402

BEGIN_FW = "<\uff5cbegin\u2581of\u2581thinking\uff5c>"
END_FW = "<\uff5cend\u2581of\u2581thinking\uff5c>"


def assert_note(excinfo, name):
    assert f"while processing '{name}'" in getattr(excinfo.value, "__notes__", [])


# ---------------------------------------------------------------- sanitize_response


@pytest.mark.parametrize("text, expected", [
    ("", ""),
    ("   \n\t ", ""),
    ("Para one.\n\n\n\n\n\n\nPara two.", "Para one.\n\n\nPara two."),
    ("a\n\n\n\nb", "a\n\n\nb"),
    ("a\n\n\nb", "a\n\n\nb"),
    ("I <think>will reason</think> now", "I will reason now"),
    (f"{BEGIN_FW}deep{END_FW} <|begin_of_thinking|>x<|end_of_thinking|>!", "deep x!"),
    # "</tool>" alone is emptied by the cleanup and the empty line stays.
    ("Hello\n</tool>\nWorld", "Hello\n\nWorld"),
    # "</div>" is not cleanup markup: line filter 1 drops the whole line.
    ("Hello\n</div>\nWorld", "Hello\nWorld"),
    ("Hello\r\n  </div>\r\nWorld\r\n", "Hello\nWorld"),
    ("keep\n  parameter=value\nafter", "keep\nafter"),
    ("keep\nUse parameter=value\nafter", "keep\nUse parameter=value\nafter"),
    ("keep\n <parameter name=x\nafter", "keep\nafter"),
    # The tag rule runs first and leaves a blank line behind.
    ("keep\n <parameter_x>\nafter", "keep\n \nafter"),
    ('a\n   {"name": "x"\nb', "a\nb"),
    ('a\n{"name" : "x"\nb', 'a\n{"name" : "x"\nb'),
    ("A\nDo not invent any new parameters, ever.\nB", "A\n\nB"),
    ("A\nx DO NOT INVENT ANY NEW OR ADDITIONAL PARAMETERS y\nB", "A\nx \nB"),
    ("Begin by calling list_directory first", ""),
    # Three or more closing tags in a row go, wherever they are.
    ("x</a> </b>\n</c>y", "xy"),
    ("x</a></b>y", "x</a></b>y"),
    ("call <function=f>now</function> please", "call now please"),
    ("<IMPORTANT>hi</IMPORTANT>", "hi"),
    ('before {"name": "read", "arguments": {"path": "a.py"}} after', "before  after"),
    # The inline-call rule expects flat arguments: a nested object leaves a brace.
    ('keep {"name": "read", "arguments": {"a": {"b": 1}}} x', 'keep } x'),
    ("\u3000 text \u2028", "text"),
    ("nul\x00byte", "nul\x00byte"),
])
def test_sanitize_response(text, expected):
    assert tn.sanitize_response(text) == expected
    assert tn.sanitize_response(text=text) == expected


def test_sanitize_response_cleanup_steps_see_each_others_results():
    # Removing the markup joins two newline pairs into a run of four.
    assert tn.sanitize_response("a\n\n</function>\n\nb") == "a\n\n\nb"
    # Thinking tokens go after the tag rules: "<think>" is not a closing tag.
    assert tn.sanitize_response("x<think></a></b></c>") == "x"


def test_sanitize_response_keeps_lone_trailing_carriage_return_inside_line():
    # Only "\n" and "\r\n" end lines; a bare "\r" is an ordinary character.
    assert tn.sanitize_response("a\rb\n</x>\nc") == "a\rb\nc"


# ---------------------------------------------------------------- strip_markup


@pytest.mark.parametrize("text, expected", [
    ("", ""),
    ("<b>Hello</b>\n<i>world</i>", "Hello world"),
    ("a<br>b", "a b"),
    ("no markup  at\tall ", "no markup at all"),
    ("1 < 2 and 3 > 2", "1 2"),
    ("<>kept", "<>kept"),
    ("<multi\nline>x", "x"),
    ("<unclosed tag", "<unclosed tag"),
    ("\u00a0a\u2003b\u3000", "a b"),
    ("<\x00>x\x00y", "x\x00y"),
])
def test_strip_markup(text, expected):
    assert tn.strip_markup(text) == expected


# ---------------------------------------------------------------- is_garbage_content


@pytest.mark.parametrize("content, expected", [
    ("", False),
    ("plain helpful answer", False),
    ("x [TOOL_REQUEST] y", True),
    ("x [END_TOOL_REQUEST]", True),
    ("FUNCTION_CALL {", True),
    ("FUNCTION_CALL\u3000{", True),
    ("</function>\n </function>", True),
    ("<parameter name=x>", True),
    ('  {"name": "x", "arguments": {}}', True),
    ('text {"name": "x", "arguments": {}}', False),
    ("intro\n   <IMPORTANT>", True),
    ("intro <IMPORTANT>", False),
    ("first\nDo NOT do that", True),
    ("first\ndo not do that", False),
    ("so Do NOT", False),
    ("NEVER again", True),
    ("NEVER", False),
    ("\u2003NEVER\u00a0x", True),
])
def test_is_garbage_content(content, expected):
    assert tn.is_garbage_content(content) is expected
    assert tn.is_garbage_content(content=content) is expected


# ---------------------------------------------------------------- detect_leakage_patterns


def test_detect_leakage_reports_byte_offsets_to_end_of_line():
    assert tn.detect_leakage_patterns("Do not invent any new parameters, ever.") == [
        (0, 39, "no_new_params")]
    text = "\u00e9\u00e9 the parameter value should be passed as a string!\nnext"
    start = len("\u00e9\u00e9 ".encode())
    end = len(text.split("\n")[0].encode())
    assert tn.detect_leakage_patterns(text) == [(start, end, "string_params")]


def test_detect_leakage_sorts_by_start_across_rows():
    text = "Begin by calling list_directory now\nDo NOT surround the function call with x"
    result = tn.detect_leakage_patterns(text)
    assert [r[2] for r in result] == ["begin_list_dir", "no_surround"]
    assert result[0][0] == 0 and result[1][0] == text.index("Do NOT")


def test_detect_leakage_reports_overlapping_matches_of_different_rows():
    text = "Do not invent any new parameters. Begin by calling list_directory."
    result = tn.detect_leakage_patterns(text)
    assert [r[2] for r in result] == ["no_new_params", "begin_list_dir"]
    assert result[0][1] == len(text) and result[1][1] == len(text)


def test_detect_leakage_multiple_matches_per_row():
    text = "all parameters are required unless a\nALL PARAMETERS ARE REQUIRED UNLESS b"
    assert tn.detect_leakage_patterns(text) == [
        (0, 36, "required_params"), (37, 73, "required_params")]


def test_detect_leakage_none():
    assert tn.detect_leakage_patterns("") == []
    assert tn.detect_leakage_patterns("nothing here") == []


# ---------------------------------------------------------------- validate_tool_name


@pytest.mark.parametrize("name, expected", [
    ("read_file", (True, None)),
    ("A", (True, None)),
    ("my_tool", (False, "invalid_prefix:my_")),
    ("function_x", (False, "invalid_prefix:function_")),
    ("func_x", (False, "invalid_prefix:func_")),
    ("tool_name_x", (False, "invalid_prefix:tool_name")),
    ("example_/", (False, "invalid_prefix:example_")),
    ("path/", (False, "invalid_suffix")),
    ("tag>", (False, "invalid_suffix")),
    ("<x>", (False, "invalid_suffix")),
    ("<tool", (False, "starts_with_tag")),
    ("read file", (False, "contains_whitespace")),
    ("read\tfile", (False, "contains_whitespace")),
    ("1 x", (False, "contains_whitespace")),
    ("3d_render", (False, "starts_with_number")),
    ("read-file", (False, "invalid_characters")),
    ("read\nfile", (False, "invalid_characters")),
    ("read_file\n", (False, "invalid_characters")),
    ("_private", (False, "invalid_characters")),
    ("caf\u00e9", (False, "invalid_characters")),
    ("\uff41bc", (False, "invalid_characters")),
    ("a\x00", (False, "invalid_characters")),
    ("", (False, "empty_or_invalid_type")),
    ("My_tool", (True, None)),
])
def test_validate_tool_name(name, expected):
    result = tn.validate_tool_name(name)
    assert type(result) is tuple
    assert result == expected


# ---------------------------------------------------------------- argument errors


@pytest.mark.parametrize("fn, param", [
    (tn.sanitize_response, "text"),
    (tn.strip_markup, "text"),
    (tn.is_garbage_content, "content"),
    (tn.detect_leakage_patterns, "text"),
    (tn.validate_tool_name, "name"),
])
def test_wrong_types_and_lone_surrogates(fn, param):
    with pytest.raises(TypeError) as excinfo:
        fn(5)
    assert str(excinfo.value) == "'int' object is not an instance of 'str'"
    assert_note(excinfo, param)
    with pytest.raises(TypeError):
        fn(None)
    with pytest.raises(TypeError):
        fn(b"bytes")
    with pytest.raises(UnicodeEncodeError) as excinfo:
        fn("a\ud800b")
    assert_note(excinfo, param)
    with pytest.raises(TypeError, match=r"missing 1 required positional argument"):
        fn()


def test_signatures():
    import inspect
    assert str(inspect.signature(tn.sanitize_response)) == "(text)"
    assert str(inspect.signature(tn.is_garbage_content)) == "(content)"
    assert str(inspect.signature(tn.validate_tool_name)) == "(name)"


# ---------------------------------------------------------------- against the pure-Python reference

PIECES = [
    "a", "word", " ", "  ", "\n", "\r\n", "\n\n\n\n", "\t", "\u00e9", "\u3000",
    "<b>", "</b>", "</a> ", "<function=f>", "</function>", "<parameter x>", "</tool>",
    "<IMPORTANT>", "<think>", "</think>", BEGIN_FW, END_FW, "<|end_of_thinking|>",
    '{"name": "f", "arguments": {"k": 1}}', '{"name":', "parameter=", "<parameter",
    "Do not invent any new parameters", "do NOT surround the function call",
    "If you want to call multiple functions", "[TOOL_REQUEST]", "FUNCTION_CALL {",
    "Do NOT", "NEVER ", "<", ">", '"', "}", "{",
]


def random_texts(seed, count=300):
    rng = random.Random(seed)
    return ["".join(rng.choice(PIECES) for _ in range(rng.randint(0, 30))) for _ in range(count)]


@pytest.mark.parametrize("seed", range(4))
def test_matches_reference_on_random_texts(seed):
    for text in random_texts(seed):
        assert tn.sanitize_response(text) == peer.sanitize_response(text), repr(text)
        assert tn.strip_markup(text) == peer.strip_markup(text), repr(text)
        assert tn.is_garbage_content(text) == peer.is_garbage_content(text), repr(text)
        assert tn.detect_leakage_patterns(text) == peer.detect_leakage_patterns(text), repr(text)
        name = text[:12]
        assert tn.validate_tool_name(name) == peer.validate_tool_name(name), repr(name)


# ---------------------------------------------------------------- hostile sizes


def test_large_inputs_stay_valid():
    fence = "`" * (4 << 20)
    assert tn.sanitize_response(fence) == fence
    lt = "<" * (4 << 20)
    assert tn.strip_markup(lt) == lt
    assert tn.is_garbage_content("Do" * (2 << 20)) is False
    closing = "</a>" * (1 << 20)
    assert tn.sanitize_response(closing + "x") == "x"
    mixed = ("\u00e9<think>\u3000Do not invent any new parameters \u00e9\n") * 50000
    out = tn.sanitize_response(mixed)
    out.encode("utf-8")  # never invalid UTF-8
    assert out == peer.sanitize_response(mixed)
    assert len(tn.detect_leakage_patterns(mixed)) == 50000
