"""Integration detection from span attributes."""

from __future__ import annotations

import pytest


@pytest.mark.parametrize(
    "attrs, expected",
    [
        ({}, []),
        ({"gen_ai.provider.name": "openai"}, [("Openai", "llm")]),
        ({"gen_ai.provider.name": "aws_bedrock"}, [("Aws Bedrock", "llm")]),
        ({"gen_ai.provider.name": "CrewAI"}, [("Crewai", "framework")]),
        (
            {"gen_ai.provider.name": "CrewAI", "tavrix.llm.model": "claude-3-haiku"},
            [("Crewai", "framework"), ("Anthropic", "llm")],
        ),
        ({"gen_ai.provider.name": "langchain", "gen_ai.request.model": "mixtral-8x7b"}, [("Langchain", "framework")]),
        (
            {"gen_ai.provider.name": "langchain", "tavrix.framework": "langchain"},
            [("Langchain", "framework"), ("Langchain", "framework")],
        ),
        (
            {
                "gen_ai.provider.name": "langchain",
                "gen_ai.request.model": "gpt-4o-mini",
                "tavrix.retrieval.collection": "support_docs",
                "tavrix.langchain.chain_type": "stuff",
            },
            [("Langchain", "framework"), ("Openai", "llm"), ("Support Docs", "retrieval")],
        ),
        ({"tavrix.embedding.model": "text-embedding-3-small"}, [("text-embedding-3-small", "embedding")]),
        ({"tavrix.moderation.flagged": False}, [("OpenAI Moderation", "safety")]),
        ({"tavrix.moderation.flagged": None}, []),
        ({"tavrix.guardrail.name": "pii-shield", "tavrix.moderation.flagged": True}, [("pii-shield", "safety")]),
        ({"tavrix.eval.framework": "ragas", "tavrix.rerank.system": "cohere_rerank"},
         [("Ragas", "eval"), ("Cohere Rerank", "reranking")]),
        ({"tavrix.deepgram.model": "nova"}, [("Deepgram", "speech")]),
        ({"tavrix.elevenlabs.voice": "x", "tavrix.crewai.agent": "y"}, [("ElevenLabs", "speech")]),
        ({"tavrix.deepgram": "x"}, []),
        ({"http.url": "x", 5: "y", "tavrix.other": 1, "tavrix.letta.agent": 1}, [("Letta", "framework")]),
        ({"tavrix.framework": "autogen", "tavrix.autogen.agent": "a"}, [("Autogen", "framework")]),
        # Values named as they are: not type-checked.
        ({"tavrix.embedding.model": 3, "tavrix.guardrail.name": ["g"]}, [(3, "embedding"), (["g"], "safety")]),
    ],
)
def test_extract_integrations(sb, pyref, attrs, expected):
    assert sb._extract_integrations_from_attrs(attrs) == expected
    assert pyref._extract_integrations_from_attrs(attrs) == expected


@pytest.mark.parametrize(
    "attrs, error",
    [
        ({"gen_ai.provider.name": 5}, AttributeError),
        ({"tavrix.framework": 5}, TypeError),
        ({"gen_ai.provider.name": "crewai", "tavrix.llm.model": 5}, TypeError),
    ],
)
def test_extract_integrations_errors(sb, attrs, error):
    # Declared str parameters of _display_name and _derive_llm_provider refuse other types.
    with pytest.raises(error):
        sb._extract_integrations_from_attrs(attrs)


def test_extract_integrations_uses_module_functions_at_call_time(sb, monkeypatch):
    monkeypatch.setattr(sb, "_display_name", lambda raw: f"<{raw}>")
    monkeypatch.setattr(sb, "_derive_llm_provider", lambda model: "Local")
    monkeypatch.setitem(sb._ATTR_PREFIX_INTEGRATIONS, "tavrix.mine.", ["Mine", "framework"])
    attrs = {"gen_ai.provider.name": "dspy", "gen_ai.request.model": "m"}
    assert sb._extract_integrations_from_attrs(attrs) == [("<dspy>", "framework"), ("Local", "llm")]
    assert sb._extract_integrations_from_attrs({"tavrix.mine.x": 1}) == [("Mine", "framework")]


def test_tables(sb):
    assert len(sb._FRAMEWORK_PROVIDERS) == 15 and type(sb._FRAMEWORK_PROVIDERS) is frozenset
    prefixes = list(sb._ATTR_PREFIX_INTEGRATIONS)
    assert len(prefixes) == 23 and prefixes[0] == "tavrix.deepgram." and prefixes[-1] == "tavrix.letta."
    assert all(p.endswith(".") for p in prefixes)
    assert not any(a != b and b.startswith(a) for a in prefixes for b in prefixes)


def test_malformed_prefix_entries_fail_like_python(sb, pyref, monkeypatch):
    table = {"tavrix.a.": ("A", "speech", "extra"), "tavrix.b.": ("B", "framework")}
    for module in (sb, pyref):
        monkeypatch.setattr(module, "_ATTR_PREFIX_INTEGRATIONS", table)
        with pytest.raises(ValueError, match="too many values to unpack"):
            module._extract_integrations_from_attrs({"tavrix.b.key": 1})
        # Keys outside the SDK's namespace never reach the table.
        assert module._extract_integrations_from_attrs({"x.key": 1}) == []
