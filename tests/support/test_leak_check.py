"""The block count the reference-leak tests rely on sees a leak, with the
interpreter's allocator and without it (PYTHONMALLOC=malloc)."""

from __future__ import annotations

import os
import subprocess
import sys

import pytest

CHECK = """
import sys
sys.path.insert(0, {tests!r})
from conftest import allocated_blocks_growth
kept = []
leaking = allocated_blocks_growth(lambda: kept.append(object()), rounds=500)
clean = allocated_blocks_growth(lambda: str(12345), rounds=500)
print(leaking, clean)
"""


@pytest.mark.parametrize("allocator", ["pymalloc", "malloc"])
def test_growth_counts_one_block_per_leaked_object(allocator):
    tests = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    env = dict(os.environ, PYTHONMALLOC=allocator)
    result = subprocess.run([sys.executable, "-c", CHECK.format(tests=tests)], env=env, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    leaking, clean = map(int, result.stdout.split())
    assert leaking >= 500
    assert clean < 100
