"""The built-in price tables: contents, encoding and module layout."""

from __future__ import annotations

import logging

import pytest

from tavrix_observe import cost


def test_module_attributes_in_documented_order():
    public = [name for name in vars(cost) if not name.startswith("__")]
    assert public == [
        "logging",
        "_cost_logger",
        "_UNKNOWN_MODELS_LOGGED",
        "MODEL_COSTS",
        "MULTIMODAL_COSTS",
        "EMBEDDING_COSTS",
        "_FREE_PROVIDERS",
        "estimate_cost",
        "estimate_embedding_cost",
    ]
    assert cost.logging is logging
    assert cost._cost_logger is logging.getLogger("tavrix.observe.cost")
    assert isinstance(cost._UNKNOWN_MODELS_LOGGED, set)


def test_table_sizes_and_order():
    assert len(cost.MODEL_COSTS) == 62
    assert len(cost.MULTIMODAL_COSTS) == 15
    assert len(cost.EMBEDDING_COSTS) == 20
    models = list(cost.MODEL_COSTS)
    assert models[:3] == ["gpt-4o", "gpt-4o-mini", "gpt-4-turbo"]
    assert models[-4:] == [
        "meta-llama/Llama-3.3-70B",
        "meta-llama/Meta-Llama-3.1-8B",
        "accounts/fireworks/models/llama-v3p3-70b-instruct",
        "vllm",
    ]
    assert list(cost.EMBEDDING_COSTS)[-3:] == ["sentence-transformers", "bge", "e5"]
    assert list(cost.MULTIMODAL_COSTS)[9:12] == ["whisper-1", "tts-1", "tts-1-hd"]


def test_every_chat_row_holds_two_float_prices():
    for model, row in cost.MODEL_COSTS.items():
        assert type(row) is dict and list(row) == ["input", "output"], model
        assert all(type(price) is float for price in row.values()), model
    assert all(type(v) is float for v in cost.EMBEDDING_COSTS.values())
    assert all(type(v) is float for v in cost.MULTIMODAL_COSTS.values())


@pytest.mark.parametrize(
    "table, key, field, per_million, stored",
    [
        ("MODEL_COSTS", "claude-haiku-4-5", "input", 0.8, 8.000000000000001e-07),
        ("MODEL_COSTS", "mistral-small", "input", 0.1, 1.0000000000000001e-07),
        ("MODEL_COSTS", "deepseek-reasoner", "output", 2.19, 2.1899999999999998e-06),
        ("MODEL_COSTS", "gemini-1.5-flash", "input", 0.075, 0.075 / 1_000_000),
        ("MODEL_COSTS", "gpt-4", "output", 60, 6e-05),
        ("EMBEDDING_COSTS", "text-embedding-3-large", None, 0.13, 0.13 / 1_000_000),
        ("MULTIMODAL_COSTS", "tts-1", None, 15, 1.5e-05),
        ("MULTIMODAL_COSTS", "tts-1-hd", None, 30, 3e-05),
    ],
)
def test_prices_are_the_per_million_quotient(table, key, field, per_million, stored):
    value = getattr(cost, table)[key]
    if field is not None:
        value = value[field]
    assert value == per_million / 1_000_000 == stored


def test_quotient_differs_from_the_decimal_literal():
    assert cost.MODEL_COSTS["claude-haiku-4-5"]["input"] != 8e-07


def test_free_rows_and_media_prices():
    assert cost.MODEL_COSTS["vllm"] == {"input": 0.0, "output": 0.0}
    assert cost.MULTIMODAL_COSTS["dall-e-3-1024x1024-hd"] == cost.MULTIMODAL_COSTS["dall-e-3-1792x1024-standard"] == 0.08
    assert cost.MULTIMODAL_COSTS["whisper-1"] == 0.006
    assert cost.MULTIMODAL_COSTS["dall-e-2-256x256"] == 0.016
    for family in ("sentence-transformers", "bge", "e5", "text-embedding-005"):
        assert cost.EMBEDDING_COSTS[family] == 0.0


def test_free_providers():
    assert type(cost._FREE_PROVIDERS) is frozenset
    assert cost._FREE_PROVIDERS == {"ollama", "local"}
