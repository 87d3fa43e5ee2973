"""Every registered callable, fed random argument tuples, raises only ordinary Python exceptions."""
import math
import random

import pytest

import thalren_native as tn


def random_value(rng, depth=0):
    kind = rng.randrange(16 if depth < 2 else 11)
    if kind == 0:
        return rng.choice([0, 1, -1, 2, 3, 10, 2**31, 2**63, 2**64, -(2**63) - 1, 10**30])
    if kind == 1:
        return rng.choice([0.0, -0.0, 0.5, -1.5, 1e300, math.inf, -math.inf, math.nan, 1e-320])
    if kind == 2:
        return rng.choice(["", "a", "abc def", "{\"a\": 1}", "[1, 2", "\ud800", "é日😀", "\x00", "<think>x</think>",
                           "sk-" + "a" * 48, "```py\nprint(1)\n```", "a" * 5000, "name: x\nsteps: []"])
    if kind == 3:
        return None
    if kind == 4:
        return rng.choice([True, False])
    if kind == 5:
        return b"bytes"
    if kind == 6:
        return object()
    if kind == 7:
        return {"a": 1}
    if kind == 8:
        return {1, 2}
    if kind == 9:
        return rng.choice([tn.Role.User, tn.Role.Tool])
    if kind == 10:
        return [rng.random() for _ in range(rng.randrange(5))]
    if kind == 11:
        return [random_value(rng, depth + 1) for _ in range(rng.randrange(4))]
    if kind == 12:
        return tuple(random_value(rng, depth + 1) for _ in range(rng.randrange(4)))
    if kind == 13:
        return [[rng.random() for _ in range(3)] for _ in range(rng.randrange(4))]
    if kind == 14:
        return ["a", "b c", "é"][: rng.randrange(4)]
    return (x for x in range(3))


def callables():
    out = []
    for name in tn.__all__:
        obj = getattr(tn, name)
        if callable(obj):
            out.append((name, obj))
    return out


@pytest.mark.parametrize("seed", range(3))
def test_random_arguments_raise_only_python_exceptions(seed):
    rng = random.Random(seed)
    made = []
    for name, fn in callables():
        for _ in range(150):
            args = [random_value(rng) for _ in range(rng.randrange(5))]
            kwargs = {}
            if rng.random() < 0.3:
                kwargs[rng.choice(["text", "k", "x", "id", "vectors", "patterns"])] = random_value(rng)
            try:
                result = fn(*args, **kwargs)
            except Exception:
                continue
            if isinstance(fn, type):
                made.append(result)
    # Methods and attributes of whatever objects the constructors accepted.
    for obj in made[:200]:
        for attr in dir(obj):
            if attr.startswith("__"):
                continue
            try:
                member = getattr(obj, attr)
            except Exception:
                continue
            if not callable(member):
                continue
            for _ in range(20):
                args = [random_value(rng) for _ in range(rng.randrange(4))]
                try:
                    member(*args)
                except Exception:
                    pass
