"""Fixtures shared by every test directory."""

from __future__ import annotations

import gc
import pathlib
import sys
import tracemalloc
from typing import Callable

import pytest

from tavrix_observe.context import TavrixContext

# The plain-Python versions of the native modules (tests/reference/pyref_*.py),
# importable by name: the tests compare the modules with them.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent / "reference"))


@pytest.fixture
def run_context():
    """A run context made current for the test."""
    ctx = TavrixContext(run_id="run-test")
    with ctx:
        yield ctx


def traced_blocks() -> int:
    """The memory blocks tracemalloc sees allocated now."""
    return len(tracemalloc.take_snapshot().traces)


def allocated_blocks_growth(fn: Callable[[], object], rounds: int = 2000) -> int:
    """How many memory blocks `rounds` more calls of `fn` leave allocated.

    One warm-up round runs first so that caches, interned strings and free
    lists are populated; a leak of one block per call shows up as a growth
    close to `rounds`. The interpreter's allocator counts the blocks where it
    is in use; under PYTHONMALLOC=malloc (the sanitizer run) it counts
    nothing, and tracemalloc counts them instead.
    """
    for _ in range(rounds):
        fn()
    gc.collect()
    if sys.getallocatedblocks() > 0:
        count, start, stop = sys.getallocatedblocks, None, None
    elif tracemalloc.is_tracing():
        count, start, stop = traced_blocks, None, None
    else:
        count, start, stop = traced_blocks, tracemalloc.start, tracemalloc.stop
    if start:
        start()
    try:
        before = count()
        for _ in range(rounds):
            fn()
        gc.collect()
        return count() - before
    finally:
        if stop:
            stop()


@pytest.fixture
def block_growth():
    """allocated_blocks_growth, for the reference-leak tests."""
    return allocated_blocks_growth


@pytest.fixture
def fresh_module():
    """A new, separate instance of a native module (its own namespace and state),
    for tests that remove or rebind module attributes."""
    import importlib.util

    def load(name: str):
        module_spec = importlib.util.find_spec(name)
        module = importlib.util.module_from_spec(module_spec)
        module_spec.loader.exec_module(module)
        return module

    return load
