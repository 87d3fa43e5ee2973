"""Response sanitiser against a pure-Python version with `re` (peer_sanitizer),
plus one adversarial input per expression at 1 MB and 4 MB side by side (the
time must grow linearly: about 4x)."""
from __future__ import annotations

import random

import harness
import peer_sanitizer as peer
import thalren_native as tn

MB = 1 << 20

_PROSE = [
    "The function reads the configuration and returns the parsed settings.",
    "I checked the failing test and the fixture path was wrong.",
    "Let me look at how the cache is invalidated when the file changes.",
    "This keeps the public API unchanged while fixing the race.",
    "Les donn\u00e9es sont normalis\u00e9es avant l'insertion \u2014 d\u00e9j\u00e0 v\u00e9rifi\u00e9.",
    "Update src/app/main.py with the new handler and run the suite again.",
    "Run: `pytest -q tests/test_cache.py` to confirm.",
]
_CODE = [
    "```python\ndef load(path):\n    with open(path) as f:\n        return json.load(f)\n```",
    "```bash\n$ make test\nls -la build/\n```",
    "```json\n{\"key\": [1, 2, 3], \"nested\": {\"a\": true}}\n```",
]
_NOISE = [
    "<think>Need to be careful about the ordering here.</think>",
    "<b>Note:</b> the <i>old</i> path is deprecated.",
    "\n\n\n\n\n",
    "</function>\n</parameter>\n</tool>",
    '{"name": "read_file", "arguments": {"path": "a.py"}}',
    "  parameter=value",
    "Do not invent any new parameters, ever.",
]


def model_output(size: int, seed: int = 7, noise: bool = True) -> str:
    """About `size` characters of plausible model output: prose paragraphs,
    fenced code, a little leaked markup and reasoning tokens."""
    rng = random.Random(seed)
    parts: list[str] = []
    total = 0
    while total < size:
        roll = rng.random()
        if roll < 0.7:
            piece = " ".join(rng.choice(_PROSE) for _ in range(rng.randint(2, 6))) + "\n\n"
        elif roll < 0.92 or not noise:
            piece = rng.choice(_CODE) + "\n\n"
        else:
            piece = rng.choice(_NOISE) + "\n"
        parts.append(piece)
        total += len(piece)
    return "".join(parts)[:size]


def growth_case(function: str, workload: str, call, build) -> harness.Case:
    """`call(build(1))` (ours column) beside `call(build(4))` (peer column):
    the same function on the same kind of input at 1 MB and 4 MB."""
    small, large = build(1), build(4)
    return harness.Case(function=function, workload=workload + " 1|4 MB",
                        ours=lambda: call(small), peer_name="same, 4x input",
                        peer=lambda: call(large))


def repeated(piece: str):
    """Builds `piece` repeated to about n MB of UTF-8."""
    return lambda n: piece * (n * MB // len(piece.encode()))


def adversarial_cases() -> list[harness.Case]:
    rows = [
        # (function to call, expression attacked, repeated piece)
        ("strip_markup", "MARKUP <", "<"),
        ("sanitize_response", "cleanup </a></a>x", "</a></a>x"),
        ("sanitize_response", "cleanup <function", "<function"),
        ("sanitize_response", "cleanup <parameter", "<parameter"),
        ("sanitize_response", "cleanup <tool", "<tool"),
        ("sanitize_response", "cleanup <IMPORTANT", "<IMPORTANT"),
        ("sanitize_response", "cleanup inline call", '{"name": "a", "arguments": {'),
        ("sanitize_response", "cleanup \\n\\n\\nx", "\n\n\nx"),
        ("sanitize_response", "thinking <think", "<think"),
        ("is_garbage_content", "FUNCTION_CALL ", "FUNCTION_CALL "),
        ("is_garbage_content", "</function>x", "</function>x"),
        ("is_garbage_content", "<parameter", "<parameter"),
        ("is_garbage_content", '\\n { "name": "a",', '\n { "name": "a",'),
        ("is_garbage_content", "\\n  <IMPORTANT", "\n  <IMPORTANT"),
        ("is_garbage_content", "\\n Do NOx", "\n Do NOx"),
        ("is_garbage_content", "\\nNEVERx", "\nNEVERx"),
        ("is_garbage_content", "[TOOL_REQUEST", "[TOOL_REQUEST"),
        ("is_garbage_content", "[END_TOOL_REQUEST", "[END_TOOL_REQUEST"),
        ("detect_leakage_patterns", "Do not invent any new or additional ",
         "Do not invent any new or additional "),
        ("detect_leakage_patterns", "The parameter value should be ",
         "The parameter value should be "),
        ("detect_leakage_patterns", "If you want to call multiple ", "If you want to call multiple "),
        ("detect_leakage_patterns", "Do NOT surround the function ", "Do NOT surround the function "),
        ("detect_leakage_patterns", "All parameters are required ", "All parameters are required "),
        ("detect_leakage_patterns", "The agent is not allowed to ", "The agent is not allowed to "),
        ("detect_leakage_patterns", "Begin by calling list_", "Begin by calling list_"),
        ("detect_leakage_patterns", "whole lines of phrase", "Begin by calling list_directory x\n"),
        ("sanitize_response", "leakage phrase lines", "Do not invent any new parameters x\n"),
    ]
    cases = [growth_case(function, workload, getattr(tn, function), repeated(piece))
             for function, workload, piece in rows]
    cases.append(growth_case("validate_tool_name", "aaaa...-", tn.validate_tool_name,
                             lambda n: "a" * (n * MB - 1) + "-"))
    return cases


def cases() -> list[harness.Case]:
    text = model_output(50_000)
    assert tn.sanitize_response(text) == peer.sanitize_response(text)
    html = ("<div class='x'><p>Some <b>bold</b> text</p>\n</div> " * 1000)[:50_000]
    clean = model_output(50_000, seed=3, noise=False)
    assert tn.is_garbage_content(clean) is False
    names = ["read_file", "my_tool", "3d", "read-file", "list_directory", "a b"] * 10
    return [
        harness.Case(function="sanitize_response", workload="50 KB model output",
                     ours=lambda: tn.sanitize_response(text), peer_name="python re",
                     peer=lambda: peer.sanitize_response(text), target=5.0),
        harness.Case(function="strip_markup", workload="50 KB HTML-ish",
                     ours=lambda: tn.strip_markup(html), peer_name="python re",
                     peer=lambda: peer.strip_markup(html)),
        harness.Case(function="is_garbage_content", workload="50 KB clean output (no hit)",
                     ours=lambda: tn.is_garbage_content(clean), peer_name="python re",
                     peer=lambda: peer.is_garbage_content(clean)),
        harness.Case(function="detect_leakage_patterns", workload="50 KB model output",
                     ours=lambda: tn.detect_leakage_patterns(text), peer_name="python re",
                     peer=lambda: peer.detect_leakage_patterns(text)),
        harness.Case(function="validate_tool_name", workload="60 names",
                     ours=lambda: [tn.validate_tool_name(n) for n in names], peer_name="python re",
                     peer=lambda: [peer.validate_tool_name(n) for n in names]),
        *adversarial_cases(),
    ]
