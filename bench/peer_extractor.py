"""Pure-Python text extractors with the standard `re` module.

The peer of thalren_native's extractor family in the benchmarks, and a
reference for differential tests. `\\s` is spelled out as the White_Space class
(Python's own `\\s` also matches U+001C-001F).
"""
from __future__ import annotations

import re

from peer_sanitizer import WHITE_SPACE, _S, trim

CODE_BLOCK_PATTERN = re.compile(
    r"(?is)```(?:python|py|javascript|js|typescript|ts|bash|sh|json|yaml|yml|toml|html|css|markdown|md"
    r"|sql|go|rust|java|c|cpp|ruby|php)?" + _S + r"*\n(.*?)```")
INDENTED_CODE_PATTERN = re.compile(r"(?m)(?:^|\n)((?:[ ]{4,}|\t).+(?:\n(?:[ ]{4,}|\t).+)*)")
FILE_PATH_PATTERNS = [
    re.compile(r"(?i)(?:to|file|path|in|create|write|save|modify|update|edit)" + _S
               + r"+[`'\"]?([a-zA-Z0-9_./-]+\.[a-zA-Z]{1,10})[`'\"]?"),
    re.compile(r"(?m)^[`'\"]?([a-zA-Z0-9_./-]+\.[a-zA-Z]{1,10})[`'\"]?" + _S + r"+(?:with|should|will)"),
    re.compile(r"(?i)(?:the|this)" + _S + r"+file" + _S + r"+[`'\"]?([a-zA-Z0-9_./-]+\.[a-zA-Z]{1,10})[`'\"]?"),
    re.compile(r"`([a-zA-Z0-9_./-]+\.[a-zA-Z]{1,10})`"),
]
BACKTICK_PATH_PATTERN = re.compile(r"`([a-zA-Z0-9_./-]+)`")
SHELL_COMMAND_PATTERNS = [
    re.compile(r"(?is)```(?:bash|sh|shell|zsh)?" + _S + r"*\n(.+?)```"),
    re.compile(r"(?i)(?:run|execute|command):" + _S + r"*[`'\"](.+?)[`'\"]"),
    re.compile(r"(?m)(?:^|\n)\$" + _S + r"+(.+?)(?:\n|$)"),
]


def extract_file_path(text: str) -> str | None:
    for pattern in FILE_PATH_PATTERNS:
        m = pattern.search(text)
        if m:
            return m.group(1)
    return None


def batch_extract_file_paths(texts: list[str]) -> list[str | None]:
    return [extract_file_path(t) for t in texts]


def _leading_ws_bytes(line: str) -> int:
    stripped = line.lstrip(WHITE_SPACE)
    return len(line[:len(line) - len(stripped)].encode())


def _dedent(run: str) -> str:
    lines = [line[:-1] if line.endswith("\r") else line for line in run.split("\n")]
    indents = [_leading_ws_bytes(line) for line in lines if trim(line)]
    common = min(indents) if indents else 0
    out = []
    for line in lines:
        raw = line.encode()
        if len(raw) <= common:
            out.append(trim(line))
        else:
            cut = common
            while cut < len(raw) and (raw[cut] & 0xC0) == 0x80:
                cut += 1
            out.append(raw[cut:].decode())
    return trim("\n".join(out))


def extract_code_blocks(text: str) -> list[str]:
    blocks = [b for b in (trim(m.group(1)) for m in CODE_BLOCK_PATTERN.finditer(text)) if b]
    if blocks:
        return blocks
    return [b for b in (_dedent(m.group(1)) for m in INDENTED_CODE_PATTERN.finditer(text)) if b]


def extract_shell_commands(text: str) -> list[str]:
    out = []
    for pattern in SHELL_COMMAND_PATTERNS:
        out.extend(c for c in (trim(m.group(1)) for m in pattern.finditer(text)) if c)
    return out


def extract_tool_call(text: str, tool_name: str, current_file: str | None = None) -> dict | None:
    name = tool_name.lower()
    if name in ("ls", "list"):
        m = BACKTICK_PATH_PATTERN.search(text)
        return {"tool": "ls", "args": {"path": m.group(1) if m else "."}, "confidence": 0.8,
                "source": text[:100]}
    if name in ("run", "bash", "shell", "execute"):
        commands = extract_shell_commands(text)
        if not commands:
            return None
        return {"tool": "shell", "args": {"command": commands[0]}, "confidence": 0.75,
                "source": text[:150]}
    if name in ("read", "read_file"):
        path = extract_file_path(text)
        if path is None:
            return None
        return {"tool": "read", "args": {"path": path}, "confidence": 0.9, "source": text[:100]}
    if name in ("write", "write_file"):
        path = extract_file_path(text)
        if path is None:
            path = current_file
        if path is None:
            return None
        blocks = extract_code_blocks(text)
        if not blocks:
            return None
        content = blocks[0]
        confidence = 0.95 if path.endswith(".py") and ("def " in content or "class " in content) else 0.85
        return {"tool": "write", "args": {"path": path, "content": content}, "confidence": confidence,
                "source": text[:200]}
    return None
