"""estimate_cost and record_tool_decisions against plain-Python versions."""

from __future__ import annotations

import logging

import pyref_cost
from harness import compare, print_table

from tavrix_observe.context import TavrixContext
from tavrix_observe.cost import estimate_cost
from tavrix_observe.instrumentors._autochoice import record_tool_decisions


class _Sink(TavrixContext):
    """A run context that drops decisions, so the buffer does not grow."""

    def record_decision(self, **kwargs):
        return None


def main() -> None:
    logging.getLogger("tavrix.observe.cost").setLevel(logging.ERROR)
    cases = [
        ("estimate_cost exact hit", ("gpt-4o", 1000, 500)),
        ("estimate_cost versioned (prefix)", ("gpt-4o-mini-2024-07-18", 1000, 500)),
        ("estimate_cost namespaced (last segment)", ("gateway/anthropic/claude-3-haiku", 1000, 500)),
        ("estimate_cost unpriced", ("acme-unpriced-model", 1000, 500)),
    ]
    results = []
    for name, (model, tokens_in, tokens_out) in cases:
        estimate_cost(model, tokens_in, tokens_out)  # warm up; an unpriced name is reported once
        pyref_cost.estimate_cost(model, tokens_in, tokens_out)
        native = lambda f=estimate_cost, m=model, i=tokens_in, o=tokens_out: f(m, i, o)  # noqa: E731
        python = lambda f=pyref_cost.estimate_cost, m=model, i=tokens_in, o=tokens_out: f(m, i, o)  # noqa: E731
        results.append(compare(name, native, python))
    print_table("cost.estimate_cost", results)

    one = [{"name": "get_weather", "id": "c1"}]
    three = [{"name": "a"}, {"name": "b"}, {"name": "c"}]
    offered = ["get_weather", "search"]
    results = []
    with _Sink():
        results.append(
            compare("record_tool_decisions 1 call", lambda: record_tool_decisions(one, offered),
                    lambda: pyref_cost.record_tool_decisions(one, offered))
        )
        results.append(
            compare("record_tool_decisions 3 calls", lambda: record_tool_decisions(three),
                    lambda: pyref_cost.record_tool_decisions(three))
        )
    print_table("_autochoice.record_tool_decisions", results)


if __name__ == "__main__":
    main()
