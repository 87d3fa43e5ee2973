"""Side-by-side timing of thalren_native against the peers a Python user would pick.

Each ``bench/bench_<family>.py`` defines ``cases()`` returning a list of ``Case``.
``python bench/run.py [family ...]`` times every case, ours and the peer's
alternately in the same run, and prints one table row per case.
"""
from __future__ import annotations

import dataclasses
import time
from typing import Callable, Optional


@dataclasses.dataclass
class Case:
    function: str                 # the function or method measured
    workload: str                 # short description of the input
    ours: Callable[[], object]
    peer_name: str = ""
    peer: Optional[Callable[[], object]] = None
    target: Optional[float] = None  # speed-up over the peer we aim for (peer time / our time)
    note: str = ""                # extra figure printed after the row (e.g. bandwidth)


def best_time(fn: Callable[[], object], budget: float = 0.4, repeat: int = 5) -> float:
    """Best per-call time in seconds over `repeat` rounds of about `budget`/`repeat` each."""
    fn()  # warm caches and lazily built tables
    n = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(n):
            fn()
        elapsed = time.perf_counter() - t0
        if elapsed >= budget / repeat / 4 or n >= 1 << 24:
            break
        n *= 4
    per_round = max(1, int(n * (budget / repeat) / max(elapsed, 1e-9)))
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(per_round):
            fn()
        best = min(best, (time.perf_counter() - t0) / per_round)
    return best


def fmt_time(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:8.2f} {unit}"
    return f"{seconds / 1e-9:8.2f} ns"
