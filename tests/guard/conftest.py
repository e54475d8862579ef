"""Fixtures for the prompt guard: settings reset between tests, a loopback
guard server, the SDK client pointed at it."""

from __future__ import annotations

import json
import threading
import time
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Optional

import pytest

from tavrix_observe.client import TavrixObserveClient
from tavrix_observe.decisions import surface_gate
from tavrix_observe.instrumentors import _guard

GUARD_LOGGER = "tavrix_observe.instrumentors._guard"


@pytest.fixture(autouse=True)
def guard_defaults(monkeypatch):
    """Each test starts from the state after import, with no policy, no
    client configuration and the surface gate switch unset."""
    for name in ("TAVRIX_SURFACE_GATE", "TAVRIX_API_KEY", "TAVRIX_BASE_URL", "TAVRIX_TIMEOUT"):
        monkeypatch.delenv(name, raising=False)
    TavrixObserveClient.reset()
    surface_gate.set_policy(None)
    _guard.configure()
    yield
    _guard.configure()
    surface_gate.set_policy(None)
    TavrixObserveClient.reset()


@pytest.fixture
def guard():
    return _guard


@dataclass
class GuardServer:
    """A prompt-guard endpoint on loopback. `answer` is sent as JSON (or
    `raw` as bytes), with `status`, after `delay` seconds."""

    url: str = ""
    answer: Any = field(default_factory=lambda: {"violations": []})
    raw: Optional[bytes] = None
    status: int = 200
    delay: float = 0.0
    requests: list[dict[str, Any]] = field(default_factory=list)

    def configure_client(self, timeout: float = 2.0) -> None:
        TavrixObserveClient.configure(api_key="tvx_sk_test", base_url=self.url, timeout=timeout)


@pytest.fixture
def guard_server():
    state = GuardServer()

    class Handler(BaseHTTPRequestHandler):
        def do_POST(self):  # noqa: N802 (the handler's API)
            length = int(self.headers.get("Content-Length", "0"))
            body = self.rfile.read(length)
            state.requests.append(
                {"path": self.path, "headers": dict(self.headers), "body": json.loads(body or b"null")}
            )
            if state.delay:
                time.sleep(state.delay)
            payload = state.raw if state.raw is not None else json.dumps(state.answer).encode()
            try:
                self.send_response(state.status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(payload)))
                self.end_headers()
                self.wfile.write(payload)
            except (BrokenPipeError, ConnectionResetError):
                pass  # the client gave up waiting

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    state.url = f"http://127.0.0.1:{server.server_address[1]}"
    try:
        yield state
    finally:
        server.shutdown()
        server.server_close()
        thread.join(timeout=5)


class GuardLog:
    def __init__(self, caplog):
        self.caplog = caplog

    @property
    def records(self):
        """The guard logger's records so far."""
        return [r for r in self.caplog.records if r.name == GUARD_LOGGER]

    def clear(self):
        self.caplog.clear()


@pytest.fixture
def guard_log(caplog):
    """The guard logger's records, captured from debug level up."""
    caplog.set_level("DEBUG", logger=GUARD_LOGGER)
    return GuardLog(caplog)
