"""Span records from finished spans: _span_to_dict."""

from __future__ import annotations

from types import MappingProxyType, SimpleNamespace

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from opentelemetry.trace import Status, StatusCode

KEYS = [
    "name", "kind", "status", "duration_ms", "attributes", "input_data", "output_data", "_otel_start_ns",
    "_otel_end_ns", "_otel_trace_id", "_otel_span_id", "_otel_parent_id", "_from_processor",
]


def test_record_of_a_plain_span(sb, fake_span):
    record = sb._span_to_dict(fake_span())
    assert list(record) == KEYS
    assert record == {
        "name": "op", "kind": "chain", "status": "ok", "duration_ms": 2, "attributes": {},
        "input_data": None, "output_data": None, "_otel_start_ns": 1_000_000_000, "_otel_end_ns": 1_002_999_999,
        "_otel_trace_id": "0" * 29 + "abc", "_otel_span_id": "00000000000000ff", "_otel_parent_id": "",
        "_from_processor": True,
    }


@pytest.mark.parametrize(
    "attrs, expected",
    [
        ({"tavrix.span_type": "llm_call"}, {"span_type": "llm_call", "model": "", "tokens_in": 0, "tokens_out": 0,
                                             "total_tokens": 0, "cost": 0}),
        (
            {"gen_ai.request.model": "m", "gen_ai.usage.input_tokens": 0, "tavrix.llm.input_tokens": 7,
             "gen_ai.usage.output_tokens": 30, "tavrix.llm.cost": None},
            {"request.model": "m", "usage.input_tokens": 0, "llm.input_tokens": 7, "usage.output_tokens": 30,
             "llm.cost": None, "model": "m", "tokens_in": 7, "tokens_out": 30, "total_tokens": 37, "cost": None},
        ),
        (
            {"gen_ai.system": "x", "gen_ai.usage.input_tokens": 12, "gen_ai.usage.output_tokens": 30,
             "gen_ai.response.model": "", "gen_ai.response.finish_reasons": ("stop",)},
            {"system": "x", "usage.input_tokens": 12, "usage.output_tokens": 30, "response.model": "",
             "response.finish_reasons": ("stop",), "model": "", "tokens_in": 12, "tokens_out": 30,
             "total_tokens": 42, "cost": 0, "finish_reasons": ("stop",)},
        ),
        (
            {"gen_ai.request.model": "gpt-4o", "gen_ai.response.model": "gpt-4o"},
            {"request.model": "gpt-4o", "response.model": "gpt-4o", "model": "gpt-4o", "tokens_in": 0,
             "tokens_out": 0, "total_tokens": 0, "cost": 0},
        ),
        (
            {"tavrix.llm.model": "a", "gen_ai.response.model": "a-2024", "gen_ai.system": "s"},
            {"llm.model": "a", "response.model": "a-2024", "system": "s", "model": "a", "tokens_in": 0,
             "tokens_out": 0, "total_tokens": 0, "cost": 0, "response_model": "a-2024"},
        ),
        # Keys lose one leading segment; the later of two equal cleaned keys wins.
        ({"tavrix.": 1, "http.method": "GET", "tavrix.x.y": 1, "gen_ai.x.y": 2, "db.system": "redis"},
         {"": 1, "http.method": "GET", "x.y": 2, "db.system": "redis"}),
    ],
)
def test_cleaned_attributes_and_llm_summary(sb, pyref, fake_span, attrs, expected):
    record = sb._span_to_dict(fake_span(attributes=attrs))
    assert record["attributes"] == expected
    assert list(record["attributes"]) == list(expected)
    assert record == pyref._span_to_dict(fake_span(attributes=attrs))


def test_tokens_that_cannot_be_added_raise(sb, fake_span):
    with pytest.raises(TypeError):
        sb._span_to_dict(fake_span(attributes={"gen_ai.system": "x", "gen_ai.usage.input_tokens": "3",
                                               "gen_ai.usage.output_tokens": 4}))


@pytest.mark.parametrize(
    "attrs, input_data, output_data",
    [
        ({"tavrix.tool.name": "t", "tavrix.tool.input": '{"q": [1, "a"]}', "tavrix.tool.output": '"done"'},
         {"q": [1, "a"]}, "done"),
        ({"tavrix.tool.name": "t", "tavrix.tool.input": "not json"}, None, {}),
        ({"tavrix.tool.name": "t", "tavrix.tool.input": 5, "tavrix.tool.output": "{bad"}, None, None),
        ({"tavrix.tool.name": "t"}, None, None),
        ({"tavrix.tool.input": "[1]"}, None, None),
    ],
)
def test_tool_fields(sb, fake_span, attrs, input_data, output_data):
    record = sb._span_to_dict(fake_span(attributes=attrs))
    assert (record["input_data"], record["output_data"]) == (input_data, output_data)


