"""Every program in examples/ runs to the end, and prints the lines its
.expected file lists, in that order (other lines may come between: the
instrumentations of some releases add attributes)."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = sorted((Path(__file__).resolve().parents[2] / "examples").glob("*.py"))


def test_there_are_examples():
    assert EXAMPLES


@pytest.mark.parametrize("example", EXAMPLES, ids=lambda path: path.name)
def test_example_prints_what_it_should(example):
    result = subprocess.run([sys.executable, str(example)], capture_output=True, text=True, timeout=120,
                            cwd=example.parent)
    assert result.returncode == 0, result.stderr
    expected = example.with_suffix(".expected").read_text().splitlines()
    printed = iter(result.stdout.splitlines())
    missing = [line for line in expected if line not in printed]  # consumes `printed` in order
    assert not missing, result.stdout
