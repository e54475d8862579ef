"""Spans of the tracing SDK's own classes are read directly, and give records
identical to the general path's, which reads them through their Python code:
the same real spans through both (the general path forced by replacing one
attribute of each class the direct reads rely on with one that behaves the
same) and through the plain-Python processor. A class patched to behave
differently, or an instance shadowing a method, takes the general path with
the patched behaviour."""

from __future__ import annotations

import collections.abc
import contextlib
import enum
import json
import subprocess
import sys
from importlib.metadata import version

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from opentelemetry.attributes import BoundedAttributes
from opentelemetry.sdk.trace import ReadableSpan, SpanLimits, SpanProcessor, TracerProvider
from opentelemetry.trace import Link, SpanKind, Status, StatusCode
from opentelemetry.trace.span import SpanContext

from tavrix_observe.context import TavrixContext


# --- real spans ------------------------------------------------------------


class Capture(SpanProcessor):
    def __init__(self):
        self.spans = []

    def on_end(self, span):
        self.spans.append(span)


def finished_span(name="op", attributes=None, *, kind=SpanKind.INTERNAL, status=None, limits=None, events=(),
                  links=(), parent=False):
    """A span ended through a real TracerProvider, as processors receive it."""
    capture = Capture()
    provider = TracerProvider(span_limits=limits) if limits else TracerProvider()
    provider.add_span_processor(capture)
    tracer = provider.get_tracer("tests.sdk_spans")
    with contextlib.ExitStack() as stack:
        if parent:
            stack.enter_context(tracer.start_as_current_span("parent"))
        span = tracer.start_span(name, attributes=attributes, kind=kind, links=list(links))
        for event_name, event_attributes in events:
            span.add_event(event_name, event_attributes)
        if status is not None:
            span.set_status(status)
        span.end()
    return capture.spans[0]


# --- the general path, forced without changing behaviour ------------------


@contextlib.contextmanager
def replaced(cls, name, value):
    """`cls.<name> = value` for the block; the original is put back."""
    original = cls.__dict__[name] if name in cls.__dict__ else None
    setattr(cls, name, value)
    try:
        yield
    finally:
        if original is None:
            delattr(cls, name)
        else:
            setattr(cls, name, original)


def same_property(cls, name):
    getter = getattr(cls, name).fget
    return property(lambda self: getter(self))


def same_method(cls, name):
    method = getattr(cls, name)
    return lambda self, *args: method(self, *args)


@contextlib.contextmanager
def general_path():
    """Every class the direct reads rely on, with one attribute replaced by
    an equivalent: the guards see modified classes."""
    with contextlib.ExitStack() as stack:
        stack.enter_context(replaced(ReadableSpan, "name", same_property(ReadableSpan, "name")))
        stack.enter_context(replaced(BoundedAttributes, "__len__", same_method(BoundedAttributes, "__len__")))
        stack.enter_context(replaced(collections.abc.KeysView, "__iter__",
                                     same_method(collections.abc.KeysView, "__iter__")))
        stack.enter_context(replaced(SpanKind, "value", property(lambda self: self._value_)))
        stack.enter_context(replaced(SpanContext, "span_id", same_property(SpanContext, "span_id")))
        stack.enter_context(replaced(Status, "status_code", same_property(Status, "status_code")))
        yield


@contextlib.contextmanager
def sdk_python_calls():
    """The functions of the tracing SDK's Python code that run in the block."""
    calls = []

    def profile(frame, event, arg):
        if event == "call" and "opentelemetry" in frame.f_code.co_filename:
            calls.append(frame.f_code.co_qualname if hasattr(frame.f_code, "co_qualname") else frame.f_code.co_name)

    sys.setprofile(profile)
    try:
        yield calls
    finally:
        sys.setprofile(None)


# Before 1.43 the SDK's attribute mapping iterates a copy of its dict (1.20
# keeps an OrderedDict): a span's attributes are then read through the SDK's
# code, the rest of the span directly.
ATTRIBUTES_READ_DIRECTLY = tuple(map(int, version("opentelemetry-api").split(".")[:2])) >= (1, 43)
ATTRIBUTE_READS = {"ReadableSpan.attributes", "BoundedAttributes.__len__", "BoundedAttributes.__iter__",
                   "BoundedAttributes.__getitem__"}


