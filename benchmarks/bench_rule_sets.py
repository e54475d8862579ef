r"""The guard with an application's rule sets in its tables: the module's own
engine against the plain-Python guard (re) in the same process.

- Every public rule set in ../shared/patterns (skipped, with a note, where
  the folder is absent), keyword-in-context rules, and the built-in tables;
  on prose and on code, clean and with planted hits, at 2 KB, 100 KB and
  1 MB: the detector and _redact_text, native against re.
- The first call with a new table (its compile) and the memory it adds.
- Shapes that made the engine slower than re: large counted repeats, a long
  alternation of words, many patterns led by an unbounded repeat, a large
  table on a short text, a very long repeat's compile.
- Single patterns by shape (a lead before a literal, counted repeats over a
  class, many hits, long alternations of words), each alone in its table,
  on texts where no early hit ends the search: native and re timed in
  interleaved rounds in this process (medians).

For reference, RE2's set matcher (which rules match anywhere) where the
`bench` extra installs it: it takes the rules RE2's syntax accepts, with
ASCII-only \b and \w, so it is a speed reference, not the same question.
"""

from __future__ import annotations

import random
import re
import time

import pyref_guard as _pyref
import rule_sets
from bench_guard import filler
from harness import format_ns, interleaved_ns, per_call_ns

from tavrix_observe.instrumentors import _guard

pyref_guard = _pyref.load()

try:
    import re2 as re2_module
except ImportError:  # the bench extra is not installed
    re2_module = None


def re2_set(table):
    """RE2's set matcher over the rules it accepts, or None."""
    if re2_module is None:
        return None
    options = re2_module.Options()
    options.max_mem = 1 << 30
    options.log_errors = False
    matcher = re2_module.Set.SearchSet(options)
    added = 0
    for p in table.values():
        try:
            matcher.Add(("(?i)" if p.flags & re.IGNORECASE else "") + p.pattern)
            added += 1
        except Exception:  # outside RE2's syntax
            pass
    matcher.Compile()
    return matcher, added

TABLE_SLOTS = ("_PII_PATTERNS", "_CREDENTIAL_PATTERNS", "_INJECTION_PATTERNS")


def code_text(size: int, seed: int) -> str:
    rng = random.Random(seed)
    names = ["client", "config", "request", "session", "user_id", "payload", "retries", "timeout", "base_url"]
    lines = []
    length = 0
    while length < size:
        name, other = rng.choice(names), rng.choice(names)
        line = rng.choice([
            f"    {name} = {other}.get('{rng.choice(names)}', {rng.randint(0, 999)})\n",
            f"def {name}_{rng.randint(0, 99)}({other}, *args, **kwargs):\n",
            f"    if not {name}:\n        raise ValueError(f\"missing {{{other}!r}}\")\n",
            f"    return {{'{name}': {other}, 'count': len({other})}}\n",
            f"# {filler(60, rng.randint(0, 999)).strip()}\n",
        ])
        lines.append(line)
        length += len(line)
    return "".join(lines)[:size]


def memory_kb() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4  # resident pages of 4 KB


class Tables:
    """Puts tables into both guards, and the built-in ones back after."""

    def __enter__(self):
        self.saved = {m: {s: getattr(m, s) for s in TABLE_SLOTS} for m in (_guard, pyref_guard)}
        return self

    def put(self, slot: str, table) -> None:
        for module in (_guard, pyref_guard):
            setattr(module, slot, table)

    def __exit__(self, *exc):
        for module, slots in self.saved.items():
            for slot, table in slots.items():
                setattr(module, slot, table)


def timed(fn, size: int) -> float:
    if size >= 1_000_000:
        return per_call_ns(fn, min_time=0.0, repeats=3)
    return per_call_ns(fn, min_time=0.02 if size >= 100_000 else 0.05, repeats=5)


def row(label: str, native, python, size: int, check=True, reference=None) -> tuple[float, float]:
    if check:
        assert native() == python(), label
    n, p = timed(native, size), timed(python, size)
    extra = f"{format_ns(timed(reference, size)):>12}" if reference else ""
    print(f"  {label:58}{format_ns(n):>11}{format_ns(p):>11}{p / n:>9.1f}x{extra}")
    return n, p


def header(title: str, reference: str = "") -> None:
    print(f"\n{title}")
    print(f"  {'case':58}{'native':>11}{'re':>11}{'ratio':>10}{reference:>12}")


def fresh(table):
    """The same rules as new pattern objects (a table the engine has not met)."""
    re.purge()
    if isinstance(table, dict):
        return {k: re.compile(p.pattern, p.flags) for k, p in table.items()}
    return [re.compile(p.pattern, p.flags) for p in table]


