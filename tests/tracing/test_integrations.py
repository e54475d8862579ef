"""Integration detection from span attributes."""

from __future__ import annotations

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st


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


# The attributes are read in one pass when every key is a str; Python code
# that runs between two reads (a display-name function bound in the module's
# place, a value's truth test) and changes them is seen as lookups see it.

INTEGRATION_KEYS = [
    "gen_ai.provider.name", "tavrix.llm.model", "gen_ai.request.model", "tavrix.framework",
    "tavrix.retrieval.source", "tavrix.retrieval.collection", "tavrix.embedding.model", "tavrix.guardrail.name",
    "tavrix.moderation.flagged", "tavrix.eval.framework", "tavrix.rerank.system", "tavrix.deepgram.x", "other",
]


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(attrs=st.dictionaries(st.one_of(st.sampled_from(INTEGRATION_KEYS), st.text(max_size=6)),
                             st.one_of(st.sampled_from(["", "openai", "langchain", "gpt-4o", "claude-3", "x_y"]),
                                       st.none(), st.booleans(), st.integers(-1, 1)), max_size=6))
def test_matches_python_on_random_attributes(sb, pyref, attrs):
    def outcome(module):
        try:
            return module._extract_integrations_from_attrs(dict(attrs))
        except Exception as exc:  # compared, not swallowed
            return type(exc).__name__

    native = outcome(sb)
    if not isinstance(native, str) or native != "TypeError":  # the plain version checks no declared types
        assert native == outcome(pyref)


class Meddling:
    """A value whose truth test adds an attribute to the dict being read."""

    def __init__(self, attrs):
        self.attrs = attrs

    def __bool__(self):
        self.attrs["tavrix.eval.framework"] = "late_eval"
        return True


def test_attributes_changed_by_python_code_during_the_reads(sb, pyref, monkeypatch):
    for module in (sb, pyref):
        attrs = {"tavrix.framework": "crewai", "tavrix.eval.framework": "ragas"}

        def display_name(raw, attrs=attrs):
            attrs["tavrix.rerank.system"] = "late_rerank"
            return raw.upper()

        monkeypatch.setattr(module, "_display_name", display_name)
        assert module._extract_integrations_from_attrs(attrs) == [
            ("CREWAI", "framework"), ("RAGAS", "eval"), ("LATE_RERANK", "reranking"),
        ]
        monkeypatch.undo()
        attrs = {"tavrix.guardrail.name": None}
        attrs["tavrix.guardrail.name"] = Meddling(attrs)
        pairs = module._extract_integrations_from_attrs(attrs)
        assert [category for _, category in pairs] == ["safety", "eval"] and pairs[1][0] == "Late Eval"
