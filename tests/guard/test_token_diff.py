"""The native token diff against difflib: the same opcodes for the same
tokens, the same pairs as the plain-Python guard, the genuine SequenceMatcher
told from a replaced or modified one, and the hard shapes at 1 MB."""

from __future__ import annotations

import builtins
import collections
import difflib
import re
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import pyref_guard

pyref = pyref_guard.load()  # the plain-Python guard

TOKENS = re.compile(r"\w+|\W")

# Texts in every storage width of str: Latin-1, the basic plane, astral.
WORD_CHARS = ["abcéßÿXYZ09_", "abcéß中東ǅΩ٣_", "abcé中𝔘𝟙_"]
OTHER_CHARS = [" \t\n,.-[]<>\xa0\x85", " ,.[]\u0301\u2028\u3000—", " ,[]<>😀\u0301"]
PLACEHOLDERS = ["[NAME]", "<PERSON>", "[LOCATION]", "X", "[地名]", "[😀]", "[" + "P" * 70 + "]"]

# The fixtures these tests use (the module, the guard's default settings)
# hold nothing that one example could leave behind for the next.
fast_settings = settings(max_examples=200, deadline=None,
                         suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])


def difflib_opcodes(a, b):
    return difflib.SequenceMatcher(None, a, b, autojunk=False).get_opcodes()


@st.composite
def edited_texts(draw):
    """A text of words and separators in one storage width, and a copy in which
    some words are replaced by placeholders (often sharing letters with them),
    some deleted, and placeholders inserted."""
    width = draw(st.integers(0, 2))
    words = st.text(alphabet=WORD_CHARS[width], min_size=1, max_size=6)
    separators = st.text(alphabet=OTHER_CHARS[width], min_size=1, max_size=2)
    pieces = draw(st.lists(st.tuples(words, separators), max_size=14))
    placeholder = st.sampled_from(PLACEHOLDERS) | words.map(lambda w: f"[{w}]") | words.map(str.upper)
    original, redacted = [], []
    for word, sep in pieces:
        original.append(word + sep)
        edit = draw(st.sampled_from(["keep", "keep", "keep", "replace", "replace", "insert", "delete"]))
        if edit == "keep":
            redacted.append(word + sep)
        elif edit == "replace":
            redacted.append(draw(placeholder) + sep)
        elif edit == "insert":
            redacted.append(word + sep + draw(placeholder) + sep)
        else:
            redacted.append(sep)
    return "".join(original), "".join(redacted)


any_texts = st.integers(0, 2).flatmap(
    lambda w: st.tuples(*[st.text(alphabet=WORD_CHARS[w] + OTHER_CHARS[w], max_size=30)] * 2)
)


class PlainMatcher(difflib.SequenceMatcher):
    """difflib's algorithm, but not the genuine class: the general path."""


# --- opcodes ----------------------------------------------------------------


@pytest.mark.parametrize(
    "a, b",
    [
        ([], []),
        ([], ["x"]),
        (["x"], []),
        (["x"], ["x"]),
        (["x"], ["y"]),
        (list("abxcd"), list("abcd")),
        (list("qabxcd"), list("abycdf")),
        ([" "] * 40, [" "] * 25),  # one repeated token
        (list("ab" * 20), list("ba" * 20)),  # equal-length ties everywhere
        (["é", "e\u0301", "ß"], ["e\u0301", "é", "ss"]),  # equal only by code points
        (["a", "\U0001d518", "中"], ["中", "\U0001d518", "a"]),
    ],
)
def test_token_opcodes_hand_made(guard, a, b):
    assert guard._token_opcodes(a, b) == difflib_opcodes(a, b)


@fast_settings
@given(
    st.lists(st.sampled_from(["a", "b", "c", " ", "é", "中", "𝔘"]), max_size=60),
    st.lists(st.sampled_from(["a", "b", "c", " ", "é", "中", "𝔘", "d"]), max_size=60),
)
def test_token_opcodes_match_difflib(guard, a, b):
    assert guard._token_opcodes(a, b) == difflib_opcodes(a, b)


@fast_settings
@given(edited_texts())
def test_token_opcodes_match_difflib_on_edited_texts(guard, texts):
    a, b = (TOKENS.findall(t) for t in texts)
    assert guard._token_opcodes(a, b) == difflib_opcodes(a, b)


