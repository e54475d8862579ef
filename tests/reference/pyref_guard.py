"""Plain-Python version of the prompt guard, the same logic as
tavrix_observe.instrumentors._guard: the oracle of the tests that compare
results, and the benchmark's baseline.

Its collaborators are imported relative to the package, as the native
module does, so load it inside the installed package with `load()`:

    from pyref_guard import load
    guard = load()      # tavrix_observe.instrumentors._pyref_guard
"""

from __future__ import annotations

import logging
import re
from typing import Optional

logger = logging.getLogger("tavrix_observe.instrumentors._guard")


def load():
    """This file as the module tavrix_observe.instrumentors._pyref_guard."""
    import importlib.util
    import sys

    name = "tavrix_observe.instrumentors._pyref_guard"
    if name not in sys.modules:
        module_spec = importlib.util.spec_from_file_location(name, __file__)
        module = importlib.util.module_from_spec(module_spec)
        sys.modules[name] = module
        module_spec.loader.exec_module(module)
    return sys.modules[name]

_enabled = False
_server_check = False
_action = "block"

_PII_PATTERNS = {
    "ssn": re.compile(r"\b\d{3}-\d{2}-\d{4}\b"),
    "email": re.compile(r"\b[A-Za-z0-9._%+-]+@[A-Za-z0-9.-]+\.[A-Z|a-z]{2,}\b"),
    "phone": re.compile(r"\b(?:\+1[-.\s]?)?\(?\d{3}\)?[-.\s]?\d{3}[-.\s]?\d{4}\b"),
    "credit_card": re.compile(r"\b(?:\d{4}[-\s]?){3}\d{4}\b"),
}

_CREDENTIAL_PATTERNS = {
    "password": re.compile(r"(?:password|passwd|pwd)\s*[:=]\s*\S+", re.IGNORECASE),
    "api_key": re.compile(r"(?:api[_-]?key|apikey|api[_-]?secret)\s*[:=]\s*\S+", re.IGNORECASE),
    "secret": re.compile(r"(?:secret[_-]?key|access[_-]?key|client[_-]?secret)\s*[:=]\s*\S+", re.IGNORECASE),
    "aws_key": re.compile(r"\bAKIA[0-9A-Z]{16}\b"),
    "generic_token": re.compile(r"\b(?:sk-|pk_live_|sk_live_|rk_live_|sk_test_)[a-zA-Z0-9]{20,}\b"),
    "github_pat": re.compile(r"\bghp_[a-zA-Z0-9]{36}\b"),
    "tavrix_key": re.compile(r"\btvx_sk_[a-zA-Z0-9]+\b"),
}

_INJECTION_PATTERNS = [
    re.compile(p, re.IGNORECASE)
    for p in (
        r"ignore\s+(?:all\s+)?previous\s+instructions",
        r"ignore\s+(?:all\s+)?above\s+instructions",
        r"you\s+are\s+now\s+(?:a|an)\s+",
        r"forget\s+(?:all\s+)?(?:your|previous)\s+instructions",
        r"disregard\s+(?:all\s+)?previous",
        r"new\s+instructions?\s*:",
        r"override\s+(?:your\s+)?(?:system|instructions)",
        r"```system\b",
        r"\[system\]\s*:",
        r"<\|system\|>",
        r"ADMIN\s+MODE\s+ENABLED",
        r"developer\s+mode\s+(?:is\s+)?(?:enabled|activated|on)",
        r"jailbreak",
        r"DAN\s+mode",
    )
]


class PromptGuardError(Exception):
    """Raised when prompt guard blocks an LLM call."""

    def __init__(self, result):
        self.result = result
        violations_str = "; ".join(result.violations[:5])
        if len(result.violations) > 5:
            violations_str += f" (+{len(result.violations) - 5} more)"
        super().__init__(f"Prompt blocked by guard: {violations_str}")


def configure(enabled=False, server=False, action="block"):
    global _enabled, _server_check, _action
    _enabled = bool(enabled)
    _server_check = bool(server)
    _action = action if action in ("block", "warn", "redact") else "block"
    if _enabled:
        logger.debug("Prompt guard configured: enabled=%s server=%s action=%s", _enabled, _server_check, _action)


def _extract_text(messages, system=""):
    parts = []
    if system:
        parts.append(system)
    for msg in messages:
        if not isinstance(msg, dict):
            continue
        content = msg.get("content", "")
        if isinstance(content, str):
            parts.append(content)
        elif isinstance(content, list):
            for block in content:
                if isinstance(block, dict) and block.get("type") == "text":
                    parts.append(block.get("text", ""))
    return "\n".join(parts)


def _detect_pii(text):
    return [f"PII detected: {label}" for label, pattern in _PII_PATTERNS.items() if pattern.search(text)]


def _detect_credentials(text):
    return [f"Credential detected: {label}" for label, pattern in _CREDENTIAL_PATTERNS.items() if pattern.search(text)]


def _detect_injection(text):
    violations = []
    for pattern in _INJECTION_PATTERNS:
        match = pattern.search(text)
        if match:
            violations.append(f"Prompt injection pattern: '{match.group()}'")
    return violations


def _redact_text(text):
    # Each placeholder inserted as it is: its backslashes doubled, which sub
    # reads back as one each.
    redacted = text
    for label, pattern in _PII_PATTERNS.items():
        redacted = pattern.sub(("##" + label.upper() + "##").replace("\\", "\\\\"), redacted)
    for label, pattern in _CREDENTIAL_PATTERNS.items():
        redacted = pattern.sub(("##" + label.upper() + "##").replace("\\", "\\\\"), redacted)
    return redacted


