"""Run the benchmarks: python bench/run.py [family ...]"""
from __future__ import annotations

import importlib
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import harness  # noqa: E402


def main(argv: list[str]) -> int:
    here = pathlib.Path(__file__).parent
    families = argv or sorted(p.stem[len("bench_"):] for p in here.glob("bench_*.py"))
    header = f"{'function':<40} {'workload':<34} {'ours':>11} {'peer':>11}  {'peer name':<22} {'ratio':>8}  target"
    print(header)
    print("-" * len(header))
    missed = 0
    for family in families:
        module = importlib.import_module(f"bench_{family}")
        for case in module.cases():
            ours = harness.best_time(case.ours)
            if case.peer is not None:
                peer = harness.best_time(case.peer)
                ratio = peer / ours
                verdict = ""
                if case.target is not None:
                    ok = ratio >= case.target
                    missed += not ok
                    verdict = f">= {case.target:g}x {'ok' if ok else 'MISSED'}"
                print(f"{case.function:<40} {case.workload:<34} {harness.fmt_time(ours)} "
                      f"{harness.fmt_time(peer)}  {case.peer_name:<22} {ratio:7.2f}x  {verdict}")
            else:
                print(f"{case.function:<40} {case.workload:<34} {harness.fmt_time(ours)} "
                      f"{'':>11}  {'':<22} {'':>8}")
            if case.note:
                print(f"    {case.note() if callable(case.note) else case.note}")
            sys.stdout.flush()
    if missed:
        print(f"\n{missed} target(s) missed")
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
