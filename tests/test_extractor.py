"""Text extractors: file paths, code blocks, shell commands, tool-call guesses."""
import inspect
import pathlib
import random
import sys

import pytest

import thalren_native as tn

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
import peer_extractor as peer  # noqa: E402


def assert_note(excinfo, name):
    assert f"while processing '{name}'" in getattr(excinfo.value, "__notes__", [])


# ---------------------------------------------------------------- extract_file_path


@pytest.mark.parametrize("text, expected", [
    ("Please update src/app/main.py with the new handler", "src/app/main.py"),
    ("config.yaml should contain the key", "config.yaml"),
    ("intro\nconfig.yaml should contain the key", "config.yaml"),
    ("Note that config.yaml should contain the key", None),
    ("see `Makefile`", None),
    ("see `docs/guide.md` for more", "docs/guide.md"),
    ("Open the file 'notes.txt' now", "notes.txt"),
    ("WRITE   \"out/a.JSON\" please", "out/a.JSON"),
    ("save to x.abcdefghijk", "x.abcdefghij"),  # the extension stops at 10 letters
    ("edit\nsetup.cfg", "setup.cfg"),  # the separator may be a newline
    ("edit\u3000setup.cfg", "setup.cfg"),  # and any White_Space
    ("into a.b", "a.b"),  # "to" needs no word boundary
    ("nothing to see here", None),
    ("", None),
    ("path \u00e9.py", None),
])
def test_extract_file_path(text, expected):
    assert tn.extract_file_path(text) == expected
    assert tn.extract_file_path(text=text) == expected


def test_extract_file_path_first_expression_wins():
    # Expression 1 (verb + path) beats an earlier backticked path (expression 4).
    assert tn.extract_file_path("`first.md` then edit second.py") == "second.py"


@pytest.mark.parametrize("count", [0, 1, 9, 10, 33])
def test_batch_extract_file_paths_matches_single_calls(count):
    texts = [f"update dir{i}/file{i}.py now" if i % 3 else f"nothing {i}" for i in range(count)]
    expected = [tn.extract_file_path(t) for t in texts]
    assert tn.batch_extract_file_paths(texts) == expected
    assert tn.batch_extract_file_paths(tuple(texts)) == expected
    assert tn.batch_extract_file_paths(texts=texts) == expected
    if count:
        assert expected.count(None) == len(range(0, count, 3))


def test_batch_extract_file_paths_errors():
    with pytest.raises(TypeError) as excinfo:
        tn.batch_extract_file_paths("edit a.py")
    assert "str" in str(excinfo.value)
    assert_note(excinfo, "texts")
    with pytest.raises(TypeError) as excinfo:
        tn.batch_extract_file_paths({"a.py"})
    assert str(excinfo.value) == "'set' object is not an instance of 'Sequence'"
    with pytest.raises(TypeError) as excinfo:
        tn.batch_extract_file_paths(["edit a.py"] * 12 + [3])
    assert_note(excinfo, "texts")
    with pytest.raises(UnicodeEncodeError):
        tn.batch_extract_file_paths(["ok"] * 11 + ["\udc80"])


# ---------------------------------------------------------------- extract_code_blocks


@pytest.mark.parametrize("text, expected", [
    ("```python\nprint(1)\n```\ntext\n```js\nx()\n```", ["print(1)", "x()"]),
    ("```Python\nprint(1)\n```", ["print(1)"]),
    ("```cpp\nint x;\n```", ["int x;"]),
    ("```c\nint y;\n```", ["int y;"]),
    ("```\r\nraw\r\n```", ["raw"]),
    ("```python  \n  body  \n```", ["body"]),
    ("```\n```", []),
    # Only spaces in the only fence: fall back to indented code.
    ("```\n   \n```\n\n    indented", ["indented"]),
    # A language outside the list is no fence opener.
    ("```pythonic\nx\n```", []),
    # The language list is matched with Unicode case folding: U+017F is an "s".
    ("```j\u017fon\n{}\n```", ["{}"]),
    ("```  \n \n  body\n```", ["body"]),
    ("```\n\n```\n```\nsecond\n```", ["second"]),
    ("    def f():\n        return 1", ["def f():\n    return 1"]),
    ("text\n    a\n    b\nmore\n\tc\n\t\td", ["a\nb", "c\n\td"]),
    # Fenced blocks win; indented runs are ignored then.
    ("    indented\n```\nfenced\n```", ["fenced"]),
    ("````", []),
    ("```" + "x" * 10, []),
    ("", []),
])
def test_extract_code_blocks(text, expected):
    assert tn.extract_code_blocks(text) == expected


