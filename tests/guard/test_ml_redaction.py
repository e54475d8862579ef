"""Rebuilding the server's redactions as pairs and replaying them."""

from __future__ import annotations

import _thread
import copy
import difflib
import random
import threading
import time

import pytest


@pytest.mark.parametrize(
    "original, redacted, expected",
    [
        ("same", "same", []),
        ("", "x", []),
        ("x", "", []),
        ("call 555-1234 now", "call now", []),  # a pure deletion gives no pair
        ("bob and alice went", "[X] and [Y] went", [("alice", "[Y]"), ("bob", "[X]")]),
        ("Email bob at work and ask bob", "Email [PERSON] at work and ask [PERSON]", [("bob", "[PERSON]")] * 2),
        ("say bob now", "say [P] now", [("bob", "[P]")]),
        ("x", "[" + "P" * 62 + "]", [("x", "[" + "P" * 62 + "]")]),  # 64 characters: kept
        ("x", "[" + "P" * 63 + "]", []),  # 65 characters: dropped
        # Whole words, even where the placeholder shares letters with the
        # name or with the words around it.
        ("Hi Emma, thanks for the comma", "Hi [NAME], thanks for the comma", [("Emma", "[NAME]")]),
        ("Ask Alex about flexible plans", "Ask [NAME] about flexible plans", [("Alex", "[NAME]")]),
        ("Peter Parker called", "<PERSON> called", [("Peter Parker", "<PERSON>")]),
        ("Meet Anna and Hannah", "Meet [NAME] and [NAME]", [("Hannah", "[NAME]"), ("Anna", "[NAME]")]),
        ("call María Ñúñez now", "call [PERSONA] now", [("María Ñúñez", "[PERSONA]")]),
        ("to 東京 via 𝔘lm", "to [地名] via [CITY]", [("𝔘lm", "[CITY]"), ("東京", "[地名]")]),
        ("snake_case_name here", "[ID] here", [("snake_case_name", "[ID]")]),  # "_" is a word character
    ],
)
def test_ml_substitutions(guard, original, redacted, expected):
    assert guard._ml_substitutions(original, redacted) == expected


@pytest.mark.parametrize(
    "original, redacted",
    [
        ("Hi Emma, thanks for the comma", "Hi [NAME], thanks for the comma"),
        ("Ask Alex about flexible plans", "Ask [NAME] about flexible plans"),
        ("Peter Parker called", "<PERSON> called"),
        ("Dear Sam, Samantha and Sammy send regards.", "Dear [NAME], [NAME] and [NAME] send regards."),
        ("Ship to Paris, then Lyon, then Nantes.", "Ship to [LOCATION], then [LOCATION], then [LOCATION]."),
    ],
)
def test_whole_word_edits_replay_exactly(guard, original, redacted):
    pairs = guard._ml_substitutions(original, redacted)
    assert guard._apply_substitutions(original, pairs) == redacted


def test_replacement_matcher_gets_token_lists(guard, monkeypatch):
    """An application's SequenceMatcher is called with the two texts' word
    tokens, as lists of str, and its opcodes index those lists."""
    calls = []

    class Matcher:
        def __init__(self, isjunk, a, b, autojunk=True):
            calls.append((isjunk, a, b, autojunk))

        def get_opcodes(self):
            # a[1:6] is "  bob  ", b[1:8] is "  [NAME]  "
            return [("equal", 0, 1, 0, 1), ("replace", 1, 6, 1, 8), ("equal", 6, 7, 8, 9)]

    monkeypatch.setattr(difflib, "SequenceMatcher", Matcher)
    assert guard._ml_substitutions("go  bob  on", "go  [NAME]  on") == [("bob", "[NAME]")]
    [(isjunk, a, b, autojunk)] = calls
    assert isjunk is None and autojunk is False
    assert a == ["go", " ", " ", "bob", " ", " ", "on"]
    assert b == ["go", " ", " ", "[", "NAME", "]", " ", " ", "on"]
    assert type(a) is list and all(type(t) is str for t in a + b)


def test_replacement_matcher_indices_slice_like_python(guard, monkeypatch):
    """Negative and open indices slice the token lists as Python slicing does;
    a matcher that changed its lists is read as changed."""

    class Matcher:
        def __init__(self, isjunk, a, b, autojunk=True):
            a[0] = "Hello"

        def get_opcodes(self):
            return [("replace", 0, -2, None, 1), ("replace", -1, None, 2, None)]

    monkeypatch.setattr(difflib, "SequenceMatcher", Matcher)
    assert guard._ml_substitutions("Hi you two", "X x z") == [("Hello you", "X"), ("two", "x z")]


