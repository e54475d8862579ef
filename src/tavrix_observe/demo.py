"""A short demonstration of the native core: cost estimates and a tool decision.

    python -m tavrix_observe.demo
"""

from __future__ import annotations

import logging
import sys

from .context import TavrixContext
from .cost import estimate_cost, estimate_embedding_cost
from .instrumentors._autochoice import extract_tool_names_from_request, record_tool_decisions

CALLS = [
    ("gpt-4o", 1200, 350, "openai"),
    ("gpt-4o-mini-2024-07-18", 5000, 800, "openai"),
    ("claude-3-5-haiku", 1000, 1000, "anthropic"),
    ("models/gemini-1.5-pro-002", 3000, 200, "google"),
    ("gateway/anthropic/claude-3-haiku", 900, 100, ""),
    ("llama3", 900, 100, "ollama"),
    ("acme-experimental-1", 100, 100, "acme"),
]


def main() -> int:
    logging.basicConfig(stream=sys.stdout, level=logging.WARNING, format="  log %(levelname)s %(name)s: %(message)s")
    print("Cost estimates (US dollars)")
    width = max(len(model) for model, *_ in CALLS)
    for model, tokens_in, tokens_out, provider in CALLS:
        usd = estimate_cost(model, tokens_in, tokens_out, provider)
        print(f"  {model.ljust(width)}  in={tokens_in:>5}  out={tokens_out:>5}  provider={provider or '-':<9}  ${usd:.6f}")
    usd = estimate_embedding_cost("text-embedding-3-small", 20000)
    print(f"  {'text-embedding-3-small'.ljust(width)}  embedding of 20000 tokens            ${usd:.6f}")

    request = {
        "model": "gpt-4o",
        "tools": [
            {"type": "function", "function": {"name": "get_weather"}},
            {"type": "function", "function": {"name": "search_docs"}},
        ],
    }
    response_tool_calls = [{"name": "get_weather", "id": "call_1", "input": {"city": "Lisbon"}}]
    with TavrixContext(run_id="demo-run") as ctx:
        offered = extract_tool_names_from_request(request)
        record_tool_decisions(response_tool_calls, offered)
    print("\nTool decision recorded on run", ctx.run_id)
    for decision in ctx.decisions:
        for key, value in decision.items():
            print(f"  {key:<21} {value!r}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