def assert_read_directly(calls):
    """Nothing of the SDK's code ran but what this SDK's layout requires."""
    assert calls == [] if ATTRIBUTES_READ_DIRECTLY else set(calls) <= ATTRIBUTE_READS, calls


def outcome(fn, *args):
    """What the call returns, or the type and text of what it raises."""
    try:
        return fn(*args)
    except Exception as exc:  # compared, not swallowed
        return type(exc), str(exc)


def converted_both_ways(sb, pyref, span):
    """The record of `span` (or the error) read directly, through the general
    path and by the plain-Python version; asserts that the direct read ran
    none of the SDK's code and the general one did."""
    with sdk_python_calls() as calls:
        direct = outcome(sb._span_to_dict, span)
    assert_read_directly(calls)
    with general_path():
        with sdk_python_calls() as calls:
            general = outcome(sb._span_to_dict, span)
        assert "ReadableSpan.attributes" in calls
    return direct, general, outcome(pyref._span_to_dict, span)


# --- what the SDK lets a span carry -----------------------------------------

KEYS = [
    "tavrix.span_type", "tavrix.tool", "tavrix.tool.name", "tavrix.tool.input", "tavrix.tool.output",
    "tavrix.llm.model", "tavrix.llm.input_tokens", "tavrix.framework", "tavrix.retrieval.source",
    "tavrix.deepgram.model", "gen_ai.system", "gen_ai.request.model", "gen_ai.response.model",
    "gen_ai.usage.input_tokens", "gen_ai.usage.output_tokens", "gen_ai.provider.name", "http.method",
    "http.request.method", "url.full", "http.url", "server.address", "db.system", "db.statement", "rpc.system",
    "rpc.service", "rpc.method", "messaging.system", "messaging.destination.name", "tavrix.", "custom.key",
    "http.target",
    # Keys the module reads but for one character, at its start, middle or end.
    "url.fulL", "gen_ai.usage.inpXt_tokens", "Gen_ai.system", "db.statemenT",
]

scalars = st.one_of(
    st.text(max_size=12),
    st.sampled_from(["tool_call", "llm_call", "retrieval", "custom", "postgresql", "redis", "openai", "langchain",
                     "gpt-4o", "claude-3", '{"q": 1}', "not json", "https://API.example.com:8443/x", "  select 1",
                     # URLs that the filters drop, and near misses.
                     "https://api.openai.com/v1/chat", "HTTPS://Bedrock-Runtime.eu-west-1.amazonaws.com/m",
                     "https://cdn-lfs-us-1.hf.co/r", "http://x/?next=api.deepseek.com", "api.anthropic.co",
                     "https://obs.example/api/v1/observe", "/api/health?full=1", "https://API/V1/OBSERVE",
                     "https://obs.example/api/V1/observe",
                     "https://xn--b\u00fccher.example/api/v1/policy", "api.groq.co\u1e3f"]),
    st.booleans(),
    st.integers(min_value=-(2**63), max_value=2**63 - 1),
    st.floats(allow_nan=False),
)
values = st.one_of(
    scalars,
    st.lists(st.text(max_size=6), max_size=3),
    st.lists(st.booleans(), max_size=3),
    st.lists(st.integers(min_value=-(2**63), max_value=2**63 - 1), max_size=3),
    st.lists(st.floats(allow_nan=False), max_size=3),
)
attribute_sets = st.dictionaries(st.one_of(st.sampled_from(KEYS), st.text(min_size=1, max_size=10)), values,
                                 max_size=8)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(attributes=attribute_sets, kind=st.sampled_from(list(SpanKind)),
       status=st.sampled_from([None, StatusCode.OK, StatusCode.ERROR]), parent=st.booleans())
