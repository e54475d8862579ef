"""Runs the C++ checks of the engine's compiler, matcher, prefilters and
table scan (tests/regex/engine_checks.cpp), under the sanitizers in the
sanitizer run."""

from __future__ import annotations

import os
import subprocess


def test_engine_checks_pass(engine_checks):
    result = subprocess.run([str(engine_checks)], capture_output=True, text=True, env=dict(os.environ))
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
