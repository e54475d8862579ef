"""The prompt guard's pattern tables: the module's own engine against re.

- Ordinary text (English-like filler, with and without findings): the full
  scan (the three detectors) and _redact_text, native against the
  plain-Python guard (re) in the same process; for reference the same
  scan with the `regex` module and with RE2 when installed (RE2's \\b and
  \\w are ASCII-only, so it answers differently on non-English text: a
  speed reference only).
- Hostile inputs, time by size per detector: the engine's time per KB
  stays flat (re takes minutes on some of them from 200 KB on).
"""

from __future__ import annotations

import re

import pyref_guard as _pyref
from bench_guard import FINDINGS, filler
from harness import format_ns, per_call_ns

from tavrix_observe.instrumentors import _guard

pyref_guard = _pyref.load()

try:
    import regex as regex_module
except ImportError:  # the bench extra is not installed
    regex_module = None
try:
    import re2 as re2_module
except ImportError:
    re2_module = None


def reference_scanner(compile_one):
    """The three detectors' loops over the built-in tables compiled with another engine."""
    pii = [(label, compile_one(p)) for label, p in _guard._PII_PATTERNS.items()]
    credentials = [(label, compile_one(p)) for label, p in _guard._CREDENTIAL_PATTERNS.items()]
    injection = [compile_one(p) for p in _guard._INJECTION_PATTERNS]

    def scan(text: str):
        found = [f"PII detected: {label}" for label, p in pii if p.search(text)]
        found += [f"Credential detected: {label}" for label, p in credentials if p.search(text)]
        for p in injection:
            m = p.search(text)
            if m:
                found.append(f"Prompt injection pattern: '{m.group()}'")
        return found

    return scan


def references():
    out = {}
    if regex_module is not None:
        out["regex"] = reference_scanner(lambda p: regex_module.compile(p.pattern, p.flags))
    if re2_module is not None:
        out["RE2"] = reference_scanner(lambda p: re2_module.compile(("(?i)" if p.flags & re.I else "") + p.pattern))
    return out


def full_scan(guard):
    return lambda text: guard._detect_pii(text) + guard._detect_credentials(text) + guard._detect_injection(text)


def ordinary_text(size: int, findings: bool) -> str:
    return filler(size, 21) + (FINDINGS if findings else "")


def main() -> None:
    refs = references()
    native_scan, re_scan = full_scan(_guard), full_scan(pyref_guard)
    names = ["native", "re", *refs]
    print("\nPrompt guard pattern tables on ordinary text (ratio = re time / native time)")
    print(f"  {'case':38}" + "".join(f"{n:>11}" for n in names) + f"{'ratio':>9}")
    for size in (2_000, 100_000):
        for findings in (False, True):
            text = ordinary_text(size, findings)
            label = f"{size // 1000} KB, {'findings' if findings else 'clean'}"
            assert native_scan(text) == re_scan(text)
            assert _guard._redact_text(text) == pyref_guard._redact_text(text)
            rows = {
                f"full scan, {label}": [lambda: native_scan(text), lambda: re_scan(text),
                                        *[lambda s=s: s(text) for s in refs.values()]],
                f"_redact_text, {label}": [lambda: _guard._redact_text(text), lambda: pyref_guard._redact_text(text)],
            }
            for name, fns in rows.items():
                times = [per_call_ns(fn) for fn in fns]
                cells = "".join(f"{format_ns(t):>11}" for t in times) + " " * 11 * (len(names) - len(times))
                print(f"  {name:38}{cells}{times[1] / times[0]:>8.1f}x")

    print("\nHostile inputs, native only: time per KB by size (flat = linear), and per call at 1 MB")
    shapes = {
        "e-mail: 'a.' repeated": (lambda n: "a." * (n // 2), "_detect_pii"),
        "e-mail: 'x@' then 'a.' repeated": (lambda n: "x@" + "a." * (n // 2), "_detect_pii"),
        "digits and dashes": (lambda n: "1234-" * (n // 5), "_detect_pii"),
        "a digit run": (lambda n: "7" * n, "_detect_pii"),
        "near-miss SSNs": (lambda n: "123-45-678 " * (n // 11), "_detect_pii"),
        "keyword then blanks": (lambda n: "password" + " " * n + "x", "_detect_credentials"),
        "'sk-' then alphanumerics": (lambda n: "sk-" + "a1" * (n // 2), "_detect_credentials"),
        "'ghp_' then alphanumerics": (lambda n: "ghp_" + "Zz" * (n // 2), "_detect_credentials"),
        "injection words": (lambda n: "ignore all all all " * (n // 19), "_detect_injection"),
        "nested repeats, 'word ' repeated": (lambda n: "word " * (n // 5), "_detect_pii"),
    }
    sizes = (10_000, 100_000, 1_000_000)
    print(f"  {'shape':36} {'detector':20}" + "".join(f"{s // 1000:>7} KB" for s in sizes) + f"{'1 MB':>11}")
    table = dict(_guard._PII_PATTERNS)
    try:
        for name, (make, detector) in shapes.items():
            if name.startswith("nested"):
                _guard._PII_PATTERNS["corp_mail"] = re.compile(r"(?:[a-z]+\s?)+@corp\b")
            fn = getattr(_guard, detector)
            times = []
            for size in sizes:
                text = make(size)
                times.append(per_call_ns(lambda: fn(text), min_time=0.02, repeats=3))
            per_kb = [t / (size / 1000) for t, size in zip(times, sizes)]
            print(f"  {name:36} {detector:20}" + "".join(f"{format_ns(t):>10}" for t in per_kb)
                  + f"{format_ns(times[-1]):>11}")
    finally:
        _guard._PII_PATTERNS.clear()
        _guard._PII_PATTERNS.update(table)


if __name__ == "__main__":
    main()