def test_records_match_the_general_path(sb, pyref, attributes, kind, status, parent):
    span = finished_span("op", attributes, kind=kind, status=status, parent=parent)
    direct, general, python = converted_both_ways(sb, pyref, span)
    assert direct == general
    # The plain-Python version does not check declared types (a true tool
    # name that is not a str makes the display name refuse it).
    if isinstance(direct, dict):
        assert direct == python
        assert list(direct["attributes"]) == list(python["attributes"])


@pytest.mark.parametrize(
    "limits, attributes",
    [
        # Too many attributes: the oldest are dropped.
        (SpanLimits(max_span_attributes=3), {f"k{i}": i for i in range(8)} | {"db.system": "redis"}),
        # Too long: values truncated, sequences too.
        (SpanLimits(max_attribute_length=4), {"db.system": "postgresql", "db.statement": "select everything",
                                              "tags": ["alpha", "beta"]}),
        (SpanLimits(max_span_attributes=0), {"tavrix.tool.name": "search"}),
    ],
)
def test_records_match_with_attribute_limits(sb, pyref, limits, attributes):
    span = finished_span("SELECT", attributes, limits=limits)
    direct, general, python = converted_both_ways(sb, pyref, span)
    assert direct == general == python


def test_records_match_with_events_links_and_no_attributes(sb, pyref):
    other = finished_span("other")
    span = finished_span("op", {"gen_ai.system": "openai", "gen_ai.usage.input_tokens": 3},
                         events=[("started", {"n": 1}), ("done", None)],
                         links=[Link(other.context, {"why": "follows"})], parent=True)
    for s in (span, finished_span("bare"), finished_span("empty", {})):
        direct, general, python = converted_both_ways(sb, pyref, s)
        assert direct == general == python


def test_a_live_span_matches_the_general_path(sb, pyref):
    # The tracer's own span class, before it ends: its mapping is still
    # mutable, so its items are copied the general way, the rest read directly.
    tracer = TracerProvider().get_tracer("tests.sdk_spans")
    span = tracer.start_span("SELECT", attributes={"db.system": "mysql", "db.statement": "update t",
                                                   "tavrix.llm.model": "gpt-4o"}, kind=SpanKind.CLIENT)
    try:
        direct = sb._span_to_dict(span)
        with general_path():
            general = sb._span_to_dict(span)
        python = pyref._span_to_dict(span)
        for record in (direct, general, python):
            record["duration_ms"] = record["_otel_end_ns"] = None
        assert direct == general == python
        assert sb._resolve_kind(span) == pyref._resolve_kind(span) == "chain"
    finally:
        span.end()


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(attributes=attribute_sets, redacting=st.booleans())
def test_processor_matches_the_general_path(sb, pyref, attributes, redacting):
    """The whole flow of on_end: integrations, merge or drop or record."""
    span = finished_span("op", attributes, parent=True)

    def run(processor):
        ctx = TavrixContext(run_id="r", content_redact_fn=str.upper if redacting else None)
        ctx.record_tool(str(attributes.get("tavrix.tool", "search")), input_data=None)
        with ctx:
            processor.on_end(span)
        return ctx.integrations, ctx._otel_spans, ctx._spans[0]["attributes"], ctx._spans[0]["_otel_span_id"]

    with sdk_python_calls() as calls:
        direct = run(sb.TavrixSpanProcessor())
    assert_read_directly(calls)
    with general_path():
        general = run(sb.TavrixSpanProcessor())
    assert direct == general
    python = run(pyref.TavrixSpanProcessor())
    # The plain-Python version records what the declared str types refuse.
    if all(isinstance(record["name"], str) for record in python[1]):
        assert direct == python


def test_ids_of_spans_of_one_trace_then_of_another(sb, pyref):
    capture = Capture()
    provider = TracerProvider()
    provider.add_span_processor(capture)
    tracer = provider.get_tracer("tests.sdk_spans")
    for _ in range(2):
        with tracer.start_as_current_span("root"):
            with tracer.start_as_current_span("child"):
                pass
    records = [sb._span_to_dict(span) for span in capture.spans]
    expected = [pyref._span_to_dict(span) for span in capture.spans]
    assert records == expected
    assert len({r["_otel_trace_id"] for r in records}) == 2


