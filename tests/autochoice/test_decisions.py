"""record_tool_decisions."""

from __future__ import annotations

import subprocess
import sys
import textwrap
import threading
from contextvars import ContextVar

import pytest

from tavrix_observe.context import TavrixContext
from tavrix_observe.instrumentors import _autochoice
from tavrix_observe.instrumentors._autochoice import record_tool_decisions as record


def test_module_attributes_in_documented_order():
    from tavrix_observe.instrumentors._context_var import _current_context

    names = [n for n in vars(_autochoice) if not n.startswith("__")]
    assert names == ["logging", "Any", "_current_context", "logger", "record_tool_decisions", "extract_tool_names_from_request"]
    assert _autochoice._current_context is _current_context
    assert _autochoice.logger.name == "tavrix_observe.instrumentors._autochoice"


def test_single_call_records_the_tool_and_the_offered_list(run_context):
    offered = ["search", "get_weather"]
    assert record([{"name": "get_weather", "id": "call_1", "input": {}}], offered) is None
    (decision,) = run_context.decisions
    assert decision == {
        "name": "tool_call:get_weather",
        "options": offered,
        "chosen": "get_weather",
        "reasoning": "Auto-detected from LLM tool_calls response",
        "instrumentation_type": "auto",
    }
    assert decision["options"] is offered


@pytest.mark.parametrize("available", [None, []])
def test_parallel_calls_without_offered_tools(run_context, available):
    record([{"name": "a"}, {"name": "b"}, {"name": "c"}], available)
    (decision,) = run_context.decisions
    assert decision == {
        "name": "tool_calls",
        "options": ["a", "b", "c"],
        "chosen": "a, b, c",
        "reasoning": "Auto-detected 3 parallel tool calls from LLM response",
        "instrumentation_type": "auto",
    }


def test_single_name_is_formatted_into_the_decision_name(run_context):
    record([{"name": 42}])
    (decision,) = run_context.decisions
    assert decision["name"] == "tool_call:42" and decision["chosen"] == 42


def test_nothing_without_a_run_or_without_calls(run_context):
    record([])
    assert run_context.decisions == []
    ctx = TavrixContext()
    assert record([{"name": "x"}]) is None  # the fixture's run is current here
    assert ctx.decisions == []
    token = _autochoice._current_context.set(None)
    try:
        assert record([{"name": "x"}]) is None
    finally:
        _autochoice._current_context.reset(token)
    assert len(run_context.decisions) == 1


class Sub(dict):
    pass


@pytest.mark.parametrize(
    "tool_calls",
    [
        [{"id": "no-name"}],
        [None],
        [Sub(name="x")],
        [{"name": "a"}, 5],
        [{"name": "a"}, {"name": 2}],  # the names cannot be joined
    ],
)
def test_bad_tool_calls_record_nothing_and_raise_nothing(run_context, tool_calls):
    assert record(tool_calls) is None
    assert run_context.decisions == []


def test_a_failing_record_decision_is_discarded():
    class Refusing(TavrixContext):
        def record_decision(self, **kwargs):
            raise ValueError("store is full")

    with Refusing():
        assert record([{"name": "x"}]) is None


def test_keyboard_interrupt_from_the_run_context_propagates():
    class Interrupting(TavrixContext):
        def record_decision(self, **kwargs):
            raise KeyboardInterrupt

    with Interrupting(), pytest.raises(KeyboardInterrupt):
        record([{"name": "x"}])


def test_a_broken_context_lookup_reaches_the_caller(fresh_module):
    module = fresh_module("tavrix_observe.instrumentors._autochoice")
    module._current_context = ContextVar("no_default")
    with pytest.raises(LookupError):
        module.record_tool_decisions([{"name": "x"}])
    del module._current_context
    with pytest.raises(NameError):
        module.record_tool_decisions([{"name": "x"}])


def test_the_context_variable_is_looked_up_at_each_call(monkeypatch):
    other = ContextVar("other", default=None)
    ctx = TavrixContext()
    other.set(ctx)
    monkeypatch.setattr(_autochoice, "_current_context", other)
    record([{"name": "x"}])
    assert [d["chosen"] for d in ctx.decisions] == ["x"]


def test_each_thread_records_into_its_own_run():
    runs = [TavrixContext(run_id=f"run-{i}") for i in range(8)]
    barrier = threading.Barrier(len(runs))

    def worker(ctx, i):
        with ctx:
            barrier.wait()
            for _ in range(100):
                record([{"name": f"tool-{i}"}])

    threads = [threading.Thread(target=worker, args=(ctx, i)) for i, ctx in enumerate(runs)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i, ctx in enumerate(runs):
        assert [d["chosen"] for d in ctx.decisions] == [f"tool-{i}"] * 100


def test_import_fails_without_the_context_variable():
    script = textwrap.dedent(
        """
        import sys
        sys.modules["tavrix_observe.instrumentors._context_var"] = None
        try:
            import tavrix_observe.instrumentors._autochoice
        except ImportError as exc:
            print("ImportError", exc.name)
        else:
            print("imported")
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert out.split() == ["ImportError", "tavrix_observe.instrumentors._context_var"]


def test_no_reference_leaks(run_context, block_growth):
    offered = ["a", "b"]

    def calls():
        record([{"name": "a"}], offered)
        record([{"name": "a"}, {"name": "b"}])
        record([{"id": 1}])
        record([None, 3])
        _autochoice.extract_tool_names_from_request({"tools": [{"function": {"name": "f"}}, {"name": "g"}]})
        for bad in (((),), ([], ())):
            try:
                record(*bad)
            except TypeError:
                pass
        run_context.decisions.clear()

    assert block_growth(calls) < 100