def test_a_kind_that_is_not_an_exact_str_is_compared_as_python_does(sb, pyref, fake_span, monkeypatch):
    class EqualToAll(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            return True

    attrs = {"tavrix.tool.input": '{"q": 1}', "gen_ai.usage.input_tokens": 3}
    records = []
    for module in (sb, pyref):
        monkeypatch.setattr(module, "_resolve_kind", lambda span: EqualToAll("chain"))
        records.append(module._span_to_dict(fake_span(attributes=dict(attrs))))
    assert records[0] == records[1]
    assert (records[0]["input_data"], records[0]["attributes"]["tokens_in"]) == ({"q": 1}, 3)


@pytest.mark.parametrize(
    "start, end, duration, start_ns, end_ns",
    [
        (1_000_000_000, 1_002_999_999, 2, 1_000_000_000, 1_002_999_999),
        (5, 5, None, 5, 5),
        (5, None, None, 5, 0),
        (None, 7_500_000, 7, 0, 7_500_000),
        (10, 3, None, 10, 3),
        (0, 2**60, int(2**60 / 1_000_000), 0, 2**60),
        (0, 2**53 + 1, int((2**53 + 1) / 1_000_000), 0, 2**53 + 1),
        (1.5, 3_000_001.5, 3, 1.5, 3_000_001.5),
    ],
)
def test_timing(sb, fake_span, start, end, duration, start_ns, end_ns):
    record = sb._span_to_dict(fake_span(start_time=start, end_time=end))
    assert (record["duration_ms"], record["_otel_start_ns"], record["_otel_end_ns"]) == (duration, start_ns, end_ns)


@pytest.mark.parametrize(
    "context, parent, trace_id, span_id, parent_id",
    [
        (None, None, "", "", ""),
        (SimpleNamespace(trace_id=1, span_id=1), None, "0" * 31 + "1", "0" * 15 + "1", ""),
        (SimpleNamespace(trace_id=2**128 - 1, span_id=2**64 - 1), SimpleNamespace(span_id=0),
         "f" * 32, "f" * 16, ""),
        (SimpleNamespace(trace_id=2**64, span_id=2**64 + 5), SimpleNamespace(span_id=255),
         "0" * 15 + "1" + "0" * 16, "10000000000000005", "00000000000000ff"),
        (SimpleNamespace(trace_id=2**127, span_id=2**63), SimpleNamespace(span_id=2**64 - 2**63),
         "8" + "0" * 31, "8" + "0" * 15, "8" + "0" * 15),
        (SimpleNamespace(trace_id=2**130, span_id=-1), SimpleNamespace(span_id=True),
         format(2**130, "032x"), format(-1, "016x"), format(True, "016x")),
    ],
)
def test_identity(sb, fake_span, context, parent, trace_id, span_id, parent_id):
    record = sb._span_to_dict(fake_span(context=context, parent=parent))
    assert (record["_otel_trace_id"], record["_otel_span_id"], record["_otel_parent_id"]) == (
        trace_id, span_id, parent_id)


@pytest.mark.parametrize(
    "status, expected",
    [
        (None, "ok"),
        (Status(StatusCode.ERROR, "boom"), "error"),
        (Status(StatusCode.OK), "ok"),
        (Status(StatusCode.UNSET), "ok"),
        (SimpleNamespace(status_code=None), "ok"),
        (SimpleNamespace(status_code=2), "ok"),
    ],
)
def test_status(sb, fake_span, status, expected):
    assert sb._span_to_dict(fake_span(status=status))["status"] == expected


def test_record_from_a_read_only_mapping_is_a_copy(sb, fake_span):
    source = {"tavrix.tool.name": "t", "x": [1]}
    record = sb._span_to_dict(fake_span(attributes=MappingProxyType(source)))
    assert record["attributes"] == {"tool.name": "t", "x": [1]}
    assert record["attributes"]["x"] is source["x"]
    assert source == {"tavrix.tool.name": "t", "x": [1]}


def test_real_sdk_spans_match_the_python_version(sb, pyref, tracing):
    captured = []

    class Capture(sb.SpanProcessor):
        def on_end(self, span):
            captured.append(span)

    tracing.provider.add_span_processor(Capture())
    tracer = tracing.tracer()
    with tracer.start_as_current_span("outer", attributes={"gen_ai.request.model": "claude-3", "n": 3}):
        with tracer.start_as_current_span("SELECT", attributes={"db.system": "sqlite", "db.statement": "select 1",
                                                                "tags": ("a", "b")}) as span:
            span.set_status(Status(StatusCode.ERROR))
    inner, outer = captured
    for span in captured:
        assert sb._span_to_dict(span) == pyref._span_to_dict(span)
    record = sb._span_to_dict(inner)
    assert record["name"] == "sqlite SELECT" and record["status"] == "error"
    assert record["_otel_parent_id"] == format(outer.context.span_id, "016x")
    assert record["_otel_trace_id"] == format(outer.context.trace_id, "032x")
    assert sb._span_to_dict(outer)["kind"] == "llm"


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    trace_id=st.integers(min_value=-(2**70), max_value=2**130),
    span_id=st.one_of(st.integers(min_value=0, max_value=2**64 + 5), st.integers(min_value=2**63 - 3, max_value=2**63 + 3)),
    start=st.one_of(st.none(), st.integers(min_value=-(2**64), max_value=2**64)),
    end=st.one_of(st.none(), st.integers(min_value=0, max_value=2**64)),
)
def test_ids_and_timing_match_python(sb, pyref, fake_span, trace_id, span_id, start, end):
    # Ids written out here for up to 128 bits, format() beyond; durations
    # computed here for differences below 2**53, by the interpreter beyond.
    span = fake_span(context=SimpleNamespace(trace_id=trace_id, span_id=span_id), start_time=start, end_time=end,
                     parent=SimpleNamespace(span_id=span_id))
    assert sb._span_to_dict(span) == pyref._span_to_dict(span)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(keys=st.lists(st.sampled_from(["a", "b.c", "tavrix.a", "tavrix.b.c", "gen_ai.a", "gen_ai.tavrix.a",
                                      "tavrix.", "x"]), max_size=8))
def test_cleaned_keys_keep_their_order_and_the_later_value(sb, pyref, fake_span, keys):
    attributes = {key: index for index, key in enumerate(keys)}
    span = fake_span(attributes=attributes)
    record = sb._span_to_dict(span)
    assert record == pyref._span_to_dict(span)
    assert list(record["attributes"]) == list(pyref._span_to_dict(span)["attributes"])
