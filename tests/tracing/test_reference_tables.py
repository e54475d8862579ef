"""The tables span capture keeps twice, in the native module and in its
plain-Python version (tests/reference/pyref_spanbridge.py), hold the same
rows: the comparisons between the two then test the logic, and a row changed
on one side only fails here."""

from __future__ import annotations

import ast
import inspect

import pytest

TABLES = [
    "_OTEL_KIND_MAP",
    "_SPAN_TYPE_MAP",
    "_EXCLUDED_URL_PATTERNS",
    "_NOISY_INFRA_HOSTS",
    "_LLM_PROVIDER_HOSTS",
    "_FRAMEWORK_PROVIDERS",
    "_ATTR_PREFIX_INTEGRATIONS",
    "_OTEL_DROP_KEYS",
]


def module_tables(module) -> set[str]:
    return {
        name
        for name, value in vars(module).items()
        if name.lstrip("_").isupper() and isinstance(value, (dict, tuple, list, set, frozenset))
    }


def test_every_table_is_compared(sb, pyref):
    assert module_tables(sb) == module_tables(pyref) == set(TABLES)


@pytest.mark.parametrize("name", TABLES)
def test_table_matches_the_python_version(sb, pyref, name):
    ours, theirs = getattr(sb, name), getattr(pyref, name)
    assert type(ours) is type(theirs)
    assert ours == theirs
    if isinstance(ours, dict):
        assert list(ours.items()) == list(theirs.items())  # the order is part of the table


def literal_assigned(function, name: str):
    """The literal a plain-Python function assigns to its local `name`."""
    for node in ast.walk(ast.parse(inspect.getsource(function))):
        if isinstance(node, ast.Assign) and any(getattr(t, "id", None) == name for t in node.targets):
            return ast.literal_eval(node.value)
    raise LookupError(name)


def test_database_short_names_match_the_python_version(sb, pyref):
    short_names = literal_assigned(pyref._build_display_name, "short_names")
    assert len(short_names) == 9
    for system, short in [*short_names.items(), ("oracle", "oracle"), ("PostgreSQL", "PostgreSQL")]:
        attrs = {"db.system": system}
        assert sb._build_display_name("op", attrs) == f"{short} op" == pyref._build_display_name("op", attrs)


def test_provider_prefixes_match_the_python_version(sb, pyref):
    tree = ast.parse(inspect.getsource(pyref._derive_llm_provider))
    words = {n.value for n in ast.walk(tree) if isinstance(n, ast.Constant) and isinstance(n.value, str)}
    assert {"gpt", "claude", "embed-", "groq", "Cohere"} <= words
    for word in sorted(words):
        for model in (word, word.upper() + "-1", "x-" + word, word[:-1]):
            assert sb._derive_llm_provider(model) == pyref._derive_llm_provider(model), model