# --- classes that behave differently take the general path ---------------


def test_a_replaced_mapping_get_is_used(sb, pyref):
    span = finished_span("op", {"db.system": "redis"})

    def get(self, key, default=None):
        return "search" if key == "tavrix.tool.name" else self._dict.get(key, default)

    assert sb._resolve_kind(span) == "chain"
    with replaced(collections.abc.Mapping, "get", get):
        assert sb._resolve_kind(span) == pyref._resolve_kind(span) == "tool"
    assert sb._resolve_kind(span) == "chain"


def test_a_replaced_attributes_property_is_used(sb, pyref):
    span = finished_span("SELECT", {"db.system": "redis", "db.statement": "get k"})
    with replaced(ReadableSpan, "attributes", property(lambda self: {"db.system": "mongodb"})):
        assert sb._span_to_dict(span) == pyref._span_to_dict(span)
        assert sb._span_to_dict(span)["name"] == "mongo SELECT"
        ctx = TavrixContext(run_id="r")
        with ctx:
            sb.TavrixSpanProcessor().on_end(span)
        assert [r["name"] for r in ctx._otel_spans] == ["mongo SELECT"]
    assert sb._span_to_dict(span)["name"] == "redis GET"


@pytest.mark.parametrize("where", ["class", "descriptor getter", "getter code"])
def test_a_changed_enumeration_value_is_used(sb, pyref, monkeypatch, where):
    monkeypatch.setattr(sb, "_OTEL_KIND_MAP", {7: "retry", 2: "chain"})
    monkeypatch.setattr(pyref, "_OTEL_KIND_MAP", {7: "retry", 2: "chain"})
    span = finished_span("op", kind=SpanKind.CLIENT)
    descriptor = enum.Enum.__dict__["value"]
    getter = descriptor.fget
    with contextlib.ExitStack() as stack:
        if where == "class":
            stack.enter_context(replaced(SpanKind, "value", property(lambda self: 7)))
        elif where == "descriptor getter":
            descriptor.fget = lambda self: 7 if isinstance(self, SpanKind) else getter(self)
            stack.callback(setattr, descriptor, "fget", getter)
        else:
            code = getter.__code__
            # Run with the enum module's globals: only builtins are at hand.
            getter.__code__ = (lambda self: 7 if type(self).__name__ == "SpanKind" else self._value_).__code__
            stack.callback(setattr, getter, "__code__", code)
        assert sb._resolve_kind(span) == pyref._resolve_kind(span) == "retry"
    assert sb._resolve_kind(span) == "chain"


def test_instance_attributes_shadowing_the_mapping_are_used(sb, pyref):
    span = finished_span("op", {"db.system": "redis"})
    mapping = span._attributes
    mapping.get = lambda key, default=None: "search" if key == "tavrix.tool.name" else default
    assert sb._resolve_kind(span) == pyref._resolve_kind(span) == "tool"
    mapping.keys = lambda: ["db.system", "db.system"]
    del mapping.get
    assert sb._span_to_dict(span) == pyref._span_to_dict(span)


def test_a_method_whose_code_was_replaced_is_used(sb, pyref):
    span = finished_span("op", {"db.system": "redis", "db.statement": "get k"})
    getitem = BoundedAttributes.__getitem__
    code = getitem.__code__
    getitem.__code__ = (lambda self, key: "sqlite" if key == "db.system" else self._dict[key]).__code__
    try:
        assert sb._span_to_dict(span)["name"] == pyref._span_to_dict(span)["name"] == "sqlite GET"
    finally:
        getitem.__code__ = code
    assert sb._span_to_dict(span)["name"] == "redis GET"


def test_subclasses_and_other_spans_take_the_general_path(sb, pyref, fake_span):
    class Traced(ReadableSpan):
        @property
        def attributes(self):
            return {"gen_ai.system": "openai"}

    span = finished_span("op", {"db.system": "redis"})
    sub = Traced(name="op", context=span.context, attributes=span._attributes, kind=SpanKind.SERVER)
    assert sb._span_to_dict(sub) == pyref._span_to_dict(sub)
    assert sb._resolve_kind(sub) == "llm"
    plain = fake_span(attributes={"tavrix.span_type": "retrieval"})
    assert sb._span_to_dict(plain) == pyref._span_to_dict(plain)


