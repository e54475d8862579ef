"""TavrixSpanProcessor with the real OpenTelemetry SDK: the end-of-span flow
into the active run, its guard, its threads, and the class itself."""

from __future__ import annotations

import sys
import threading
from types import SimpleNamespace

import pytest
from opentelemetry.sdk.trace import SpanProcessor, TracerProvider

from tavrix_observe.context import TavrixContext


def spans_of_a_run(tracer, ctx):
    """A run of every kind of span the processor tells apart."""
    ctx.record_tool("search", attributes={"tool.input": "as recorded"})
    with tracer.start_as_current_span("agent", attributes={"tavrix.span_type": "agent_execution",
                                                           "tavrix.framework": "crewai"}):
        with tracer.start_as_current_span("execute_tool search", attributes={
            "tavrix.span_type": "tool_call", "tavrix.tool": "search", "tavrix.tool.input": '{"q": 1}',
            "tavrix.tool.output": "{}", "tool.latency_ms": 12,
        }):
            pass
        with tracer.start_as_current_span("POST", attributes={"http.method": "POST",
                                                              "http.url": "https://api.openai.com/v1/chat",
                                                              "gen_ai.provider.name": "openai"}):
            pass
        with tracer.start_as_current_span("POST", attributes={"http.method": "POST",
                                                              "url.full": "https://obs.example/api/v1/observe",
                                                              "tavrix.deepgram.x": 1}):
            pass
        with tracer.start_as_current_span("GET", attributes={"http.method": "GET",
                                                             "url.full": "https://huggingface.co/m/resolve/x"}):
            pass
        with tracer.start_as_current_span("SELECT", attributes={"db.system": "postgresql",
                                                                "db.statement": "select * from docs where a='b'",
                                                                "tavrix.retrieval.source": "pgvector"}):
            pass
        # Keys wider than one byte a character that a record still cleans.
        with tracer.start_as_current_span("marked", attributes={"tavrix.span_type": "", "gen_ai.\u4e2d": 1,
                                                                "tavrix.\u4e2d\u6587": 2}):
            pass


def test_records_a_run(tracing, run_context):
    spans_of_a_run(tracing.tracer(), run_context)
    assert [r["name"] for r in run_context._otel_spans] == ["pg SELECT", "marked"]
    db = run_context._otel_spans[0]
    assert db["kind"] == "chain" and db["_from_processor"] is True and db["attributes"]["db.system"] == "postgresql"
    # In the order the spans end: the agent span last.
    assert run_context.integrations == [
        ("Openai", "llm"), ("Deepgram", "speech"), ("Pgvector", "retrieval"), ("Crewai", "framework"),
    ]
    tool = run_context._spans[0]
    assert tool["attributes"] == {"tool.input": "as recorded", "tool.output": "{}", "tool.latency_ms": 12}
    assert len(tool["_otel_span_id"]) == 16


def test_matches_the_python_processor(pyref, run_context):
    provider = TracerProvider()
    provider.add_span_processor(pyref.TavrixSpanProcessor())
    spans_of_a_run(provider.get_tracer("t"), run_context)
    python_records, python_integrations = list(run_context._otel_spans), list(run_context.integrations)
    python_tool = dict(run_context._spans[0])

    from tavrix_observe.tracing.spanbridge import TavrixSpanProcessor

    with TavrixContext(run_id="native") as ctx:
        provider = TracerProvider()
        provider.add_span_processor(TavrixSpanProcessor())
        spans_of_a_run(provider.get_tracer("t"), ctx)

    def without_ids(record):
        return {k: v for k, v in record.items() if not k.startswith("_otel")}

    assert [without_ids(r) for r in ctx._otel_spans] == [without_ids(r) for r in python_records]
    assert ctx.integrations == python_integrations
    assert without_ids(ctx._spans[0]) == without_ids(python_tool)


@pytest.mark.parametrize("run_id", [None, ""])
def test_nothing_without_a_run(tracing, run_id):
    ctx = TavrixContext()
    ctx.run_id = run_id
    calls = []
    ctx._record_integration = lambda *args: calls.append(args)
    with ctx:
        spans_of_a_run(tracing.tracer(), ctx)
    with tracing.tracer().start_as_current_span("outside", attributes={"gen_ai.provider.name": "openai"}):
        pass
    assert ctx._otel_spans == [] and calls == []


def test_spans_without_attributes_are_recorded(tracing, run_context, fake_span):
    assert tracing.processor.on_end(fake_span(attributes=None)) is None
    assert run_context._otel_spans[0]["attributes"] == {}


