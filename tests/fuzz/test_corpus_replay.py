"""The fuzz corpus, replayed: every input the coverage-guided fuzzer kept
(tests/fuzz/corpus) goes through the same harness, so the paths it
reached stay covered and its findings stay fixed."""

from __future__ import annotations

import pathlib

import pytest

import harness

CORPUS = sorted((pathlib.Path(__file__).resolve().parent / "corpus").iterdir())


def test_the_corpus_is_there():
    assert len(CORPUS) > 100


@pytest.mark.parametrize("target", harness.TARGETS, ids=lambda t: t.__name__)
def test_corpus_inputs_agree_with_the_plain_python_versions(target):
    inputs = [(path.name, path.read_bytes()) for path in CORPUS]
    mine = [(name, data) for name, data in inputs
            if data and harness.TARGETS[data[0] % len(harness.TARGETS)] is target]
    assert mine, f"no corpus input reaches {target.__name__}"
    for name, data in mine:
        try:
            harness.one_input(data)
        except Exception as exc:
            pytest.fail(f"corpus/{name}: {type(exc).__name__}: {exc}")
