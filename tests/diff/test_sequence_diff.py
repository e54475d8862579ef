"""Builds and runs the C++ checks of the token diff (tests/diff/sequence_diff_check.cpp):
difflib's recursion ported line by line as the oracle, random and hand-made
sequences, the hard shapes counted in work done. Under `make test SANITIZE=ON`
the checks are built with AddressSanitizer and UndefinedBehaviorSanitizer too."""

from __future__ import annotations

import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SOURCES = [ROOT / "tests/diff/sequence_diff_check.cpp", *sorted((ROOT / "native/diff").glob("*.cpp"))]


# The compiler of the build under test (make test CXX=...).
CXX = os.environ.get("CXX", "g++")


@pytest.mark.skipif(shutil.which(CXX) is None, reason="needs a C++ compiler")
def test_token_diff_matches_difflib_port(tmp_path):
    sanitize = os.environ.get("TAVRIX_SANITIZE") == "ON"
    flags = ["-std=c++20", "-O1", "-Wall", "-Wextra", "-Wpedantic", "-Wconversion", "-Wno-sign-conversion",
             "-Werror", "-UNDEBUG"]
    if sanitize:
        flags += ["-g", "-fsanitize=address,undefined", "-fno-sanitize-recover=undefined", "-fno-omit-frame-pointer"]
    exe = tmp_path / "sequence_diff_check"
    build = subprocess.run([CXX, *flags, *map(str, SOURCES), "-o", str(exe)], capture_output=True, text=True)
    assert build.returncode == 0, build.stderr
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    result = subprocess.run([str(exe)], capture_output=True, text=True, env=env)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
