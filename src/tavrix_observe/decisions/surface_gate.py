"""The policy behind the pre-call surface gates.

Before a call leaves the process, the SDK asks ``gate_surface(surface,
payload)`` what to do; the payload of the surface "llm.before" is
``{"model": ..., "text": ...}``. The answer is decided by the policy the
application sets:

    set_policy(SurfacePolicy(blocked_models=["gpt-4-32k"],
                             block_patterns=[r"(?i)internal only"],
                             redact_patterns=[r"\\bproject-\\w+"],
                             warn_patterns=[r"(?i)confidential"]))

Without a policy every call is allowed. Rules are tried in this order: a
blocked model, a blocking pattern, a redacting pattern, a warning pattern;
the first that applies decides.

A redacting pattern decides *that* the request goes out redacted, not what
is replaced: on "llm.before" the prompt guard then sends copies with its
own redaction applied (personal data and credentials become placeholders),
and the text the pattern matched is not itself rewritten. To keep a text
from leaving the process, block on it.
"""

from __future__ import annotations

import logging
import re
from dataclasses import dataclass
from typing import Any, Iterable, Optional, Pattern, Union

logger = logging.getLogger(__name__)

PatternLike = Union[str, Pattern[str]]


@dataclass
class GateOutcome:
    """What a gate decided for one call: action "allow", "block", "warn" or "redact"."""

    surface: str
    action: str = "allow"
    reason: str = ""

    @property
    def is_block(self) -> bool:
        return self.action == "block"


def _compiled(patterns: Iterable[PatternLike]) -> tuple[Pattern[str], ...]:
    return tuple(p if isinstance(p, re.Pattern) else re.compile(p) for p in patterns)


@dataclass(frozen=True)
class SurfacePolicy:
    """A small policy: models that are blocked, and text patterns that block,
    redact or warn. ``surfaces`` limits it to some surfaces (None: all)."""

    blocked_models: frozenset[str] = frozenset()
    block_patterns: tuple[Pattern[str], ...] = ()
    redact_patterns: tuple[Pattern[str], ...] = ()
    warn_patterns: tuple[Pattern[str], ...] = ()
    surfaces: Optional[frozenset[str]] = None

    def __init__(
        self,
        *,
        blocked_models: Iterable[str] = (),
        block_patterns: Iterable[PatternLike] = (),
        redact_patterns: Iterable[PatternLike] = (),
        warn_patterns: Iterable[PatternLike] = (),
        surfaces: Optional[Iterable[str]] = None,
    ) -> None:
        object.__setattr__(self, "blocked_models", frozenset(blocked_models))
        object.__setattr__(self, "block_patterns", _compiled(block_patterns))
        object.__setattr__(self, "redact_patterns", _compiled(redact_patterns))
        object.__setattr__(self, "warn_patterns", _compiled(warn_patterns))
        object.__setattr__(self, "surfaces", None if surfaces is None else frozenset(surfaces))

    def decide(self, surface: str, payload: dict[str, Any]) -> GateOutcome:
        if self.surfaces is not None and surface not in self.surfaces:
            return GateOutcome(surface)
        model = payload.get("model") or ""
        text = payload.get("text") or ""
        if model in self.blocked_models:
            return GateOutcome(surface, "block", f"model {model!r} is blocked by policy")
        for action, patterns in (
            ("block", self.block_patterns),
            ("redact", self.redact_patterns),
            ("warn", self.warn_patterns),
        ):
            for pattern in patterns:
                if pattern.search(text):
                    return GateOutcome(surface, action, f"text matches {action} pattern {pattern.pattern!r}")
        return GateOutcome(surface)


_policy: Optional[SurfacePolicy] = None


def set_policy(policy: Optional[SurfacePolicy]) -> None:
    """Installs the policy for every later call (None: allow everything)."""
    global _policy
    _policy = policy


def get_policy() -> Optional[SurfacePolicy]:
    return _policy


def gate_surface(surface: str, payload: dict[str, Any]) -> GateOutcome:
    """The outcome for one call on `surface`; allow when no policy is set."""
    policy = _policy
    if policy is None:
        return GateOutcome(surface)
    return policy.decide(surface, payload)


def emit_warn(outcome: GateOutcome) -> None:
    """Reports a warning outcome; the call goes ahead."""
    logger.warning("Surface gate warning on %s: %s", outcome.surface, outcome.reason)
