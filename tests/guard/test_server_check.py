"""The server-side tier against a guard server on loopback."""

from __future__ import annotations

import copy
import socket

import pytest

from tavrix_observe.client import TavrixObserveClient

FAILED = "Server-side prompt guard failed: %s"


def test_unconfigured_client_returns_none_silently(guard, guard_log):
    assert not TavrixObserveClient.is_configured()
    assert guard._server_check_prompt("some text") is None
    assert guard_log.records == []


def test_answer_is_returned_and_request_carries_text_model_and_key(guard, guard_server):
    guard_server.configure_client()
    guard_server.answer = {"violations": ["toxic"], "redacted_text": "r"}
    assert guard._server_check_prompt("hello", "gpt-4o") == {"violations": ["toxic"], "redacted_text": "r"}
    assert guard._server_check_prompt(text="alone") == {"violations": ["toxic"], "redacted_text": "r"}
    first, second = guard_server.requests
    assert first["path"] == "/api/v1/observe/prompt-guard"
    assert first["body"] == {"text": "hello", "model": "gpt-4o"}
    assert first["headers"]["Authorization"] == "Bearer tvx_sk_test"
    assert second["body"] == {"text": "alone", "model": ""}


def unused_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.parametrize("setup", ["unreachable", "slow", "not json", "http 500", "list answer"])
def test_server_failure_leaves_local_findings_and_one_debug_line(guard, guard_server, guard_log, setup):
    guard_server.configure_client(timeout=0.3)
    if setup == "unreachable":
        TavrixObserveClient.configure(api_key="k", base_url=f"http://127.0.0.1:{unused_port()}", timeout=0.3)
    elif setup == "slow":
        guard_server.delay = 1.0
    elif setup == "not json":
        guard_server.raw = b"\x00\xffnot json"
    elif setup == "http 500":
        guard_server.status = 500
    elif setup == "list answer":
        guard_server.answer = ["violations"]
    assert guard._server_check_prompt("text", "m") is None
    guard.configure(True, True, "block")
    guard_log.clear()
    result = guard.check_prompt([{"role": "user", "content": "password: hunter2"}])
    assert result.violations == ["Credential detected: password"] and result.source == "local"
    [record] = guard_log.records
    assert record.levelname == "DEBUG" and record.msg == FAILED
    assert isinstance(record.args[0], Exception)
    if setup == "list answer":
        assert record.getMessage() == "Server-side prompt guard failed: Expected dict, got list"


def test_client_class_missing_is_a_failure(guard, monkeypatch, guard_log):
    import tavrix_observe.client

    monkeypatch.delattr(tavrix_observe.client, "TavrixObserveClient")
    assert guard._server_check_prompt("text") is None
    assert "cannot import name 'TavrixObserveClient'" in guard_log.records[0].getMessage()


# --- the server tier through check_prompt ---------------------------------


def test_server_only_finding_is_redacted_from_every_message(guard, guard_server):
    """The server saw a person's name; the replay removes it from chat-style
    and block-style messages and from the system prompt."""
    messages = [
        {"role": "user", "content": "Please email Jim Hill at jim@example.com"},
        {"role": "assistant", "content": [{"type": "text", "text": "Sure, Jim Hill it is."}, {"type": "image"}]},
    ]
    system = "You help Jim Hill."
    scanned = guard._extract_text(messages, system)
    guard_server.answer = {
        "violations": [{"type": "person", "detail": "PII detected: person"}],
        "redacted_text": scanned.replace("Jim Hill", "[PERSON]").replace("jim@example.com", "[EMAIL]"),
    }
    guard_server.configure_client()
    guard.configure(True, True, "redact")
    before = copy.deepcopy(messages)

    result = guard.check_prompt(messages, "gpt-4o", system)

    assert messages == before
    assert result.action == "redact" and result.passed is False and result.source == "both"
    assert result.violations == ["PII detected: email", "[server] PII detected: person"]
    assert result.redacted_messages == [
        {"role": "user", "content": "Please email [PERSON] at ##EMAIL##"},
        {"role": "assistant", "content": [{"type": "text", "text": "Sure, [PERSON] it is."}, {"type": "image"}]},
    ]
    assert result._redacted_system == "You help [PERSON]."
    sent = repr(result.redacted_messages) + result._redacted_system
    assert "Jim Hill" not in sent and "jim@example.com" not in sent
    assert guard_server.requests[0]["body"] == {"text": scanned, "model": "gpt-4o"}


