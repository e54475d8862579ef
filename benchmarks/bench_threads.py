"""The guard's large calls and the rest of the process's threads.

- Stalls: the longest gap between the wake-ups of a thread that sleeps
  0.5 ms at a time, while the main thread makes one large call: the replay
  diff of a 1 MB prompt with 40 replacements, the credential detector with
  the 1,610 public secret rules on 1 MB, _redact_text with the same rules on
  1 MB with hits, check_prompt on one 1 MB message with the same rules. The
  gap with no call running is shown for reference; the target is at most
  10 ms (twice the interpreter's switch interval).
- Throughput: 1, 2 and 4 threads each guarding its own 1 MB prompt
  (check_prompt; 30 times over with the built-in tables, which take about
  a millisecond), with the public secret rules and with the built-in
  tables, against one thread guarding the same prompts in sequence: the
  threads' wall time over the sequence's (on two cores, 0.5 is both fully
  used). Every thread's answer is checked against the sequence's.

Medians of repeated runs. The public rule sets are read from
../shared/patterns (their rows are skipped, with a note, where it is
absent); the first call with them compiles them, before anything is timed.
"""

from __future__ import annotations

import statistics
import threading
import time

import rule_sets
from bench_guard import filler
from bench_ml_redaction import prompt_with_names

from tavrix_observe.instrumentors import _guard

REPEATS = 5
TICK = 0.0005


def longest_stall(call) -> tuple[float, float]:
    """(the call's time, the longest gap of a ticking thread during it), in ms."""
    stop = threading.Event()
    running = threading.Event()
    gaps: list[float] = []

    def tick() -> None:
        last = time.perf_counter()
        worst = 0.0
        running.set()
        while not stop.is_set():
            time.sleep(TICK)
            now = time.perf_counter()
            worst = max(worst, now - last)
            last = now
        gaps.append(worst)

    ticker = threading.Thread(target=tick)
    ticker.start()
    running.wait()
    time.sleep(0.005)
    start = time.perf_counter()
    call()
    elapsed = time.perf_counter() - start
    stop.set()
    ticker.join()
    return elapsed * 1e3, gaps[0] * 1e3


def stall_row(label: str, call) -> None:
    runs = [longest_stall(call) for _ in range(REPEATS)]
    times, stalls = zip(*runs)
    print(f"  {label:52}{statistics.median(times):>10.1f}{statistics.median(stalls):>10.1f}{max(stalls):>10.1f}")


def in_threads(calls) -> tuple[float, list]:
    """Runs each call on a thread of its own, all started together: (wall time, answers)."""
    answers: list = [None] * len(calls)
    ready = threading.Barrier(len(calls) + 1)

    def run(k: int) -> None:
        ready.wait()
        answers[k] = calls[k]()

    threads = [threading.Thread(target=run, args=(k,)) for k in range(len(calls))]
    for thread in threads:
        thread.start()
    ready.wait()
    start = time.perf_counter()
    for thread in threads:
        thread.join()
    return time.perf_counter() - start, answers


def in_sequence(calls) -> tuple[float, list]:
    start = time.perf_counter()
    answers = [call() for call in calls]
    return time.perf_counter() - start, answers


def throughput_rows(label: str, prompts: list[list[dict]], rounds: int) -> None:
    """Each thread guards its prompt `rounds` times (enough that starting the
    threads does not count)."""
    guarded = [lambda messages=messages: [_guard.check_prompt(messages).violations for _ in range(rounds)]
               for messages in prompts]
    for count in (1, 2, 4):
        calls = guarded[:count]
        ratios, sequence_times = [], []
        for _ in range(REPEATS):
            sequence, expected = in_sequence(calls)
            threaded, answers = in_threads(calls)
            assert answers == expected, label
            ratios.append(threaded / sequence)
            sequence_times.append(sequence)
        print(f"  {label:40}{count:>8}{rounds:>8}{statistics.median(sequence_times) * 1e3:>14.1f}"
              f"{statistics.median(ratios):>10.2f}")


def main() -> None:
    saved = (_guard._enabled, _guard._server_check, _guard._action, _guard._CREDENTIAL_PATTERNS)
    secrets = rule_sets.rule_set("secrets")
    prose = filler(20_000, 5)
    try:
        _guard.configure(enabled=True, server=False, action="block")
        print("\nThe longest stall of a thread waking every 0.5 ms, during one large call (ms)")
        print(f"  {'call':52}{'call':>10}{'median':>10}{'worst':>10}")
        stall_row("no call (the ticking thread alone, 10 ms)", lambda: time.sleep(0.01))
        original, redacted = prompt_with_names(1_000_000, 40)
        stall_row("_ml_substitutions, 1 MB, 40 replacements", lambda: _guard._ml_substitutions(original, redacted))
        if secrets is None:
            print(f"  (the rows with the public secret rules are skipped: {rule_sets.missing_reason()})")
        else:
            _guard._CREDENTIAL_PATTERNS = secrets
            _guard._detect_credentials("compiles the rules")
            text = rule_sets.planted_text(secrets, 1_000_000, 1_000_008, 8, prose)
            messages = [{"role": "user", "content": text}]
            stall_row("_detect_credentials, 1,610 secret rules, 1 MB", lambda: _guard._detect_credentials(text))
            stall_row("_redact_text, 1,610 secret rules, 1 MB with hits", lambda: _guard._redact_text(text))
            stall_row("check_prompt, 1,610 secret rules, one 1 MB message", lambda: _guard.check_prompt(messages))

        print("\nThreads each guarding its own 1 MB prompt (check_prompt), against one thread doing all in sequence")
        print(f"  {'tables':40}{'threads':>8}{'rounds':>8}{'sequence ms':>14}{'ratio':>10}")
        prompts = [[{"role": "user", "content": rule_sets.planted_text(secrets or _guard._PII_PATTERNS, 1_000_000,
                                                                      seed, 8, filler(20_000, seed))}]
                   for seed in range(4)]
        if secrets is not None:
            throughput_rows("1,610 public secret rules", prompts, 4)
        _guard._CREDENTIAL_PATTERNS = saved[3]
        throughput_rows("the built-in tables", prompts, 30)
    finally:
        _guard._enabled, _guard._server_check, _guard._action, _guard._CREDENTIAL_PATTERNS = saved


if __name__ == "__main__":
    main()
