"""The task classifier in plain Python, with the same vocabulary, weights and
scoring as thalren_native.classify_task, for side-by-side timing.

Keywords are found with str.find on the ASCII-lower-cased text; the
non-overlapping selection (earliest end first, longest among equal ends,
next search at the previous end) is made from the sorted candidates. Weights
are rounded to 32-bit floats like the native tables. Results are returned as
a tuple (task type name, confidence, matched count, negated count).
"""
from __future__ import annotations

import struct


def _f32(x: float) -> float:
    return struct.unpack("f", struct.pack("f", x))[0]


ACTION = [("execute", 1.0), ("apply", 1.0), ("run", 0.9), ("deploy", 1.0), ("build", 0.8), ("install", 0.9),
          ("start", 0.7), ("stop", 0.7), ("restart", 0.8), ("test", 0.8), ("commit", 0.9), ("push", 0.8),
          ("pull", 0.7), ("merge", 0.8)]
ANALYSIS = [("analyze", 1.0), ("explore", 1.0), ("review", 0.9), ("understand", 0.9), ("explain", 0.9),
            ("describe", 0.8), ("investigate", 0.9), ("examine", 0.9), ("study", 0.8), ("assess", 0.8),
            ("evaluate", 0.8), ("summarize", 0.8), ("overview", 0.7), ("what is", 0.8), ("what does", 0.8),
            ("how does", 0.8), ("why does", 0.7)]
GENERATION = [("create", 1.0), ("generate", 1.0), ("write", 0.9), ("implement", 1.0), ("add", 0.8), ("new", 0.7),
              ("scaffold", 0.9), ("initialize", 0.8), ("setup", 0.8), ("bootstrap", 0.9)]
SEARCH = [("find", 1.0), ("search", 1.0), ("locate", 0.9), ("grep", 1.0), ("look for", 0.9), ("where is", 0.9),
          ("which file", 0.8), ("list", 0.7)]
EDIT = [("modify", 1.0), ("refactor", 1.0), ("fix", 1.0), ("update", 0.9), ("change", 0.8), ("edit", 0.9),
        ("rename", 0.9), ("move", 0.7), ("delete", 0.8), ("remove", 0.8), ("replace", 0.9), ("improve", 0.8),
        ("optimize", 0.9), ("clean up", 0.8), ("debug", 0.9)]
NEGATIONS = ["don't", "do not", "dont", "shouldn't", "should not", "wouldn't", "would not", "can't", "cannot",
             "not", "never", "without", "avoid", "skip", "ignore"]

CATEGORIES = [[(k, _f32(w)) for k, w in table] for table in (ACTION, ANALYSIS, GENERATION, SEARCH, EDIT)]
NAMES = ["Action", "Analysis", "Generation", "Search", "Edit", "Default"]

_UPPER = {c: c + 32 for c in range(65, 91)}


def _matches(lower: str, keywords):
    """Non-overlapping (start, keyword index) in iteration order."""
    candidates = []
    for idx, (kw, _) in enumerate(keywords):
        start = lower.find(kw)
        while start != -1:
            candidates.append((start + len(kw), -len(kw), idx, start))
            start = lower.find(kw, start + 1)
    candidates.sort()
    out = []
    pos = 0
    for end, _neg_len, idx, start in candidates:
        if start >= pos:
            out.append((start, idx))
            pos = end
    return out


def classify(text: str, position_weight: float = 0.1, negation_radius: int = 20):
    lower = text.translate(_UPPER)
    length = len(text)
    negations = [s for s, _ in _matches(lower, [(n, 0.0) for n in NEGATIONS])]
    scores = []
    matched_total = negated_total = 0
    for keywords in CATEGORIES:
        total = 0.0
        for start, idx in _matches(lower, keywords):
            weight = keywords[idx][1]
            if any(n < start and start - n <= negation_radius for n in negations):
                negated_total += 1
                total += weight * -0.5
            else:
                matched_total += 1
                f = 1.0 if length == 0 else 1.0 + position_weight * (1.0 - start / length)
                total += weight * f
        scores.append(total if total > 0 else 0.0)
    winner = 0
    for i, s in enumerate(scores):
        if s >= scores[winner]:
            winner = i
    total = 0.0
    for s in scores:
        total += s
    confidence = scores[winner] / total if total > 0 else 0.0
    name = NAMES[winner] if confidence >= 0.3 else "Default"
    return name, confidence, matched_total, negated_total
