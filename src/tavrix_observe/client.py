"""The SDK's HTTP client for the tavrix server (standard library only).

Configuration, first match wins for each setting:

1. arguments given to ``TavrixObserveClient(...)``;
2. process-wide settings made with ``TavrixObserveClient.configure(...)``;
3. environment variables:

   - ``TAVRIX_API_KEY``: the API key, sent as ``Authorization: Bearer <key>``;
   - ``TAVRIX_BASE_URL``: the server's address, ``http://`` or ``https://``
     (for example ``https://observe.example.com``);
   - ``TAVRIX_TIMEOUT``: the time-out of one request in seconds (default 5).

``TavrixObserveClient.is_configured()`` (called on the class) is true when an
API key and a server address are both set by (2) or (3).

    TavrixObserveClient.configure(api_key="tvx_sk_...", base_url="https://...")
    answer = TavrixObserveClient().prompt_guard_sync(text="...", model="gpt-4o")

Network errors (``urllib.error.URLError``, ``TimeoutError``), HTTP error
statuses (``urllib.error.HTTPError``) and answers that are not JSON
(``ValueError``) raise.
"""

from __future__ import annotations

import json
import os
import urllib.parse
import urllib.request
from typing import Any, Optional

DEFAULT_TIMEOUT = 5.0
# The prompt-guard endpoint lives under the observe API, whose spans the
# span processor recognises as the SDK's own traffic.
PROMPT_GUARD_PATH = "/api/v1/observe/prompt-guard"
# An answer larger than this is refused rather than held in memory.
MAX_RESPONSE_BYTES = 32 * 1024 * 1024

_settings: dict[str, Any] = {}


def _setting(name: str, env: str) -> Any:
    value = _settings.get(name)
    if value is None:
        value = os.environ.get(env) or None
    return value


class TavrixObserveClient:
    """A client for the tavrix server; cheap to create, holds no connection."""

    def __init__(
        self, api_key: Optional[str] = None, base_url: Optional[str] = None, timeout: Optional[float] = None
    ) -> None:
        self.api_key: Optional[str] = api_key or _setting("api_key", "TAVRIX_API_KEY")
        self.base_url: Optional[str] = base_url or _setting("base_url", "TAVRIX_BASE_URL")
        if timeout is None:
            timeout = _setting("timeout", "TAVRIX_TIMEOUT")
        self.timeout = float(timeout) if timeout is not None else DEFAULT_TIMEOUT

    @classmethod
    def configure(
        cls, *, api_key: Optional[str] = None, base_url: Optional[str] = None, timeout: Optional[float] = None
    ) -> None:
        """Process-wide settings; None leaves a setting to the environment."""
        _settings.update(api_key=api_key, base_url=base_url, timeout=timeout)

    @classmethod
    def reset(cls) -> None:
        """Forgets the process-wide settings made with ``configure``."""
        _settings.clear()

    @classmethod
    def is_configured(cls) -> bool:
        """Whether an API key and a server address are configured."""
        return bool(_setting("api_key", "TAVRIX_API_KEY") and _setting("base_url", "TAVRIX_BASE_URL"))

    def _url(self, path: str) -> str:
        if not self.base_url:
            raise ValueError("no server address configured (TAVRIX_BASE_URL)")
        parsed = urllib.parse.urlsplit(self.base_url)
        # urllib would also open file: and ftp: addresses; only the server's
        # HTTP API may be reached.
        if parsed.scheme not in ("http", "https") or not parsed.netloc:
            raise ValueError(f"server address must be an http:// or https:// URL, got {self.base_url!r}")
        return self.base_url.rstrip("/") + path

    def _post_json(self, path: str, payload: dict[str, Any]) -> Any:
        if not self.api_key:
            raise ValueError("no API key configured (TAVRIX_API_KEY)")
        request = urllib.request.Request(
            self._url(path),
            data=json.dumps(payload).encode("utf-8"),
            method="POST",
            headers={
                "Authorization": f"Bearer {self.api_key}",
                "Content-Type": "application/json",
                "Accept": "application/json",
            },
        )
        with urllib.request.urlopen(request, timeout=self.timeout) as response:
            body = response.read(MAX_RESPONSE_BYTES + 1)
        if len(body) > MAX_RESPONSE_BYTES:
            raise ValueError(f"answer larger than {MAX_RESPONSE_BYTES} bytes")
        return json.loads(body.decode("utf-8")) if body.strip() else None

    def prompt_guard_sync(self, *, text: str, model: str = "") -> Any:
        """The server-side prompt guard's answer for one prompt text.

        The server answers a JSON object such as
        ``{"violations": ["PII detected: person"], "redacted_text": "..."}``.
        """
        return self._post_json(PROMPT_GUARD_PATH, {"text": text, "model": model})
