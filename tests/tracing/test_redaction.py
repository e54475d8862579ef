"""Redaction of span records, including redaction functions and keys that
change the containers being walked, and nesting too deep to walk."""

from __future__ import annotations

import copy
import threading

import pytest


def upper(text):
    return text.upper()


def record(**fields):
    base = {"name": "n", "kind": "tool", "status": "ok", "input_data": None, "output_data": None, "attributes": {},
            "_otel_trace_id": "t", "_otel_span_id": "s", "_otel_parent_id": "p"}
    base.update(fields)
    return base


def test_input_and_output_data(sb):
    decoded = {"q": "alice@example.com", "n": 1}
    span_dict = record(input_data="hello", output_data=decoded)
    assert sb._redact_span_dict(span_dict, upper) is None
    assert span_dict["input_data"] == "HELLO"
    assert span_dict["output_data"] == {"q": "ALICE@EXAMPLE.COM", "n": 1}
    assert decoded == {"q": "alice@example.com", "n": 1}


@pytest.mark.parametrize(
    "value, expected",
    [
        ({"out": [{"k": "v"}, "s", 3, ["a", ["b"]]]}, {"out": [{"k": "V"}, "S", 3, ["A", ["B"]]]}),
        (["alice@example.com", {"x": "y"}, None], ["ALICE@EXAMPLE.COM", {"x": "Y"}, None]),
        ([], []),
        ({"t": ("a",), "b": True, "f": 1.5}, {"t": ("a",), "b": True, "f": 1.5}),
    ],
)
def test_lists_are_content_too(sb, pyref, value, expected):
    original = copy.deepcopy(value)
    for module in (sb, pyref):
        span_dict = record(output_data=value)
        module._redact_span_dict(span_dict, upper)
        assert span_dict["output_data"] == expected
    assert value == original


def test_attributes_are_redacted_in_place(sb, pyref):
    for module in (sb, pyref):
        attrs = {"http.method": "get", "model": "gpt", "tokens_in": 3, "tags": ("a", 1), "ids": ["x", None],
                 "nested": {"k": "v"}}
        span_dict = record(attributes=attrs)
        module._redact_span_dict(span_dict, upper)
        assert span_dict["attributes"] is attrs
        assert attrs == {"http.method": "GET", "model": "GPT", "tokens_in": 3, "tags": ("A", 1), "ids": ["X", None],
                         "nested": {"k": "v"}}
        assert type(attrs["tags"]) is tuple and type(attrs["ids"]) is list


@pytest.mark.parametrize("attributes", [{}, None, "text", ["a"]])
def test_attributes_that_are_not_walked(sb, attributes):
    span_dict = record(attributes=attributes)
    sb._redact_span_dict(span_dict, upper)
    assert span_dict["attributes"] == attributes


def test_identity_fields_never_reach_the_redaction_function(sb):
    seen = []
    span_dict = record(input_data="i", attributes={"a": "b"})
    sb._redact_span_dict(span_dict, lambda text: seen.append(text) or text)
    assert seen == ["i", "b"]


def test_redacted_values_are_stored_as_returned(sb):
    span_dict = record(input_data="i", attributes={"a": "b"})
    sb._redact_span_dict(span_dict, len)
    assert span_dict["input_data"] == 1 and span_dict["attributes"] == {"a": 1}


def test_redact_dict_values_returns_new_containers(sb):
    inner = ["a"]
    source = {"l": inner, "d": {"x": "y"}}
    result = sb._redact_dict_values(source, upper)
    assert result == {"l": ["A"], "d": {"x": "Y"}}
    assert result["l"] is not inner and source == {"l": ["a"], "d": {"x": "y"}}


# --- Python code that changes what is being walked ------------------------


def test_redaction_function_that_grows_the_dict(sb, pyref):
    for module in (sb, pyref):
        source = {"a": "x", "b": "y"}

        def grow(text):
            source[text + "!"] = text
            return text

        with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
            module._redact_dict_values(source, grow)


