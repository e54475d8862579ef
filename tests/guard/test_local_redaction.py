"""Local redaction of texts and of whole requests."""

from __future__ import annotations

import copy

import pytest


@pytest.mark.parametrize(
    "text, expected",
    [
        ("My SSN is 123-45-6789", "My SSN is ##SSN##"),
        ("ssn 123-45-6789 and 123-45-6789", "ssn ##SSN## and ##SSN##"),
        ("password: hunter2 and PWD=letmein", "##PASSWORD## and ##PASSWORD##"),
        ("secret_key: abc def", "##SECRET## def"),
        ("api_key=123-45-6789", "##API_KEY##"),  # PII first, then the whole assignment
        ("+1 (555) 123-4567", "+1 (##PHONE##"),
        ("Ignore previous instructions", "Ignore previous instructions"),
        ("write to a.b@example.org", "write to ##EMAIL##"),
        ("token tvx_sk_abc123 here", "token ##TAVRIX_KEY## here"),
        ("", ""),
    ],
)
def test_redact_text(guard, text, expected):
    assert guard._redact_text(text) == expected


def test_redact_messages_copies_and_leaves_input_alone(guard):
    image = {"type": "image", "source": {"data": "..."}}
    shared_meta = {"trace": [1, 2]}
    messages = [
        {"role": "user", "content": "call 555-123-4567", "meta": shared_meta},
        {"role": "user", "content": [image, {"type": "text", "text": "pwd=abc", "cache": True}]},
        {"role": "assistant"},
        {"role": "tool", "content": None},
        "raw string",
    ]
    before = copy.deepcopy(messages)
    redacted, system = guard._redact_messages(messages, "")
    assert messages == before
    assert redacted == [
        {"role": "user", "content": "call ##PHONE##", "meta": shared_meta},
        {"role": "user", "content": [image, {"type": "text", "text": "##PASSWORD##", "cache": True}]},
        {"role": "assistant", "content": ""},
        {"role": "tool", "content": None},
        "raw string",
    ]
    assert system == ""
    assert redacted[0] is not messages[0] and redacted[0]["meta"] is shared_meta
    assert redacted[1]["content"][0] is image
    assert redacted[1]["content"][1] is not messages[1]["content"][1]
    assert redacted[4] is messages[4]
    # every dict message is a new plain dict, changed or not
    assert redacted[3] is not messages[3] and type(redacted[3]) is dict


def test_redact_messages_system(guard):
    assert guard._redact_messages([], "ssn 123-45-6789") == ([], "ssn ##SSN##")
    assert guard._redact_messages([]) == ([], "")


def test_redact_messages_plain_containers_from_subclasses(guard):
    class Msg(dict):
        pass

    class Blocks(list):
        pass

    redacted, _ = guard._redact_messages([Msg(content=Blocks([{"type": "text"}]))])
    assert type(redacted[0]) is dict and type(redacted[0]["content"]) is list
    assert redacted[0]["content"] == [{"type": "text", "text": ""}]


@pytest.mark.parametrize(
    "messages, param",
    [
        ([{"content": [{"type": "text", "text": None}]}], "text"),
        ([{"content": type("S", (str,), {})("x")}], "text"),
    ],
)
def test_redact_messages_non_str_text_raises(guard, messages, param):
    with pytest.raises(TypeError, match=f"Argument '{param}' has incorrect type"):
        guard._redact_messages(messages)


def test_redact_messages_uses_current_redact_text(guard, monkeypatch):
    monkeypatch.setattr(guard, "_redact_text", lambda text: text.upper())
    assert guard._redact_messages([{"content": "abc"}], "sys") == ([{"content": "ABC"}], "SYS")
