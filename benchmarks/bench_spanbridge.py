"""Per-span cost of TavrixSpanProcessor.on_end, native against the
plain-Python processor (tests/reference/pyref_spanbridge.py), and as a share
of what the OpenTelemetry SDK itself spends to start and end the same span
(same name and attributes, no processor), all in one process.

Cases: a span with no active run; a provider HTTP span that is dropped; a
database span that is converted; a tool span merged into the recorded tool
entry, and one with realistic JSON input and output merged with the run's
redaction applied; then, for reference, the database span converted and redacted with a
regular-expression redaction function (whose own calls are part of that
cost) and an HTTP span converted (its host taken from the URL); then the
shapes instrumentations emit, with 7 to 10 attributes each: an HTTP client
span and a database span with current semantic-convention attributes, an
LLM span with gen_ai request, response and usage attributes, a chain span
and a tool span with JSON input and output. The spans
are real finished spans of the SDK. Times are per call (medians of rounds
that time every variant of a case in turn), with the cost of the timing loop
itself (an empty call) subtracted.
"""

from __future__ import annotations

import re

from harness import Result, interleaved_ns, print_table

from opentelemetry.sdk.trace import SpanProcessor, TracerProvider

import pyref_spanbridge as python_version
from tavrix_observe.context import TavrixContext
from tavrix_observe.instrumentors._context_var import _current_context
from tavrix_observe.tracing import spanbridge

EMAIL = re.compile(r"[\w.+-]+@[\w-]+\.[\w.]+")

DATABASE = (
    "SELECT",
    {
        "db.system": "postgresql",
        "db.name": "app",
        "db.user": "svc",
        "db.statement": "SELECT id, body FROM documents WHERE owner = 'alice@example.com' LIMIT 20",
        "net.peer.name": "db.internal",
        "net.peer.port": 5432,
        "tavrix.retrieval.source": "pgvector",
    },
)

TOOL_ATTRIBUTES = {
    "tavrix.span_type": "tool_call",
    "tavrix.tool": "web_search",
    "tavrix.tool.name": "web_search",
    "tavrix.tool.type": "function",
    "openinference.span.kind": "TOOL",
    "tavrix.tool.input": '{"query": "weather in Lyon"}',
    "tavrix.tool.output": '{"results": 3}',
    "tavrix.tool.latency_ms": 41,
    "tavrix.framework": "langchain",
}

# name -> (span name, attributes, whether the run has a redaction function)
CASES = {
    "no active run": ("SELECT", {"db.system": "postgresql", "db.statement": "SELECT 1", "db.name": "app"}, False),
    "provider HTTP span, dropped": (
        "POST",
        {
            "http.request.method": "POST",
            "url.full": "https://api.openai.com/v1/chat/completions",
            "server.address": "api.openai.com",
            "server.port": 443,
            "http.response.status_code": 200,
        },
        False,
    ),
    "database span, converted": (*DATABASE, False),
    "tool span, merged": ("execute_tool web_search", TOOL_ATTRIBUTES, False),
    # As an agent framework's tool span reaches the run: JSON input and
    # output of a realistic size, copied with the run's redaction applied.
    "tool span (input and output), merged + redacted": (
        "execute_tool web_search",
        {
            **TOOL_ATTRIBUTES,
            "tavrix.tool.input": '{"query": "flights Lyon to Oslo on 12 May", "max_results": 5, '
                                 '"contact": "alice@example.com"}',
            "tavrix.tool.output": '{"results": [{"title": "LYS-OSL 07:05", "price": 182.4}, '
                                  '{"title": "LYS-OSL 13:40", "price": 209.9}], "source": "fares-api"}',
        },
        True,
    ),
    "database span, converted + redacted": (*DATABASE, True),
    "HTTP span, converted": (
        "GET",
        {
            "http.request.method": "GET",
            "url.full": "https://Search.Example.COM:8443/v2/items?q=lyon",
            "server.address": "search.example.com",
            "http.response.status_code": 200,
        },
        False,
    ),
}

# The spans that instrumentations emit, with current semantic-convention
# attributes: (span name, attributes, the record's expected name).
REALISTIC = {
    "HTTP client span (semconv), converted": (
        "GET",
        {
            "http.request.method": "GET",
            "url.full": "https://inventory.internal.example.com:8443/api/v2/items/4711?expand=stock",
            "server.address": "inventory.internal.example.com",
            "server.port": 8443,
            "network.protocol.version": "1.1",
            "http.response.status_code": 200,
            "user_agent.original": "python-httpx/0.27.0",
        },
        "GET inventory.internal.example.com",
    ),
    "database span (semconv), converted": (
        "SELECT app.documents",
        {
            "db.system": "postgresql",
            "db.namespace": "app",
            "db.operation.name": "SELECT",
            "db.collection.name": "documents",
            "db.query.text": "SELECT id, title, body FROM documents WHERE owner_id = $1 ORDER BY updated_at DESC LIMIT 20",
            "server.address": "db.internal",
            "server.port": 5432,
            "network.peer.address": "10.0.3.17",
        },
        "pg SELECT app.documents",
    ),
    "LLM span (gen_ai), converted": (
        "chat claude-3-5-sonnet",
        {
            "gen_ai.operation.name": "chat",
            "gen_ai.system": "anthropic",
            "gen_ai.request.model": "claude-3-5-sonnet-20241022",
            "gen_ai.request.max_tokens": 1024,
            "gen_ai.request.temperature": 0.2,
            "gen_ai.response.model": "claude-3-5-sonnet-20241022",
            "gen_ai.response.id": "msg_01XFDUDYJgAACzvnptvVoYEL",
            "gen_ai.response.finish_reasons": ("end_turn",),
            "gen_ai.usage.input_tokens": 1184,
            "gen_ai.usage.output_tokens": 312,
        },
        "chat claude-3-5-sonnet",
    ),
    "chain span (JSON input and output), converted": (
        "RetrievalQA",
        {
            "openinference.span.kind": "CHAIN",
            "input.value": '{"query": "What is our refund policy for annual plans?", "k": 4}',
            "input.mime_type": "application/json",
            "output.value": '{"result": "Annual plans can be refunded pro rata within 30 days of renewal."}',
            "output.mime_type": "application/json",
            "metadata": '{"ls_run_depth": 1}',
            "session.id": "c0ffee12-3456-789a-bcde-f0123456789a",
        },
        "RetrievalQA",
    ),
    "tool span (input and output), converted": (
        "get_weather",
        {
            "openinference.span.kind": "TOOL",
            "tool.name": "get_weather",
            "tool.description": "The current weather for a city.",
            "tool.parameters": '{"type": "object", "properties": {"city": {"type": "string"}}}',
            "input.value": '{"city": "Lyon", "units": "metric"}',
            "input.mime_type": "application/json",
            "output.value": '{"temperature": 21.5, "conditions": "partly cloudy"}',
            "output.mime_type": "application/json",
        },
        "get_weather",
    ),
}
CASES.update({case: (name, attributes, False) for case, (name, attributes, _) in REALISTIC.items()})


