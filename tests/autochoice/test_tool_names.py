"""extract_tool_names_from_request."""

from __future__ import annotations

from types import SimpleNamespace

import pytest

from tavrix_observe.instrumentors._autochoice import extract_tool_names_from_request as extract


@pytest.mark.parametrize("kwargs", [{}, {"tools": None}, {"tools": []}, {"tools": ()}, {"toolConfig": {"tools": [{"name": "x"}]}}])
def test_no_tools_gives_a_new_empty_list(kwargs):
    first, second = extract(kwargs), extract(kwargs)
    assert first == [] and type(first) is list and first is not second


def test_nested_and_flat_dict_entries_in_request_order():
    tools = [
        {"type": "function", "function": {"name": "get_weather", "parameters": {}}},
        {"name": "search", "input_schema": {}},
        {"function": "not-a-dict", "name": "top_level"},
        {"type": "function", "function": {"description": "no name"}},
        {"nothing": True},
        {"name": "search"},
    ]
    assert extract({"tools": tools}) == ["get_weather", "search", "top_level", "search"]


def test_object_entries_and_any_iterable():
    entries = (
        SimpleNamespace(function=SimpleNamespace(name="nested")),
        SimpleNamespace(function=SimpleNamespace(), name="flat-fallback"),
        SimpleNamespace(name="flat"),
        SimpleNamespace(other=1),
        "a string has no name",
    )
    assert extract({"tools": iter(entries)}) == ["nested", "flat-fallback", "flat"]
    assert extract({"tools": {"k": 1}}) == []  # iterating a dict yields its keys


def test_names_are_taken_as_found():
    assert extract({"tools": [{"name": 7}, {"function": {"name": None}}]}) == [7, None]


def test_a_dict_subclass_uses_its_own_get_and_lookup():
    class Tool(dict):
        def get(self, key, default=None):
            return {"name": "from-get"} if key == "function" else default

    class Lazy(dict):
        def __missing__(self, key):
            return "missing-" + key

        def __contains__(self, key):
            return True

    assert extract({"tools": [Tool(), Lazy()]}) == ["from-get", "missing-name"]


def test_function_attribute_is_read_again_for_the_name():
    reads = []

    class Entry:
        @property
        def function(self):
            reads.append("function")
            return SimpleNamespace(name=f"read-{len(reads)}")

    assert extract({"tools": [Entry()]}) == ["read-3"]


class Exploding:
    @property
    def function(self):
        raise RuntimeError("probe failed")


@pytest.mark.parametrize(
    "tools, error",
    [
        (5, TypeError),  # true but not iterable
        ([Exploding()], RuntimeError),  # an attribute probe that fails otherwise than AttributeError
    ],
)
def test_errors_reach_the_caller(tools, error):
    with pytest.raises(error):
        extract({"tools": tools})


def test_a_failing_get_reaches_the_caller():
    class Broken(dict):
        def get(self, *args):
            raise LookupError("broken get")

    with pytest.raises(LookupError, match="broken get"):
        extract({"tools": [Broken()]})


def test_tools_mutated_while_read():
    tools = [{"name": "a"}, {"name": "b"}]

    class Growing(dict):
        def get(self, key, default=None):
            tools.append({"name": "late"})
            tools.clear()
            return default

    tools.insert(0, Growing())
    # The list shrinks under the loop: it stops as Python's own loop would.
    assert extract({"tools": tools}) == []
