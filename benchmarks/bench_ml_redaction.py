"""_ml_substitutions (the server's redactions rebuilt by a token diff) against
the plain-Python version, which diffs the same tokens with difflib.

Prompts are English-like filler with 50 names scattered through them; the
server's copy has each name replaced by a placeholder that shares letters
with it. difflib's time grows with the square of the token count, so it runs
only where it finishes in reasonable time. The hard shapes for the diff are
timed natively by size, with difflib at the smallest size.
"""

from __future__ import annotations

import random
import re

import pyref_guard as _pyref
from bench_guard import filler
from harness import format_ns, per_call_ns

from tavrix_observe.instrumentors import _guard

pyref_guard = _pyref.load()

NAMES = ["Emma Stone", "Alex", "Peter Parker", "Anna", "Samantha Lee", "Omar", "Lena Marsh", "Ravi"]
PLACEHOLDERS = ["[NAME]", "<PERSON>", "[PERSON]"]

# Largest token count at which the difflib side is timed.
DIFFLIB_TOKENS = 5_000


def prompt_with_names(size: int, names: int = 50, seed: int = 11) -> tuple[str, str]:
    """A prompt of about `size` characters with `names` names, and the server's
    copy with every name replaced by a placeholder."""
    words = filler(size, seed).split(" ")
    rng = random.Random(seed)
    original, redacted = list(words), list(words)
    for k, at in enumerate(sorted(rng.sample(range(len(words)), names))):
        original[at] = NAMES[k % len(NAMES)]
        redacted[at] = PLACEHOLDERS[k % len(PLACEHOLDERS)]
    return " ".join(original), " ".join(redacted)


def hard_shapes(size: int) -> dict[str, tuple[str, str]]:
    words = size // 8
    return {
        "one repeated token": ("," * size, "," * (size // 2) + "[X]" + "," * (size // 2 - 1)),
        "every word replaced": (" ".join(f"w{i}" for i in range(words)), " ".join("[X]" for _ in range(words))),
        "equal-length ties": ("a b " * (size // 4),
                              "".join("[X] " if k % 3 == 2 else "ab"[k % 2] + " " for k in range(size // 2))),
        "blocks growing to the right": growing_blocks(size),
    }


def growing_blocks(size: int) -> tuple[str, str]:
    """Unchanged stretches of 1, 2, 3, ... words, each followed by an edit: every
    step of the diff splits its longest block off the right end."""
    original, redacted, run, n = [], [], 1, 0
    while sum(map(len, original)) < size:
        for _ in range(run):
            original.append(f"w{n} ")
            redacted.append(f"w{n} ")
            n += 1
        original.append("Alex ")
        redacted.append("[NAME] ")
        run += 1
    return "".join(original), "".join(redacted)


def tokens(text: str) -> int:
    return len(re.findall(r"\w+|\W", text))


def row(name: str, original: str, redacted: str, difflib_repeats: int = 3) -> None:
    ours = _guard._ml_substitutions(original, redacted)
    native = per_call_ns(lambda: _guard._ml_substitutions(original, redacted), min_time=0.2, repeats=5)
    python = "-"
    if tokens(original) <= DIFFLIB_TOKENS:
        assert ours == pyref_guard._ml_substitutions(original, redacted), name
        python_ns = per_call_ns(lambda: pyref_guard._ml_substitutions(original, redacted), min_time=0.2,
                                repeats=difflib_repeats)
        python = f"{format_ns(python_ns):>10}  {python_ns / native:>8.1f}x"
    print(f"  {name:<34}  {tokens(original):>9}  {format_ns(native):>10}  {python}")


def main() -> None:
    header = f"  {'case':<34}  {'tokens':>9}  {'native':>10}  {'difflib':>10}  {'ratio':>9}"
    print("\n_guard._ml_substitutions, 50 names replaced (difflib where it finishes in reasonable time)")
    print(header)
    for size in (2_000, 10_000, 100_000, 1_000_000):
        row(f"{size // 1000} KB prompt", *prompt_with_names(size))

    print("\n_guard._ml_substitutions, hard shapes for the diff (difflib at 1 KB only, one run: seconds each)")
    print(header)
    for size in (1_000, 100_000, 1_000_000):
        for name, (original, redacted) in hard_shapes(size).items():
            row(f"{name}, {size // 1000} KB", original, redacted, difflib_repeats=1)


if __name__ == "__main__":
    main()
