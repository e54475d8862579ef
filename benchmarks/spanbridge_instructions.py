"""Instructions per span of the span benchmark's shapes, counted by callgrind
(which no other load on the machine changes): the native processor's
on_end, the plain-Python one's, and the SDK's own start and end of the same
span. Each count is the difference of two whole-process runs, with N calls
and with none, divided by N; hash seeds and the ids' random generator
fixed (an id at or above 2**63 is read otherwise than a smaller one) and
the collector off, so that runs repeat. A case with the run's redaction
function is shown again less that function's own calls, which both
processors make alike.

    python benchmarks/spanbridge_instructions.py [N] [word ...]

(a release build in the environment; valgrind on PATH; a few minutes.)
"""

from __future__ import annotations

import os
import pathlib
import re
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
SHAPES = [
    "HTTP client span (semconv), converted",
    "database span (semconv), converted",
    "LLM span (gen_ai), converted",
    "chain span (JSON input and output), converted",
    "tool span (input and output), converted",
    "tool span, merged",
    "tool span (input and output), merged + redacted",
]


def run_calls(case: str, calls: int, which: str) -> None:
    """In the process valgrind runs: `calls` calls of one processor (or the SDK)."""
    import gc
    import random

    random.seed(0)
    sys.path[:0] = [str(HERE), str(HERE.parent / "tests" / "reference")]
    import bench_spanbridge as bench
    from opentelemetry.sdk.trace import TracerProvider

    from tavrix_observe.instrumentors._context_var import _current_context

    span = bench.finished_spans()[case]
    ctx = bench.run_for(case)
    _current_context.set(ctx)
    processor = bench.spanbridge if which == "native" else bench.python_version.load()
    on_end = processor.TavrixSpanProcessor().on_end
    name, attributes, _ = bench.CASES[case]
    start = TracerProvider().get_tracer("bench").start_span
    entry, buffer, integrations = ctx._spans[1]["attributes"], ctx._otel_spans, ctx.integrations

    def processor_call():
        on_end(span)
        buffer.clear()
        integrations.clear()
        entry.clear()

    def sdk_span():
        start(name, attributes=attributes).end()

    # What a merge copies goes through the run's redaction function.
    redacted = [value for key, value in attributes.items()
                if key not in bench.spanbridge._OTEL_DROP_KEYS and isinstance(value, str)]

    def redaction_calls():
        for value in redacted:
            bench.scrub(value)

    call = {"sdk": sdk_span, "redaction": redaction_calls}.get(which, processor_call)
    gc.collect()
    gc.disable()
    for _ in range(50 + calls):
        call()


def instructions(case: str, calls: int, which: str) -> int:
    def total(n: int) -> int:
        out = subprocess.run(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, __file__,
             "--run", case, str(n), which],
            capture_output=True, text=True, check=True, env={**os.environ, "PYTHONHASHSEED": "0"},
        ).stderr
        return int(re.search(r"Collected : (\d+)", out).group(1))

    return (total(calls) - total(0)) // calls


def bench_cases() -> dict:
    sys.path[:0] = [str(HERE), str(HERE.parent / "tests" / "reference")]
    import bench_spanbridge

    return bench_spanbridge.CASES


def main(argv: list[str]) -> None:
    if argv[:1] == ["--run"]:
        run_calls(argv[1], int(argv[2]), argv[3])
        return
    calls = int(argv[0]) if argv and argv[0].isdigit() else 300
    words = [a for a in argv if not a.isdigit()]
    print(f"instructions per span ({calls} calls)")
    print(f"  {'case':50}  {'native':>8}  {'python':>8}  {'SDK span':>9}  {'share':>6}  {'ratio':>6}")
    for case in SHAPES:
        if words and not any(w in case for w in words):
            continue
        native, python, sdk = (instructions(case, calls, which) for which in ("native", "python", "sdk"))
        print(f"  {case:50}  {native:8}  {python:8}  {sdk:9}  {native / sdk:6.1%}  {python / native:5.1f}x")
        if "merged" in case and bench_cases()[case][2]:
            own = instructions(case, calls, "redaction")
            native, python = native - own, python - own
            label = "  less the redaction function's calls"
            print(f"  {label:50}  {native:8}  {python:8}  {sdk:9}  {native / sdk:6.1%}  {python / native:5.1f}x")


if __name__ == "__main__":
    main(sys.argv[1:])
