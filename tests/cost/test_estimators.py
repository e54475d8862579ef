"""estimate_cost and estimate_embedding_cost."""

from __future__ import annotations

import logging
import threading
import types
import uuid

import pytest

from tavrix_observe import cost

WARNING_TEXT = (
    "estimate_cost: no cost mapping for model={model!r} (provider={provider!r}). Returning 0.0 \u2014 cost "
    "analytics will understate spend on this model until MODEL_COSTS is updated. Suppressing further warnings "
    "for this model."
)


def unpriced_name() -> str:
    """A model name no table prices and no earlier call has reported."""
    return f"zz-unpriced-{uuid.uuid4().hex}"


def cost_warnings(caplog):
    return [r for r in caplog.records if r.name == "tavrix.observe.cost"]


@pytest.mark.parametrize(
    "model, tokens_in, tokens_out, provider, expected",
    [
        ("gpt-4o", 1000, 500, "", 0.0075),
        ("claude-3-5-haiku", 1000, 1000, "", 0.0048000000000000004),
        # Versioned names: the longest priced name they start with.
        ("gpt-4o-2024-08-06", 1000, 0, "", 1000 * (2.5 / 1e6)),
        ("gpt-4o-mini-2024-07-18", 1000, 0, "", 1000 * (0.15 / 1e6)),
        ("o1-preview", 0, 1000, "", 1000 * (60 / 1e6)),
        ("claude-opus-4-1", 1000, 0, "", 1000 * (15 / 1e6)),
        ("gemini-2.5-flash-lite-preview-06-17", 1000, 0, "", 1000 * (0.1 / 1e6)),
        # Namespaces.
        ("models/gemini-1.5-pro-002", 1000, 0, "", 1000 * (1.25 / 1e6)),
        ("gateway/anthropic/claude-3-haiku", 1000, 0, "", 1000 * (0.25 / 1e6)),
        ("meta-llama/Llama-3.3-70B-Instruct-Turbo", 1000, 0, "", 1000 * (0.88 / 1e6)),
        ("accounts/fireworks/models/llama-v3p3-70b-instruct", 1000, 0, "", 1000 * (0.9 / 1e6)),
        ("proxy/models/gpt-4o", 1000, 0, "", 1000 * (2.5 / 1e6)),
        # Providers.
        ("llama-3.3-70b", 1000, 1000, "vllm", 1000 * (0.59 / 1e6) + 1000 * (0.79 / 1e6)),
        ("vllm-served-model", 1000, 1000, "", 0.0),
        ("gpt-4o", 1000, 1000, "ollama", 0.0),
        ("anything-at-all", 1000, 1000, "local", 0.0),
        ("gpt-4o", 1000, 0, "Ollama", 1000 * (2.5 / 1e6)),
        # Counts: floats truncate, negatives are not refused.
        ("gpt-4o", 10.9, 0, "", 10 * (2.5 / 1e6)),
        ("gpt-4o", -1000, 0, "", -1000 * (2.5 / 1e6)),
    ],
)
def test_estimate_cost(model, tokens_in, tokens_out, provider, expected, caplog):
    caplog.set_level(logging.WARNING, "tavrix.observe.cost")
    result = cost.estimate_cost(model, tokens_in, tokens_out, provider)
    assert type(result) is float
    assert result == expected
    assert not cost_warnings(caplog)


def test_only_one_models_prefix_is_removed(caplog):
    name = unpriced_name()
    assert cost.estimate_cost("models/models/" + name, 1, 1) == 0.0
    assert "models/" + name in cost._UNKNOWN_MODELS_LOGGED
    assert cost.estimate_cost("models/models/gpt-4o", 1000, 0) == 0.0025  # priced through its last segment


def test_unpriced_model_warns_once_with_the_stripped_name(caplog):
    caplog.set_level(logging.WARNING, "tavrix.observe.cost")
    name = unpriced_name()
    assert cost.estimate_cost("models/" + name, 10, 10, "acme") == 0.0
    assert cost.estimate_cost("models/" + name, 10, 10, "acme") == 0.0
    assert cost.estimate_cost(name, 1, 1) == 0.0
    (record,) = cost_warnings(caplog)
    assert record.levelno == logging.WARNING
    assert record.args == (name, "acme")
    assert record.getMessage() == WARNING_TEXT.format(model=name, provider="acme")
    assert name in cost._UNKNOWN_MODELS_LOGGED
    assert "models/" + name not in cost._UNKNOWN_MODELS_LOGGED