def test_redaction_before_buffering(tracing, run_context):
    run_context._content_redact_fn = lambda text: "[REDACTED]" if "@" in text else text
    with tracing.tracer().start_as_current_span("q", attributes={"db.system": "redis", "db.statement": "GET a@b.c",
                                                                 "tags": ("a@b.c", "ok")}):
        pass
    record = run_context._otel_spans[0]
    assert record["attributes"]["db.statement"] == "[REDACTED]"
    assert record["attributes"]["tags"] == ("[REDACTED]", "ok")
    assert record["name"] == "redis GET"


def raise_(exc):
    def fail(*args, **kwargs):
        raise exc

    return fail


@pytest.mark.parametrize(
    "break_it",
    [
        lambda ctx, sb, mp: setattr(ctx, "_content_redact_fn", raise_(ValueError("redaction failed"))),
        lambda ctx, sb, mp: setattr(ctx, "_record_integration", raise_(RuntimeError())),
        lambda ctx, sb, mp: setattr(ctx, "_otel_spans", None),
        lambda ctx, sb, mp: delattr(ctx, "run_id"),
        lambda ctx, sb, mp: mp.setattr(sb, "_extract_integrations_from_attrs", lambda attrs: [("one",)]),
        lambda ctx, sb, mp: mp.setattr(sb, "_span_to_dict", raise_(LookupError())),
        lambda ctx, sb, mp: mp.delattr(sb, "_is_noisy_infra_call"),
        lambda ctx, sb, mp: mp.setitem(sys.modules, "tavrix_observe.instrumentors._context_var", None),
    ],
)
def test_errors_never_reach_the_tracing_sdk(tracing, run_context, sb, monkeypatch, break_it):
    break_it(run_context, sb, monkeypatch)
    with tracing.tracer().start_as_current_span("q", attributes={"db.system": "redis", "tavrix.framework": "dspy"}):
        pass
    assert tracing.processor.on_end(None) is None
    assert not run_context._otel_spans


def test_context_variable_without_a_value(tracing, monkeypatch):
    import contextvars

    from tavrix_observe.instrumentors import _context_var

    monkeypatch.setattr(_context_var, "_current_context", contextvars.ContextVar("no_default"))
    with tracing.tracer().start_as_current_span("q"):
        pass  # LookupError inside on_end, swallowed
    assert tracing.processor.on_end(None) is None


def test_context_variable_stand_in_with_get(tracing, monkeypatch):
    from tavrix_observe.instrumentors import _context_var

    ctx = TavrixContext(run_id="stand-in")
    monkeypatch.setattr(_context_var, "_current_context", SimpleNamespace(get=lambda: ctx))
    with tracing.tracer().start_as_current_span("q"):
        pass
    assert [r["name"] for r in ctx._otel_spans] == ["q"]


def test_effects_before_a_failure_stay(tracing, run_context):
    run_context._content_redact_fn = raise_(ValueError())
    with tracing.tracer().start_as_current_span("q", attributes={"tavrix.framework": "dspy"}):
        pass
    assert run_context.integrations == [("Dspy", "framework")] and run_context._otel_spans == []


