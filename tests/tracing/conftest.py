"""Fixtures for span capture: the module, its plain-Python version, a real
TracerProvider with the processor, stand-in spans and a loopback server."""

from __future__ import annotations

import threading
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from types import SimpleNamespace
from typing import Any, Optional

import pytest
from opentelemetry.sdk.trace import TracerProvider

import pyref_spanbridge
from tavrix_observe.tracing import spanbridge


@pytest.fixture
def sb():
    return spanbridge


@pytest.fixture(scope="session")
def pyref():
    """The plain-Python version, loaded as a module of the package so that its
    relative import of the run-context variable resolves."""
    return pyref_spanbridge.load()


@dataclass
class Tracing:
    provider: TracerProvider
    processor: Any

    def tracer(self, name: str = "tests.tracing"):
        return self.provider.get_tracer(name)


@pytest.fixture
def tracing():
    """A real TracerProvider with one TavrixSpanProcessor, added the way the
    SDK's set-up adds it."""
    provider = TracerProvider()
    processor = spanbridge.TavrixSpanProcessor()
    provider.add_span_processor(processor)
    yield Tracing(provider, processor)
    provider.shutdown()


@dataclass
class FakeSpan:
    """Just what the conversion reads of a finished span."""

    name: str = "op"
    attributes: Optional[dict] = None
    start_time: Optional[int] = 1_000_000_000
    end_time: Optional[int] = 1_002_999_999
    context: Any = field(default_factory=lambda: SimpleNamespace(trace_id=0xABC, span_id=0xFF))
    parent: Any = None
    status: Any = None
    kind: Any = 0


@pytest.fixture
def fake_span():
    return FakeSpan


@dataclass
class Loopback:
    url: str
    paths: list[str]


@pytest.fixture
def loopback_server():
    """An HTTP server on 127.0.0.1 (port 0) that answers every GET with 200."""
    paths: list[str] = []

    class Handler(BaseHTTPRequestHandler):
        def do_GET(self):
            paths.append(self.path)
            self.send_response(200)
            self.send_header("Content-Length", "2")
            self.end_headers()
            self.wfile.write(b"ok")

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield Loopback(f"http://127.0.0.1:{server.server_port}", paths)
    server.shutdown()
    server.server_close()
    thread.join(timeout=5)
