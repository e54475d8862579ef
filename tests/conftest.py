"""Fixtures shared by every test directory."""

from __future__ import annotations

import gc
import os
import pathlib
import re
import shutil
import subprocess
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


# The development build's directory (make test names it): the C++ checks,
# registered with its ctest, and the test-only modules built beside the
# package's. Without one (tests of an installed wheel or sdist, a cross
# build) the tests that need it are skipped.
def native_build_dir() -> pathlib.Path:
    named = os.environ.get("TAVRIX_NATIVE_BUILD")
    if not named:
        pytest.skip("needs the development build (make test names it in TAVRIX_NATIVE_BUILD)")
    directory = pathlib.Path(named)
    if not (directory / "CTestTestfile.cmake").is_file():
        pytest.skip(f"{directory} holds no development build with its C++ checks")
    return directory


@pytest.fixture(scope="session")
def native_build() -> pathlib.Path:
    return native_build_dir()


@pytest.fixture(scope="session")
def built_module(native_build):
    """Loads a test-only extension module of the development build by name."""
    import importlib.util
    import sysconfig

    def load(name: str):
        path = native_build / f"{name}{sysconfig.get_config_var('EXT_SUFFIX')}"
        if not path.is_file():
            pytest.skip(f"{native_build} has no {path.name}: built for another interpreter")
        module_spec = importlib.util.spec_from_file_location(name, path)
        module = importlib.util.module_from_spec(module_spec)
        module_spec.loader.exec_module(module)
        return module

    return load


@pytest.fixture(scope="session")
def cxx_check(native_build):
    """Runs one C++ check of the development build through its ctest."""

    def run(name: str) -> None:
        if not re.search(rf"add_test\(\W*{name}\W", (native_build / "CTestTestfile.cmake").read_text()):
            pytest.skip(f"{native_build} has no {name} (it needs the interpreter's library)")
        cache = (native_build / "CMakeCache.txt").read_text()
        ctest = next((line.split("=", 1)[1] for line in cache.splitlines()
                      if line.startswith("CMAKE_CTEST_COMMAND:")), None) or shutil.which("ctest")
        if ctest is None:
            pytest.skip("needs ctest")
        # The checks carry their own sanitizer runtimes; ctest has none.
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
        result = subprocess.run([ctest, "--test-dir", str(native_build), "--output-on-failure", "--no-tests=error",
                                 "-R", f"^{name}$"], capture_output=True, text=True, env=env)
        assert result.returncode == 0, result.stdout + result.stderr

    return run
