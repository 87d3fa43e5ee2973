"""classify_task on 200-byte requests against a pure-Python classifier with
the same vocabulary and scoring (peer_classifier)."""
from __future__ import annotations

import random

import harness
import peer_classifier as peer
import thalren_native as tn

_OPENERS = [
    "Please fix the failing login test and update the docs",
    "Can you explain how the cache invalidation works in this module",
    "Create a new endpoint that lists all active sessions for a user",
    "Find where the config file is loaded and which file defines the defaults",
    "Refactor the payment service but don't change the public API",
    "Deploy the staging build and run the smoke tests afterwards",
    "I need an overview of the architecture; what does the scheduler do",
    "Without touching the database layer, optimize the slow report query",
]
_FILLER = [
    "in the backend", "for the dashboard", "before the release on Friday", "as discussed yesterday",
    "using the existing helpers", "keeping backwards compatibility", "with proper error handling",
    "and mention anything odd", "so the team can review it", "thanks a lot",
]


def request(rng: random.Random, size: int = 200) -> str:
    text = rng.choice(_OPENERS)
    while len(text) < size:
        text += " " + rng.choice(_FILLER)
    return text[:size]


def _same(text: str) -> bool:
    r = tn.classify_task(text)
    name, confidence, matched, negated = peer.classify(text)
    return (repr(r.task_type), r.confidence, r.matched_count, r.negated_count) == (
        "TaskType." + name.upper(), confidence, matched, negated)


def cases():
    rng = random.Random(4)
    requests = [request(rng) for _ in range(300)]
    mismatched = [t for t in requests if not _same(t)]
    assert not mismatched, mismatched[:3]
    out = []
    for label, text in (("200 B request, 5 keywords", requests[4]), ("200 B request, 2 keywords", requests[1])):
        assert len(text) == 200
        out.append(harness.Case("classify_task", label, lambda t=text: tn.classify_task(t),
                                "pure Python", lambda t=text: peer.classify(t), target=20.0,
                                note=repr(tn.classify_task(text))))
    batch = requests[:100]
    out.append(harness.Case("classify_task (loop)", "100 requests of 200 B",
                            lambda: [tn.classify_task(t) for t in batch],
                            "pure Python", lambda: [peer.classify(t) for t in batch], target=20.0))
    out.append(harness.Case("find_all_keywords", "200 B", lambda t=requests[0]: tn.find_all_keywords(t)))
    out.append(harness.Case("has_negation", "200 B", lambda t=requests[0]: tn.has_negation(t)))
    return out
