"""The engine against Python's `re`: the same leftmost match, the same
substitution, the same character membership, code point for code point.

Patterns are drawn from the syntax the engine serves (every flag
combination, local flags, the case-folding specials), texts from a small
alphabet holding the characters where `re`'s rules are subtle, in every
storage width."""

from __future__ import annotations

import re

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

# Characters whose handling differs between rules: case-folding specials
# (long s, dotless i, dotted I, Kelvin sign, micro sign, sharp s, final
# sigma), non-ASCII digits, spaces and letters, a line feed, and characters
# of the two- and four-byte storage widths.
SPECIALS = [
    "a", "b", "k", "K", "\u212a", "s", "S", "\u017f", "i", "I", "\u0130", "\u0131", "\u00b5", "\u03bc", "\u00df",
    "\u03c3", "\u03c2", "\u03a3", "1", "9", "\u0663", "\U0001d7d8", " ", "\t", "\n", "\xa0", "\u2028", "\x85", "_",
    "-", ".", "@", ":", "\u00e9", "\u00c9", "\U0001d400", "\u01c5",
]
WORDS = ["ab", "key", "sk-", "x@", "secret", "pass", "\u0130d", "\u017fs"]

ATOMS = [
    "a", "b", "k", "s", "i", "I", "\u0130", "\u0131", "\u017f", "\u212a", "\u00b5", "\u03c3", "1", "\u00e9", " ", "-",
    "@", ":", r"\.", ".", r"\d", r"\D", r"\s", r"\S", r"\w", r"\W", "[ab]", "[^a]", "[a-k]", r"[\d\s]", r"[^\W\d]",
    "[k-s]", "[\u0130\u0131]", r"[^\n]", "[A-Z|a-z]", "[\u00e0-\u00ff]", r"[\w-]", "[\u2020-\U0001d7ff]", "[^k]",
    "[S-s]", "[\u03a3-\u03c9]", "key", "sk-", "secret", "ab", "x@", "pass",
]
ASSERTIONS = ["^", "$", r"\A", r"\Z", r"\b", r"\B"]
QUANTIFIERS = ["*", "+", "?", "{2}", "{0,2}", "{1,3}", "{2,}", "{,2}", "{0}"]
LOCAL_FLAGS = ["i", "m", "s", "a", "-i", "i-s", "x"]
FLAG_SETS = [f for f in range(16)]  # every combination of I, M, S, A below
FLAG_BITS = [re.IGNORECASE, re.MULTILINE, re.DOTALL, re.ASCII]


def flags_of(bits: int) -> int:
    return sum(flag for i, flag in enumerate(FLAG_BITS) if bits >> i & 1)


@st.composite
def patterns(draw, depth: int = 0, repeats_left: int = 2):
    """A pattern of the supported syntax; repeats nest at most
    `repeats_left` deep, so that re's own backtracking stays short."""
    kind = draw(st.integers(0, 9)) if depth < 3 else 0
    if kind <= 2:
        return draw(st.sampled_from(ATOMS))
    if kind == 3:
        return draw(st.sampled_from(ASSERTIONS))
    inner = patterns(depth + 1, repeats_left)
    if kind <= 5:
        return "".join(draw(st.lists(inner, min_size=2, max_size=3)))
    if kind == 6:
        branches = draw(st.lists(st.one_of(inner, st.just("")), min_size=2, max_size=3))
        return "(?:" + "|".join(branches) + ")"
    if kind == 7:
        return "(" + draw(inner) + ")"
    if kind == 8:
        return f"(?{draw(st.sampled_from(LOCAL_FLAGS))}:{draw(inner)})"
    if repeats_left == 0:
        return draw(inner)
    body = draw(patterns(depth + 1, repeats_left - 1))
    lazy = "?" if draw(st.booleans()) else ""
    return "(?:" + body + ")" + draw(st.sampled_from(QUANTIFIERS)) + lazy


def texts(max_fragments: int = 12, max_chars: int = 14):
    fragment = st.one_of(st.sampled_from(SPECIALS), st.sampled_from(WORDS))
    return st.lists(fragment, max_size=max_fragments).map(lambda parts: "".join(parts)[:max_chars])


