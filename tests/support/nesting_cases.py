"""Every native recursion, driven to a given depth in a subprocess.

Run as ``python nesting_cases.py DEPTH STACK_KIB LIMIT``: sets the
recursion limit, runs every case of CASES at DEPTH on a new thread with a
STACK_KIB stack (on the main thread when STACK_KIB is 0) and prints one
JSON line per case, {"case", "outcome", "message"}, flushed before the next
case starts, so a crash names the case that caused it.

A case is one line of CASES: a name, a function that builds the input for
a depth, and a function that runs the entry point on it and either returns
an outcome ("ok" when the walk finished) or raises. An entry point that
recurses, on nested data or through a callback that calls it again, gets a
line here.
"""

from __future__ import annotations

import json
import sys
import threading
from typing import Any, Callable

from opentelemetry.sdk.trace import TracerProvider

from tavrix_observe.context import TavrixContext
from tavrix_observe.cost import estimate_cost
from tavrix_observe.instrumentors import _autochoice, _guard
from tavrix_observe.tracing import spanbridge as sb


def redact(text: str) -> str:
    """A redaction function written in Python, so every str on the way down
    runs interpreter frames below the native ones."""
    return text.upper()


def nested_dicts(depth: int) -> dict:
    top: dict = {}
    level = top
    for _ in range(depth):
        inner: dict = {"s": "text"}
        level["k"] = inner
        level = inner
    return top


def nested_lists(depth: int) -> list:
    top: list = []
    level = top
    for _ in range(depth):
        inner: list = ["text"]
        level.append(inner)
        level = inner
    return top


def alternating(depth: int) -> dict:
    top: dict = {}
    level: Any = top
    for i in range(depth):
        inner: Any = [] if i % 2 else {}
        if isinstance(level, dict):
            level["k"] = inner
        else:
            level.append(inner)
        level = inner
    return top


def ok(_result: object) -> str:
    return "ok"


class Reentrant(dict):
    """A message or block whose first get() calls `again` with one level
    less: recursion through the interpreter and back, not through data."""

    def __init__(self, depth: int, again: Callable[[int], object]) -> None:
        super().__init__(role="user", content="text", type="text", text="text")
        self.depth, self.again = depth, again

    def get(self, key: Any, default: Any = None) -> Any:
        depth, self.depth = self.depth, 0  # once per level, not once per read
        if depth > 0:
            self.again(depth - 1)
        return super().get(key, default)


def extract_text_again(depth: int) -> object:
    return _guard._extract_text([Reentrant(depth, extract_text_again)])


def redact_messages_again(depth: int) -> object:
    return _guard._redact_messages([{"content": [Reentrant(depth, redact_messages_again)]}])


def redact_messages_ml_again(depth: int) -> object:
    blocks = [Reentrant(depth, redact_messages_ml_again)]
    return _guard._redact_messages_ml([{"content": blocks}], "", [("text", "[T]")])


class Unpriced(str):
    """A price-table key whose comparison prices another model, `depth`
    times over (the lookup compares keys of equal hash)."""

    depth = 0

    def __hash__(self) -> int:
        return hash("m")

    def __eq__(self, other: object) -> bool:
        if Unpriced.depth > 0:
            Unpriced.depth -= 1
            estimate_cost("m", 1, 1)
        return False


def cost_again(depth: int) -> object:
    from tavrix_observe import cost

    saved = dict(cost.MODEL_COSTS)
    cost.MODEL_COSTS.clear()
    cost.MODEL_COSTS[Unpriced("x")] = {"input": 0.0, "output": 0.0}
    Unpriced.depth = depth
    try:
        return estimate_cost("m", 1, 1)
    finally:
        cost.MODEL_COSTS.clear()
        cost.MODEL_COSTS.update(saved)


class ToolCall(dict):
    """A tool entry whose first get() reads the tool names again, one level
    less deep."""

    def __init__(self, depth: int) -> None:
        super().__init__(function={"name": "search"})
        self.depth = depth

    def get(self, key: Any, default: Any = None) -> Any:
        depth, self.depth = self.depth, 0
        if depth > 0:
            tool_names_again(depth - 1)
        return super().get(key, default)


