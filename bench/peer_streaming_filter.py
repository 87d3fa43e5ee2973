"""A pure-Python thinking-token streaming filter, the baseline for the native one.

Same behaviour as ``thalren_native.StreamingFilter``: marker tokens are removed,
thinking text is counted in UTF-8 bytes (and optionally dropped), a marker split
across chunks is held back until the next chunk (or ``flush``) decides it, and
the abort flag is raised when a closed block pushes the thinking total past the
limit. Written the way a careful Python programmer would: one compiled
alternation per token set, and a bounded look-back for a partial marker.
"""
from __future__ import annotations

import re
from dataclasses import dataclass

START_TOKENS = ("<\uff5cbegin\u2581of\u2581thinking\uff5c>", "<|begin_of_thinking|>", "<think>")
END_TOKENS = ("<\uff5cend\u2581of\u2581thinking\uff5c>", "<|end_of_thinking|>", "</think>")

# No token of a set contains another, so the leftmost match is also the one
# that ends first.
_START_RE = re.compile("|".join(map(re.escape, START_TOKENS)))
_END_RE = re.compile("|".join(map(re.escape, END_TOKENS)))


def _partial_length(text: str, tokens: tuple[str, ...]) -> int:
    """Characters at the end of `text` that begin (but do not complete) a token.

    Every token begins with "<", so only suffixes starting at a "<" among the
    last (longest token - 1) characters can qualify; the longest one wins.
    """
    tail = text[-(max(map(len, tokens)) - 1):]
    i = tail.find("<")
    while i >= 0:
        suffix = tail[i:]
        for token in tokens:
            if len(suffix) < len(token) and token.startswith(suffix):
                return len(suffix)
        i = tail.find("<", i + 1)
    return 0


def _utf8_len(text: str) -> int:
    return len(text) if text.isascii() else len(text.encode("utf-8"))


@dataclass
class ChunkResult:
    content: str
    is_thinking: bool
    state_changed: bool
    entering_thinking: bool
    exiting_thinking: bool


class PyStreamingFilter:
    def __init__(self, suppress_thinking: bool = False, max_thinking_content: int = 50000):
        self.suppress_thinking = suppress_thinking
        self.max_thinking_content = max_thinking_content
        self.reset()

    def reset(self) -> None:
        self.in_thinking = False
        self.residual = ""
        self.thinking_length = 0
        self.abort = False
        self.abort_reason = None

    def process_chunk(self, chunk: str) -> ChunkResult:
        text = self.residual + chunk if self.residual else chunk
        self.residual = ""
        out = []
        entering = exiting = False
        p = 0
        n = len(text)
        while p < n:
            if not self.in_thinking:
                m = _START_RE.search(text, p)
                if m:
                    out.append(text[p:m.start()])
                    self.in_thinking = True
                    entering = True
                    p = m.end()
                    continue
                rest = text[p:]
                k = _partial_length(rest, START_TOKENS)
                if k:
                    out.append(rest[:-k])
                    self.residual = rest[-k:]
                else:
                    out.append(rest)
                break
            m = _END_RE.search(text, p)
            if m:
                thinking = text[p:m.start()]
                self.thinking_length += _utf8_len(thinking)
                if self.thinking_length > self.max_thinking_content:
                    self.abort = True
                    self.abort_reason = f"Thinking content exceeded {self.max_thinking_content} chars"
                if not self.suppress_thinking:
                    out.append(thinking)
                self.in_thinking = False
                exiting = True
                p = m.end()
                continue
            rest = text[p:]
            k = _partial_length(rest, END_TOKENS)
            thinking = rest[:-k] if k else rest
            self.residual = rest[-k:] if k else ""
            self.thinking_length += _utf8_len(thinking)
            if not self.suppress_thinking:
                out.append(thinking)
            break
        return ChunkResult("".join(out), self.in_thinking, entering or exiting, entering, exiting)

    def flush(self) -> ChunkResult:
        text, self.residual = self.residual, ""
        if self.in_thinking:
            self.thinking_length += _utf8_len(text)
            if self.suppress_thinking:
                text = ""
        return ChunkResult(text, self.in_thinking, False, False, False)

    def get_state(self) -> str:
        return "in_thinking" if self.in_thinking else "normal"

    def should_abort(self) -> bool:
        return self.abort

    def get_abort_reason(self):
        return self.abort_reason

    def get_thinking_length(self) -> int:
        return self.thinking_length
