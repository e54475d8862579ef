"""Result types shared by the SDK's components."""

from __future__ import annotations

from typing import Any, Optional


class PromptGuardResult:
    """The prompt guard's verdict on one outgoing LLM request.

    ``action`` is "allow", "block", "warn" or "redact"; a caller tells a
    redaction from a block by the action, not by ``passed``. In redact mode
    ``redacted_messages`` holds the copies to send instead of the caller's
    messages, and the attribute ``_redacted_system`` (when the guard set it)
    the system prompt to send; ``redacted_system`` reads it.

    Constructed with keyword arguments only.
    """

    def __init__(
        self,
        *,
        passed: bool = True,
        action: str = "allow",
        violations: Optional[list[str]] = None,
        source: str = "local",
        redacted_messages: Optional[list[Any]] = None,
    ) -> None:
        self.passed = passed
        self.action = action
        self.violations: list[str] = [] if violations is None else violations
        self.source = source
        self.redacted_messages = redacted_messages

    @property
    def is_block(self) -> bool:
        return self.action == "block"

    @property
    def redacted_system(self) -> Optional[str]:
        """The redacted system prompt, or None when the guard set none."""
        return getattr(self, "_redacted_system", None)

    def __repr__(self) -> str:
        return (
            f"PromptGuardResult(passed={self.passed!r}, action={self.action!r}, "
            f"violations={self.violations!r}, source={self.source!r})"
        )
