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
