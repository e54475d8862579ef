"""The SDK client stand-in: configuration and the HTTP exchange."""

from __future__ import annotations

import urllib.error

import pytest

from tavrix_observe.client import TavrixObserveClient


def test_configuration_from_environment(monkeypatch, guard_server):
    assert not TavrixObserveClient.is_configured()
    monkeypatch.setenv("TAVRIX_API_KEY", "tvx_sk_env")
    assert not TavrixObserveClient.is_configured()
    monkeypatch.setenv("TAVRIX_BASE_URL", guard_server.url + "/")
    monkeypatch.setenv("TAVRIX_TIMEOUT", "1.5")
    assert TavrixObserveClient.is_configured()
    client = TavrixObserveClient()
    assert client.timeout == 1.5
    assert client.prompt_guard_sync(text="t", model="m") == {"violations": []}
    request = guard_server.requests[0]
    assert request["path"] == "/api/v1/observe/prompt-guard"
    assert request["headers"]["Authorization"] == "Bearer tvx_sk_env"
    assert request["headers"]["Content-Type"] == "application/json"


def test_explicit_configuration_wins(monkeypatch, guard_server):
    monkeypatch.setenv("TAVRIX_API_KEY", "from-env")
    monkeypatch.setenv("TAVRIX_BASE_URL", "http://127.0.0.1:1")
    TavrixObserveClient.configure(api_key="from-configure", base_url=guard_server.url)
    TavrixObserveClient().prompt_guard_sync(text="t")
    TavrixObserveClient(api_key="from-argument").prompt_guard_sync(text="t")
    assert [r["headers"]["Authorization"] for r in guard_server.requests] == [
        "Bearer from-configure",
        "Bearer from-argument",
    ]


def test_http_error_raises(guard_server):
    guard_server.configure_client()
    guard_server.status = 403
    with pytest.raises(urllib.error.HTTPError):
        TavrixObserveClient().prompt_guard_sync(text="t", model="")


@pytest.mark.parametrize("url", ["file:///etc/passwd", "ftp://example.invalid/x", "127.0.0.1:8080", "http://"])
def test_only_http_addresses_are_reached(url):
    client = TavrixObserveClient(api_key="k", base_url=url)
    with pytest.raises(ValueError, match="http:// or https://"):
        client.prompt_guard_sync(text="t")


def test_missing_settings_raise():
    with pytest.raises(ValueError, match="API key"):
        TavrixObserveClient(base_url="http://127.0.0.1:1").prompt_guard_sync(text="t")
    with pytest.raises(ValueError, match="server address"):
        TavrixObserveClient(api_key="k").prompt_guard_sync(text="t")
