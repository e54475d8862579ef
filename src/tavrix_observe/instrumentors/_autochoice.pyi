import logging as logging
from contextvars import ContextVar
from typing import Any as Any

from ..context import TavrixContext

_current_context: ContextVar[TavrixContext | None]
logger: logging.Logger

def record_tool_decisions(tool_calls: list[dict[str, Any]], available_tools: list[str] | None = None) -> None: ...
def extract_tool_names_from_request(kwargs: dict[str, Any]) -> list[str]: ...
