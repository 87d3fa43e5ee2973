import random

import thalren_native as tn
from harness import Case
import peer_tokenizer


def _text(size, seed=1):
    rng = random.Random(seed)
    words = ["the", "function", "returns", "a", "value,", "café", "x=1;", "internationalization", "(args)", "日本"]
    out = []
    n = 0
    while n < size:
        w = rng.choice(words)
        out.append(w)
        n += len(w) + 1
    return " ".join(out)[:size]


def cases():
    out = []
    for label, size in (("16 B", 16), ("1 KB", 1024), ("100 KB", 100 * 1024)):
        text = _text(size)
        assert tn.count_tokens_fast(text) == peer_tokenizer.count_tokens_fast(text)
        out.append(Case("count_tokens_fast", label, lambda t=text: tn.count_tokens_fast(t),
                        "pure Python", lambda t=text: peer_tokenizer.count_tokens_fast(t),
                        target=100.0 if label == "1 KB" else None))
    out.append(Case("count_tokens_fast call overhead", '""', lambda: tn.count_tokens_fast(""),
                    'len("")', lambda: len(""), target=1.0))
    texts = [_text(1024, seed=i) for i in range(10_000)]
    out.append(Case("count_tokens_fast_batch", "10,000 x 1 KB", lambda: tn.count_tokens_fast_batch(texts),
                    "loop of count_tokens_fast", lambda: [tn.count_tokens_fast(t) for t in texts], target=1.0))
    return out
