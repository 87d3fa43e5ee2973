import json
import random

import thalren_native as tn
from harness import Case


def _arguments():
    rng = random.Random(5)
    obj = {f"key_{i}": rng.choice([rng.random(), rng.randint(0, 10**9), "value " * 3, [1, 2, 3], {"n": None}])
           for i in range(40)}
    text = json.dumps(obj, indent=1)
    while len(text) < 1024:
        obj[f"pad_{len(obj)}"] = "x" * 20
        text = json.dumps(obj, indent=1)
    return text


def cases():
    text = _arguments()

    def ours():
        return tn.ToolCall("call_1", "edit_file", text).arguments

    def peer():
        return json.dumps(json.loads(text), sort_keys=True, separators=(",", ":"))

    assert json.loads(ours()) == json.loads(peer())
    return [Case("ToolCall(...).arguments", f"{len(text)} B arguments", ours,
                 "json.loads + json.dumps", peer, target=1.0)]
