"""The run context: the state of one agent run in progress.

A ``TavrixContext`` collects what the native core reports while the run is
current: span records converted from OpenTelemetry spans (``_otel_spans``),
the span records the SDK writes itself (``_spans``, for example through
``record_tool``), the integrations the spans reveal, the tool decisions and
the governance marks set by the prompt guard's policy gate.

    ctx = TavrixContext(content_redact_fn=scrub)
    with ctx:                      # current for this block, on this thread/task
        ...                        # instrumented work
    ctx.integrations, ctx.decisions, ctx.records()
"""

from __future__ import annotations

import time
import uuid
from typing import Any, Callable, Optional

from .instrumentors._context_var import _current_context

RedactFn = Callable[[str], Any]


class TavrixContext:
    """One agent run: the buffers and marks the native core writes into."""

    def __init__(self, run_id: Optional[str] = None, *, content_redact_fn: Optional[RedactFn] = None) -> None:
        self.run_id: Optional[str] = uuid.uuid4().hex if run_id is None else run_id
        self._content_redact_fn: Optional[RedactFn] = content_redact_fn
        self._otel_spans: list[dict[str, Any]] = []
        self._spans: list[dict[str, Any]] = []
        self.integrations: list[tuple[str, str]] = []
        self.decisions: list[dict[str, Any]] = []
        self._governance_blocked: bool = False
        self._governance_reason: Optional[str] = None
        self._tokens: list[Any] = []

    # --- what the native core calls ------------------------------------

    def _record_integration(self, name: str, category: str) -> None:
        self.integrations.append((name, category))

    def record_decision(
        self, *, name: str, options: Any, chosen: Any, reasoning: str, instrumentation_type: str
    ) -> None:
        self.decisions.append(
            {
                "name": name,
                "options": options,
                "chosen": chosen,
                "reasoning": reasoning,
                "instrumentation_type": instrumentation_type,
            }
        )

    # --- what the SDK's own instrumentation calls ----------------------

    def record_tool(
        self,
        name: str,
        *,
        input_data: Any = None,
        output_data: Any = None,
        status: str = "ok",
        duration_ms: Optional[int] = None,
        attributes: Optional[dict[str, Any]] = None,
    ) -> dict[str, Any]:
        """Records a tool call as a span record of kind "tool" in ``_spans``.

        The input and output leave the process with the record: with a
        redaction function, their text (str values, inside dicts and lists
        too) is recorded redacted.
        """
        redact = self._content_redact_fn
        if redact:
            input_data = _redacted(input_data, redact)
            output_data = _redacted(output_data, redact)
        record = self._sdk_record(name, "tool", status, duration_ms, input_data, output_data)
        record["attributes"] = dict(attributes) if attributes else {}
        self._spans.append(record)
        return record

    def record_llm_call(
        self,
        model: str,
        *,
        tokens_in: int = 0,
        tokens_out: int = 0,
        cost: float = 0.0,
        status: str = "ok",
        duration_ms: Optional[int] = None,
    ) -> dict[str, Any]:
        """Records an LLM call as a span record of kind "llm" in ``_spans``,
        the way the SDK's provider instrumentors record each call."""
        record = self._sdk_record(model, "llm", status, duration_ms, None, None)
        record["attributes"] = {
            "model": model,
            "tokens_in": tokens_in,
            "tokens_out": tokens_out,
            "total_tokens": tokens_in + tokens_out,
            "cost": cost,
        }
        self._spans.append(record)
        return record

    def _sdk_record(
        self, name: str, kind: str, status: str, duration_ms: Optional[int], input_data: Any, output_data: Any
    ) -> dict[str, Any]:
        now = time.time_ns()
        return {
            "name": name,
            "kind": kind,
            "status": status,
            "duration_ms": duration_ms,
            "attributes": {},
            "input_data": input_data,
            "output_data": output_data,
            "_otel_start_ns": now,
            "_otel_end_ns": now,
            "_otel_trace_id": "",
            "_otel_span_id": "",
            "_otel_parent_id": "",
            "_from_processor": False,
        }

    # --- reading back --------------------------------------------------

    def records(self) -> list[dict[str, Any]]:
        """Every span record of the run: the SDK's own, then the processor's."""
        return [*self._spans, *self._otel_spans]

    def unique_integrations(self) -> list[tuple[str, str]]:
        """The integrations recorded, each once, in the order first seen."""
        return list(dict.fromkeys(self.integrations))

    # --- making the run current ----------------------------------------

    def __enter__(self) -> "TavrixContext":
        self._tokens.append(_current_context.set(self))
        return self

    def __exit__(self, *exc_info: object) -> None:
        _current_context.reset(self._tokens.pop())

    def __repr__(self) -> str:
        return (
            f"<TavrixContext run_id={self.run_id!r} records={len(self._spans) + len(self._otel_spans)} "
            f"integrations={len(self.integrations)} decisions={len(self.decisions)}>"
        )


def _redacted(value: Any, redact: RedactFn) -> Any:
    """`value` with its text redacted: a str through `redact`, a dict or list
    copied with its str values (nested dicts and lists included) redacted,
    anything else as it is, as span records' tool input and output are."""
    if isinstance(value, str):
        return redact(value)
    if isinstance(value, dict):
        return {k: _redacted(v, redact) for k, v in value.items()}
    if isinstance(value, list):
        return [_redacted(v, redact) for v in value]
    return value


def current_context() -> Optional[TavrixContext]:
    """The run context current for this thread or task, or None."""
    return _current_context.get()
