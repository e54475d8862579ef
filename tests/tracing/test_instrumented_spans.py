"""Spans that nobody here wrote: an instrumented HTTP client calling a
loopback server, and an instrumented sqlite3 on an in-memory database."""

from __future__ import annotations

import sqlite3
import urllib.request

import pytest
from opentelemetry.instrumentation.sqlite3 import SQLite3Instrumentor
from opentelemetry.instrumentation.urllib import URLLibInstrumentor


def tag_provider_calls(span, request):
    # What an application's hook might add: the provider behind a proxy URL.
    if "upstream=" in request.full_url:
        span.set_attribute("gen_ai.provider.name", "openai")


@pytest.fixture
def instrumented_urllib(tracing):
    instrumentor = URLLibInstrumentor()
    instrumentor.instrument(tracer_provider=tracing.provider, request_hook=tag_provider_calls)
    yield
    instrumentor.uninstrument()


@pytest.fixture
def instrumented_sqlite(tracing):
    instrumentor = SQLite3Instrumentor()
    instrumentor.instrument(tracer_provider=tracing.provider)
    yield
    instrumentor.uninstrument()


def test_http_client_spans(instrumented_urllib, loopback_server, run_context):
    urllib.request.urlopen(f"{loopback_server.url}/search?q=1", timeout=5).read()
    urllib.request.urlopen(f"{loopback_server.url}/v1/chat?upstream=API.OPENAI.COM", timeout=5).read()
    urllib.request.urlopen(f"{loopback_server.url}/api/v1/observe/spans", timeout=5).read()

    assert loopback_server.paths == ["/search?q=1", "/v1/chat?upstream=API.OPENAI.COM", "/api/v1/observe/spans"]
    # The provider call and the SDK's own API call are dropped; the provider
    # call's integration is recorded all the same.
    assert [r["name"] for r in run_context._otel_spans] == ["GET 127.0.0.1"]
    record = run_context._otel_spans[0]
    assert record["attributes"]["http.url"] == f"{loopback_server.url}/search?q=1"
    assert record["attributes"]["http.status_code"] == 200
    assert record["kind"] == "chain" and record["status"] == "ok" and record["duration_ms"] is not None
    assert run_context.integrations == [("Openai", "llm")]


def test_database_spans(instrumented_sqlite, run_context):
    run_context._content_redact_fn = lambda text: text.replace("alice", "[NAME]")
    connection = sqlite3.connect(":memory:")
    cursor = connection.cursor()
    cursor.execute("create table people (name text)")
    cursor.execute("insert into people values ('alice')")
    cursor.execute("  select name from people where name = 'alice'")
    assert cursor.fetchall() == [("alice",)]
    connection.close()

    assert [r["name"] for r in run_context._otel_spans] == ["sqlite CREATE", "sqlite INSERT", "sqlite SELECT"]
    select = run_context._otel_spans[2]
    assert select["attributes"]["db.statement"] == "  select name from people where name = '[NAME]'"
    assert select["attributes"]["db.system"] == "sqlite"

