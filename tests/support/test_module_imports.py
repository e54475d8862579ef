"""Relative imports made at call time resolve against the module's
__package__ as it is at that moment, as the same import statement in a
Python function would."""

from __future__ import annotations

import sys
import types


def fake_sdk(monkeypatch, package: str, answer: dict) -> None:
    """A package `package` with an `instrumentors` subpackage and a `client`
    module whose client is configured and answers `answer`."""

    class Client:
        @classmethod
        def is_configured(cls):
            return True

        def prompt_guard_sync(self, text, model):
            return dict(answer, text=text)

    client = types.ModuleType(f"{package}.client")
    client.TavrixObserveClient = Client
    for name in (package, f"{package}.instrumentors"):
        module = types.ModuleType(name)
        module.__path__ = []
        monkeypatch.setitem(sys.modules, name, module)
    monkeypatch.setitem(sys.modules, client.__name__, client)


def test_a_rebound_package_changes_the_next_import(fresh_module, monkeypatch):
    guard = fresh_module("tavrix_observe.instrumentors._guard")
    fake_sdk(monkeypatch, "first_sdk", {"from": "first"})
    fake_sdk(monkeypatch, "second_sdk", {"from": "second"})

    # `from ..client import TavrixObserveClient`, two levels up from the package.
    guard.__package__ = "first_sdk.instrumentors"
    assert guard._server_check_prompt("a") == {"from": "first", "text": "a"}
    guard.__package__ = "second_sdk.instrumentors"
    assert guard._server_check_prompt("b") == {"from": "second", "text": "b"}
    guard.__package__ = "first_sdk.instrumentors"
    assert guard._server_check_prompt("c") == {"from": "first", "text": "c"}


def finished_span():
    from opentelemetry.sdk.trace import SpanProcessor, TracerProvider

    captured = []

    class Capture(SpanProcessor):
        def on_end(self, span):
            captured.append(span)

    provider = TracerProvider()
    provider.add_span_processor(Capture())
    provider.get_tracer("tests").start_span("SELECT", attributes={"db.system": "sqlite", "db.statement": "SELECT 1"}).end()
    return captured[0]


def test_a_rebound_package_changes_the_run_context_on_end_reads(fresh_module, monkeypatch):
    # on_end remembers what its import of the context variable found and only
    # checks it next time; the package it was resolved against is part of that.
    from contextvars import ContextVar

    from tavrix_observe.context import TavrixContext

    spanbridge = fresh_module("tavrix_observe.tracing.spanbridge")
    runs = {}
    for package in ("first_sdk", "second_sdk"):
        fake_sdk(monkeypatch, package, {})
        variable_module = types.ModuleType(f"{package}.instrumentors._context_var")
        variable_module._current_context = ContextVar(f"{package}_context")
        runs[package] = TavrixContext(run_id=package)
        variable_module._current_context.set(runs[package])
        monkeypatch.setitem(sys.modules, variable_module.__name__, variable_module)

    processor = spanbridge.TavrixSpanProcessor()
    span = finished_span()
    for package in ("first_sdk", "second_sdk", "first_sdk"):
        # `from ..instrumentors._context_var import _current_context`
        spanbridge.__package__ = f"{package}.tracing"
        processor.on_end(span)
    assert [len(runs[p]._otel_spans) for p in ("first_sdk", "second_sdk")] == [2, 1]