def test_ml_substitutions_failure_gives_empty_list(guard, monkeypatch):
    opcodes = [("replace", 0, 1)]  # too few values to unpack
    matcher = type("M", (), {"__init__": lambda self, *a, **k: None, "get_opcodes": lambda self: opcodes})
    monkeypatch.setattr(difflib, "SequenceMatcher", matcher)
    assert guard._ml_substitutions("abc", "xyz") == []
    opcodes[:] = [("replace", 0, 1.5, 0, 1)]  # not an index
    assert guard._ml_substitutions("abc", "xyz") == []
    monkeypatch.delattr(difflib, "SequenceMatcher")
    assert guard._ml_substitutions("abc", "xyz") == []


def test_ml_substitutions_lets_keyboard_interrupt_through(guard, monkeypatch):
    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(difflib, "SequenceMatcher", interrupted)
    with pytest.raises(KeyboardInterrupt):
        guard._ml_substitutions("abc", "xyz")


def prompt_with_names(size, names=40, seed=3):
    """About `size` characters of words with `names` names, and the server's
    copy with each name replaced by a placeholder."""
    rng = random.Random(seed)
    words = [rng.choice(["the", "report", "said", "that", "our", "plan", "works", "well", "enough,"])
             for _ in range(size // 5)]
    original, redacted = list(words), list(words)
    for k, at in enumerate(sorted(rng.sample(range(len(words)), names))):
        original[at], redacted[at] = f"Name{k}", "[NAME]"
    return " ".join(original), " ".join(redacted)


def test_keyboard_interrupt_cuts_a_long_diff_short(guard):
    # Ctrl-C during the diff of a 1 MB prompt is honoured between blocks of
    # the native diff, as during Python code, not when the diff ends; and the
    # next call gives the whole answer again.
    original, redacted = prompt_with_names(1_000_000)
    start = time.perf_counter()
    expected = guard._ml_substitutions(original, redacted)
    full = time.perf_counter() - start
    assert len(expected) == 40
    timer = threading.Timer(min(0.01, full / 10), _thread.interrupt_main)
    start = time.perf_counter()
    with pytest.raises(KeyboardInterrupt):
        timer.start()
        guard._ml_substitutions(original, redacted)
        timer.join()
        time.sleep(full)  # where the diff ended first, the interrupt lands here
    cut = time.perf_counter() - start
    timer.join()
    assert cut < full / 2, (cut, full)
    assert guard._ml_substitutions(original, redacted) == expected


def test_apply_substitutions(guard):
    assert guard._apply_substitutions("ask bob about bobby", [("bob", "[PERSON]")]) == "ask [PERSON] about [PERSON]by"
    # later pairs see the output of earlier ones
    assert guard._apply_substitutions("alice", [("alice", "bob"), ("bob", "[P]")]) == "[P]"
    text = "nothing to see"
    assert guard._apply_substitutions(text, []) is text
    assert guard._apply_substitutions(text, [("absent", "[X]"), ("", "[E]")]) is text


@pytest.mark.parametrize(
    "pairs, error, message",
    [
        ([("a", "b", "c")], ValueError, "too many values to unpack (expected 2)"),
        ([("a",)], ValueError, "need more than 1 value to unpack"),
        ([(1, "x")], TypeError, "'in <string>' requires string as left operand, not int"),
        ([("a", 1)], TypeError, "replace() argument 2 must be str, not int"),
    ],
)
def test_apply_substitutions_bad_pairs_raise(guard, pairs, error, message):
    with pytest.raises(error) as info:
        guard._apply_substitutions("a text", pairs)
    assert str(info.value) == message


def test_redact_messages_ml(guard):
    image = {"type": "image"}
    messages = [
        {"role": "user", "content": "Bob Stone mailed a@b.com"},
        {"role": "user", "content": [image, {"type": "text", "text": "ask Bob Stone"}]},
        {"role": "assistant"},
        {"role": "tool", "content": None},
        "raw",
    ]
    before = copy.deepcopy(messages)
    pairs = [("Bob Stone", "[PERSON]")]
    redacted, system = guard._redact_messages_ml(messages, "Bob Stone is the user", pairs)
    assert messages == before
    assert redacted == [
        {"role": "user", "content": "[PERSON] mailed ##EMAIL##"},
        {"role": "user", "content": [image, {"type": "text", "text": "ask [PERSON]"}]},
        {"role": "assistant", "content": ""},
        {"role": "tool", "content": None},
        "raw",
    ]
    assert system == "[PERSON] is the user"
    assert redacted[1]["content"][0] is image
    assert redacted[4] is messages[4]


def test_redact_messages_ml_without_pairs_is_the_local_redaction(guard, monkeypatch):
    local = ([{"content": "x"}], None)
    monkeypatch.setattr(guard, "_redact_messages", lambda messages, system: local)
    out = guard._redact_messages_ml([], "", [])
    assert out == local and out[0] is local[0]
    # a falsy system text comes back as "" once pairs are applied
    assert guard._redact_messages_ml([], "", [("x", "[X]")]) == ([{"content": "[X]"}], "")
