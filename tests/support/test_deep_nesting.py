"""Deep nesting raises RecursionError on every thread, whatever its stack.

The interpreter's recursion limits count frames; a native frame is larger
than an interpreter frame, and a thread's stack can be far smaller than the
main thread's. Each run below is a subprocess (a crash must not take the
test session with it) that drives every case of nesting_cases.CASES on a
thread of the given stack size under the given recursion limit.
"""

from __future__ import annotations

import json
import os
import pathlib
import resource
import subprocess
import sys

import pytest

import nesting_cases

CASES_SCRIPT = pathlib.Path(__file__).with_name("nesting_cases.py")
# The sanitizer build's frames are several times larger, and so is the
# headroom its guard keeps: a 128 KiB thread has no room for a native call.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
STACKS_KIB = [0, 256, 1024, 4096] if SANITIZED else [0, 128, 256, 1024, 4096]
LIMITS = [1000, 5000, 20_000, 100_000]
# What a case answers when its input is far too deep: every walk raises
# RecursionError, except where the error is swallowed.
TOO_DEEP = {name: "RecursionError" for name in nesting_cases.CASES} | {"on_end, tool span record": "dropped"}
SHALLOW = {name: "ok" for name in nesting_cases.CASES} | {"on_end, tool span record": "recorded"}
# From 3.14 the interpreter measures the stack too, and its own check ("Stack
# overflow (used N kB)") can come before the modules' headroom runs out.
RECURSION_MESSAGES = ("maximum recursion depth exceeded",) + (("Stack overflow",) if sys.version_info >= (3, 14) else ())


def run_cases(depth: int, stack_kib: int, limit: int, stack_rlimit: int | None = None) -> dict[str, dict]:
    def lower_stack_limit() -> None:
        resource.setrlimit(resource.RLIMIT_STACK, (stack_rlimit, stack_rlimit))

    proc = subprocess.run(
        [sys.executable, str(CASES_SCRIPT), str(depth), str(stack_kib), str(limit)],
        capture_output=True,
        text=True,
        timeout=300,
        preexec_fn=lower_stack_limit if stack_rlimit else None,
    )
    reports = [json.loads(line) for line in proc.stdout.splitlines() if line.startswith("{")]
    done = [r["case"] for r in reports]
    assert proc.returncode == 0, f"exit {proc.returncode} after {done}; next case crashed\n{proc.stderr[-2000:]}"
    return {r["case"]: r for r in reports}


def outcomes(reports: dict[str, dict]) -> dict[str, str]:
    return {name: report["outcome"] for name, report in reports.items()}


def assert_too_deep(reports: dict[str, dict]) -> None:
    assert outcomes(reports) == TOO_DEEP
    for report in reports.values():
        if report["outcome"] == "RecursionError":
            assert report["message"].startswith(RECURSION_MESSAGES), report


@pytest.mark.parametrize("limit", LIMITS)
@pytest.mark.parametrize("stack_kib", STACKS_KIB, ids=lambda kib: f"{kib}KiB" if kib else "main")
def test_deep_input_raises_recursion_error(stack_kib, limit):
    assert_too_deep(run_cases(100_000, stack_kib, limit))


def test_main_thread_under_a_small_stack_limit():
    # The main thread's stack grows on demand up to the process's limit.
    assert_too_deep(run_cases(100_000, 0, 100_000, stack_rlimit=1024 * 1024))


@pytest.mark.parametrize("stack_kib", STACKS_KIB, ids=lambda kib: f"{kib}KiB" if kib else "main")
def test_shallow_input_is_walked_on_every_stack(stack_kib):
    assert outcomes(run_cases(20, stack_kib, 1000)) == SHALLOW


def test_moderate_depth_fits_a_default_thread():
    # Threads get 8 MiB by default: at the default recursion limit the
    # interpreter's limit decides, and ordinary depths pass.
    assert outcomes(run_cases(200, 8192, 1000)) == SHALLOW
