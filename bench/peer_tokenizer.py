"""Pure-Python version of the fast token estimate, as a Python user would write it."""
import math

_WS = frozenset("\t\n\x0b\x0c\r \x85\xa0\u1680\u2028\u2029\u202f\u205f\u3000" + "".join(chr(c) for c in range(0x2000, 0x200B)))
_PUNCT = frozenset(chr(c) for c in (*range(33, 48), *range(58, 65), *range(91, 97), *range(123, 127)))


def count_tokens_fast(text: str) -> int:
    if not text:
        return 0
    words = text.split()  # str.split() splits on the same White_Space set plus \x1c-\x1f
    if not words:
        return 1
    score = 0.0
    for word in words:
        score += 1.0
        n = len(word.encode())
        if n > 10:
            score += (n - 10) * 0.25
        elif n > 6:
            score += 0.3
        p = sum(1 for ch in word if ch in _PUNCT)
        if p:
            score += p * 0.8
        na = sum(1 for ch in word if ord(ch) > 127)
        if na:
            score += na * 0.5
    return max(1, int(math.floor(score + 0.5)))
