"""The demo's loopback peers: a fake LLM provider and a fake guard server."""

from __future__ import annotations

import json
import re
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any
from urllib.parse import urlsplit

from ..client import PROMPT_GUARD_PATH

PROVIDER_HOST = "api.openai.com"
PROVIDER_URL = f"http://{PROVIDER_HOST}/v1/chat/completions"

# The people the fake server-side guard recognises (its "ML" tier).
KNOWN_PEOPLE = ("Maria Gonzalez", "Jonas Weber")


class _Server:
    """A threaded HTTP server on 127.0.0.1 with a free port."""

    def __init__(self, handler: type[BaseHTTPRequestHandler]) -> None:
        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.httpd.daemon_threads = True
        self.httpd.owner = self  # type: ignore[attr-defined]
        self.thread = threading.Thread(target=self.httpd.serve_forever, name=type(self).__name__, daemon=True)

    @property
    def url(self) -> str:
        host, port = self.httpd.server_address[:2]
        return f"http://{host}:{port}"

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join()


class _JSONHandler(BaseHTTPRequestHandler):
    def log_message(self, format: str, *args: Any) -> None:  # keep the demo's output clean
        return None

    def _body(self) -> Any:
        length = int(self.headers.get("Content-Length") or 0)
        return json.loads(self.rfile.read(length) or b"null")

    def _answer(self, status: int, payload: Any) -> None:
        data = json.dumps(payload).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)


class _ProviderHandler(_JSONHandler):
    """Answers chat-completions requests sent through it as a forward proxy."""

    def do_POST(self) -> None:
        target = urlsplit(self.path)  # a proxy receives the absolute URL
        if target.hostname != PROVIDER_HOST or target.path != "/v1/chat/completions":
            self._answer(502, {"error": f"unknown upstream {self.path}"})
            return
        request = self._body()
        provider: FakeProvider = self.server.owner  # type: ignore[attr-defined]
        provider.received.append(request)
        self._answer(200, provider.reply(request))


class FakeProvider(_Server):
    """A chat-completions-style provider: asks for a tool when tools are
    offered and the conversation has no tool result yet, otherwise answers."""

    def __init__(self) -> None:
        super().__init__(_ProviderHandler)
        self.received: list[dict[str, Any]] = []

    def reply(self, request: dict[str, Any]) -> dict[str, Any]:
        messages = request.get("messages") or []
        prompt_tokens = sum(len(str(m.get("content", "")).split()) for m in messages) * 4 + 12
        tools = request.get("tools") or []
        wants_tool = tools and not any(m.get("role") == "tool" for m in messages)
        if wants_tool:
            name = tools[0]["function"]["name"]
            message = {
                "role": "assistant",
                "content": None,
                "tool_calls": [
                    {
                        "id": f"call_{len(self.received)}",
                        "type": "function",
                        # The input names an address to send the forecast to: the
                        # run's redaction keeps it out of the tool entry.
                        "function": {
                            "name": name,
                            "arguments": json.dumps({"city": "Lisbon", "notify": "rita.alves@example.com"}),
                        },
                    }
                ],
            }
            finish, completion_tokens = "tool_calls", 18
        else:
            message = {"role": "assistant", "content": "Here is what I found."}
            finish, completion_tokens = "stop", 42
        return {
            "id": f"chatcmpl-{len(self.received)}",
            "object": "chat.completion",
            "model": request.get("model", ""),
            "choices": [{"index": 0, "message": message, "finish_reason": finish}],
            "usage": {
                "prompt_tokens": prompt_tokens,
                "completion_tokens": completion_tokens,
                "total_tokens": prompt_tokens + completion_tokens,
            },
        }


class _GuardHandler(_JSONHandler):
    def do_POST(self) -> None:
        if urlsplit(self.path).path != PROMPT_GUARD_PATH:
            self._answer(404, {"error": "not found"})
            return
        if self.headers.get("Authorization", "") != f"Bearer {GuardServer.API_KEY}":
            self._answer(401, {"error": "bad key"})
            return
        request = self._body()
        server: GuardServer = self.server.owner  # type: ignore[attr-defined]
        server.received.append(request)
        self._answer(200, scan(request.get("text", "")))


def scan(text: str) -> dict[str, Any]:
    """The fake ML tier: people's names, which no local pattern can see."""
    violations = []
    redacted = text
    for person in KNOWN_PEOPLE:
        if person in redacted:
            violations.append({"type": "person", "detail": "PII detected: person name"})
            redacted = re.sub(re.escape(person), "[PERSON]", redacted)
    return {"violations": violations, "redacted_text": redacted}


class GuardServer(_Server):
    """The server-side prompt guard, as the SDK's client reaches it."""

    API_KEY = "tvx_sk_demo0000000000000000"

    def __init__(self) -> None:
        super().__init__(_GuardHandler)
        self.received: list[dict[str, Any]] = []
