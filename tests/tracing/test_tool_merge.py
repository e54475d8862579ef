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


class EqualToAll(str):
    """A str whose comparisons answer otherwise than its characters."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        return True

    def __ne__(self, other):
        return False


def test_merge_compares_what_is_not_an_exact_str_as_python_does(sb, pyref):
    merged = []
    for module in (sb, pyref):
        ctx = TavrixContext()
        entry = ctx.record_tool("search")
        entry["kind"], entry["name"] = EqualToAll("function"), EqualToAll("other")
        attrs = {**TOOL_SPAN, "tavrix.span_type": EqualToAll("step")}
        module._merge_otel_attrs_into_recorded_span(ctx, span_with_id(), attrs)
        merged.append((entry["attributes"], entry.get("_otel_span_id")))
    assert merged[0] == merged[1]
    assert merged[0][0]["tool.output"] == '"found"'


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


# --- what the merge copies leaves the process redacted -----------------------


class Scrub:
    """A redaction function that upper-cases text and remembers what it saw."""

    def __init__(self, fail_on=None):
        self.seen = []
        self.fail_on = fail_on

    def __call__(self, text):
        self.seen.append(text)
        if text == self.fail_on:
            raise ValueError("cannot redact")
        return text.upper()


class Text(str):
    pass


class Items(list):
    pass


REDACTED_SPAN = {
    "tavrix.span_type": "tool_call",
    "tavrix.tool": "search",
    "tavrix.tool.name": "search",
    "tavrix.tool.input": '{"to": "ada@example.com"}',
    "tavrix.tool.latency_ms": 41,
    "tags": ("mail", 3, "inbox"),
    "recipients": ["ada@example.com", None],
    "subclassed": Text("kept as text"),
    "own list": Items(["as it is"]),
    "already": "span value",
    "flag": True,
}


@pytest.mark.parametrize("module", ["sb", "pyref"])
def test_merge_redacts_what_it_copies(module, request):
    merge = request.getfixturevalue(module)._merge_otel_attrs_into_recorded_span
    scrub = Scrub()
    entry = {"kind": "tool", "name": "search", "attributes": {"already": "entry value"}}
    ctx = SimpleNamespace(_spans=[entry], _content_redact_fn=scrub)
    merge(ctx, span_with_id(), dict(REDACTED_SPAN))
    attributes = entry["attributes"]
    assert attributes == {
        "already": "entry value",
        "tool.input": '{"TO": "ADA@EXAMPLE.COM"}',
        "tool.latency_ms": 41,
        "tags": ("MAIL", 3, "INBOX"),
        "recipients": ["ADA@EXAMPLE.COM", None],
        "subclassed": "KEPT AS TEXT",
        "own list": ["as it is"],
        "flag": True,
    }
    assert type(attributes["tags"]) is tuple and type(attributes["own list"]) is Items
    # Values the entry had are never handed to the function; the rest once each.
    assert sorted(scrub.seen) == sorted(['{"to": "ada@example.com"}', "mail", "inbox", "ada@example.com",
                                         "kept as text"])
    assert entry["_otel_span_id"] == "00000000000000ff"


@pytest.mark.parametrize("module", ["sb", "pyref"])
@pytest.mark.parametrize("redact_fn", [None, "", 0])
def test_merge_without_a_redaction_function_copies_as_is(module, request, redact_fn):
    merge = request.getfixturevalue(module)._merge_otel_attrs_into_recorded_span
    entry = {"kind": "tool", "name": "search"}
    merge(SimpleNamespace(_spans=[entry], _content_redact_fn=redact_fn), span_with_id(), dict(REDACTED_SPAN))
    assert entry["attributes"]["tool.input"] == '{"to": "ada@example.com"}'
    assert entry["attributes"]["recipients"] == ["ada@example.com", None]


@pytest.mark.parametrize("module", ["sb", "pyref"])
def test_a_failing_redaction_ends_the_merge_with_only_redacted_values_copied(module, request):
    merge = request.getfixturevalue(module)._merge_otel_attrs_into_recorded_span
    existing = {}
    entry = {"kind": "tool", "name": "search", "attributes": existing, "_otel_span_id": "old"}
    ctx = SimpleNamespace(_spans=[entry], _content_redact_fn=Scrub(fail_on="mail"))
    assert merge(ctx, span_with_id(), dict(REDACTED_SPAN)) is None
    # The keys before "tags" were copied, redacted; nothing after it, no id.
    assert existing == {"tool.input": '{"TO": "ADA@EXAMPLE.COM"}', "tool.latency_ms": 41}
    assert entry["_otel_span_id"] == "old"


def test_the_redaction_function_is_read_once_after_the_spans(sb, pyref):
    for module in (sb, pyref):
        reads = []

        class Run:
            @property
            def _spans(self):
                reads.append("_spans")
                return [{"kind": "tool", "name": "search"}]

            @property
            def _content_redact_fn(self):
                reads.append("_content_redact_fn")
                return str.upper

        module._merge_otel_attrs_into_recorded_span(Run(), span_with_id(), dict(REDACTED_SPAN))
        assert reads == ["_spans", "_content_redact_fn"]


def test_a_redacted_tool_span_through_the_processor(tracing):
    scrub = Scrub()
    ctx = TavrixContext(run_id="r", content_redact_fn=scrub)
    entry = ctx.record_tool("search", input_data={"to": "ada@example.com"}, output_data="sent to ada@example.com")
    with ctx:
        with tracing.tracer().start_as_current_span("execute_tool search", attributes=REDACTED_SPAN_SDK):
            pass
    # What the run context recorded and what the merge added, both redacted.
    assert entry["input_data"] == {"to": "ADA@EXAMPLE.COM"}
    assert entry["output_data"] == "SENT TO ADA@EXAMPLE.COM"
    assert entry["attributes"]["tool.input"] == '{"TO": "ADA@EXAMPLE.COM"}'
    assert entry["attributes"]["recipients"] == ("ADA@EXAMPLE.COM", "BOB@EXAMPLE.COM")
    assert ctx._otel_spans == []


REDACTED_SPAN_SDK = {
    "tavrix.span_type": "tool_call",
    "tavrix.tool": "search",
    "tavrix.tool.input": '{"to": "ada@example.com"}',
    "recipients": ["ada@example.com", "bob@example.com"],
}


@pytest.mark.parametrize(
    "input_data, output_data, expected_input, expected_output",
    [
        ("ada@example.com", None, "ADA@EXAMPLE.COM", None),
        ({"to": ["ada@example.com", {"cc": "bob@example.com"}], "n": 2}, 5,
         {"to": ["ADA@EXAMPLE.COM", {"cc": "BOB@EXAMPLE.COM"}], "n": 2}, 5),
        (("a tuple",), [["nested"]], ("a tuple",), [["NESTED"]]),
    ],
)
def test_record_tool_redacts_what_it_records(input_data, output_data, expected_input, expected_output):
    ctx = TavrixContext(content_redact_fn=str.upper)
    entry = ctx.record_tool("search", input_data=input_data, output_data=output_data)
    assert (entry["input_data"], entry["output_data"]) == (expected_input, expected_output)
    plain = TavrixContext().record_tool("search", input_data=input_data)
    assert plain["input_data"] is input_data