def application_tables():
    tables = {}
    for name in rule_sets.RULE_FILES:
        table = rule_sets.rule_set(name)
        if table is None:
            print(f"\n(skipped: {rule_sets.missing_reason()})")
            continue
        tables[f"{name} ({len(table):,} rules)"] = table
    tables["keyword-in-context (200 rules)"] = rule_sets.keyword_rules(200)
    return tables


def shape_cases():
    """(label, slot, table, function name, text) for each shape."""
    english = filler(200_000, 9)
    clean = english.replace("kiss", "kist")
    lead_text = clean + " kiss"
    lines = "\n".join(clean[i:i + 80] for i in range(0, len(clean), 80)) + " kiss"
    stretches = "".join("x" * 200 + "kiss " for _ in range(1_000))
    rng = random.Random(11)
    kic_text = []
    length = 0
    while length < 188_000:
        piece = filler(40, rng.randint(0, 999)) + f" token.kiss = v{rng.randint(0, 999)} "
        kic_text.append(piece)
        length += len(piece)
    kic_text = "".join(kic_text)[:188_000]
    hits = " ".join(f"kiss{rng.choice(['ab', 'x9', '', 'kiss'])}" for _ in range(50_000))
    random_words = ["".join(rng.choice("bcdfghjklmnpqrstvwxz") for _ in range(rng.randint(5, 9))) for _ in range(500)]
    cases = []
    for source in (r"(?s).*kiss", r".*kiss", r"\S*kiss", r"\w*kiss", r"[\w.-]*?kiss"):
        for function in ("_redact_text", "_detect_injection"):
            cases.append((f"{source}, 200 KB then it, {function}", source, function, lead_text))
    cases.append((r".*kiss, 200 KB in lines of 80 then it, _detect_injection", r".*kiss", "_detect_injection", lines))
    cases.append((r"\S*kiss, 1,000 stretches of 200 then it, _detect_injection", r"\S*kiss", "_detect_injection",
                  stretches))
    cases.append((r"(?i)[\w.-]{0,50}?kiss\s*=\s*\w+, 188 KB, 4,000 hits, _redact_text",
                  r"(?i)[\w.-]{0,50}?kiss\s*=\s*\w+", "_redact_text", kic_text))
    for source in (r"kiss\w{0,40}", r"kiss[^k]{0,3}kiss"):
        cases.append((f"{source}, 50,000 hits, _redact_text", source, "_redact_text", hits))
    cases.append((r"a{100,500}b, 20,000 a's, detector", r"a{100,500}b", "_detect_credentials", "a" * 20_000))
    lowercase = "".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(20_000))
    cases.append((r"x[a-z]{100,500}y, 20,000 lowercase letters without y, detector", r"x[a-z]{100,500}y",
                  "_detect_credentials", lowercase.replace("y", "x")))
    cases.append((r"[a-z]{100,500}\d, 20,000 a's, detector", r"[a-z]{100,500}\d", "_detect_credentials",
                  "a" * 20_000))
    for k in (25, 100):
        sources = [rf"\w*word{i}\d" for i in range(k)]
        text = english[:50_000 - 12 * k] + " ".join(f"word{i}7" for i in range(k))
        cases.append((f"{k} rules \\w*wordN\\d, one hit each at the end, 50 KB, _redact_text", sources,
                      "_redact_text", text))
    for count, bounded in ((500, False), (500, True), (50, False)):
        body = "(?:" + "|".join(random_words[:count]) + ")"
        source = rf"\b{body}\b" if bounded else body
        within = " in \\b..\\b" if bounded else ""
        label = f"a {count}-word alternation{within}, 200 KB English, detector"
        cases.append((label, source, "_detect_credentials", english))
    return cases


def shapes_by_strategy(t: Tables) -> None:
    header("Single patterns by shape, each alone in its table (interleaved rounds, medians)")
    for label, sources, function, text in shape_cases():
        patterns = [re.compile(s) for s in ([sources] if isinstance(sources, str) else sources)]
        t.put("_PII_PATTERNS", {})
        t.put("_INJECTION_PATTERNS", patterns if function == "_detect_injection" else [])
        t.put("_CREDENTIAL_PATTERNS",
              {} if function == "_detect_injection" else {f"p{i}": p for i, p in enumerate(patterns)})
        native, python = getattr(_guard, function), getattr(pyref_guard, function)
        assert native(text) == python(text), label
        n, p = interleaved_ns([lambda: native(text), lambda: python(text)], min_time=0.01, repeats=5)
        print(f"  {label[:72]:72}{format_ns(n):>11}{format_ns(p):>11}{p / n:>9.1f}x")