@pytest.mark.parametrize("model", ["", "gateway/", "GPT-4O"])
def test_edge_names_are_unpriced(model, caplog):
    caplog.set_level(logging.WARNING, "tavrix.observe.cost")
    cost._UNKNOWN_MODELS_LOGGED.discard(model)
    assert cost.estimate_cost(model, 100, 100) == 0.0
    assert cost.estimate_cost(model, 100, 100) == 0.0
    (record,) = cost_warnings(caplog)
    assert record.args == (model, "")


class Failing(logging.Handler):
    def __init__(self, exc):
        super().__init__()
        self.exc = exc
        self.calls = 0

    def emit(self, record):
        self.calls += 1
        raise self.exc


@pytest.fixture
def failing_handler():
    handlers = []

    def install(exc):
        handler = Failing(exc)
        cost._cost_logger.addHandler(handler)
        handlers.append(handler)
        return handler

    yield install
    for handler in handlers:
        cost._cost_logger.removeHandler(handler)


def test_a_failing_log_handler_does_not_reach_the_caller(failing_handler):
    handler = failing_handler(RuntimeError("disk full"))
    name = unpriced_name()
    assert cost.estimate_cost(name, 1, 1) == 0.0
    assert name in cost._UNKNOWN_MODELS_LOGGED
    assert cost.estimate_cost(name, 1, 1) == 0.0
    assert handler.calls == 1  # a warning that failed is not tried again


