"""The llm.before policy gate, through the real surface-gate module."""

from __future__ import annotations

import logging
import sys

import pytest

from tavrix_observe.decisions import surface_gate
from tavrix_observe.decisions.surface_gate import GateOutcome, SurfacePolicy, set_policy
from tavrix_observe.types import PromptGuardResult

MESSAGES = [{"role": "user", "content": "summarise project-falcon, mail a@b.com"}]


@pytest.fixture
def calls(monkeypatch):
    """Records the gate_surface calls, passing them on to the real one."""
    seen = []
    real = surface_gate.gate_surface

    def recording(surface, payload):
        seen.append((surface, payload))
        return real(surface, payload)

    monkeypatch.setattr(surface_gate, "gate_surface", recording)
    return seen


def outcome_gate(monkeypatch, outcome):
    monkeypatch.setattr(surface_gate, "gate_surface", lambda surface, payload: outcome)


@pytest.mark.parametrize("value", [None, "", "yes", "1", "on"])
def test_switch_leaves_gate_on(guard, monkeypatch, calls, value):
    if value is not None:
        monkeypatch.setenv("TAVRIX_SURFACE_GATE", value)
    assert guard._surface_gate_llm_before(MESSAGES, "gpt-4o", "sys") is None
    assert calls == [("llm.before", {"model": "gpt-4o", "text": "sys\n" + MESSAGES[0]["content"]})]
    assert list(calls[0][1]) == ["model", "text"]


@pytest.mark.parametrize("value", [" OFF ", "0", "false", "No", "off\n"])
def test_switch_turns_gate_off(guard, monkeypatch, calls, value):
    monkeypatch.setenv("TAVRIX_SURFACE_GATE", value)
    set_policy(SurfacePolicy(blocked_models=["gpt-4o"]))
    assert guard._surface_gate_llm_before(MESSAGES, "gpt-4o", "") is None
    assert guard.check_prompt(MESSAGES, "gpt-4o") is None
    assert calls == []


def test_blocked_model_blocks_and_marks_run(guard, run_context):
    set_policy(SurfacePolicy(blocked_models=["gpt-4o"]))
    result = guard._surface_gate_llm_before(MESSAGES, "gpt-4o", "")
    assert isinstance(result, PromptGuardResult)
    assert (result.passed, result.action, result.source) == (False, "block", "policy")
    assert result.violations == ["model 'gpt-4o' is blocked by policy"]
    assert result.redacted_messages is None and not hasattr(result, "_redacted_system")
    assert run_context._governance_blocked is True
    assert run_context._governance_reason == "model 'gpt-4o' is blocked by policy"
    # a model the policy does not name goes ahead
    assert guard._surface_gate_llm_before(MESSAGES, "gpt-4o-mini", "") is None


def test_block_wins_over_action_and_empty_reason_gets_fixed_text(guard, monkeypatch, run_context):
    outcome = GateOutcome("llm.before", action="redact", reason="")
    monkeypatch.setattr(GateOutcome, "is_block", property(lambda self: True))
    outcome_gate(monkeypatch, outcome)
    result = guard._surface_gate_llm_before(MESSAGES, "m", "")
    assert result.action == "block"
    assert result.violations == ["blocked by governance policy"]
    assert run_context._governance_reason == "blocked by governance policy"


class Frozen:
    __slots__ = ()


@pytest.mark.parametrize("ctx", [None, Frozen()])
def test_block_without_usable_run_context_still_blocks(guard, ctx):
    from tavrix_observe.instrumentors._context_var import _current_context

    token = _current_context.set(ctx)
    try:
        set_policy(SurfacePolicy(block_patterns=["project-\\w+"]))
        result = guard._surface_gate_llm_before(MESSAGES, "m", "")
    finally:
        _current_context.reset(token)
    assert result.action == "block"
    assert result.violations == ["text matches block pattern 'project-\\\\w+'"]


def test_redact_outcome(guard):
    set_policy(SurfacePolicy(redact_patterns=["falcon"]))
    result = guard._surface_gate_llm_before(MESSAGES, "m", "")
    assert (result.passed, result.action, result.source) == (True, "redact", "policy")
    assert result.violations == ["text matches redact pattern 'falcon'"]
    assert result.redacted_messages == [{"role": "user", "content": "summarise project-falcon, mail ##EMAIL##"}]
    assert result._redacted_system == ""  # an empty system text is set too


def test_redact_second_item_none_leaves_system_unset(guard, monkeypatch):
    outcome_gate(monkeypatch, GateOutcome("llm.before", action="redact"))
    monkeypatch.setattr(guard, "_redact_messages", lambda messages, system: (["copy"], None))
    result = guard._surface_gate_llm_before(MESSAGES, "m", "")
    assert result.violations == ["redacted by policy"] and result.redacted_messages == ["copy"]
    assert not hasattr(result, "_redacted_system")


@pytest.mark.parametrize("surface, expected", [("", "llm.before"), ("custom.surface", "custom.surface")])
def test_warn_outcome_sets_surface_and_goes_ahead(guard, monkeypatch, caplog, surface, expected):
    outcome = GateOutcome(surface, action="warn", reason="confidential text")
    outcome_gate(monkeypatch, outcome)
    with caplog.at_level(logging.WARNING, logger=surface_gate.logger.name):
        assert guard._surface_gate_llm_before(MESSAGES, "m", "") is None
    assert outcome.surface == expected
    assert [r.getMessage() for r in caplog.records] == [f"Surface gate warning on {expected}: confidential text"]


@pytest.mark.parametrize("action", ["allow", "review", None])
def test_other_actions_allow(guard, monkeypatch, action):
    outcome_gate(monkeypatch, GateOutcome("llm.before", action=action))
    assert guard._surface_gate_llm_before(MESSAGES, "m", "") is None


def raising(*args, **kwargs):
    raise RuntimeError("collaborator failed")


@pytest.mark.parametrize(
    "target, value",
    [
        ("gate_surface", raising),
        ("gate_surface", lambda surface, payload: object()),  # no is_block
        ("emit_warn", raising),
    ],
)
def test_collaborator_failures_let_the_call_go_ahead(guard, monkeypatch, target, value, caplog):
    set_policy(SurfacePolicy(warn_patterns=["."]))
    monkeypatch.setattr(surface_gate, target, value)
    assert guard._surface_gate_llm_before(MESSAGES, "m", "") is None
    assert [r for r in caplog.records if r.name.endswith("_guard")] == []


def test_missing_gate_module_lets_the_call_go_ahead(guard, monkeypatch):
    monkeypatch.setitem(sys.modules, "tavrix_observe.decisions.surface_gate", None)
    assert guard._surface_gate_llm_before(MESSAGES, "m", "") is None


def test_gate_failure_outside_guard_propagates(guard, monkeypatch):
    monkeypatch.setattr("os.environ", {"TAVRIX_SURFACE_GATE": 0})  # int has no strip
    with pytest.raises(AttributeError):
        guard._surface_gate_llm_before(MESSAGES, "m", "")