def compiled(source: str, bits: int):
    try:
        return re.compile(source, flags_of(bits))
    except (re.error, ValueError, OverflowError):
        assume(False)


def expected_span(pattern, text):
    m = pattern.search(text)
    return m.span() if m else None


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(source=patterns(), bits=st.sampled_from(FLAG_SETS), samples=st.lists(texts(), min_size=1, max_size=5))
def test_random_patterns_search_and_substitute_as_re(probe, source, bits, samples):
    pattern = compiled(source, bits)
    assert probe.refusal(pattern) is None, source
    # The simulation alone, and the backtracking attempt in front of it
    # (what large programs take), must answer alike.
    for backtracking in (False, True):
        probe.backtrack_first(backtracking)
        try:
            for text in samples:
                want = expected_span(pattern, text)
                assert probe.search(pattern, text) == want, (source, text, backtracking)
                assert probe.exists(pattern, text) == (want is not None), (source, text, backtracking)
                assert probe.sub(pattern, "#", text) == pattern.sub("#", text), (source, text, backtracking)
        finally:
            probe.backtrack_first(False)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    sources=st.lists(st.tuples(patterns(), st.sampled_from(FLAG_SETS)), min_size=1, max_size=6),
    samples=st.lists(texts(), min_size=1, max_size=4),
)
def test_random_tables_scan_as_re(probe, sources, samples):
    check_scan(probe, [compiled(source, bits) for source, bits in sources], samples)


# Long texts reach what short ones do not: runs that stop and are
# triggered again further on, the byte filter's blocks. Repeats do not
# nest here, so that re stays quick on them.
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    sources=st.lists(st.tuples(patterns(repeats_left=1), st.sampled_from(FLAG_SETS)), min_size=1, max_size=8),
    pieces=st.lists(st.tuples(texts(max_fragments=4, max_chars=20), st.integers(1, 40)), min_size=1, max_size=12),
)
def test_random_tables_scan_long_texts_as_re(probe, sources, pieces):
    text = "".join(piece * times for piece, times in pieces)
    check_scan(probe, [compiled(source, bits) for source, bits in sources], [text])


def check_scan(probe, table, samples):
    for backtracking in (False, True):
        probe.backtrack_first(backtracking)
        try:
            check_scan_once(probe, table, samples)
        finally:
            probe.backtrack_first(False)


# Replacements shorter, as long as and longer than matches, one of them
# made of what literals hold (a replacement can complete an occurrence).
REPLACEMENTS = ["", "#", "<x@ab>"]


def check_scan_once(probe, table, samples, replacements=REPLACEMENTS):
    for text in samples:
        # As built for the table's size, and with every program that has
        # literals sent to the literal pass (what large tables do).
        for grouped_at_most in (64, 0):
            exists = probe.scan(table, text, False, grouped_at_most)
            first = probe.scan(table, text, True, grouped_at_most)
            for pattern, found, span in zip(table, exists, first):
                want = expected_span(pattern, text)
                assert found == (True if want is not None else None), (pattern, text, grouped_at_most)
                assert span == want, (pattern, text, grouped_at_most)
            # The table substituted in turn, each substitution within its
            # windows and each scan after one carrying the last one over.
            for repl in replacements:
                want = text
                for pattern in table:
                    want = pattern.sub(repl, want)
                got, _ = probe.redact(table, text, repl, grouped_at_most)
                assert got == want, (table, text, repl, grouped_at_most)