def _rewrite_messages(messages, rewrite):
    out = []
    for msg in messages:
        if not isinstance(msg, dict):
            out.append(msg)
            continue
        msg_copy = dict(msg)
        content = msg_copy.get("content", "")
        if isinstance(content, str):
            msg_copy["content"] = rewrite(content)
        elif isinstance(content, list):
            new_blocks = []
            for block in content:
                if isinstance(block, dict) and block.get("type") == "text":
                    new_blocks.append({**block, "text": rewrite(block.get("text", ""))})
                else:
                    new_blocks.append(block)
            msg_copy["content"] = new_blocks
        out.append(msg_copy)
    return out


def _redact_messages(messages, system=""):
    return _rewrite_messages(messages, _redact_text), (_redact_text(system) if system else system)


def _server_check_prompt(text, model=""):
    try:
        from ..client import TavrixObserveClient

        if not TavrixObserveClient.is_configured():
            return None
        answer = TavrixObserveClient().prompt_guard_sync(text=text, model=model)
        if answer is not None and type(answer) is not dict:
            raise TypeError(f"Expected dict, got {type(answer).__name__}")
        return answer
    except Exception as e:
        logger.debug("Server-side prompt guard failed: %s", e)
        return None


def _surface_gate_llm_before(messages, model, system):
    import os

    if os.environ.get("TAVRIX_SURFACE_GATE", "").strip().lower() in ("0", "false", "no", "off"):
        return None
    try:
        from ..decisions.surface_gate import gate_surface
        from ..types import PromptGuardResult

        text = _extract_text(messages, system)
        outcome = gate_surface("llm.before", {"model": model, "text": text})
        if outcome.is_block:
            try:
                from ..instrumentors._context_var import _current_context

                ctx = _current_context.get()
                if ctx is not None:
                    ctx._governance_blocked = True
                    ctx._governance_reason = outcome.reason or "blocked by governance policy"
            except Exception:
                pass
            return PromptGuardResult(
                passed=False,
                action="block",
                violations=[outcome.reason or "blocked by governance policy"],
                source="policy",
            )
        if outcome.action == "warn":
            from ..decisions.surface_gate import emit_warn

            if not getattr(outcome, "surface", ""):
                outcome.surface = "llm.before"
            emit_warn(outcome)
            return None
        if outcome.action == "redact":
            redacted_msgs, redacted_system = _redact_messages(messages, system)
            result = PromptGuardResult(
                passed=True,
                action="redact",
                violations=[outcome.reason or "redacted by policy"],
                redacted_messages=redacted_msgs,
                source="policy",
            )
            if redacted_system is not None:
                result._redacted_system = redacted_system
            return result
        return None
    except Exception:
        return None


def _ml_substitutions(original, redacted):
    if not original or not redacted or original == redacted:
        return []
    try:
        from difflib import SequenceMatcher

        # Word tokens: a run of word characters, or any other character.
        a = re.findall(r"\w+|\W", original)
        b = re.findall(r"\w+|\W", redacted)
        pairs = []
        for tag, i1, i2, j1, j2 in SequenceMatcher(None, a, b, autojunk=False).get_opcodes():
            if tag != "replace":
                continue
            found = "".join(a[i1:i2]).strip()
            placeholder = "".join(b[j1:j2]).strip()
            if found and placeholder and len(placeholder) <= max(64, 2 * len(found)):
                pairs.append((found, placeholder))
        pairs.sort(key=lambda p: len(p[0]), reverse=True)
        return pairs
    except Exception:
        return []


def _apply_substitutions(text, pairs):
    if not text or not pairs:
        return text
    for found, placeholder in pairs:
        if found and found in text:
            text = text.replace(found, placeholder)
    return text


def _redact_messages_ml(messages, system, pairs):
    redacted_msgs, redacted_system = _redact_messages(messages, system)
    if not pairs:
        return redacted_msgs, redacted_system
    out = _rewrite_messages(redacted_msgs, lambda t: _apply_substitutions(t, pairs))
    return out, _apply_substitutions(redacted_system or "", pairs)


def check_prompt(messages, model="", system=""):
    _sg = _surface_gate_llm_before(messages, model, system)
    if _sg is not None:
        return _sg
    if not _enabled:
        return None
    from ..types import PromptGuardResult

    text = _extract_text(messages, system)
    if not text.strip():
        return None
    violations = []
    violations.extend(_detect_pii(text))
    violations.extend(_detect_credentials(text))
    violations.extend(_detect_injection(text))
    source = "local"
    server_redacted_text = None
    if _server_check:
        server_result = _server_check_prompt(text, model)
        if server_result:
            server_violations = server_result.get("violations", [])
            if server_violations:
                for v in server_violations:
                    desc = v if isinstance(v, str) else v.get("detail", str(v))
                    if desc not in violations:
                        violations.append(f"[server] {desc}")
                source = "both" if violations else "server"
            server_redacted_text = server_result.get("redacted_text")
    if not violations:
        return PromptGuardResult(passed=True, action="allow", source=source)
    action: Optional[str] = _action
    redacted_messages = None
    redacted_system = None
    if action == "redact":
        _pairs = _ml_substitutions(text, server_redacted_text or "")
        redacted_messages, redacted_system = _redact_messages_ml(messages, system, _pairs)
    if action == "warn":
        logger.warning("Prompt guard violations (warn mode): %s", "; ".join(violations))
    result = PromptGuardResult(
        passed=(action == "warn"),
        action=action,
        violations=violations,
        source=source,
        redacted_messages=redacted_messages,
    )
    if redacted_system is not None:
        result._redacted_system = redacted_system
    return result
