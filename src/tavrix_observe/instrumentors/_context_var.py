"""The context variable through which the SDK publishes the active run.

Each thread and each asynchronous task sees the run it belongs to. The
native core reads it with ``_current_context.get()``; None (the default)
means that no run is being recorded here.
"""

from __future__ import annotations

from contextvars import ContextVar
from typing import TYPE_CHECKING, Optional

if TYPE_CHECKING:
    from ..context import TavrixContext

_current_context: ContextVar[Optional["TavrixContext"]] = ContextVar("tavrix_current_context", default=None)
