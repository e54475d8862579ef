"""Quick start: one guarded, traced agent step, run against loopback only.

    pip install "tavrix-observe[demo]"      # the SDK and the urllib and sqlite3 instrumentations
    python examples/quickstart.py

A chat-completions-style model on 127.0.0.1 (started here) is asked about
the weather; the prompt guard redacts the e-mail address in the prompt; the
model answers with a tool call; the tool runs inside a tool span and reads a
sqlite3 database; the cost of the call is estimated. Then the run's records
are printed.
"""

from __future__ import annotations

import json
import re
import sqlite3
import threading
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

# --- a model to talk to: a chat-completions-style API on loopback -------------


class FakeModel(BaseHTTPRequestHandler):
    """Answers every request with one call of the tool get_weather."""

    received: list[dict[str, Any]] = []

    def do_POST(self) -> None:
        request = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
        FakeModel.received.append(request)
        call = {"id": "call_1", "type": "function",
                "function": {"name": "get_weather", "arguments": json.dumps({"city": "Lisbon"})}}
        body = json.dumps({"choices": [{"message": {"role": "assistant", "tool_calls": [call]}}],
                           "usage": {"prompt_tokens": 42, "completion_tokens": 12}}).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args: Any) -> None:  # quiet
        pass


def start_model() -> tuple[ThreadingHTTPServer, str]:
    """The model's server on 127.0.0.1 (a free port), and its URL."""
    server = ThreadingHTTPServer(("127.0.0.1", 0), FakeModel)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"http://127.0.0.1:{server.server_address[1]}/v1/chat/completions"


def post_json(url: str, body: dict[str, Any]) -> dict[str, Any]:
    request = urllib.request.Request(url, data=json.dumps(body).encode(), method="POST",
                                     headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=10) as response:
        return json.loads(response.read())


# --- the quick start: the README shows the file from here on -------------------

from opentelemetry import trace
from opentelemetry.instrumentation.sqlite3 import SQLite3Instrumentor
from opentelemetry.instrumentation.urllib import URLLibInstrumentor
from opentelemetry.sdk.trace import TracerProvider

from tavrix_observe.context import TavrixContext
from tavrix_observe.cost import estimate_cost
from tavrix_observe.instrumentors._autochoice import extract_tool_names_from_request, record_tool_decisions
from tavrix_observe.instrumentors._guard import PromptGuardError, check_prompt, configure
from tavrix_observe.tracing.spanbridge import TavrixSpanProcessor

provider = TracerProvider()
provider.add_span_processor(TavrixSpanProcessor())  # once, at start-up
trace.set_tracer_provider(provider)  # instrumentations use the global provider unless given one
URLLibInstrumentor().instrument()
SQLite3Instrumentor().instrument()
configure(enabled=True, server=False, action="redact")  # the prompt guard
tracer = trace.get_tracer("quickstart")


def scrub(text: str) -> str:
    """The run's content redaction, applied to what the processor records."""
    return re.sub(r"[\w.+-]+@[\w-]+\.[\w.]+", "[email]", text)


def get_weather(ctx: TavrixContext, db: sqlite3.Connection, city: str) -> dict[str, Any]:
    """A tool, recorded as the SDK's tool instrumentation records one: the
    entry first, then the tool runs in a span marked as a tool call, whose
    attributes are merged into the entry when it ends."""
    ctx.record_tool("get_weather", input_data={"city": city})
    marks = {"tavrix.span_type": "tool_call", "tavrix.tool": "get_weather",
             "tavrix.tool.input": json.dumps({"city": city})}
    with tracer.start_as_current_span("execute_tool get_weather", attributes=marks) as span:
        cursor = db.cursor()  # queries through a cursor are traced
        cursor.execute("SELECT forecast, celsius FROM forecasts WHERE city = ?", (city,))
        forecast, celsius = cursor.fetchone()
        result = {"city": city, "forecast": forecast, "celsius": celsius}
        span.set_attribute("tavrix.tool.output", json.dumps(result))
    return result


def main() -> None:
    server, url = start_model()
    db = sqlite3.connect(":memory:")  # connected after instrument(): traced
    db.executescript("CREATE TABLE forecasts (city TEXT, forecast TEXT, celsius INTEGER);"
                     "INSERT INTO forecasts VALUES ('Lisbon', 'sunny', 24);")
    model, system = "gpt-4o-mini", "You are a weather assistant."
    messages = [{"role": "user", "content": "Weather in Lisbon? Mail it to maria@example.com"}]
    request: dict[str, Any] = {"model": model, "messages": messages, "tools": [
        {"type": "function", "function": {"name": "get_weather"}},
        {"type": "function", "function": {"name": "search_docs"}}]}

    with TavrixContext(run_id="quickstart", content_redact_fn=scrub) as ctx:  # current in this block
        offered = extract_tool_names_from_request(request)
        verdict = check_prompt(messages, model=model, system=system)
        if verdict is not None and verdict.action == "block":
            raise PromptGuardError(verdict)  # the call is never made
        if verdict is not None and verdict.action == "redact":
            messages = verdict.redacted_messages  # send only the copies
            system = getattr(verdict, "_redacted_system", system)
        # The model call as the SDK's provider instrumentors mark it: the span
        # reports its provider and is never recorded itself.
        marks = {"tavrix.span_type": "llm_call", "gen_ai.provider.name": "openai", "gen_ai.request.model": model}
        with tracer.start_as_current_span(f"chat {model}", attributes=marks):
            response = post_json(url, {**request, "messages": [{"role": "system", "content": system}, *messages]})
        tool_calls = [{"name": c["function"]["name"], "input": json.loads(c["function"]["arguments"])}
                      for c in response["choices"][0]["message"]["tool_calls"]]
        record_tool_decisions(tool_calls, offered)
        for call in tool_calls:
            get_weather(ctx, db, **call["input"])
        usage = response["usage"]
        usd = estimate_cost(model, usage["prompt_tokens"], usage["completion_tokens"])
    server.shutdown()

    print(f"guard: {verdict.action} {verdict.violations}")
    print(f"sent to the model: {FakeModel.received[0]['messages'][1]['content']}")
    print(f"cost of the call: ${usd:.6f}")
    print("records:")
    for record in ctx.records():
        origin = "processor" if record["_from_processor"] else "sdk"
        print(f"  {origin:9}  {record['kind']:5}  {record['name']}")
        for key, value in record["attributes"].items():
            print(f"      {key} = {str(value).replace(url, '<model url>')}")
    print(f"integrations: {ctx.unique_integrations()}")
    print("decisions:")
    for decision in ctx.decisions:
        print(f"  {decision['name']}: chose {decision['chosen']!r} from {decision['options']}")


if __name__ == "__main__":
    main()
