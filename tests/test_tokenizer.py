"""The fast token estimate."""
import random

import pytest

import thalren_native as tn


@pytest.mark.parametrize("text, expected", [
    ("", 0),
    ("   ", 1),
    ("\u00a0", 1),
    ("abc", 1),
    ("a b c", 3),
    ("ab  cd\tef\n", 3),
    ("abcdefg", 1),                   # 1.3
    ("Hello, world!", 4),             # 3.6
    ("def foo(x):", 5),               # 4.7
    ("internationalization", 4),      # 3.5: halves round up
    ("café", 2),                      # 1.5
    ("日本語", 3),                     # 2.8
    ("a\u3000b", 2),
    ("a\u2028b\u205fc\u1680d\u0085e\u202ff", 6),
    ("a\u200bb", 2),                  # ZERO WIDTH SPACE is not White_Space: one word, 5 bytes, 1 non-ASCII
    ("\x00\x01", 1),                  # controls that are not whitespace form a word
    ("!!!!", 4),                      # 1 + 4 * 0.8 = 4.2
    ("x" * 12, 2),                    # 1 + 0.5 = 1.5 -> 2
    ("😀", 2),                        # 4 bytes, one non-ASCII: 1.5 -> 2
])
def test_estimate(text, expected):
    assert tn.count_tokens_fast(text) == expected


def reference(text):
    ws = set("\t\n\x0b\x0c\r \x85\xa0\u1680\u2028\u2029\u202f\u205f\u3000") | {chr(c) for c in range(0x2000, 0x200B)}
    punct = {chr(c) for c in list(range(33, 48)) + list(range(58, 65)) + list(range(91, 97)) + list(range(123, 127))}
    if not text:
        return 0
    words, cur = [], []
    for ch in text:
        if ch in ws:
            if cur:
                words.append("".join(cur))
                cur = []
        else:
            cur.append(ch)
    if cur:
        words.append("".join(cur))
    if not words:
        return 1
    score = 0.0
    for w in words:
        score += 1.0
        n_bytes = len(w.encode())
        if n_bytes > 10:
            score += (n_bytes - 10) * 0.25
        elif n_bytes > 6:
            score += 0.3
        p = sum(ch in punct for ch in w)
        if p:
            score += p * 0.8
        n = sum(ord(ch) > 127 for ch in w)
        if n:
            score += n * 0.5
    import math
    rounded = math.floor(score + 0.5)
    return max(1, int(rounded))


def test_matches_a_reference_on_random_text():
    rng = random.Random(7)
    alphabet = "ab ,.!\t\n\u00a0\u3000é日😀\u2009xyz0123456789\x00"
    for _ in range(3000):
        text = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 40)))
        assert tn.count_tokens_fast(text) == reference(text), repr(text)


def test_batch_equals_single_calls():
    rng = random.Random(3)
    texts = ["".join(rng.choice("ab cd,é\n") for _ in range(rng.randint(0, 300))) for _ in range(1500)]
    assert tn.count_tokens_fast_batch(texts) == [tn.count_tokens_fast(t) for t in texts]
    assert tn.count_tokens_fast_batch([]) == []
    assert tn.count_tokens_fast_batch(["", "   ", "abc"]) == [0, 1, 1]
    assert tn.count_tokens_fast_batch(("", "   ", "abc")) == [0, 1, 1]


def test_huge_text():
    text = "word " * 2_000_000
    assert tn.count_tokens_fast(text) == 2_000_000
    assert tn.count_tokens_fast("x" * 50_000_000) == 1 + round((50_000_000 - 10) * 0.25)


def test_str_subclass_is_text():
    class S(str):
        pass
    assert tn.count_tokens_fast(S("a b")) == 2


@pytest.mark.parametrize("bad", [b"abc", 1.5, ["a"], None])
def test_non_str_is_refused(bad):
    with pytest.raises(TypeError) as info:
        tn.count_tokens_fast(bad)
    assert info.value.__notes__ == ["while processing 'text'"]