def test_token_opcodes_takes_lists_of_str(guard):
    with pytest.raises(TypeError, match="Expected str, got int"):
        guard._token_opcodes(["a", 1], ["a"])
    with pytest.raises(TypeError, match="Argument 'b_tokens' has incorrect type"):
        guard._token_opcodes(["a"], ("a",))


# --- pairs --------------------------------------------------------------------


def expected_pairs(original, redacted):
    """The pairs rebuilt from difflib's opcodes over the same tokens."""
    if not original or not redacted or original == redacted:
        return []
    a, b = TOKENS.findall(original), TOKENS.findall(redacted)
    pairs = []
    for tag, i1, i2, j1, j2 in difflib_opcodes(a, b):
        found, placeholder = "".join(a[i1:i2]).strip(), "".join(b[j1:j2]).strip()
        if tag == "replace" and found and placeholder and len(placeholder) <= max(64, 2 * len(found)):
            pairs.append((found, placeholder))
    return sorted(pairs, key=lambda p: len(p[0]), reverse=True)


@fast_settings
@given(edited_texts() | any_texts)
def test_pairs_match_difflib_both_paths_and_python(guard, texts):
    original, redacted = texts
    fast = guard._ml_substitutions(original, redacted)
    assert fast == expected_pairs(original, redacted)
    assert fast == pyref._ml_substitutions(original, redacted)
    difflib.SequenceMatcher, genuine = PlainMatcher, difflib.SequenceMatcher
    try:
        assert guard._ml_substitutions(original, redacted) == fast
    finally:
        difflib.SequenceMatcher = genuine


@fast_settings
@given(edited_texts() | any_texts)
def test_general_path_gets_the_regex_tokens(guard, texts):
    seen = []

    class Recording(difflib.SequenceMatcher):
        def __init__(self, isjunk, a, b, autojunk=True):
            seen.append((a, b))
            super().__init__(isjunk, a, b, autojunk)

    original, redacted = texts
    difflib.SequenceMatcher, genuine = Recording, difflib.SequenceMatcher
    try:
        guard._ml_substitutions(original, redacted)
    finally:
        difflib.SequenceMatcher = genuine
    if original and redacted and original != redacted:
        assert seen == [(TOKENS.findall(original), TOKENS.findall(redacted))]


WORD = st.text(alphabet="abcdefghijklmnopqrstuvwxyzéñ中𝔘", min_size=3, max_size=8)


@fast_settings
@given(st.data())
def test_whole_word_replacements_replay_to_the_redacted_text(guard, data):
    """Replacing whole words (each used once, none inside another word or a
    placeholder) gives pairs that turn the original into the redacted text."""
    words = data.draw(st.lists(WORD, min_size=2, max_size=25, unique=True))
    placeholders = ["[NAME]", "<PERSON>", "[LOCATION]", "[name]", "<person>"]
    every = words + placeholders
    if any(w in other for w in words for other in every if other != w):
        return
    separators = data.draw(st.lists(st.sampled_from([" ", ", ", "\n", " - ", ". "]), min_size=len(words),
                                    max_size=len(words)))
    chosen = data.draw(st.sets(st.integers(0, len(words) - 1), min_size=1))
    original = "".join(w + s for w, s in zip(words, separators))
    redacted = "".join((data.draw(st.sampled_from(placeholders)) if i in chosen else w) + s
                       for i, (w, s) in enumerate(zip(words, separators)))
    pairs = guard._ml_substitutions(original, redacted)
    assert guard._apply_substitutions(original, pairs) == redacted


# --- which path runs ----------------------------------------------------------


def difflib_frames(call):
    """The names of difflib's Python functions that run during call()."""
    names = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_filename == difflib.__file__:
            names.append(frame.f_code.co_name)

    sys.setprofile(profile)
    try:
        result = call()
    finally:
        sys.setprofile(None)
    return names, result


ORIGINAL = "Hi Emma, thanks for the comma. Ask Alex about flexible plans."
REDACTED = "Hi [NAME], thanks for the comma. Ask [NAME] about flexible plans."
PAIRS = [("Emma", "[NAME]"), ("Alex", "[NAME]")]


def run(guard):
    return difflib_frames(lambda: guard._ml_substitutions(ORIGINAL, REDACTED))


def test_genuine_matcher_runs_no_python(guard):
    assert run(guard) == ([], PAIRS)


def _renamed_code(function):
    return function.__code__.replace(co_name=function.__code__.co_name)


