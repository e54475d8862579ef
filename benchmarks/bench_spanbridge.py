"""Per-span cost of TavrixSpanProcessor.on_end, native against the
plain-Python processor (tests/reference/pyref_spanbridge.py) in the same process, beside the
OpenTelemetry SDK's own cost of starting and ending the same span.

Cases: a span with no active run; a provider HTTP span that is dropped; a
database span that is converted and redacted; a tool span merged into the
recorded tool entry. The spans are real finished spans of the SDK.
"""

from __future__ import annotations

import re

from harness import compare, print_table

from opentelemetry.sdk.trace import SpanProcessor, TracerProvider

import pyref_spanbridge as python_version
from tavrix_observe.context import TavrixContext
from tavrix_observe.instrumentors._context_var import _current_context
from tavrix_observe.tracing import spanbridge

EMAIL = re.compile(r"[\w.+-]+@[\w-]+\.[\w.]+")

CASES = {
    "no active run": (
        "SELECT",
        {"db.system": "postgresql", "db.statement": "SELECT 1", "db.name": "app"},
    ),
    "provider HTTP span, dropped": (
        "POST",
        {
            "http.request.method": "POST",
            "url.full": "https://api.openai.com/v1/chat/completions",
            "server.address": "api.openai.com",
            "server.port": 443,
            "http.response.status_code": 200,
        },
    ),
    "database span, converted + redacted": (
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
    ),
    "tool span, merged": (
        "execute_tool web_search",
        {
            "tavrix.span_type": "tool_call",
            "tavrix.tool": "web_search",
            "tavrix.tool.name": "web_search",
            "tavrix.tool.type": "function",
            "openinference.span.kind": "TOOL",
            "tavrix.tool.input": '{"query": "weather in Lyon"}',
            "tavrix.tool.output": '{"results": 3}',
            "tavrix.tool.latency_ms": 41,
            "tavrix.framework": "langchain",
        },
    ),
}


def finished_spans():
    captured = []

    class Capture(SpanProcessor):
        def on_end(self, span):
            captured.append(span)

    provider = TracerProvider()
    provider.add_span_processor(Capture())
    tracer = provider.get_tracer("bench")
    for name, attributes in CASES.values():
        tracer.start_span(name, attributes=attributes).end()
    return dict(zip(CASES, captured))


def run_for(case: str) -> TavrixContext:
    ctx = TavrixContext(run_id="bench", content_redact_fn=lambda text: EMAIL.sub("[EMAIL]", text))
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
    if case.startswith("database"):
        assert [r["name"] for r in records] == ["pg SELECT"], records
        assert "[EMAIL]" in records[0]["attributes"]["db.statement"]
    else:
        assert records == [], records
    if case.startswith("tool"):
        assert ctx._spans[1]["attributes"]["tool.latency_ms"] == 41
        ctx._spans[1]["attributes"] = {}
    ctx.integrations.clear()


def main() -> None:
    spans = finished_spans()
    native = spanbridge.TavrixSpanProcessor()
    python = python_version.load().TavrixSpanProcessor()
    results = []
    for case, span in spans.items():
        ctx = None if case == "no active run" else run_for(case)
        buffer = ctx._otel_spans if ctx is not None else []
        token = _current_context.set(ctx)
        try:

            def native_call(span=span, buffer=buffer):
                native.on_end(span)
                buffer.clear()

            def python_call(span=span, buffer=buffer):
                python.on_end(span)
                buffer.clear()

            for processor in (native, python):
                check_path(case, processor, span, ctx)
            results.append(compare(case, native_call, python_call))
        finally:
            _current_context.reset(token)
    print_table("spanbridge: TavrixSpanProcessor.on_end per span", results)

    # For scale: what the SDK itself spends on the same spans, with no
    # processor at all.
    tracer = TracerProvider().get_tracer("bench")
    sdk = []
    for case, (name, attributes) in CASES.items():
        def start_and_end(name=name, attributes=attributes):
            tracer.start_span(name, attributes=attributes).end()

        sdk.append(compare(f"{case}: SDK start + end", start_and_end, None))
    print_table("OpenTelemetry SDK: start_span + end, no processor", sdk)


if __name__ == "__main__":
    main()