# Rules with literals whose occurrences the texts are full of, substituted
# in turn: replacements move, split and make occurrences, which the scans
# after each substitution must carry over exactly.
LITERAL_RULES = [
    r"key\d", r"\w*sk-", r"ab.{0,3}x@", r"(?i)secret\s*\S+", r"pass\b", r"\bab", r"(?i)k.?ey", r"x@[a-z]{2}",
    r"(?s).*pass", r"[\w.-]{0,5}?key\s*[:=]?\s*\w+", r"ab(?:cd)?", r"\d?sk-\w*",
]


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    rules=st.lists(st.sampled_from(LITERAL_RULES), min_size=2, max_size=8),
    bits=st.sampled_from([0, 1, 2, 4]),
    pieces=st.lists(st.tuples(texts(max_fragments=6, max_chars=24), st.integers(1, 4)), min_size=1, max_size=8),
)
def test_literal_rules_substituted_in_turn_as_re(probe, rules, bits, pieces):
    text = "".join(piece * times for piece, times in pieces)
    check_scan_once(probe, [compiled(rule, bits) for rule in rules], [text])


# Replacements that complete or split the table's longest literal at either
# edge, an occurrence moved onto a lead's bound, and a rule that matches
# only after an earlier one's replacement.
REDACTION_CASES = [
    ([r"\d", r"secret\w"], "secre1tX secre22tY 9secretZ", ""),
    ([r"#", r"secret\w", r"key"], "#ecretX secre# k#y", "s"),
    ([r"[0-9]", r"secret\w"], "secret1X 2secretY", "t"),
    ([r"q+", r".{3}key\d"], "qqqabkey1 qkey2 ab qq key3", "Z"),
    ([r"a", r"(?i)xx\b", r"bb\d$"], "xa xab bab1\nbab2", "x"),
]


@pytest.mark.parametrize("sources, text, repl", REDACTION_CASES)
def test_hand_made_redactions_as_re(probe, sources, text, repl):
    check_scan_once(probe, [re.compile(source) for source in sources], [text, text * 3, text[::-1]],
                    [repl, *REPLACEMENTS])


# Hand-made cases the random grammar reaches rarely: backtracking's choices
# among alternatives and repeats, the zero-width rule of repeats whose body
# can match empty, assertions at the edges, global and verbose flags.
CASES = [
    (r"(?:|a)*", "aa"), (r"(?:a|)*", "aa"), (r"(?:|a){2,}b", "aab"), (r"(?:(?:|a)*b)*", "abab"),
    (r"(?:a?)*?b", "aab"), (r"(?:|a)+", "aa"), (r"(?:(?:)|a){1,3}", "aaa"), (r"(?:a|ab)(?:c|bcd)", "abcd"),
    (r"(a*)*b", "aaac"), (r"(?:a*b)|a", "aaaa"), (r"x*", "abc"), (r"a|", "bab"), (r"\b", ""), (r"\B", ""),
    (r"\B", "a"), (r"$", "a\n"), (r"(?m)^b$", "a\nb\nc"), (r"\Z", "a\n"), (r"(?s).+", "a\nb"), (r".+", "a\nb"),
    (r"(?i)\u212a+", "kK\u212a"), (r"(?i)[a-z]+", "\u017f\u0131\u212aX"), (r"(?ia)[a-z]+", "\u017f\u0131\u212aX"),
    (r"(?x) a  b  # comment", "ab"), (r"(?i:s)S", "\u017fS"), (r"(?a)\w+\b", "caf\u00e9 x"), (r"\w+\b", "caf\u00e9 x"),
    (r"\d+", "1\u0663\U0001d7d8\u00b2"), (r"\s+", "\x1c\x85\xa0\u2028 "), (r"[^\W\d_]+", "ab_1\u00e9"),
    # re's search skips start positions by a set it compiles with the
    # global flags, although the group's local flags choose ASCII or
    # Unicode otherwise: it never finds these matches, and neither may we.
    (r"(?a:\S)", "\xa0"), (r"(?a:\S)x", "y\xa0x"), (r"(?a)(?u:\s)", "\xa0"), (r"(?a:(?u:\s))", "\xa0"),
    (r"(?a)(?u:\s)+", " \xa0"),
]


@pytest.mark.parametrize("source,text", CASES)
@pytest.mark.parametrize("backtracking", [False, True])
def test_hand_made_cases_as_re(probe, source, text, backtracking):
    pattern = re.compile(source)
    assert probe.refusal(pattern) is None
    probe.backtrack_first(backtracking)
    try:
        for start in range(len(text) + 1):
            m = pattern.search(text, start)
            assert probe.search(pattern, text, start) == (m.span() if m else None), start
        assert probe.sub(pattern, "<>", text) == pattern.sub("<>", text)
    finally:
        probe.backtrack_first(False)