def test_a_patch_undone_reads_directly_again(sb, pyref):
    span = finished_span("op", {"db.system": "redis"})
    with general_path():
        sb._span_to_dict(span)
    with sdk_python_calls() as calls:
        record = sb._span_to_dict(span)
    assert_read_directly(calls)
    assert record == pyref._span_to_dict(span)


def test_attributes_changed_during_the_flow_are_read_again(sb, pyref):
    # The run context's callback changes the span's attributes after the
    # processor copied them: the record shows them as they are then, as a
    # second copy would.
    span = finished_span("SELECT", {"db.system": "redis", "db.statement": "get k", "tavrix.framework": "x"})

    class Meddling(TavrixContext):
        def _record_integration(self, name, category):
            span._attributes._dict["db.system"] = "mysql"
            super()._record_integration(name, category)

    for processor in (sb.TavrixSpanProcessor(), pyref.TavrixSpanProcessor()):
        span._attributes._dict["db.system"] = "redis"
        ctx = Meddling(run_id="r")
        with ctx:
            processor.on_end(span)
        assert [r["name"] for r in ctx._otel_spans] == ["mysql GET"]


OLDER_GETTER = """
import json, subprocess, sys
from types import MappingProxyType
from opentelemetry.sdk.trace import ReadableSpan
from opentelemetry.trace.span import SpanContext

def attributes(self):  # the getter of 1.20
    return MappingProxyType(self._attributes)

ReadableSpan.__dict__["attributes"].fget.__code__ = attributes.__code__
from tavrix_observe.tracing import spanbridge as sb

def outcome(fn, *args):
    try:
        return fn(*args)["name"]
    except Exception as exc:
        return type(exc).__name__

calls = []
sys.setprofile(lambda frame, event, arg: event == "call" and calls.append(frame.f_code.co_qualname))
bare = ReadableSpan(name="op", context=SpanContext(1, 2, False))
found = [outcome(sb._span_to_dict, bare), outcome(lambda s: {"name": type(s.attributes)}, bare)]
sys.setprofile(None)
print(json.dumps({"found": found, "name_read": "ReadableSpan.name" in calls}))
"""


def test_other_code_behind_the_same_names_is_run():
    # A release may keep a getter's qualified name and change its code: the
    # getter captured at import is compared with the code the direct read
    # stands for, and only that property goes through the SDK's code.
    result = subprocess.run([sys.executable, "-c", OLDER_GETTER], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    found = json.loads(result.stdout)
    assert found == {"found": ["TypeError", "TypeError"], "name_read": False}


@pytest.mark.parametrize("meddler", ["filter table", "attribute value"])
def test_python_code_run_by_the_filters_has_the_attributes_read_again(sb, pyref, monkeypatch, meddler):
    # Without integrations found, the copy serves the conversion unless Python
    # code could have run meanwhile: a table the filters iterate, a value whose
    # truth they test.
    span = finished_span("SELECT", {"db.system": "redis", "db.statement": "get k", "server.address": "db.internal"})

    def meddle():
        span._attributes._dict["db.system"] = "mysql"

    class Hosts:
        def __iter__(self):
            meddle()
            return iter(())

    class Value:
        def __bool__(self):
            meddle()
            return False

    for processor, module in ((sb.TavrixSpanProcessor(), sb), (pyref.TavrixSpanProcessor(), pyref)):
        span._attributes._dict["db.system"] = "redis"
        if meddler == "filter table":
            monkeypatch.setattr(module, "_NOISY_INFRA_HOSTS", Hosts())
        else:
            span._attributes._dict["url.full"] = Value()
        ctx = TavrixContext(run_id="r")
        with ctx:
            processor.on_end(span)
        assert [r["name"] for r in ctx._otel_spans] == ["mysql GET"]
