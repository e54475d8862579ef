"""Plain-Python versions of estimate_cost and record_tool_decisions, with the
same steps and argument checks as the native functions, for the benchmarks.
The price tables are the native module's own, so both price alike."""

from __future__ import annotations

import logging

from tavrix_observe import cost as _native_cost
from tavrix_observe.instrumentors._context_var import _current_context

MODEL_COSTS = _native_cost.MODEL_COSTS
EMBEDDING_COSTS = _native_cost.EMBEDDING_COSTS
_FREE_PROVIDERS = _native_cost._FREE_PROVIDERS
_UNKNOWN_MODELS_LOGGED: set[str] = set()
_cost_logger = logging.getLogger("tavrix.observe.cost.pyref")


def _check_str(name, value):
    if type(value) is not str:
        raise TypeError(f"Argument '{name}' has incorrect type (expected str, got {type(value).__name__})")


def _to_int(name, value):
    if type(value) is int:
        return value
    if hasattr(type(value), "__int__") or hasattr(type(value), "__index__"):
        return int(value)
    raise TypeError(f"Argument '{name}' has incorrect type (expected int, got {type(value).__name__})")


def _row(value):
    if value is not None and type(value) is not dict:
        raise TypeError(f"Expected dict, got {type(value).__name__}")
    return value


def estimate_cost(model: str, tokens_in: int, tokens_out: int, provider: str = "") -> float:
    tokens_in = _to_int("tokens_in", tokens_in)
    tokens_out = _to_int("tokens_out", tokens_out)
    _check_str("model", model)
    _check_str("provider", provider)
    if provider and provider in _FREE_PROVIDERS:
        return 0.0
    if model.startswith("models/"):
        model = model[7:]
    costs = _row(MODEL_COSTS.get(model))
    if costs is None:
        for prefix in sorted(MODEL_COSTS.keys(), key=len, reverse=True):
            if model.startswith(prefix):
                costs = _row(MODEL_COSTS[prefix])
                break
    if costs is None and "/" in model:
        bare = model.split("/")[-1]
        costs = _row(MODEL_COSTS.get(bare))
        if costs is None:
            for prefix in sorted(MODEL_COSTS.keys(), key=len, reverse=True):
                if bare.startswith(prefix):
                    costs = _row(MODEL_COSTS[prefix])
                    break
    if costs is None:
        try:
            if model not in _UNKNOWN_MODELS_LOGGED:
                _UNKNOWN_MODELS_LOGGED.add(model)
                _cost_logger.warning("estimate_cost: no cost mapping for model=%r (provider=%r).", model, provider)
        except Exception:
            pass
        return 0.0
    return tokens_in * float(costs["input"]) + tokens_out * float(costs["output"])


def record_tool_decisions(tool_calls, available_tools=None) -> None:
    if type(tool_calls) is not list:
        raise TypeError(f"Argument 'tool_calls' has incorrect type (expected list, got {type(tool_calls).__name__})")
    if available_tools is not None and type(available_tools) is not list:
        raise TypeError(
            f"Argument 'available_tools' has incorrect type (expected list, got {type(available_tools).__name__})"
        )
    ctx = _current_context.get()
    if ctx is None or not tool_calls:
        return None
    try:
        chosen_names = []
        for tc in tool_calls:
            if tc is not None and type(tc) is not dict:
                raise TypeError(f"Expected dict, got {type(tc).__name__}")
            chosen_names.append(tc["name"])
        options = available_tools if available_tools else chosen_names
        if len(chosen_names) == 1:
            ctx.record_decision(
                name=f"tool_call:{chosen_names[0]}",
                options=options,
                chosen=chosen_names[0],
                reasoning="Auto-detected from LLM tool_calls response",
                instrumentation_type="auto",
            )
        else:
            ctx.record_decision(
                name="tool_calls",
                options=options,
                chosen=", ".join(chosen_names),
                reasoning=f"Auto-detected {len(chosen_names)} parallel tool calls from LLM response",
                instrumentation_type="auto",
            )
    except Exception:
        return None
    return None