OUTSIDE = [
    r"(a)\1", r"(?=a)a", r"(?!a)b", r"(?<=a)b", r"(?<!a)b", r"(a)?(?(1)b|c)", r"(?>a+)b", r"a*+", r"a++b",
    r"a{2}+", r"a{30000}", "(" * 150 + "a" + ")" * 150,
]


@pytest.mark.parametrize("source", OUTSIDE)
def test_patterns_outside_the_syntax_are_refused(probe, source):
    assert probe.refusal(re.compile(source)) is not None


def test_other_objects_are_refused(probe):
    class Searcher:
        def search(self, text):
            return None

    assert probe.refusal(re.compile(b"a")) is not None  # bytes
    assert probe.refusal(Searcher()) is not None
    assert probe.refusal("a") is not None


# One-character patterns whose class the engine evaluates from the
# interpreter's own code for it, against re over every code point.
CLASS_SHAPES = [
    (r"\d", 0), (r"\d", re.A), (r"\D", 0), (r"\s", 0), (r"\s", re.A), (r"\S", 0), (r"\w", 0), (r"\w", re.A),
    (r"\W", 0), (r"\W", re.A), (".", 0), (".", re.S), ("k", re.I), ("k", re.I | re.A), ("s", re.I), ("i", re.I),
    ("I", re.I | re.A), ("\u0131", re.I), ("\u0130", re.I), ("\u00df", re.I), ("\u00b5", re.I), ("\u03c3", re.I),
    ("\u01c5", re.I), ("\u212a", re.I), ("\u017f", re.I), ("[^k]", re.I), ("[^k]", 0), ("[a-z]", re.I),
    ("[^a-z]", re.I), ("[A-Z|a-z]", 0), ("[a-zA-Z0-9]", re.I), (r"[\d\s]", 0), (r"[^\W\d]", re.I), ("[k-s]", re.I),
    ("[k-s]", re.I | re.A), ("[\u03a3-\u03c9]", re.I), ("[\u0400-\u04ff]", re.I), ("[\U00010400-\U0001044f]", re.I),
    ("[0-9a-f\u0100-\u0180]", 0),
]


@pytest.fixture(scope="module")
def every_code_point():
    return "".join(map(chr, range(0x110000)))


@pytest.mark.parametrize("source,flags", CLASS_SHAPES)
def test_classes_contain_what_re_matches_at_every_code_point(probe, every_code_point, source, flags):
    pattern = re.compile(source, flags)
    assert probe.non_members(pattern) == pattern.sub("", every_code_point)


# A lead repeating one class before a literal: searched from the literal,
# the lead read backwards (the reverse-suffix strategy). Texts are built
# from pieces that sit on its seams: the literal whole, cut, in capitals
# and with the Kelvin sign, overlapping itself; characters that end the
# lead's class just before it; line feeds for `.`.
LEAD_SHAPES = [
    r".*kiss", r"(?s).*kiss", r"\S*kiss", r"\w*kiss", r"[\w.-]*?kiss", r"(?i)[\w.-]{0,50}?kiss\s*=\s*\w+",
    r"(?i)\w{2,4}kiss\d", r"a*?ab", r"a{0,3}ab", r"a{2,4}?aab", r"[ab]{1,3}ab", r".*?ab.", r"(?s).+?ab",
    r".{1,}kk", r"(?i)\S*k\u212a", r"\w*kiss\b", r"(?m)\S*kis$", r"(?s).*kiss.*s", r"\w*kis*k", r"[^k]*kiss",
    r"(\w*)(kiss)\d?", r"(?:[ab]*?(?:ab))b",
    # Wide counted repeats: after a literal, before a class, lazy, case
    # folded, one after another.
    r"k[a-z]{1,20}s", r"k[a-z]{1,20}?s\d?", r"(?i)k[^\W\d]{0,17}ss", r"a[ab]{2,20}\d", r"[a-z]{2,20}\d",
    r"(?i)[a-z]{0,16}[\d=]", r"ki[\w.-]{0,20}k[a-z]{0,20}s", r"k\S{1,18}?k\w{0,2}", r"(?s)k.{3,20}?s",
    r"(?i)k[a-z]{2,19}\u212a", r"a[ab]{0,16}ab\b", r"(?m)k\w{1,20}s$", r"x[a-z]{16,40}k[a-z]{0,20}s",
]
LEAD_PIECES = [
    "kiss", "KISS", "kis", "k", "s", "kisskiss", "\u212aiss", "ab", "a", "aa", "b", "x", " ", "\n", "=", "1", ".", "-",
    "\u00e9", "\U0001d400", "kk", "abab", "y",
]


