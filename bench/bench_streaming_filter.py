"""Thinking-token filtering: the streaming filter and the whole-text functions."""
from __future__ import annotations

import random
import re

import thalren_native as tn

from harness import Case
from peer_streaming_filter import END_TOKENS, START_TOKENS, PyStreamingFilter

WORDS = ("the of and to in is that for it with as was on be by this are or from "
         "function return value parser token stream model response context budget "
         "reasoning answer module file search result error handler config").split()


def response(size: int, seed: int = 7) -> str:
    """English-like model output with a thinking block every few kilobytes."""
    rng = random.Random(seed)
    parts, n = [], 0
    while n < size:
        text = " ".join(rng.choice(WORDS) for _ in range(rng.randint(200, 600)))
        if rng.random() < 0.5:
            text = rng.choice(START_TOKENS) + text + rng.choice(END_TOKENS) + "\n"
        parts.append(text)
        n += len(text)
    return "".join(parts)[:size]


def chunks_of(text: str, size: int) -> list[str]:
    return [text[i:i + size] for i in range(0, len(text), size)]


def stream(make_filter, chunks):
    def run():
        f = make_filter()
        out = [f.process_chunk(c).content for c in chunks]
        out.append(f.flush().content)
        return out
    return run


_INLINE_RE = re.compile("|".join(map(re.escape, START_TOKENS + END_TOKENS)))


def cases():
    text = response(200 * 1024)
    chunks = chunks_of(text, 20)
    # Same output from both filters before timing anything.
    assert stream(tn.StreamingFilter, chunks)() == stream(PyStreamingFilter, chunks)()
    big = response(1024 * 1024, seed=11)
    assert tn.strip_thinking_tokens(big) == _INLINE_RE.sub("", big)
    return [
        Case(function="StreamingFilter.process_chunk", workload="200 KB in 20-byte chunks",
             ours=stream(tn.StreamingFilter, chunks),
             peer_name="pure-Python filter", peer=stream(PyStreamingFilter, chunks), target=10.0),
        Case(function="StreamingFilter.process_chunk", workload="200 KB, suppressing thinking",
             ours=stream(lambda: tn.StreamingFilter(True), chunks),
             peer_name="pure-Python filter", peer=stream(lambda: PyStreamingFilter(True), chunks)),
        Case(function="strip_thinking_tokens", workload="1 MB response",
             ours=lambda: tn.strip_thinking_tokens(big),
             peer_name="re.sub alternation", peer=lambda: _INLINE_RE.sub("", big)),
        Case(function="find_thinking_tokens", workload="1 MB response",
             ours=lambda: tn.find_thinking_tokens(big),
             peer_name="re.finditer alternation",
             peer=lambda: [(m.start(), m.end()) for m in _INLINE_RE.finditer(big)]),
    ]
