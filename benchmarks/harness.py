"""Timing helpers shared by the benchmark modules.

A case times a native callable and a plain-Python version of the same logic
in the same process, each as the median of repeated runs, and reports the
time per call and the ratio python / native (above 1: the native code is
faster).
"""

from __future__ import annotations

import gc
import statistics
import time
from dataclasses import dataclass
from typing import Callable, Optional

REPEATS = 7


@dataclass
class Result:
    name: str
    native_ns: float
    python_ns: Optional[float]
    # What the native time is compared with besides Python (say, the cost of
    # the operation the native code observes): shown as a share of it.
    reference_ns: Optional[float] = None

    @property
    def ratio(self) -> Optional[float]:
        return None if self.python_ns is None else self.python_ns / self.native_ns

    @property
    def share(self) -> Optional[float]:
        return None if self.reference_ns is None else self.native_ns / self.reference_ns


def per_call_ns(fn: Callable[[], object], *, min_time: float = 0.05, repeats: int = REPEATS) -> float:
    """Median time of one call of `fn`, in nanoseconds."""
    number = 1
    while True:  # calibrate so that one run lasts at least min_time
        start = time.perf_counter_ns()
        for _ in range(number):
            fn()
        elapsed = time.perf_counter_ns() - start
        if elapsed >= min_time * 1e9 or number >= 1 << 24:
            break
        number *= 2
    samples = []
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeats):
            start = time.perf_counter_ns()
            for _ in range(number):
                fn()
            samples.append((time.perf_counter_ns() - start) / number)
    finally:
        if gc_was_enabled:
            gc.enable()
    return statistics.median(samples)


def interleaved_ns(fns: list[Callable[[], object]], *, min_time: float = 0.02, repeats: int = 15) -> list[float]:
    """Median time of one call of each function, in nanoseconds, timed in
    rounds that run each once in turn, so that a change in the machine's load
    falls on all of them alike."""
    numbers = []
    for fn in fns:
        number = 1
        while True:
            start = time.perf_counter_ns()
            for _ in range(number):
                fn()
            if time.perf_counter_ns() - start >= min_time * 1e9 or number >= 1 << 24:
                break
            number *= 2
        numbers.append(number)
    samples: list[list[float]] = [[] for _ in fns]
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeats):
            for fn, number, times in zip(fns, numbers, samples):
                start = time.perf_counter_ns()
                for _ in range(number):
                    fn()
                times.append((time.perf_counter_ns() - start) / number)
    finally:
        if gc_was_enabled:
            gc.enable()
    return [statistics.median(times) for times in samples]


def compare(name: str, native: Callable[[], object], python: Optional[Callable[[], object]], **kw) -> Result:
    native_ns = per_call_ns(native, **kw)
    python_ns = per_call_ns(python, **kw) if python is not None else None
    return Result(name, native_ns, python_ns)


def format_ns(ns: float) -> str:
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} us"
    return f"{ns:.0f} ns"


def print_table(title: str, results: list[Result], reference: str = "") -> None:
    """The results; with `reference` (its name), also the reference time and
    the native time as a share of it."""
    print(f"\n{title}")
    width = max(len(r.name) for r in results)
    header = f"  {'case'.ljust(width)}  {'native':>10}  {'python':>10}  {'ratio':>7}"
    if reference:
        header += f"  {reference:>12}  {'share':>6}"
    print(header)
    for r in results:
        python = format_ns(r.python_ns) if r.python_ns is not None else "-"
        ratio = f"{r.ratio:.2f}x" if r.ratio is not None else "-"
        line = f"  {r.name.ljust(width)}  {format_ns(r.native_ns):>10}  {python:>10}  {ratio:>7}"
        if reference:
            ref = format_ns(r.reference_ns) if r.reference_ns is not None else "-"
            share = f"{100 * r.share:.1f}%" if r.share is not None else "-"
            line += f"  {ref:>12}  {share:>6}"
        print(line)