@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    source=st.sampled_from(LEAD_SHAPES),
    texts=st.lists(st.lists(st.sampled_from(LEAD_PIECES), max_size=30).map("".join), min_size=1, max_size=4),
    start=st.integers(0, 60),
)
def test_lead_before_a_literal_as_re(probe, source, texts, start):
    pattern = re.compile(source)
    assert probe.strategy(pattern) == "reverse_suffix", source
    for text in texts:
        for pos in {0, min(start, len(text))}:
            m = pattern.search(text, pos)
            assert probe.search(pattern, text, pos) == (m.span() if m else None), (source, text, pos)
        assert probe.exists(pattern, text) == (pattern.search(text) is not None), (source, text)
        assert probe.sub(pattern, "#", text) == pattern.sub("#", text), (source, text)
    # In a table larger than one pass, through the literal pass's windows.
    table = [pattern] + [re.compile(rf"filler{i}\d") for i in range(70)]
    check_scan_once(probe, table, texts)


# Long texts: stretches of the lead's class then the literal, and texts on
# which confirming the rest from every literal would read the text again
# and again (the strategy then hands over to the core search).
LONG_LEAD_CASES = [
    (r"\S*kiss", ("x" * 200 + "kiss ") * 50),
    (r"\S*kiss\d", ("x" * 200 + "kiss ") * 50 + "kiss1"),
    (r".*kiss", "a" * 3000 + "kiss" + "b" * 3000 + "\n" + "kiss"),
    (r"(?s).*kiss", "a\n" * 3000 + "kiss" + "b" * 3000),
    (r"\w*kiss.*x", "kiss" * 300),
    (r"\w*kiss.*x", "kiss" * 300 + "x"),
    (r"(?s).*?kiss.*x", "kiss " * 300 + "x"),
    (r"[a-z]{0,40}kiss\w{0,40}", ("abc" * 30 + "kiss" + "d" * 50 + " ") * 40),
    (r"x[a-z]{100,500}y", "x" * 3000 + "y"),
    (r"x[a-z]{100,500}?y", ("x" + "ay" * 80 + " ") * 30),
    (r"x[a-z]{100,500}y", ("x" + "ay" * 300 + " ") * 10),
    (r"[a-z]{100,500}\d", "a" * 3000 + "1" + "a" * 99 + "2"),
]


