"""The SDK-side pieces of the demo run: an instrumented chat client that
guards each call the way the SDK's provider instrumentors do, and a tool
runner that records tool calls the way the SDK's tool instrumentation does."""

from __future__ import annotations

import json
import sqlite3
import time
import urllib.request
from dataclasses import dataclass, field
from typing import Any, Optional

from opentelemetry.trace import Tracer

from ..context import TavrixContext
from ..cost import estimate_cost
from ..instrumentors._autochoice import extract_tool_names_from_request, record_tool_decisions
from ..instrumentors._guard import PromptGuardError, check_prompt
from .servers import PROVIDER_URL


@dataclass
class GuardOutcome:
    """What the guard said about one model call, and what happened next."""

    step: str
    model: str
    action: str
    violations: list[str]
    source: str
    sent: bool
    sent_messages: Optional[list[Any]] = None


@dataclass
class ModelCall:
    step: str
    model: str
    tokens_in: int
    tokens_out: int
    cost_usd: float


@dataclass
class Agent:
    ctx: TavrixContext
    tracer: Tracer
    opener: urllib.request.OpenerDirector
    database: sqlite3.Connection
    guard_log: list[GuardOutcome] = field(default_factory=list)
    calls: list[ModelCall] = field(default_factory=list)

    # --- the instrumented provider client ------------------------------

    def chat(self, step: str, model: str, messages: list[dict[str, Any]], *, system: str = "",
             tools: Optional[list[dict[str, Any]]] = None) -> dict[str, Any]:
        request: dict[str, Any] = {"model": model, "messages": messages}
        if tools:
            request["tools"] = tools
        offered = extract_tool_names_from_request(request)
        verdict = check_prompt(messages, model, system)
        if verdict is not None and verdict.action == "block":
            self.guard_log.append(GuardOutcome(step, model, "block", list(verdict.violations), verdict.source, False))
            raise PromptGuardError(verdict)
        if verdict is not None and verdict.action == "redact":
            messages = verdict.redacted_messages
            system = getattr(verdict, "_redacted_system", system)
        self.guard_log.append(
            GuardOutcome(step, model, verdict.action if verdict else "allow",
                         list(verdict.violations) if verdict else [], verdict.source if verdict else "-",
                         True, messages)
        )
        body = {**request, "messages": ([{"role": "system", "content": system}] if system else []) + messages}
        attributes = {"tavrix.span_type": "llm_call", "gen_ai.provider.name": "openai",
                      "gen_ai.request.model": model}
        started = time.perf_counter()
        with self.tracer.start_as_current_span(f"chat {model}", attributes=attributes) as span:
            http_request = urllib.request.Request(
                PROVIDER_URL, data=json.dumps(body).encode(), method="POST",
                headers={"Content-Type": "application/json", "Authorization": "Bearer sk-demo"})
            with self.opener.open(http_request, timeout=10) as response:
                answer = json.loads(response.read())
            usage = answer["usage"]
            span.set_attribute("gen_ai.usage.input_tokens", usage["prompt_tokens"])
            span.set_attribute("gen_ai.usage.output_tokens", usage["completion_tokens"])
        message = answer["choices"][0]["message"]
        tool_calls = [
            {"name": c["function"]["name"], "id": c["id"], "input": json.loads(c["function"]["arguments"])}
            for c in message.get("tool_calls") or []
        ]
        record_tool_decisions(tool_calls, offered)
        usd = estimate_cost(model, usage["prompt_tokens"], usage["completion_tokens"], "openai")
        self.calls.append(ModelCall(step, model, usage["prompt_tokens"], usage["completion_tokens"], usd))
        self.ctx.record_llm_call(model, tokens_in=usage["prompt_tokens"], tokens_out=usage["completion_tokens"],
                                 cost=usd, duration_ms=int((time.perf_counter() - started) * 1000))
        return {"message": message, "tool_calls": tool_calls}

    # --- tools -----------------------------------------------------------

    def run_tool(self, name: str, arguments: dict[str, Any]) -> Any:
        """Records the tool entry, then runs the tool inside the SDK's tool span;
        the span's attributes are merged into the entry when it ends."""
        self.ctx.record_tool(name, input_data=arguments)
        attributes = {"tavrix.span_type": "tool_call", "tavrix.tool": name, "tavrix.tool.name": name,
                      "tavrix.tool.type": "function", "tavrix.tool.input": json.dumps(arguments)}
        with self.tracer.start_as_current_span(f"execute_tool {name}", attributes=attributes) as span:
            cursor = self.database.cursor()
            cursor.execute("SELECT city, forecast, celsius FROM forecasts WHERE city = ?", (arguments["city"],))
            row = cursor.fetchone()
            result = {"city": row[0], "forecast": row[1], "celsius": row[2]}
            span.set_attribute("tavrix.tool.output", json.dumps(result))
            span.set_attribute("tavrix.tool.status", "ok")
            span.set_attribute("tool.source", "sqlite")
        return result

    def retrieve(self, query: str) -> list[str]:
        """A retrieval step as a vector-store integration would trace it."""
        attributes = {"tavrix.retrieval.collection": "support_docs", "retrieval.query": query,
                      "retrieval.top_k": 2}
        with self.tracer.start_as_current_span("vector_search support_docs", attributes=attributes) as span:
            cursor = self.database.cursor()
            cursor.execute("SELECT id, body FROM documents ORDER BY id LIMIT 2")
            rows = [body for _, body in cursor.fetchall()]
            span.set_attribute("retrieval.documents.count", len(rows))
        return rows
