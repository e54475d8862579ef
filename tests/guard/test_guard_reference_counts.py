"""Repeated calls leave nothing behind, on success and on error paths."""

from __future__ import annotations

from tavrix_observe.decisions.surface_gate import SurfacePolicy, set_policy
from tavrix_observe.types import PromptGuardResult

MESSAGES = [
    {"role": "user", "content": "mail a@b.com, ssn 123-45-6789, jailbreak"},
    {"role": "user", "content": [{"type": "text", "text": "pwd=x"}, {"type": "image"}]},
]


def test_guard_paths_do_not_leak(guard, block_growth, run_context, monkeypatch):
    seven = PromptGuardResult(violations=list("abcdefg"))

    def calls():
        for action in ("block", "warn", "redact"):
            guard.configure(True, False, action)
            guard.check_prompt(MESSAGES, "m", "sys a@b.com")
        guard.configure()
        guard.check_prompt(MESSAGES)
        guard._ml_substitutions("call Jim Hill now", "call [PERSON] now")
        guard._redact_messages_ml(MESSAGES, "s", [("Jim", "[P]")])
        str(guard.PromptGuardError(seven))
        for bad in (lambda: guard.check_prompt(None), lambda: guard._apply_substitutions("a", [("a",)]),
                    lambda: guard.PromptGuardError(PromptGuardResult(violations=[1]))):
            try:
                bad()
            except (TypeError, ValueError):
                pass

    set_policy(None)
    monkeypatch.setattr(guard.logger, "disabled", True)
    assert block_growth(calls, rounds=500) < 100


def test_gate_paths_do_not_leak(guard, block_growth, run_context):
    block = SurfacePolicy(blocked_models=["m"])
    redact = SurfacePolicy(redact_patterns=["."])

    def calls():
        set_policy(block)
        guard._surface_gate_llm_before(MESSAGES, "m", "")
        set_policy(redact)
        guard._surface_gate_llm_before(MESSAGES, "m", "sys")
        guard._server_check_prompt("text")

    try:
        assert block_growth(calls, rounds=500) < 100
    finally:
        set_policy(None)