@pytest.mark.parametrize(
    "change",
    [
        pytest.param(lambda mp: mp.setattr(difflib, "SequenceMatcher", PlainMatcher), id="subclass"),
        pytest.param(lambda mp: mp.setattr(difflib.SequenceMatcher, "get_opcodes",
                                           lambda self, _f=difflib.SequenceMatcher.get_opcodes: _f(self)),
                     id="patched method"),
        pytest.param(lambda mp: mp.setattr(difflib.SequenceMatcher.find_longest_match, "__code__",
                                           _renamed_code(difflib.SequenceMatcher.find_longest_match)),
                     id="patched code"),
        pytest.param(lambda mp: mp.setattr(difflib.SequenceMatcher, "extra", 1, raising=False), id="new attribute"),
        pytest.param(lambda mp: mp.setattr(difflib, "Match", collections.namedtuple("Match", "a b size")),
                     id="other Match"),
        pytest.param(lambda mp: mp.setattr(difflib.Match, "__lt__", tuple.__lt__, raising=False),
                     id="Match method added"),
        pytest.param(lambda mp: mp.setattr(difflib.Match, "_make", classmethod(lambda cls, it: tuple.__new__(cls, it))),
                     id="Match method replaced"),
        pytest.param(lambda mp: mp.setattr(difflib, "len", len, raising=False), id="difflib name hiding a builtin"),
        pytest.param(lambda mp: mp.setattr(builtins, "enumerate", lambda *a, _e=enumerate: _e(*a)), id="builtin replaced"),
    ],
)
def test_changed_matcher_takes_the_general_path(guard, monkeypatch, change):
    change(monkeypatch)
    names, pairs = run(guard)
    assert "get_opcodes" in names and pairs == PAIRS
    monkeypatch.undo()  # restored: the native diff again
    assert run(guard) == ([], PAIRS)


def test_replacement_opcode_tags_compare_as_python_does(guard, monkeypatch):
    """`if tag != "replace": continue`, with the tag's own comparison and no
    shortcut for an identical object."""

    class Tag(str):
        def __ne__(self, other):
            return str(self) != "equal"  # only the equal block is kept

    class TaggingMatcher(PlainMatcher):
        def get_opcodes(self):
            return [(Tag(tag), *rest) for tag, *rest in super().get_opcodes()]

    monkeypatch.setattr(difflib, "SequenceMatcher", TaggingMatcher)
    assert guard._ml_substitutions("a b", "a c") == [("a", "a")]
    assert pyref_guard._ml_substitutions("a b", "a c") == [("a", "a")]


def test_matcher_captured_before_a_replacement(fresh_module, monkeypatch):
    """A module created while difflib.SequenceMatcher is not difflib's own
    class never takes the native diff for it."""
    monkeypatch.setattr(difflib, "SequenceMatcher", PlainMatcher)
    module = fresh_module("tavrix_observe.instrumentors._guard")
    names, pairs = run(module)
    assert "get_opcodes" in names and pairs == PAIRS


def test_both_paths_leave_nothing_behind(guard, block_growth):
    a, b = TOKENS.findall(ORIGINAL), TOKENS.findall(REDACTED)

    def calls():
        guard._ml_substitutions(ORIGINAL, REDACTED)
        guard._token_opcodes(a, b)
        difflib.SequenceMatcher, genuine = PlainMatcher, difflib.SequenceMatcher
        try:
            guard._ml_substitutions(ORIGINAL, REDACTED)
        finally:
            difflib.SequenceMatcher = genuine
        try:
            guard._token_opcodes(a, [1])
        except TypeError:
            pass

    assert block_growth(calls, rounds=300) < 60


# --- the hard shapes ----------------------------------------------------------

MB = 1_000_000


@pytest.mark.parametrize(
    "original, redacted",
    [
        pytest.param("," * MB, "," * (MB // 2) + "[X]" + "," * (MB // 2 - 1), id="one repeated token"),
        pytest.param(" ".join(f"w{i}" for i in range(MB // 8)), " ".join("[X]" for i in range(MB // 8)),
                     id="every word replaced"),
        pytest.param("a b " * (MB // 4), "".join("[X] " if k % 3 == 2 else "ab"[k % 2] + " " for k in range(MB // 2)),
                     id="equal-length ties"),
        pytest.param(" ".join(f"w{i}" for i in range(MB // 8)),
                     " ".join(f"w{i}" if i % 40 else "[NAME]" for i in range(MB // 8)), id="edits every 40 words"),
    ],
)
def test_hard_shapes_at_one_megabyte_complete(guard, original, redacted):
    assert isinstance(guard._ml_substitutions(original, redacted), list)