def test_keyboard_interrupt_in_the_log_handler_propagates(failing_handler):
    failing_handler(KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        cost.estimate_cost(unpriced_name(), 1, 1)


def test_concurrent_callers_warn_once_per_name(caplog):
    caplog.set_level(logging.WARNING, "tavrix.observe.cost")
    name = unpriced_name()
    barrier = threading.Barrier(16)
    results = []

    def worker():
        barrier.wait()
        for _ in range(50):
            results.append(cost.estimate_cost(name, 5, 5))

    threads = [threading.Thread(target=worker) for _ in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [0.0] * 800
    assert len([r for r in cost_warnings(caplog) if r.args[0] == name]) == 1


def test_tables_are_read_at_each_call(monkeypatch):
    name = unpriced_name()
    monkeypatch.setitem(cost.MODEL_COSTS, name, {"input": 1.0, "output": 2.0})
    assert cost.estimate_cost(name, 3, 4) == 11.0
    assert cost.estimate_cost(name + "-v2", 3, 4) == 11.0
    monkeypatch.setattr(cost, "MODEL_COSTS", {"only": {"input": 0.5, "output": 0.25}})
    assert cost.estimate_cost("only", 2, 4) == 2.0
    assert cost.estimate_cost("gpt-4o", 2, 4) == 0.0
    monkeypatch.setattr(cost, "_FREE_PROVIDERS", frozenset({"acme"}))
    assert cost.estimate_cost("only", 2, 4, "acme") == 0.0
    assert cost.estimate_cost("only", 2, 4, "ollama") == 2.0


def test_prefix_ties_keep_table_order(monkeypatch):
    monkeypatch.setattr(cost, "MODEL_COSTS", {"ab": {"input": 1.0, "output": 0.0}, "aa": {"input": 2.0, "output": 0.0}, "a": {"input": 3.0, "output": 0.0}})
    assert cost.estimate_cost("abc", 1, 0) == 1.0
    assert cost.estimate_cost("aac", 1, 0) == 2.0
    assert cost.estimate_cost("axe", 1, 0) == 3.0


def test_any_mapping_serves_as_a_table(monkeypatch):
    table = types.MappingProxyType({"proxy-model": {"input": 1.0, "output": 1.0}})
    monkeypatch.setattr(cost, "MODEL_COSTS", table)
    assert cost.estimate_cost("proxy-model", 1, 2) == 3.0
    assert cost.estimate_cost("proxy-model-v2", 1, 2) == 3.0


def test_keys_of_other_types_are_matched_as_python_matches_them(monkeypatch):
    row = {"input": 1.0, "output": 1.0}
    # str.startswith accepts a tuple of prefixes; the tuple's len() orders it.
    monkeypatch.setattr(cost, "MODEL_COSTS", {"acme": {"input": 9.0, "output": 9.0}, ("acme-", "zz-"): row})
    assert cost.estimate_cost("zz-top", 1, 1) == 2.0
    assert cost.estimate_cost("acme-large", 1, 1) == 18.0  # "acme" is longer than the 2-tuple
    monkeypatch.setattr(cost, "MODEL_COSTS", {"gpt-4o": row, 7: row})
    with pytest.raises(TypeError, match="has no len"):
        cost.estimate_cost("gpt-4o-mini", 1, 1)


@pytest.mark.parametrize(
    "row, error, message",
    [
        (0.5, TypeError, "Expected dict, got float"),
        ({"input": 1.0}, KeyError, "output"),
        ({"input": "1.0", "output": 1.0}, TypeError, "must be real number, not str"),
    ],
)
def test_malformed_rows_raise(monkeypatch, row, error, message):
    name = unpriced_name()
    monkeypatch.setitem(cost.MODEL_COSTS, name, row)
    with pytest.raises(error, match=message):
        cost.estimate_cost(name, 1, 1)


def test_a_none_row_prices_nothing(monkeypatch):
    # The exact lookup treats None as no row; the prefix scan then stops at
    # the same key, so the name is unpriced rather than priced as gpt-4o.
    name = "gpt-4o-" + unpriced_name()
    monkeypatch.setitem(cost.MODEL_COSTS, name, None)
    assert cost.estimate_cost(name, 1000, 0) == 0.0
    assert name in cost._UNKNOWN_MODELS_LOGGED


def test_huge_counts_fail_as_float_conversion_does():
    with pytest.raises(OverflowError):
        cost.estimate_cost("gpt-4o", 10**400, 0)


@pytest.mark.parametrize(
    "model, tokens, provider, expected",
    [
        ("text-embedding-3-large", 1000, "", 0.00013),
        ("text-embedding-3-small-2025", 1000, "", 1000 * (0.02 / 1e6)),
        ("bge-large-en-v1.5", 1000, "", 0.0),
        ("sentence-transformers/all-MiniLM-L6-v2", 1000, "", 0.0),
        ("models/text-embedding-3-small", 1000, "", 0.0),
        ("voyage-3-large", 1000, "ollama", 0.0),
        ("voyage-3-large", 1000, "Local", 1000 * (0.18 / 1e6)),
        ("unknown-embedder", 1000, "", 0.0),
    ],
)
def test_estimate_embedding_cost(model, tokens, provider, expected, caplog):
    caplog.set_level(logging.DEBUG)
    before = set(cost._UNKNOWN_MODELS_LOGGED)
    assert cost.estimate_embedding_cost(model, tokens, provider) == expected
    assert not cost_warnings(caplog)
    assert cost._UNKNOWN_MODELS_LOGGED == before


def test_no_reference_leaks(block_growth, monkeypatch):
    name = unpriced_name()

    def calls():
        cost.estimate_cost("gpt-4o", 1000, 500)
        cost.estimate_cost("gpt-4o-2024-08-06", 10, 5, provider="openai")
        cost.estimate_cost("gateway/anthropic/claude-3-haiku", 10.5, 5)
        cost.estimate_cost(name, 1, 1)
        cost.estimate_cost("x", 1, 1, "ollama")
        cost.estimate_embedding_cost("bge-small", 7)
        for bad in ((None, 1, 1), ("m", "1", 1), ("m", 1, 1, None)):
            try:
                cost.estimate_cost(*bad)
            except TypeError:
                pass
        try:
            cost.estimate_cost(model="m", tokens_in=1, tokens_out=1, nope=1)
        except TypeError:
            pass

    assert block_growth(calls) < 100
