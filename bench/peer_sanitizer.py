"""Pure-Python response sanitiser with the standard `re` module.

The peer of thalren_native's sanitizer family in the benchmarks, written the
way a Python user would, and a reference for differential tests. Python's `\\s`
also matches U+001C-001F, which are not White_Space, so `\\s` is spelled out as
the White_Space class; `$` in the tool-name check is replaced by fullmatch
(Python's `$` also matches before a final newline).
"""
from __future__ import annotations

import re

WHITE_SPACE = ("\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006"
               "\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000")
_S = "[" + re.escape(WHITE_SPACE) + "]"

MARKUP_PATTERN = re.compile(r"<[^>]+>")
VALID_TOOL_NAME = re.compile(r"[a-zA-Z][a-zA-Z0-9_]*")

CLEANUP_PATTERNS = [
    (re.compile(r"(</\w+>" + _S + "*){3,}"), ""),
    (re.compile(r"</?function[^>]*>"), ""),
    (re.compile(r"</?parameter[^>]*>"), ""),
    (re.compile(r"</?tool[^>]*>"), ""),
    (re.compile(r"</?IMPORTANT[^>]*>"), ""),
    (re.compile(r'\{"name":' + _S + r'*"[^"]+",' + _S + r'*"arguments":' + _S + r"*\{[^}]*\}\}"), ""),
    (re.compile(r"\n{4,}"), "\n\n\n"),
]

THINKING_TOKENS = [
    "<\uff5cbegin\u2581of\u2581thinking\uff5c>",
    "<\uff5cend\u2581of\u2581thinking\uff5c>",
    "<|begin_of_thinking|>",
    "<|end_of_thinking|>",
    "<think>",
    "</think>",
]

GARBAGE_PATTERNS = [
    re.compile(r"FUNCTION_CALL" + _S + r"*\{"),
    re.compile(r"</function>" + _S + r"*</function>"),
    re.compile(r"<parameter[^>]*>"),
    re.compile(r"(?m)^" + _S + r'*\{' + _S + r'*"name":' + _S + r'*"[^"]+",' + _S + r'*"arguments":'),
    re.compile(r"(?m)^" + _S + r"*<IMPORTANT>"),
    re.compile(r"(?m)^" + _S + r"*Do NOT"),
    re.compile(r"(?m)^" + _S + r"*NEVER" + _S + "+"),
    re.compile(r"\[TOOL_REQUEST\]"),
    re.compile(r"\[END_TOOL_REQUEST\]"),
]

LEAKAGE_PATTERNS = [
    (re.compile(r"(?i)Do not invent any new (?:or additional )?parameters.*"), "no_new_params"),
    (re.compile(r"(?i)The parameter value should be passed as a string.*"), "string_params"),
    (re.compile(r"(?i)If you want to call multiple functions.*"), "multiple_funcs"),
    (re.compile(r"(?i)Do NOT surround the function call.*"), "no_surround"),
    (re.compile(r"(?i)All parameters are required unless.*"), "required_params"),
    (re.compile(r"(?i)The agent is not allowed to directly access.*"), "no_direct_access"),
    (re.compile(r"(?i)Begin by calling list_directory.*"), "begin_list_dir"),
]

INVALID_PREFIXES = ["example_", "func_", "function_", "tool_name", "my_", "test_tool", "sample_"]


def trim(text: str) -> str:
    return text.strip(WHITE_SPACE)


def lines(text: str) -> list[str]:
    """Lines ending at "\\n" or "\\r\\n"; a final line end opens no extra line."""
    parts = text.split("\n")
    last = parts.pop()
    out = [p[:-1] if p.endswith("\r") else p for p in parts]
    if last:
        out.append(last)
    return out


def sanitize_response(text: str) -> str:
    if not text:
        return ""
    for pattern, replacement in CLEANUP_PATTERNS:
        text = pattern.sub(replacement, text)
    for token in THINKING_TOKENS:
        text = text.replace(token, "")
    for pattern, _name in LEAKAGE_PATTERNS:
        text = pattern.sub("", text)
    text = "\n".join(line for line in lines(text)
                     if not trim(line).startswith(('{"name":', "</")))
    text = "\n".join(line for line in lines(text)
                     if not trim(line).startswith(("parameter=", "<parameter")))
    return trim(text)


def strip_markup(text: str) -> str:
    if not text:
        return ""
    text = MARKUP_PATTERN.sub(" ", text)
    return " ".join(w for w in re.split(_S + "+", text) if w)


def is_garbage_content(content: str) -> bool:
    if not content:
        return False
    return any(p.search(content) for p in GARBAGE_PATTERNS)


def detect_leakage_patterns(text: str, encoding: str = "utf-8") -> list[tuple[int, int, str]]:
    """Byte offsets, like the native version."""
    found = []
    for pattern, name in LEAKAGE_PATTERNS:
        for m in pattern.finditer(text):
            start = len(text[:m.start()].encode(encoding))
            found.append((start, start + len(m.group(0).encode(encoding)), name))
    found.sort(key=lambda r: r[0])
    return found


def validate_tool_name(name: str) -> tuple[bool, str | None]:
    if not name:
        return False, "empty_or_invalid_type"
    for prefix in INVALID_PREFIXES:
        if name.startswith(prefix):
            return False, "invalid_prefix:" + prefix
    if name.endswith(("/", ">")):
        return False, "invalid_suffix"
    if name.startswith("<"):
        return False, "starts_with_tag"
    if " " in name or "\t" in name:
        return False, "contains_whitespace"
    if name[0] in "0123456789":
        return False, "starts_with_number"
    if not VALID_TOOL_NAME.fullmatch(name):
        return False, "invalid_characters"
    return True, None
