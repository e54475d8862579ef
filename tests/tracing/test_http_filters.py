"""The HTTP drop filters and the provider derived from a model name."""

from __future__ import annotations

import pytest

SERVER = "https://observe.tavrix.example"


@pytest.mark.parametrize(
    "attrs, own_api, provider, noise",
    [
        ({}, False, False, False),
        ({"http.method": "GET"}, False, False, False),
        ({"url.full": "", "http.url": f"{SERVER}/api/v1/observe/runs"}, True, False, False),
        ({"http.target": "/api/health"}, True, False, False),
        ({"url.full": f"{SERVER}/API/V1/OBSERVE"}, False, False, False),
        ({"url.full": f"{SERVER}/api/v1/policy?x=1"}, True, False, False),
        ({"server.address": "API.OPENAI.COM"}, False, True, False),
        ({"http.url": "http://127.0.0.1:9/proxy?upstream=api.anthropic.com"}, False, True, False),
        ({"url.full": "https://bedrock-runtime.eu-west-3.amazonaws.com/model/x/invoke"}, False, True, False),
        ({"url.full": "https://generativelanguage.googleapis.com/v1beta/models"}, False, True, False),
        ({"url.full": "https://openrouter.ai/api/v1/chat/completions"}, False, True, False),
        ({"url.full": "https://huggingface.co/bert/resolve/main/config.json"}, False, False, True),
        ({"url.full": "https://cdn-lfs-us-1.hf.co/repos/ab/cd"}, False, False, True),
        # url.full wins over the other keys even when they would match.
        ({"url.full": "https://example.com/", "http.url": "https://api.openai.com/"}, False, False, False),
    ],
)
def test_filters(sb, pyref, attrs, own_api, provider, noise):
    for module in (sb, pyref):
        assert module._is_tavrix_api_call(attrs) is own_api
        assert module._is_llm_provider_http_call(attrs) is provider
        assert module._is_noisy_infra_call(attrs) is noise


def test_tables(sb, pyref):
    assert sb._EXCLUDED_URL_PATTERNS == ("api/v1/observe", "api/v1/policy", "api/health")
    assert len(sb._LLM_PROVIDER_HOSTS) == 11 and len(sb._NOISY_INFRA_HOSTS) == 3
    for table in (sb._LLM_PROVIDER_HOSTS, sb._NOISY_INFRA_HOSTS):
        assert type(table) is tuple and all(host == host.lower() for host in table)
    assert sb._LLM_PROVIDER_HOSTS[6] == "bedrock-runtime."
    assert sb._LLM_PROVIDER_HOSTS == pyref._LLM_PROVIDER_HOSTS
    assert sb._NOISY_INFRA_HOSTS == pyref._NOISY_INFRA_HOSTS


def test_filters_read_the_tables_at_call_time(sb, monkeypatch):
    attrs = {"url.full": "https://llm.internal.example/v1"}
    assert not sb._is_llm_provider_http_call(attrs)
    monkeypatch.setattr(sb, "_LLM_PROVIDER_HOSTS", ["llm.internal"])
    assert sb._is_llm_provider_http_call(attrs)


@pytest.mark.parametrize("url", ["https://API.OPENAI.COM/API/V1/OBSERVE", "https://api.openai.com/api/v1/observe",
                                 "https://HuggingFace.co/api/Health"])
def test_the_modules_own_tables_swapped_between_filters(sb, pyref, monkeypatch, url):
    # Each filter searches whichever of the module's own tables it is given
    # as its code does: case-sensitively, or in the lowered URL.
    for module in (sb, pyref):
        tables = module._EXCLUDED_URL_PATTERNS, module._LLM_PROVIDER_HOSTS, module._NOISY_INFRA_HOSTS
        monkeypatch.setattr(module, "_EXCLUDED_URL_PATTERNS", tables[1])
        monkeypatch.setattr(module, "_LLM_PROVIDER_HOSTS", tables[0])
        monkeypatch.setattr(module, "_NOISY_INFRA_HOSTS", tables[1])
    attrs = {"url.full": url}
    filters = ("_is_tavrix_api_call", "_is_llm_provider_http_call", "_is_noisy_infra_call")
    assert [getattr(sb, f)(attrs) for f in filters] == [getattr(pyref, f)(attrs) for f in filters]


def test_non_str_urls(sb):
    # The own-API filter uses the value's own membership test.
    assert sb._is_tavrix_api_call({"url.full": ("api/health",)}) is True
    assert sb._is_tavrix_api_call({"url.full": ("x",)}) is False
    with pytest.raises(TypeError):
        sb._is_tavrix_api_call({"url.full": 5})
    with pytest.raises(AttributeError):
        sb._is_llm_provider_http_call({"url.full": 5})


@pytest.mark.parametrize(
    "model, provider",
    [
        ("GPT-4o", "Openai"),
        ("o3-mini", "Openai"),
        ("text-embedding-3-small", "Openai"),
        ("tts-1", "Openai"),
        ("claude-3-5-sonnet", "Anthropic"),
        ("gemini-1.5-pro", "Google"),
        ("Meta-Llama-3-8B", "Meta"),
        ("llama3-groq-70b", "Meta"),
        ("mistral-large", "Mistral"),
        ("embed-english-v3.0", "Cohere"),
        ("command-r", "Cohere"),
        ("my-groq-model", "Groq"),
        ("groq/llama-3", "Groq"),
        ("", None),
        ("mixtral-8x7b", None),
        ("openai/gpt-4", None),
        ("\u0130gpt", None),
    ],
)
def test_derive_llm_provider(sb, pyref, model, provider):
    assert sb._derive_llm_provider(model) == provider == pyref._derive_llm_provider(model)