def test_keyboard_interrupt_passes_through(tracing, run_context, fake_span):
    run_context._content_redact_fn = raise_(KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        tracing.processor.on_end(fake_span(attributes={"a": "text"}))


def test_buffer_with_an_append_method(tracing, run_context):
    class Buffer:
        def __init__(self):
            self.items = []

        def append(self, item):
            self.items.append(item)

    run_context._otel_spans = Buffer()
    with tracing.tracer().start_as_current_span("q"):
        pass
    assert [r["name"] for r in run_context._otel_spans.items] == ["q"]


def test_module_functions_are_looked_up_at_each_call(tracing, run_context, sb, monkeypatch):
    monkeypatch.setattr(sb, "_span_to_dict", lambda span: {"name": span.name})
    with tracing.tracer().start_as_current_span("first"):
        pass
    monkeypatch.setattr(sb, "_is_noisy_infra_call", lambda attrs: attrs.get("drop"))
    with tracing.tracer().start_as_current_span("second", attributes={"drop": True}):
        pass
    assert run_context._otel_spans == [{"name": "first"}]


def test_functions_of_another_instance_read_their_own_namespace(tracing, run_context, sb, fresh_module, monkeypatch):
    # The processor hands its own functions what it knows of the span's
    # attributes; another instance's functions, bound in their place, run
    # with that instance's namespace and tables instead.
    other = fresh_module("tavrix_observe.tracing.spanbridge")
    other._OTEL_KIND_MAP = dict.fromkeys(range(5), "retry")
    monkeypatch.setattr(sb, "_resolve_kind", other._resolve_kind)
    monkeypatch.setattr(sb, "_build_display_name", other._build_display_name)
    attributes = {"db.system": "postgresql", "db.statement": "SELECT 1"}
    with tracing.tracer().start_as_current_span("q", attributes=attributes):
        pass
    monkeypatch.undo()
    with tracing.tracer().start_as_current_span("q", attributes=attributes):
        pass
    assert [(r["kind"], r["name"]) for r in run_context._otel_spans] == [("retry", "pg SELECT"), ("chain", "pg SELECT")]


def test_a_record_keeps_its_attributes_from_code_that_kept_them(tracing, run_context, sb, monkeypatch):
    kept = []

    def display_name(name, attrs):
        kept.append(attrs)
        return name

    monkeypatch.setattr(sb, "_build_display_name", display_name)
    with tracing.tracer().start_as_current_span("q", attributes={"db.system": "redis"}):
        pass
    kept[0]["db.system"] = "changed"
    assert run_context._otel_spans[0]["attributes"] == {"db.system": "redis"}


def test_runs_on_many_threads_stay_apart(tracing):
    contexts = [TavrixContext(run_id=f"run-{i}") for i in range(8)]
    barrier = threading.Barrier(len(contexts))
    errors = []

    def work(ctx):
        try:
            with ctx:
                barrier.wait()
                for n in range(50):
                    with tracing.tracer().start_as_current_span(f"{ctx.run_id}/{n}",
                                                                attributes={"tavrix.framework": ctx.run_id}):
                        pass
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(ctx,)) for ctx in contexts]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    for ctx in contexts:
        assert [r["name"] for r in ctx._otel_spans] == [f"{ctx.run_id}/{n}" for n in range(50)]
        assert set(ctx.integrations) == {(ctx.run_id.title(), "framework")}


def test_on_end_leaks_nothing(tracing, run_context, block_growth):
    captured = []

    class Capture(SpanProcessor):
        def on_end(self, span):
            captured.append(span)

    tracing.provider.add_span_processor(Capture())
    run_context._content_redact_fn = str.upper
    with tracing.tracer().start_as_current_span("t", attributes={
        "tavrix.tool.name": "t", "tavrix.tool.input": '{"a": ["b"]}', "gen_ai.provider.name": "openai",
        "tags": ("x",),
    }):
        pass
    span = captured[0]

    def once():
        tracing.processor.on_end(span)
        run_context._otel_spans.clear()
        run_context.integrations.clear()

    assert block_growth(once) < 200


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda p: p.force_flush(), True),
        (lambda p: p.force_flush(1.5), True),
        (lambda p: p.force_flush(timeout_millis=10), True),
        (lambda p: p.shutdown(), None),
        (lambda p: p.on_start(None), None),
        (lambda p: p.on_start(span=None, parent_context=None), None),
    ],
)
def test_other_methods(sb, call, expected):
    assert call(sb.TavrixSpanProcessor()) is expected


def test_force_flush_refuses_what_is_not_a_number(sb):
    with pytest.raises(TypeError, match=r"^Argument 'timeout_millis' has incorrect type \(expected int, got str\)$"):
        sb.TavrixSpanProcessor().force_flush("30")


def test_the_class(sb):
    cls = sb.TavrixSpanProcessor
    assert cls.__bases__ == (SpanProcessor,) and type(cls) is type(SpanProcessor)
    assert cls.__doc__ == "Captures completed OTel spans into the active TavrixContext._spans buffer."
    assert cls.__module__ == "tavrix_observe.tracing.spanbridge"
    assert [n for n in vars(cls) if not n.startswith("__")] == ["on_start", "on_end", "shutdown", "force_flush"]
    assert cls.on_end.__annotations__ == {"span": "'ReadableSpan'", "return": "None"}
    assert cls.on_start.__annotations__ == {"span": "'ReadableSpan'", "return": "None"}
    assert cls.shutdown.__annotations__ == {"return": "None"}
    assert cls.force_flush.__annotations__ == {"timeout_millis": "int", "return": "bool"}
    assert cls.on_end.__qualname__ == "TavrixSpanProcessor.on_end"
    processor = cls()
    assert not vars(processor)
    # Whatever else the SDK's base class defines is inherited (_on_ending in newer releases).
    assert all(getattr(cls, n) is getattr(SpanProcessor, n) for n in vars(SpanProcessor)
               if n not in vars(cls) and not n.startswith("__"))
    if hasattr(SpanProcessor, "_on_ending"):
        assert processor._on_ending(None) is None
    bound = processor.on_end
    assert bound.__self__ is processor and bound(SimpleNamespace()) is None
