"""Plays one guarded agent run and prints its report (see the package docstring)."""

from __future__ import annotations

import argparse
import json
import logging
import re
import sqlite3
import sys
import urllib.request
from typing import Any

try:
    from opentelemetry.instrumentation.sqlite3 import SQLite3Instrumentor
    from opentelemetry.instrumentation.urllib import URLLibInstrumentor
    from opentelemetry.sdk.trace import TracerProvider
    from opentelemetry.sdk.trace.export import SimpleSpanProcessor
    from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

    from .agent import Agent
except ModuleNotFoundError as missing:
    if not (missing.name or "").startswith("opentelemetry"):
        raise
    sys.exit(f"python -m tavrix_observe.demo needs the OpenTelemetry SDK and its urllib and sqlite3 "
             f"instrumentations ({missing.name} is missing): pip install 'tavrix-observe[demo]'")

from ..client import TavrixObserveClient
from ..context import TavrixContext
from ..decisions.surface_gate import SurfacePolicy, set_policy
from ..instrumentors._guard import PromptGuardError, configure
from ..tracing.spanbridge import TavrixSpanProcessor
from .report import build_report, render_text
from .servers import FakeProvider, GuardServer

WEATHER_TOOL = {
    "type": "function",
    "function": {"name": "get_weather", "parameters": {"type": "object", "properties": {"city": {"type": "string"}}}},
}
SEARCH_TOOL = {"type": "function", "function": {"name": "search_docs", "parameters": {"type": "object"}}}

EMAIL = re.compile(r"[\w.+-]+@[\w-]+\.[\w.]+")


def scrub_content(text: str) -> str:
    """The run's content redaction: e-mail addresses never leave the process."""
    return EMAIL.sub("[email]", text)


def make_database() -> sqlite3.Connection:
    db = sqlite3.connect(":memory:", check_same_thread=False)
    db.cursor().executescript(
        """
        CREATE TABLE forecasts (city TEXT PRIMARY KEY, forecast TEXT, celsius INTEGER);
        INSERT INTO forecasts VALUES ('Lisbon', 'sunny', 24), ('Oslo', 'snow', -3);
        CREATE TABLE documents (id INTEGER PRIMARY KEY, body TEXT);
        INSERT INTO documents (body) VALUES ('Refunds are issued within 14 days.'),
                                            ('Contact support@example.com for escalations.');
        """
    )
    return db


def play(agent: Agent, provider: FakeProvider) -> dict[str, Any]:
    """The agent run; returns facts the report shows beside the run context."""
    blocked: list[dict[str, Any]] = []

    def attempt(step: str, action: str, model: str, messages: list[dict[str, Any]], **kw: Any) -> Any:
        configure(enabled=True, server=True, action=action)
        before = len(provider.received)
        try:
            return agent.chat(step, model, messages, **kw)
        except PromptGuardError as error:
            blocked.append({"step": step, "error": str(error),
                            "provider_requests_during_call": len(provider.received) - before})
            return None

    # 1. The policy gate refuses a model the organisation has blocked.
    attempt("policy", "block", "gpt-4-32k", [{"role": "user", "content": "Summarise the quarterly report."}])
    # 2. A credential in the prompt: the guard blocks the call.
    attempt("block", "block", "gpt-4o",
            [{"role": "user", "content": "Log in for me, my password: hunter2"}])
    # 3. A phone number in warn mode: logged, sent unchanged; the model asks for a tool.
    first = attempt("warn", "warn", "gpt-4o",
                    [{"role": "user", "content": "Text me at 555-123-4567: what is the weather in Lisbon?"}],
                    tools=[WEATHER_TOOL, SEARCH_TOOL])
    for call in first["tool_calls"]:
        result = agent.run_tool(call["name"], call["input"])
        attempt("answer", "warn", "gpt-4o-mini", [
            {"role": "user", "content": "What is the weather in Lisbon?"},
            {"role": "tool", "tool_call_id": call["id"], "content": json.dumps(result)},
        ])
    # 4. Retrieval for a support question.
    agent.retrieve("refund policy for jonas@example.org")
    # 5. Redact mode: local patterns and the server's name finding, replayed on each message.
    attempt("redact", "redact", "gpt-4o-mini", [
        {"role": "user", "content": "Customer Maria Gonzalez (maria.gonzalez@example.com) asks about refunds."},
        {"role": "user", "content": [{"type": "text", "text": "Reply to Maria Gonzalez by e-mail."},
                                     {"type": "image", "source": "chart.png"}]},
    ], system="You are the support assistant of Acme.")
    return {"blocked": blocked}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m tavrix_observe.demo", description=__doc__)
    parser.add_argument("--json", action="store_true", help="print the report as JSON")
    args = parser.parse_args(argv)

    warnings: list[str] = []

    class Collect(logging.Handler):
        def emit(self, record: logging.LogRecord) -> None:
            warnings.append(f"{record.name}: {record.getMessage()}")

    guard_logger = logging.getLogger("tavrix_observe")
    guard_logger.addHandler(Collect(logging.WARNING))
    guard_logger.propagate = False

    tracer_provider = TracerProvider()
    tracer_provider.add_span_processor(TavrixSpanProcessor())
    # Keeps every finished span, so the report can say what became of each.
    finished = InMemorySpanExporter()
    tracer_provider.add_span_processor(SimpleSpanProcessor(finished))
    tracer = tracer_provider.get_tracer("tavrix_observe.demo")
    URLLibInstrumentor().instrument(tracer_provider=tracer_provider)
    SQLite3Instrumentor().instrument(tracer_provider=tracer_provider)
    set_policy(SurfacePolicy(blocked_models=["gpt-4-32k"]))
    try:
        with FakeProvider() as provider, GuardServer() as guard_server:
            TavrixObserveClient.configure(api_key=GuardServer.API_KEY, base_url=guard_server.url)
            # Sends provider traffic through the fake provider, as a proxy.
            opener = urllib.request.build_opener(urllib.request.ProxyHandler({"http": provider.url}))
            database = make_database()
            setup_spans = len(finished.get_finished_spans())
            with TavrixContext(run_id="demo-run", content_redact_fn=scrub_content) as ctx:
                agent = Agent(ctx, tracer, opener, database)
                facts = play(agent, provider)
            facts["spans"] = finished.get_finished_spans()[setup_spans:]
            tracer_provider.shutdown()
            report = build_report(ctx, agent, provider, guard_server, facts, warnings)
    finally:
        URLLibInstrumentor().uninstrument()
        SQLite3Instrumentor().uninstrument()
        set_policy(None)
        TavrixObserveClient.reset()
        configure()

    if args.json:
        json.dump(report, sys.stdout, indent=2)
        sys.stdout.write("\n")
    else:
        sys.stdout.write(render_text(report))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