def test_redaction_function_that_empties_the_list(sb, pyref):
    results = []
    for module in (sb, pyref):
        items = ["a", {"k": "v"}, "b", "c"]

        def shrink(text):
            items.clear()
            return text * 2

        results.append(module._redact_dict_values({"items": items}, shrink))
    assert results[0] == results[1] == {"items": ["aa"]}


def test_redaction_function_that_replaces_the_attributes(sb, pyref):
    for module in (sb, pyref):
        span_dict = record(attributes={"a": "x", "b": "y", "c": "z"})

        def swap(text):
            attrs = span_dict["attributes"]
            attrs.clear()
            span_dict["attributes"] = None
            return text

        with pytest.raises(RuntimeError):
            module._redact_span_dict(span_dict, swap)


class MeddlingKey:
    """A key whose hash or equality changes the dict it came from."""

    def __init__(self, name, victim):
        self.name, self.victim = name, victim

    def __hash__(self):
        self.victim.clear()
        return hash(self.name)

    def __eq__(self, other):
        self.victim.clear()
        return isinstance(other, MeddlingKey) and other.name == self.name


def test_key_hash_that_empties_the_source(sb, pyref):
    for module in (sb, pyref):
        source = {}
        source.update({MeddlingKey("k", source): "v", "other": "w"})
        with pytest.raises(RuntimeError):
            module._redact_dict_values(source, upper)


def test_key_equality_that_empties_the_attributes(sb, pyref):
    for module in (sb, pyref):
        attrs = {}
        key = MeddlingKey("k", attrs)
        dict.__setitem__(attrs, key, "v")  # hashing now would clear it; set through dict itself
        attrs["other"] = "w"
        span_dict = record(attributes=attrs)
        with pytest.raises(RuntimeError):
            module._redact_span_dict(span_dict, upper)


# --- nesting --------------------------------------------------------------


def nested_dicts(depth):
    root = current = {}
    for _ in range(depth):
        current["d"] = current = {}
    current["s"] = "x"
    return root


def nested_lists(depth):
    root = current = []
    for _ in range(depth):
        inner = []
        current.append(inner)
        current = inner
    return {"l": root}


def alternating(depth):
    root = current = {}
    for _ in range(depth):
        inner = {}
        current["l"] = [inner]
        current = inner
    return root


def self_referencing():
    d = {"s": "x"}
    d["self"] = d
    return d


def list_in_itself():
    items = ["x"]
    items.append(items)
    return {"l": items}


@pytest.mark.parametrize("make", [nested_dicts, nested_lists, alternating])
def test_deep_nesting_raises_recursion_error(sb, make):
    with pytest.raises(RecursionError):
        sb._redact_dict_values(make(100_000), upper)


@pytest.mark.parametrize("make", [self_referencing, list_in_itself])
def test_cycles_raise_recursion_error(sb, make):
    with pytest.raises(RecursionError):
        sb._redact_dict_values(make(), upper)
    with pytest.raises(RecursionError):
        sb._redact_span_dict(record(output_data=make()), upper)


def test_deep_nesting_in_a_thread(sb):
    errors = []

    def run():
        for make in (nested_dicts, nested_lists, alternating):
            try:
                sb._redact_dict_values(make(50_000), upper)
            except RecursionError as exc:
                errors.append(exc)

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    assert len(errors) == 3


def test_moderate_nesting_is_redacted(sb, pyref):
    data = alternating(100)
    assert sb._redact_dict_values(data, upper) == pyref._redact_dict_values(data, upper)


def test_deep_nesting_through_a_rebound_wrapper_raises_recursion_error(fresh_module):
    # The nested calls reach the native function through a wrapper, not as a
    # call between native functions: still counted, still no crash.
    import functools

    module = fresh_module("tavrix_observe.tracing.spanbridge")
    module._redact_dict_values = functools.partial(module._redact_dict_values)
    with pytest.raises(RecursionError):
        module._redact_dict_values(nested_dicts(100_000), upper)