def test_placeholder_sharing_letters_with_the_name_replaces_whole_words(guard, guard_server):
    """The server's placeholders share letters with the names and with the
    words around them; the replay still swaps whole names and leaves every
    other word as it was."""
    messages = [
        {"role": "user", "content": "Hi Emma, thanks for the comma. Ask Alex about flexible plans."},
        {"role": "user", "content": [{"type": "text", "text": "Peter Parker called about Emma."}]},
    ]
    scanned = guard._extract_text(messages, "")
    guard_server.answer = {
        "violations": [{"type": "person", "detail": "PII detected: person"}],
        "redacted_text": scanned.replace("Peter Parker", "<PERSON>").replace("Emma", "[NAME]").replace("Alex", "[NAME]"),
    }
    guard_server.configure_client()
    guard.configure(True, True, "redact")

    result = guard.check_prompt(messages, "gpt-4o")

    assert result.action == "redact" and result.violations == ["[server] PII detected: person"]
    assert result.redacted_messages == [
        {"role": "user", "content": "Hi [NAME], thanks for the comma. Ask [NAME] about flexible plans."},
        {"role": "user", "content": [{"type": "text", "text": "<PERSON> called about [NAME]."}]},
    ]


def test_server_findings_merge(guard, guard_server):
    guard_server.configure_client()
    guard.configure(True, True, "block")
    guard_server.answer = {"violations": ["PII detected: email", "X", "X", {"type": "no detail"}]}
    result = guard.check_prompt([{"role": "user", "content": "mail a@b.com"}])
    assert result.violations == [
        "PII detected: email",
        "[server] X",
        "[server] X",
        "[server] {'type': 'no detail'}",
    ]
    assert result.source == "both"


@pytest.mark.parametrize(
    "answer, source, violations",
    [
        ({"violations": []}, "local", []),
        ({"violations": ["toxic"]}, "both", ["[server] toxic"]),  # a server-only finding is "both" too
        ({}, "local", []),
    ],
)
def test_server_source(guard, guard_server, answer, source, violations):
    guard_server.configure_client()
    guard_server.answer = answer
    guard.configure(True, True, "block")
    result = guard.check_prompt([{"role": "user", "content": "clean text"}])
    assert result.source == source and result.violations == violations
    assert result.action == ("allow" if not violations else "block")


def test_empty_server_violations_still_supply_redacted_text(guard, guard_server):
    guard_server.configure_client()
    guard_server.answer = {"violations": [], "redacted_text": "ssn ##SSN## for [X]"}
    guard.configure(True, True, "redact")
    result = guard.check_prompt([{"role": "user", "content": "ssn 123-45-6789 for Alex"}])
    assert result.source == "local"
    assert result.redacted_messages == [{"role": "user", "content": "ssn ##SSN## for [X]"}]


@pytest.mark.parametrize("bad", [None, 5])
def test_server_violation_without_get_raises(guard, guard_server, bad):
    guard_server.configure_client()
    guard_server.answer = {"violations": ["fine", bad]}
    guard.configure(True, True, "block")
    with pytest.raises(AttributeError):
        guard.check_prompt([{"role": "user", "content": "text"}])


def test_server_tier_under_urllib_instrumentation(guard, guard_server):
    """With the urllib auto-instrumentation on, the guard's exchange is one
    client span on the SDK's observe API, and the guard works as before."""
    from opentelemetry.instrumentation.urllib import URLLibInstrumentor
    from opentelemetry.sdk.trace import TracerProvider
    from opentelemetry.sdk.trace.export import SimpleSpanProcessor
    from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

    exporter = InMemorySpanExporter()
    provider = TracerProvider()
    provider.add_span_processor(SimpleSpanProcessor(exporter))
    instrumentor = URLLibInstrumentor()
    instrumentor.instrument(tracer_provider=provider)
    try:
        guard_server.configure_client()
        guard_server.answer = {"violations": ["toxic"]}
        guard.configure(True, True, "block")
        result = guard.check_prompt([{"role": "user", "content": "hello"}])
    finally:
        instrumentor.uninstrument()
    assert result.violations == ["[server] toxic"]
    [span] = exporter.get_finished_spans()
    url = span.attributes.get("url.full") or span.attributes.get("http.url")
    assert url == guard_server.url + "/api/v1/observe/prompt-guard"