def test_indented_fallback_blank_lines_and_cut_inside_multibyte_whitespace():
    # A whitespace-only line inside the run is ignored for the common
    # indentation and keeps what lies beyond it.
    assert tn.extract_code_blocks("    a\n          \n      b") == ["a\n      \n  b"]
    # Common indentation 5 bytes; the second line is a tab and two 3-byte
    # U+3000, so byte 5 falls inside the second U+3000: the cut moves to the
    # next character boundary.
    result = tn.extract_code_blocks("     x\n\t\u3000\u3000y")
    assert result == ["x\ny"]
    result[0].encode("utf-8")


# ---------------------------------------------------------------- extract_shell_commands


@pytest.mark.parametrize("text, expected", [
    ("```bash\nls -la\n```\nthen\n$ make", ["ls -la", "make"]),
    ("Run: `npm install` and command: 'pytest -q'", ["npm install", "pytest -q"]),
    ("$ make\n$ make test\n", ["make", "make test"]),
    # Found by expressions 1 and 3: listed twice.
    ("```sh\n$ make\n```", ["$ make", "make"]),
    ("```zsh\n   \n```", []),
    ("no commands", []),
    ("", []),
])
def test_extract_shell_commands(text, expected):
    assert tn.extract_shell_commands(text) == expected


# ---------------------------------------------------------------- extract_tool_call


def test_tool_call_ls():
    assert tn.extract_tool_call("list everything", "ls") == {
        "tool": "ls", "args": {"path": "."}, "confidence": 0.8, "source": "list everything"}
    result = tn.extract_tool_call("see `Makefile`", "LIST")
    assert result["args"] == {"path": "Makefile"}
    assert list(result) == ["tool", "args", "confidence", "source"]


def test_tool_call_shell():
    assert tn.extract_tool_call("Run: `make test`", "Bash") == {
        "tool": "shell", "args": {"command": "make test"}, "confidence": 0.75,
        "source": "Run: `make test`"}
    assert tn.extract_tool_call("nothing to run", "execute") is None


def test_tool_call_read():
    assert tn.extract_tool_call("read the file main.py", "READ_FILE") == {
        "tool": "read", "args": {"path": "main.py"}, "confidence": 0.9,
        "source": "read the file main.py"}
    assert tn.extract_tool_call("no path", "read") is None


@pytest.mark.parametrize("tool_name", ["grep", "", "lS ", "r\u0113ad", "\uff4c\uff53", "L\u0130ST"])
def test_tool_call_unknown_names(tool_name):
    assert tn.extract_tool_call("`a.py`", tool_name) is None


def test_tool_call_write():
    text = "Write this to app.py\n```python\ndef main():\n    pass\n```"
    result = tn.extract_tool_call(text, "write")
    assert result == {"tool": "write", "args": {"path": "app.py", "content": "def main():\n    pass"},
                      "confidence": 0.95, "source": text}
    assert list(result["args"]) == ["path", "content"]
    # The path falls back to current_file; "class " in a .py file raises confidence.
    code = "```\nclass Foo:\n    x = 1\n```"
    assert tn.extract_tool_call(code, "write_file", "app.py")["confidence"] == 0.95
    assert tn.extract_tool_call(code, "write_file", current_file="notes.txt")["confidence"] == 0.85
    assert tn.extract_tool_call(code, "write", None) is None
    assert tn.extract_tool_call(code, "write") is None
    # An empty current_file is a valid path.
    assert tn.extract_tool_call(code, "write", "")["args"]["path"] == ""
    # A path but no code: nothing.
    assert tn.extract_tool_call("write to a.py", "write") is None
    # "def" without its trailing space does not count.
    assert tn.extract_tool_call("```\ndefine\n```", "write", "a.py")["confidence"] == 0.85


