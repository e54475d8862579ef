"""Merging tool-span attributes into the tool entries the SDK recorded."""

from __future__ import annotations

from types import SimpleNamespace

import pytest

from tavrix_observe.context import TavrixContext

TOOL_SPAN = {
    "tavrix.span_type": "tool_call",
    "tavrix.tool": "search",
    "tavrix.tool.name": "search",
    "tavrix.tool.type": "function",
    "openinference.span.kind": "TOOL",
    "tavrix.tool.input": '{"q": "span"}',
    "tavrix.tool.output": '"found"',
    "http.url": "https://example.com/",
}


def span_with_id(span_id=255):
    return SimpleNamespace(context=SimpleNamespace(span_id=span_id))


def test_merge_enriches_the_latest_matching_entry(sb):
    ctx = TavrixContext()
    first = ctx.record_tool("search", attributes={"tool.input": "recorded"})
    other_name = ctx.record_tool("fetch")
    latest = ctx.record_tool("search", attributes={"tool.input": "recorded"})
    ctx._spans.append({"kind": "llm", "name": "search", "attributes": {}})
    before = [dict(e) for e in ctx._spans]

    assert sb._merge_otel_attrs_into_recorded_span(ctx, span_with_id(), dict(TOOL_SPAN)) is None
    assert latest["attributes"] == {"tool.input": "recorded", "tool.output": '"found"', "http.url": "https://example.com/"}
    assert latest["_otel_span_id"] == "00000000000000ff"
    assert first == before[0] and other_name == before[1] and ctx._spans[3] == before[3]


@pytest.mark.parametrize(
    "attrs",
    [
        {**TOOL_SPAN, "tavrix.span_type": "llm_call"},
        {**TOOL_SPAN, "tavrix.tool": ""},
        {k: v for k, v in TOOL_SPAN.items() if k != "tavrix.tool"},
        {**TOOL_SPAN, "tavrix.tool": "unknown"},
    ],
)
def test_merge_changes_nothing(sb, attrs):
    ctx = TavrixContext()
    entry = ctx.record_tool("search")
    before = dict(entry)
    sb._merge_otel_attrs_into_recorded_span(ctx, span_with_id(), attrs)
    assert entry == before


@pytest.mark.parametrize(
    "ctx",
    [
        SimpleNamespace(),
        SimpleNamespace(_spans=[]),
        SimpleNamespace(_spans=None),
        SimpleNamespace(_spans=5),
        SimpleNamespace(_spans=[5, {"kind": "tool", "name": "search"}]),
        SimpleNamespace(_spans={"kind": "tool"}),
    ],
)
def test_merge_swallows_odd_run_contexts(sb, ctx):
    assert sb._merge_otel_attrs_into_recorded_span(ctx, span_with_id(), dict(TOOL_SPAN)) is None


@pytest.mark.parametrize(
    "attributes, span, expected_id",
    [
        (None, span_with_id(), "00000000000000ff"),
        ("not a dict", SimpleNamespace(context=None), "old"),
        ({}, SimpleNamespace(context=SimpleNamespace()), "old"),
        ({}, SimpleNamespace(), "old"),
        ({}, span_with_id(0), "old"),
    ],
)
def test_merge_attributes_and_span_id(sb, attributes, span, expected_id):
    entry = {"kind": "tool", "name": "search", "attributes": attributes, "_otel_span_id": "old"}
    ctx = SimpleNamespace(_spans=[entry])
    sb._merge_otel_attrs_into_recorded_span(ctx, span, dict(TOOL_SPAN))
    assert entry["attributes"] == {"tool.input": '{"q": "span"}', "tool.output": '"found"',
                                   "http.url": "https://example.com/"}
    assert entry["_otel_span_id"] == expected_id


def test_merge_into_mapping_entries_and_reversible_sequences(sb):
    class Entry(dict):
        pass

    entry = Entry(kind="tool", name="search")
    ctx = SimpleNamespace(_spans=(entry,))
    sb._merge_otel_attrs_into_recorded_span(ctx, span_with_id(), dict(TOOL_SPAN))
    assert entry["attributes"]["http.url"] == "https://example.com/"


def test_merge_stops_at_a_key_that_fails_but_keeps_what_it_added(sb):
    existing = {}
    entry = {"kind": "tool", "name": "search", "attributes": existing}
    attrs = {"tavrix.span_type": "tool_call", "tavrix.tool": "search", "a": 1, 5: "not a str key", "b": 2}
    sb._merge_otel_attrs_into_recorded_span(SimpleNamespace(_spans=[entry]), span_with_id(), attrs)
    assert existing == {"a": 1}
    assert "_otel_span_id" not in entry


def test_merge_into_the_span_attributes_themselves(sb):
    # The entry's attributes are the very dict being walked: it grows, and
    # the walk stops as Python's own iteration would.
    attrs = dict(TOOL_SPAN)
    entry = {"kind": "tool", "name": "search", "attributes": attrs}
    sb._merge_otel_attrs_into_recorded_span(SimpleNamespace(_spans=[entry]), span_with_id(), attrs)
    assert "tool.input" in attrs


def test_merge_argument_types(sb):
    with pytest.raises(TypeError, match=r"Argument 'attrs' has incorrect type \(expected dict, got mappingproxy\)"):
        from types import MappingProxyType

        sb._merge_otel_attrs_into_recorded_span(None, None, MappingProxyType({}))


@pytest.mark.parametrize(
    "key, expected",
    [
        ("tavrix.tool.input", "tool.input"),
        ("gen_ai.usage.input_tokens", "usage.input_tokens"),
        ("tavrix.llm.model", "llm.model"),
        ("http.url", "http.url"),
        ("tavrix.", ""),
        ("gen_ai", "gen_ai"),
        ("tavrix_x.y", "tavrix_x.y"),
    ],
)
def test_clean_attr_key(sb, pyref, key, expected):
    assert sb._clean_attr_key(key) == expected == pyref._clean_attr_key(key)