def scrub(text: str) -> str:
    return EMAIL.sub("[EMAIL]", text)


def finished_spans():
    captured = []

    class Capture(SpanProcessor):
        def on_end(self, span):
            captured.append(span)

    provider = TracerProvider()
    provider.add_span_processor(Capture())
    tracer = provider.get_tracer("bench")
    for name, attributes, _ in CASES.values():
        tracer.start_span(name, attributes=attributes).end()
    return dict(zip(CASES, captured))


def run_for(case: str) -> TavrixContext:
    redacting = CASES[case][2]
    ctx = TavrixContext(run_id="bench", content_redact_fn=scrub if redacting else None)
    ctx.record_tool("lookup")
    ctx.record_tool("web_search", input_data={"query": "weather in Lyon"})
    ctx.record_tool("calculator")
    return ctx


def check_path(case: str, processor, span, ctx) -> None:
    """Each case takes the path it is named after, in both processors."""
    processor.on_end(span)
    if ctx is None:
        return
    records = list(ctx._otel_spans)
    ctx._otel_spans.clear()
    if case in REALISTIC:
        assert [r["name"] for r in records] == [REALISTIC[case][2]], records
    elif case.startswith("database"):
        assert [r["name"] for r in records] == ["pg SELECT"], records
        redacted = "[EMAIL]" in records[0]["attributes"]["db.statement"]
        assert redacted == CASES[case][2], records
    elif case.startswith("HTTP"):
        assert [r["name"] for r in records] == ["GET search.example.com"], records
    else:
        assert records == [], records
    if "merged" in case:
        assert ctx._spans[1]["attributes"]["tool.latency_ms"] == 41
        assert ("[EMAIL]" in ctx._spans[1]["attributes"]["tool.input"]) == CASES[case][2]
        ctx._spans[1]["attributes"] = {}
    ctx.integrations.clear()


def main() -> None:
    spans = finished_spans()
    native = spanbridge.TavrixSpanProcessor()
    python = python_version.load().TavrixSpanProcessor()
    tracer = TracerProvider().get_tracer("bench")
    results = []
    for case, span in spans.items():
        ctx = None if case == "no active run" else run_for(case)
        buffer = ctx._otel_spans if ctx is not None else []
        integrations = ctx.integrations if ctx is not None else []
        name, attributes, _ = CASES[case]
        token = _current_context.set(ctx)
        try:
            for processor in (native, python):
                check_path(case, processor, span, ctx)
            # A tool span is merged into an entry the run has just recorded,
            # which has none of its attributes yet: every call copies (and
            # redacts) them all.
            entry = ctx._spans[1]["attributes"] if ctx is not None and "merged" in case else {}

            # The buffers are emptied after every call, in the empty call too.
            def empty(buffer=buffer, integrations=integrations, entry=entry):
                buffer.clear()
                integrations.clear()
                entry.clear()

            def native_call(on_end=native.on_end, span=span, buffer=buffer, integrations=integrations, entry=entry):
                on_end(span)
                buffer.clear()
                integrations.clear()
                entry.clear()

            def python_call(on_end=python.on_end, span=span, buffer=buffer, integrations=integrations, entry=entry):
                on_end(span)
                buffer.clear()
                integrations.clear()
                entry.clear()

            def sdk_span(start=tracer.start_span, name=name, attributes=attributes):
                start(name, attributes=attributes).end()

            # The run's redaction function's own calls on what a merge copies,
            # which both processors make alike.
            redacted = [
                value for key, value in attributes.items()
                if key not in spanbridge._OTEL_DROP_KEYS and isinstance(value, str)
            ] if "merged" in case and CASES[case][2] else []

            def redaction_calls(values=redacted):
                for value in values:
                    scrub(value)

            loop, native_ns, python_ns, nothing, sdk_ns, redaction_ns = interleaved_ns(
                [empty, native_call, python_call, lambda: None, sdk_span, redaction_calls]
            )
            results.append(Result(case, native_ns - loop, python_ns - loop, sdk_ns - nothing))
            if redacted:
                own = redaction_ns - nothing
                results.append(Result(f"  the same, less the redaction function's {len(redacted)} calls",
                                      native_ns - loop - own, python_ns - loop - own, sdk_ns - nothing))
        finally:
            _current_context.reset(token)
    print_table("spanbridge: TavrixSpanProcessor.on_end per span", results, reference="SDK span")
