"""Record kinds and display names: _resolve_kind, _build_display_name,
_display_name."""

from __future__ import annotations

import enum
from types import MappingProxyType

import pytest
from opentelemetry.trace import SpanKind


@pytest.mark.parametrize(
    "attrs, kind, expected",
    [
        (None, SpanKind.CLIENT, "chain"),
        ({}, 3, "chain"),
        ({"tavrix.span_type": "embedding"}, 0, "llm"),
        ({"tavrix.span_type": "guardrail"}, 0, "governance"),
        ({"tavrix.span_type": "retrieval"}, 0, "retriever"),
        ({"tavrix.span_type": "agent_execution"}, 0, "agent"),
        ({"tavrix.span_type": "custom"}, 0, "chain"),
        ({"tavrix.span_type": "decision", "gen_ai.system": "openai"}, 0, "decision"),
        ({"tavrix.tool.name": "search", "gen_ai.request.model": "gpt-4o"}, 0, "tool"),
        ({"gen_ai.system": "", "gen_ai.request.model": "gpt-4o"}, 0, "llm"),
        ({"http.method": "GET", "openinference.span.kind": "LLM"}, SpanKind.SERVER, "chain"),
        # A read-only mapping, as the tracing SDK hands it over, is read through its get.
        (MappingProxyType({"tavrix.span_type": "tool_call"}), 0, "tool"),
        ({}, 99, "chain"),
    ],
)
def test_resolve_kind(sb, fake_span, attrs, kind, expected):
    assert sb._resolve_kind(fake_span(attributes=attrs, kind=kind)) == expected


def test_resolve_kind_follows_rebound_tables(sb, fake_span, monkeypatch):
    monkeypatch.setitem(sb._SPAN_TYPE_MAP, "custom", "agent")
    monkeypatch.setattr(sb, "_OTEL_KIND_MAP", {2: "retry"})
    assert sb._resolve_kind(fake_span(attributes={"tavrix.span_type": "custom"})) == "agent"
    assert sb._resolve_kind(fake_span(kind=SpanKind.CLIENT)) == "retry"

    class Kind(enum.Enum):
        CLIENT = 2

    assert sb._resolve_kind(fake_span(kind=Kind.CLIENT)) == "retry"


URL = "https://API.Example.COM:8443/v1/x?y=1"

DISPLAY_CASES = [
    ("POST", {"http.request.method": "POST", "url.full": URL}, "POST api.example.com"),
    ("GET", {"http.method": "GET", "server.address": "db.internal"}, "GET db.internal"),
    ("GET", {"http.method": "GET"}, "GET"),
    ("GET", {"http.method": "GET", "url.full": "", "http.url": "http://h.example/x"}, "GET h.example"),
    ("GET", {"http.method": "GET", "http.url": "http://[::1"}, "GET http://[::1"),
    ("PUT", {"http.request.method": "PUT", "http.method": "GET", "url.full": URL}, "PUT api.example.com"),
    ("SELECT", {"db.system": "postgresql", "db.statement": "  select id from documents"}, "pg SELECT"),
    ("GET", {"db.system": "redis"}, "redis GET"),
    ("query", {"db.system": "mongodb", "db.statement": "{ find: 1 }"}, "mongo query"),
    ("q", {"db.system": "postgresql", "db.statement": "(select 1)"}, "pg q"),
    ("q", {"db.system": "oracle", "db.statement": "update t set x=1"}, "oracle UPDATE"),
    ("q", {"db.system": "sqlite", "db.statement": "\u00e9t\u00e9_2 x"}, "sqlite \u00c9T\u00c9_2"),
    ("q", {"db.system": "mysql", "db.statement": "stra\u00dfe"}, "mysql STRASSE"),
    ("call", {"rpc.system": "grpc", "rpc.service": "Greeter", "rpc.method": "SayHello"}, "grpc Greeter.SayHello"),
    ("call", {"rpc.system": "grpc", "rpc.service": "Greeter", "rpc.method": ""}, "call"),
    (
        "call",
        {"rpc.system": "grpc", "rpc.service": "G", "messaging.system": "kafka", "messaging.destination.name": "o"},
        "kafka call o",
    ),
    ("publish", {"messaging.system": "kafka", "messaging.destination.name": "orders"}, "kafka publish orders"),
    ("publish", {"messaging.system": "kafka"}, "publish"),
    ("execute_tool search", {"tavrix.tool.name": "web_search", "http.method": "GET"}, "web_search"),
    ("GET", {"http.method": "GET", "url.full": URL, "db.system": "redis"}, "GET api.example.com"),
    # Parts are joined as str() makes them.
    ("op", {"db.system": 7, "db.statement": "delete"}, "7 DELETE"),
    ("op", {"rpc.system": "x", "rpc.service": 1, "rpc.method": 2.5}, "x 1.2.5"),
]


@pytest.mark.parametrize("span_name, attrs, expected", DISPLAY_CASES)
def test_build_display_name(sb, pyref, span_name, attrs, expected):
    assert sb._build_display_name(span_name, attrs) == expected
    assert pyref._build_display_name(span_name, attrs) == expected


def test_display_name_falls_back_when_the_parser_is_replaced(sb, monkeypatch):
    import urllib.parse

    def broken(url):
        raise ValueError(url)

    monkeypatch.setattr(urllib.parse, "urlparse", broken)
    assert sb._build_display_name("GET", {"http.method": "GET", "url.full": URL}) == f"GET {URL}"


@pytest.mark.parametrize(
    "attrs, error",
    [
        ({"tavrix.tool.name": 5}, "Expected str, got int"),
        ({"db.system": "pg", "db.statement": 5}, "'int' object has no attribute 'strip'"),
    ],
)
def test_build_display_name_errors(sb, attrs, error):
    with pytest.raises((TypeError, AttributeError), match=error):
        sb._build_display_name("op", attrs)


@pytest.mark.parametrize(
    "raw, expected",
    [
        ("google_cloud", "Google Cloud"),
        ("openai", "Openai"),
        ("crewai", "Crewai"),
        ("llama_index", "Llama Index"),
        ("gpt4o", "Gpt4O"),
        ("", ""),
        ("CrewAI", "Crewai"),
        ("__x__y", "  X  Y"),
        ("\u00e9lan_vital", "\u00c9lan Vital"),
        ("\u01c6emal", "\u01c5emal"),
    ],
)
def test_display_name(sb, raw, expected):
    assert sb._display_name(raw) == expected == raw.replace("_", " ").title()