def test_tool_call_source_counts_code_points():
    text = "read the file main.py " + "\u00e9\u4e2d\U0001F600" * 100
    result = tn.extract_tool_call(text, "read")
    assert result["source"] == text[:100]
    assert len(result["source"]) == 100
    ls = tn.extract_tool_call("\U0001F600" * 300, "ls")
    assert ls["source"] == "\U0001F600" * 100
    write = tn.extract_tool_call("```\n" + "\u00e9" * 300 + "\n```", "write", "f")
    assert len(write["source"]) == 200


def test_tool_call_argument_errors():
    with pytest.raises(TypeError) as excinfo:
        tn.extract_tool_call(1, "ls")
    assert_note(excinfo, "text")
    with pytest.raises(TypeError) as excinfo:
        tn.extract_tool_call("x", None)
    assert_note(excinfo, "tool_name")
    with pytest.raises(TypeError) as excinfo:
        tn.extract_tool_call("x", "write", 3)
    assert_note(excinfo, "current_file")
    with pytest.raises(UnicodeEncodeError) as excinfo:
        tn.extract_tool_call("x", "write", "\ud800")
    assert_note(excinfo, "current_file")
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'tool_name'"):
        tn.extract_tool_call("x")


@pytest.mark.parametrize("fn, param", [
    (tn.extract_file_path, "text"),
    (tn.extract_code_blocks, "text"),
    (tn.extract_shell_commands, "text"),
])
def test_wrong_types_and_lone_surrogates(fn, param):
    with pytest.raises(TypeError) as excinfo:
        fn(7)
    assert str(excinfo.value) == "'int' object is not an instance of 'str'"
    assert_note(excinfo, param)
    with pytest.raises(UnicodeEncodeError) as excinfo:
        fn("\udfff")
    assert_note(excinfo, param)


def test_signatures():
    assert str(inspect.signature(tn.extract_tool_call)) == "(text, tool_name, current_file=None)"
    assert str(inspect.signature(tn.batch_extract_file_paths)) == "(texts)"


# ---------------------------------------------------------------- against the pure-Python reference

PIECES = [
    "a", "x.py", "src/m.rs", "`", "```", "```python", "```bash", "```Sh", "'", '"', " ", "    ", "\t",
    "\n", "\r\n", "$ ", "$", "run:", "Command: ", "execute:", "edit ", "the file ", "to ", "with",
    " should", "\u00e9", "\u3000", "ls -la", "make", "def f():", "class C", ".", "Makefile",
    "``", "```c", "```cpp", "```\u017fh", " \n", "\n ", "\u2028", "\u3000\n", "```\n", "\n```",
]


@pytest.mark.parametrize("seed", range(4))
def test_matches_reference_on_random_texts(seed):
    rng = random.Random(seed)
    for _ in range(500):
        text = "".join(rng.choice(PIECES) for _ in range(rng.randint(0, 30)))
        assert tn.extract_file_path(text) == peer.extract_file_path(text), repr(text)
        assert tn.extract_code_blocks(text) == peer.extract_code_blocks(text), repr(text)
        assert tn.extract_shell_commands(text) == peer.extract_shell_commands(text), repr(text)
        for name in ("ls", "shell", "read", "write"):
            assert tn.extract_tool_call(text, name, "cur.py") == peer.extract_tool_call(
                text, name, "cur.py"), (repr(text), name)


# ---------------------------------------------------------------- hostile inputs


def test_hostile_inputs():
    unclosed = "`" * (4 << 20)
    assert tn.extract_code_blocks(unclosed) == []
    assert tn.extract_shell_commands(unclosed) == []
    assert tn.extract_file_path(unclosed) is None
    assert tn.extract_tool_call(unclosed, "ls")["args"] == {"path": "."}
    long_path = "edit " + "a/" * (1 << 20) + "f.py"
    assert tn.extract_file_path(long_path) == long_path[5:]
    nul = "edit a\x00.py\n```\n\x00code\x00\n```\n$ x\x00y"
    assert tn.extract_file_path(nul) is None
    assert tn.extract_code_blocks(nul) == ["\x00code\x00"]
    assert tn.extract_shell_commands(nul) == ["\x00code\x00", "x\x00y"]
    indented = "    line \u00e9\n" * 100000
    blocks = tn.extract_code_blocks(indented)
    assert blocks == [("line \u00e9\n" * 100000).strip()]
