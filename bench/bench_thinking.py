"""Thinking-loop detector and circular-phrase search."""
from __future__ import annotations

import itertools
import random
import re

import thalren_native as tn

from harness import Case

WORDS = ("the of and to in is that for it with as was on be by this are or from "
         "function return value parser token stream model response context budget "
         "reasoning answer module file search result error handler config look check "
         "read examine proceed continue approach implement analyze structure").split()
CIRCULAR = ["let me read", "let me check", "let me look at", "let me examine", "let me see",
            "i need to read", "i need to check", "i need to look at", "i need to examine",
            "i need to see", "first let me", "now let me", "let me first", "let me start by",
            "i'll need to", "i will need to", "i'll have to", "i will have to",
            "let me actually use", "let me use the", "i'll actually read", "i'll read",
            "i will read", "i need to read", "now i'll", "now i will", "i should read",
            "i should examine", "i should check", "i should look", "let me continue",
            "let me proceed"]


def block(rng: random.Random, size: int) -> str:
    words, n = [], 0
    while n < size:
        w = rng.choice(WORDS) if rng.random() < 0.7 else f"{rng.choice(WORDS)}{rng.randint(0, 999)}"
        words.append(w)
        n += len(w) + 1
    return " ".join(words)[:size]


def record_cycle(blocks):
    detector = tn.ThinkingDetector()
    source = itertools.cycle(blocks)
    return lambda: detector.record_thinking(next(source))


def cases():
    rng = random.Random(3)
    blocks = [block(rng, 2048) for _ in range(500)]
    text = " ".join(block(rng, 1000) + " Let me read the file. " for _ in range(1000))
    circular_re = re.compile("|".join(map(re.escape, CIRCULAR)), re.IGNORECASE)
    assert tn.count_circular_patterns(text) == len(circular_re.findall(text))
    return [
        Case(function="ThinkingDetector.record_thinking", workload="2 KB blocks, 500 distinct",
             ours=record_cycle(blocks)),
        Case(function="ThinkingDetector.record_thinking", workload="2 KB block, repeated",
             ours=record_cycle(blocks[:1])),
        Case(function="count_circular_patterns", workload="1 MB text",
             ours=lambda: tn.count_circular_patterns(text),
             peer_name="re IGNORECASE findall", peer=lambda: len(circular_re.findall(text))),
        Case(function="find_circular_patterns", workload="1 MB text",
             ours=lambda: tn.find_circular_patterns(text),
             peer_name="re IGNORECASE finditer",
             peer=lambda: [(m.start(), m.end(), m.group()) for m in circular_re.finditer(text)]),
    ]