def tool_names_again(depth: int) -> object:
    try:
        return _autochoice.extract_tool_names_from_request({"tools": [ToolCall(depth)]})
    except RecursionError:
        raise
    except Exception:
        return None


def span_record(decoded: object) -> str:
    """A tool span ending in a run with a redaction function, its input
    decoding to `decoded`: the processor converts it and redacts the
    record. on_end swallows errors, so the outcome is whether the record
    landed."""
    import json as json_module

    provider = TracerProvider()
    provider.add_span_processor(sb.TavrixSpanProcessor())
    tracer = provider.get_tracer("nesting")
    loads = json_module.loads
    json_module.loads = lambda text, *a, **k: decoded if text == "deep" else loads(text, *a, **k)
    try:
        with TavrixContext(run_id="run-deep", content_redact_fn=redact) as ctx:
            attributes = {"tavrix.tool.name": "lookup", "tavrix.tool.input": "deep"}
            with tracer.start_as_current_span("lookup", attributes=attributes):
                pass
    finally:
        json_module.loads = loads
        provider.shutdown()
    return "recorded" if ctx._otel_spans else "dropped"


def depth_only(depth: int) -> int:
    return depth


# name: (build the input from the depth, run the entry point on it). Inputs
# are built, and freed, on the main thread: the interpreter's own
# deallocation of deeply nested containers needs more stack than a small
# thread has on some versions.
CASES: dict[str, tuple[Callable[[int], Any], Callable[[Any], object]]] = {
    "_redact_dict_values, nested dicts": (nested_dicts, lambda d: ok(sb._redact_dict_values(d, redact))),
    "_redact_dict_values, nested lists": (
        lambda n: {"k": nested_lists(n)},
        lambda d: ok(sb._redact_dict_values(d, redact)),
    ),
    "_redact_dict_values, dicts in lists": (alternating, lambda d: ok(sb._redact_dict_values(d, str.upper))),
    "_redact_span_dict, input_data": (
        lambda n: {"input_data": nested_dicts(n)},
        lambda d: ok(sb._redact_span_dict(d, redact)),
    ),
    "_redact_span_dict, output_data": (
        lambda n: {"output_data": nested_lists(n)},
        lambda d: ok(sb._redact_span_dict(d, redact)),
    ),
    "on_end, tool span record": (alternating, span_record),
    "_extract_text, re-entrant get": (depth_only, lambda n: ok(extract_text_again(n))),
    "_redact_messages, re-entrant get": (depth_only, lambda n: ok(redact_messages_again(n))),
    "_redact_messages_ml, re-entrant get": (depth_only, lambda n: ok(redact_messages_ml_again(n))),
    "estimate_cost, re-entrant key": (depth_only, lambda n: ok(cost_again(n))),
    "extract_tool_names_from_request, re-entrant get": (depth_only, lambda n: ok(tool_names_again(n))),
}


def run_all(inputs: dict[str, Any]) -> None:
    for name, (_build, run) in CASES.items():
        try:
            outcome, message = str(run(inputs[name])), ""
        except RecursionError as exc:
            outcome, message = "RecursionError", str(exc)
        except BaseException as exc:  # reported, never hidden
            outcome, message = type(exc).__name__, str(exc)
        print(json.dumps({"case": name, "outcome": outcome, "message": message}), flush=True)


def main() -> None:
    depth, stack_kib, limit = map(int, sys.argv[1:4])
    inputs = {name: build(depth) for name, (build, _run) in CASES.items()}
    sys.setrecursionlimit(limit)
    if stack_kib == 0:
        run_all(inputs)
        return
    threading.stack_size(stack_kib * 1024)
    thread = threading.Thread(target=run_all, args=(inputs,))
    thread.start()
    thread.join()


if __name__ == "__main__":
    main()