def main() -> None:
    with Tables() as t:
        shapes_by_strategy(t)
    prose = filler(20_000, 5)
    with Tables() as t:
        header("Application rule sets in _CREDENTIAL_PATTERNS (ratio = re time / native time)",
               "RE2 set" if re2_module else "")
        firsts = []
        for name, table in application_tables().items():
            new = fresh(table)
            t.put("_CREDENTIAL_PATTERNS", new)
            before = memory_kb()
            start = time.perf_counter()
            _guard._detect_credentials("warm up")
            firsts.append((name, (time.perf_counter() - start) * 1e3, (memory_kb() - before) / 1024))
            reference = re2_set(new)
            if reference:
                print(f"  ({name}: RE2's set takes {reference[1]:,} of the rules)")
            for size in (2_000, 100_000, 1_000_000):
                for kind, base in (("prose", prose), ("code", code_text(20_000, 3))):
                    for hits in (0, 8):
                        if size >= 1_000_000 and kind == "code":
                            continue
                        text = rule_sets.planted_text(new, size, size + hits, hits, base)
                        where = f"{size // 1000} KB {kind}, {'hits' if hits else 'clean'}"
                        row(f"{name[:28]}: detector, {where}", lambda: _guard._detect_credentials(text),
                            lambda: pyref_guard._detect_credentials(text), size,
                            reference=(lambda: reference[0].Match(text)) if reference else None)
                        if hits and size < 1_000_000:
                            row(f"{name[:28]}: _redact_text, {where}", lambda: _guard._redact_text(text),
                                lambda: pyref_guard._redact_text(text), size)
        print("\n  First call with a new table (compiling it) and the memory it adds:")
        for name, ms, mb in firsts:
            print(f"    {name:40} {ms:8.1f} ms {mb:+8.1f} MB")

        t.__exit__()
        header("The built-in tables: the three detectors, and _redact_text")
        full = lambda g, text: g._detect_pii(text) + g._detect_credentials(text) + g._detect_injection(text)  # noqa: E731
        for size in (2_000, 100_000, 1_000_000):
            text = rule_sets.planted_text(_guard._CREDENTIAL_PATTERNS, size, 1, 0, prose)
            row(f"full scan, {size // 1000} KB prose", lambda: full(_guard, text), lambda: full(pyref_guard, text), size)
            row(f"_redact_text, {size // 1000} KB prose", lambda: _guard._redact_text(text),
                lambda: pyref_guard._redact_text(text), size)

        header("Shapes that made the engine slower than re")
        english = filler(200_000, 9)
        lowercase = "".join(random.Random(2).choice("abcdefghijklmnopqrstuvwxyz ") for _ in range(50_000))
        words = [f"w{i:03d}{w}" for i, w in enumerate(random.Random(4).choices(
            ["alpha", "beta", "gamma", "delta", "omega", "kappa"], k=500))]
        word_text = " ".join(random.Random(5).choice(words + ["plain", "text"] * 200) for _ in range(110_000))
        shapes = [
            ("(?s).{1000}Z, 100 KB English", [re.compile(r"(?s).{1000}Z")], english[:100_000], False),
            (".{0,200}@, 200 KB English", [re.compile(r".{0,200}@")], english, False),
            ("[a-z]{0,1000}x\\d, 50 KB lowercase", [re.compile(r"[a-z]{0,1000}x\d")], lowercase, False),
            ("a 500-word alternation, 1 MB", [re.compile("(?:" + "|".join(words) + ")")], word_text[:1_000_000],
             False),
            ("100 patterns \\w*word\\d, _redact_text, 100 KB", [re.compile(rf"\w*{w}\d") for w in words[:100]],
             english[:100_000] + " w001beta7 ", True),
            ("1,200 patterns, 24-character text", [re.compile(rf"token{i}[a-z]+\d") for i in range(1200)],
             "a short prompt: token7ab9", False),
        ]
        for label, patterns, text, redact in shapes:
            table = dict(zip((f"p{i}" for i in range(len(patterns))), patterns))
            t.put("_CREDENTIAL_PATTERNS", table)
            _guard._detect_credentials("warm up")
            if redact:
                row(label, lambda: _guard._redact_text(text), lambda: pyref_guard._redact_text(text), len(text))
            else:
                row(label, lambda: _guard._detect_credentials(text), lambda: pyref_guard._detect_credentials(text),
                    len(text))
        for source in (r"\w\wa{19990}", r"\w\wa{9995}"):
            t.put("_CREDENTIAL_PATTERNS", {"long": re.compile(source)})
            start = time.perf_counter()
            _guard._detect_credentials("short")
            print(f"  first call with {source}: {(time.perf_counter() - start) * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
