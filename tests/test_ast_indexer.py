"""Module-name set and identifier extraction."""
import re
import sys

import pytest

import thalren_native as tn

EXTRAS = ["typing_extensions", "numpy", "pandas", "requests", "aiohttp", "httpx", "pydantic", "pytest", "mock"]


@pytest.mark.parametrize("name,expected", [
    ("os", True), ("os.path", True), ("xml.etree.ElementTree", True), ("numpy.linalg", True),
    ("typing_extensions", True), ("concurrent.futures", True), ("zoneinfo", True), ("winreg", True),
    ("", False), (".os", False), ("..", False), ("osx", False), ("OS", False), ("mypkg.os", False),
    ("os.", True), ("numpyx", False), ("scipy", False), (" os", False), ("os ", False),
    ("é", False), ("\0", False),
])
def test_is_stdlib_module(name, expected):
    assert tn.is_stdlib_module(name) is expected
    assert tn.is_stdlib_module(module_name=name) is expected


def test_set_covers_the_extras_and_most_of_the_running_stdlib():
    assert all(tn.is_stdlib_module(n) for n in EXTRAS)
    # Names this interpreter reports as stdlib and the set also lists: spot-check a wide sample.
    for name in ("abc", "asyncio", "sqlite3", "tkinter", "unicodedata", "zipimport", "graphlib"):
        assert name in sys.stdlib_module_names and tn.is_stdlib_module(name)
    # Removed-in-3.12 modules that the set still lists.
    for name in ("imghdr", "smtpd", "telnetlib", "parser", "nis"):
        assert tn.is_stdlib_module(name)


def test_batch_and_filter_keep_order_and_duplicates():
    names = ["os", "mypkg.util", "json", "requests", "mypkg"]
    assert tn.batch_is_stdlib_modules(names) == [True, False, True, True, False]
    assert tn.batch_is_stdlib_modules(tuple(names)) == [True, False, True, True, False]
    assert tn.filter_stdlib_imports(names) == (["os", "json", "requests"], ["mypkg.util", "mypkg"])
    assert tn.filter_stdlib_imports(["a", "os", "a", "os"]) == (["os", "os"], ["a", "a"])
    assert tn.filter_stdlib_imports([]) == ([], [])
    assert tn.batch_is_stdlib_modules([]) == []


@pytest.mark.parametrize("fn", [tn.batch_is_stdlib_modules, tn.filter_stdlib_imports])
def test_list_arguments_refuse_str_and_bad_elements(fn):
    with pytest.raises(TypeError):
        fn("os")
    with pytest.raises(TypeError):
        fn({"os"})
    with pytest.raises(TypeError):
        fn(["os", 3])
    with pytest.raises(UnicodeEncodeError):
        fn(["os", "\ud800"])


def test_identifiers_with_positions():
    assert tn.extract_identifiers_with_positions("x = y2 + _z") == [("x", 0, 1), ("y2", 4, 6), ("_z", 9, 11)]
    assert tn.extract_identifiers_with_positions("\u00e9abc") == [("abc", 2, 5)]
    assert tn.extract_identifiers_with_positions("9lives") == [("lives", 1, 6)]
    assert tn.extract_identifiers_with_positions("0x1F a.b") == [("x1F", 1, 4), ("a", 5, 6), ("b", 7, 8)]
    assert tn.extract_identifiers_with_positions("na\u00efve") == [("na", 0, 2), ("ve", 4, 6)]
    assert tn.extract_identifiers_with_positions("") == []


def test_identifiers_unique_and_syntax_blind():
    src = "def f(x):\n    # x in a comment\n    return 'x' + x\n"
    ids = tn.extract_identifiers(src)
    assert sorted(ids) == ["a", "comment", "def", "f", "in", "return", "x"]
    assert tn.extract_identifiers("") == []


@pytest.mark.parametrize("seed", range(5))
def test_identifiers_agree_with_python_re(seed):
    import random
    rng = random.Random(seed)
    alphabet = "aZ_09 .\n\t\u00e9\u4e2d\U0001F600(){}=+-"
    src = "".join(rng.choice(alphabet) for _ in range(2000))
    rx = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
    expected = []
    for m in rx.finditer(src):
        start = len(src[:m.start()].encode())
        expected.append((m.group(), start, start + len(m.group())))
    assert tn.extract_identifiers_with_positions(src) == expected
    assert sorted(tn.extract_identifiers(src)) == sorted({e[0] for e in expected})


def test_hostile_input():
    with pytest.raises(UnicodeEncodeError):
        tn.extract_identifiers("a\udc00")
    with pytest.raises(TypeError) as info:
        tn.is_stdlib_module(None)
    assert "while processing 'module_name'" in info.value.__notes__
    big = "name_1 " * 2_000_000 + "\0" * 1000
    assert tn.extract_identifiers(big) == ["name_1"]
    assert len(tn.extract_identifiers_with_positions(big)) == 2_000_000


def test_docstrings():
    assert tn.is_stdlib_module.__text_signature__ == "(module_name)"
    assert tn.is_stdlib_module.__doc__.startswith("Check if a module name is a standard library module.")
    assert "Uses O(1) HashSet lookup for the top-level module name." in tn.is_stdlib_module.__doc__
    assert tn.extract_identifiers.__text_signature__ == "(source)"
    assert "Uses compiled regex pattern [A-Za-z_][A-Za-z0-9_]*." in tn.extract_identifiers.__doc__