@pytest.mark.parametrize("source,text", LONG_LEAD_CASES)
def test_lead_before_a_literal_on_long_texts_as_re(probe, source, text):
    pattern = re.compile(source)
    assert probe.strategy(pattern) == "reverse_suffix"
    for pos in (0, 1, len(text) // 2):
        m = pattern.search(text, pos)
        assert probe.search(pattern, text, pos) == (m.span() if m else None), pos
    assert probe.sub(pattern, "#", text) == pattern.sub("#", text)


# Shapes that keep the core strategy: an assertion, an alternation or a
# group right after the lead, a lead of a fixed count or of more than one
# class, no literal after it, re's start set from the global flags.
@pytest.mark.parametrize("source", [
    r"\w*\bkiss", r"\w*(?:kiss|bus)", r"a{3}b", r"(?:ab)*ab", r"\w*", r"kiss\w*", r"\w*\d", r"[ab]*[^a]b",
])
def test_other_shapes_keep_the_core_strategy(probe, source):
    assert probe.strategy(re.compile(source)) == "core"


# Long alternations of words: every match starts with one of many
# literals, found by the literal automaton (the literal-alternation
# strategy). Words that are prefixes of each other and share their
# beginnings test that the first alternative in pattern order wins at a
# start, not the longest; with word boundaries, case folding, and after a
# table's literal pass (windows: the core search).
ALTERNATION_WORDS = [
    "kis", "kiss", "ki", "kisses", "a", "ab", "abk", "ba", "bab", "k\u00e9", "sk", "ss", "is", "iss", "bk", "kb",
    "aab", "kk",
]
ALTERNATION_PIECES = ["kiss", "KISS", "\u212aiss", "ki", "s", "ab", "a", "b", "k", " ", "-", "\u00e9", "\U0001d400"]


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    words=st.permutations(ALTERNATION_WORDS),
    frame=st.sampled_from(["(?:{})", r"\b(?:{})\b", "(?i)(?:{})", "(?:{})s?", r"(?i)\b(?:{})\w{{0,2}}"]),
    texts=st.lists(st.lists(st.sampled_from(ALTERNATION_PIECES), max_size=25).map("".join), min_size=1, max_size=4),
)
def test_long_alternations_as_re(probe, words, frame, texts):
    pattern = re.compile(frame.format("|".join(words)))
    assert probe.strategy(pattern) == "literal_alternation", pattern
    for text in texts:
        for pos in range(0, len(text) + 1, 3):
            m = pattern.search(text, pos)
            assert probe.search(pattern, text, pos) == (m.span() if m else None), (pattern, text, pos)
        assert probe.exists(pattern, text) == (pattern.search(text) is not None), (pattern, text)
        assert probe.sub(pattern, "#", text) == pattern.sub("#", text), (pattern, text)
    check_scan_once(probe, [pattern] + [re.compile(rf"filler{i}\d") for i in range(70)], texts)


def test_few_literals_keep_the_core_strategy(probe):
    assert probe.strategy(re.compile("(?:" + "|".join(ALTERNATION_WORDS[:8]) + ")")) == "core"
    # Literals that do not start every match.
    assert probe.strategy(re.compile(r"\w(?:" + "|".join(ALTERNATION_WORDS) + ")")) == "core"


# Counted repeats at their bounds (one fewer, the least, the most, one
# more), with the literal after them (reverse suffix) or before them (the
# backtracking attempt first, on its own).
@pytest.mark.parametrize("source,strategy", [
    (r"a{100,150}b", "reverse_suffix"), (r"[ab]{3,6}?b", "reverse_suffix"), (r"\w{2,4}=", "reverse_suffix"),
    (r"x[a-z]{100,150}y", "reverse_suffix"), (r"x[a-z]{100,150}?y?", "literal_backtrack"),
    (r"[a-z]{100,150}\d", "reverse_suffix"), (r"x[a-z]{100,150}?\d", "reverse_suffix"),
    (r"(?i)x[A-Z]{100,150}Y", "reverse_suffix"), (r"x[a-z]{100,150}1[a-z]{100,150}2", "reverse_suffix"),
])
def test_counted_repeats_at_their_bounds_as_re(probe, source, strategy):
    pattern = re.compile(source)
    assert probe.strategy(pattern) == strategy
    low, high = map(int, re.search(r"\{(\d+),(\d+)\}", source).groups())
    for count in (low - 1, low, high, high + 1):
        for text in ("a" * count + "b", "x" + "a" * count + "y", "xx" + "ab" * count + "by", "=" + "q" * count + "=",
                     "xX" + "A" * count + "y1", "x" + "a" * count + "1" + "a" * count + "2",
                     "x" + "a" * count + "1" + "b" * (count + 2) + "2"):
            m = pattern.search(text)
            assert probe.search(pattern, text) == (m.span() if m else None), (source, count, text)
            assert probe.sub(pattern, "#", text) == pattern.sub("#", text), (source, count, text)
