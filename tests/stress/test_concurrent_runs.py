"""Many runs at once: spans ending on eight threads and in asyncio tasks,
each in its own run, through a real TracerProvider and the real processor,
while other threads check prompts, reconfigure the guard, price unpriced
models and record tool decisions.

Every record must land in its own run, redacted by that run's redaction
function, none lost and none twice; every decision in its own run; one
warning per unpriced model across all threads. The test is bounded in
work, not time: each worker does a fixed amount, and joins have timeouts.
"""

from __future__ import annotations

import asyncio
import logging
import threading
from collections import Counter
from typing import Callable

from opentelemetry.sdk.trace import TracerProvider

from tavrix_observe import cost
from tavrix_observe.context import TavrixContext
from tavrix_observe.cost import estimate_cost
from tavrix_observe.instrumentors import _guard
from tavrix_observe.instrumentors._autochoice import record_tool_decisions
from tavrix_observe.tracing.spanbridge import TavrixSpanProcessor

THREADS = 8
TASKS = 8
RUNS_PER_WORKER = 4
SPANS_PER_RUN = 40
UNPRICED = [f"unpriced-model-{k}" for k in range(40)]
JOIN_SECONDS = 300


def run_redactor(run_id: str) -> Callable[[str], str]:
    return lambda text: f"{run_id}|{text}"


def end_spans(tracer, run_id: str) -> None:
    for k in range(SPANS_PER_RUN):
        attributes = {"db.system": "sqlite", "db.statement": "select 1", "test.seq": f"{run_id}/{k}"}
        with tracer.start_as_current_span(f"query {k}", attributes=attributes):
            pass


def expected_seq(run_id: str) -> list[str]:
    return [f"{run_id}|{run_id}/{k}" for k in range(SPANS_PER_RUN)]


class Runs:
    """The runs the workers finished, by id."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.contexts: dict[str, TavrixContext] = {}
        self.errors: list[BaseException] = []

    def add(self, ctx: TavrixContext) -> None:
        with self.lock:
            assert ctx.run_id not in self.contexts
            self.contexts[ctx.run_id] = ctx

    def guarded(self, body: Callable[[], None]) -> Callable[[], None]:
        def run() -> None:
            try:
                body()
            except BaseException as exc:  # reported by the test
                with self.lock:
                    self.errors.append(exc)

        return run


def test_concurrent_runs_keep_their_records_apart():
    provider = TracerProvider()
    provider.add_span_processor(TavrixSpanProcessor())
    tracer = provider.get_tracer("tests.stress")
    runs = Runs()
    # Every worker starts at once: the span threads, the event loop's
    # thread, the guard checker, the configurer and two pricers.
    start = threading.Barrier(THREADS + 5, timeout=JOIN_SECONDS)

    def span_worker(i: int) -> None:
        start.wait()
        for j in range(RUNS_PER_WORKER):
            run_id = f"thread-{i}-run-{j}"
            with TavrixContext(run_id=run_id, content_redact_fn=run_redactor(run_id)) as ctx:
                end_spans(tracer, run_id)
                record_tool_decisions([{"name": f"tool-{run_id}"}], ["a", "b"])
            runs.add(ctx)

    async def task(i: int, j: int) -> None:
        run_id = f"task-{i}-run-{j}"
        with TavrixContext(run_id=run_id, content_redact_fn=run_redactor(run_id)) as ctx:
            for k in range(SPANS_PER_RUN):
                attributes = {"db.system": "sqlite", "test.seq": f"{run_id}/{k}"}
                with tracer.start_as_current_span(f"query {k}", attributes=attributes):
                    await asyncio.sleep(0)  # the other tasks' spans interleave
            record_tool_decisions([{"name": f"tool-{run_id}"}], ["a", "b"])
        runs.add(ctx)

    def loop_worker() -> None:
        start.wait()

        async def main() -> None:
            for j in range(RUNS_PER_WORKER):
                await asyncio.gather(*(task(i, j) for i in range(TASKS)))

        asyncio.run(main())

    def guard_checker() -> None:
        start.wait()
        messages = [{"role": "user", "content": "mail john@example.com, password=hunter2"}]
        for _ in range(300):
            result = _guard.check_prompt(messages, "gpt-4o", "")
            assert result is None or result.action in ("allow", "block", "warn", "redact")

    def configurer() -> None:
        start.wait()
        for n in range(300):
            _guard.configure(enabled=n % 2 == 0, server=False, action=("block", "warn", "redact")[n % 3])

    def pricer() -> None:
        start.wait()
        for _ in range(5):
            for name in UNPRICED:
                assert estimate_cost(name, 10, 10) == 0.0

    warnings: list[logging.LogRecord] = []
    handler = logging.Handler()
    handler.emit = warnings.append  # type: ignore[method-assign]
    cost_logger = logging.getLogger("tavrix.observe.cost")
    cost_logger.addHandler(handler)
    for name in UNPRICED:
        cost._UNKNOWN_MODELS_LOGGED.discard(name)
    saved = (_guard._enabled, _guard._server_check, _guard._action)
    workers = [threading.Thread(target=runs.guarded(lambda i=i: span_worker(i))) for i in range(THREADS)]
    workers += [threading.Thread(target=runs.guarded(body))
                for body in (loop_worker, guard_checker, configurer, pricer, pricer)]
    try:
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join(JOIN_SECONDS)
            assert not worker.is_alive(), "a worker did not finish"
    finally:
        cost_logger.removeHandler(handler)
        _guard._enabled, _guard._server_check, _guard._action = saved
        provider.shutdown()

    assert runs.errors == []
    expected_ids = {f"thread-{i}-run-{j}" for i in range(THREADS) for j in range(RUNS_PER_WORKER)}
    expected_ids |= {f"task-{i}-run-{j}" for i in range(TASKS) for j in range(RUNS_PER_WORKER)}
    assert set(runs.contexts) == expected_ids
    for run_id, ctx in runs.contexts.items():
        seq = sorted(record["attributes"]["test.seq"] for record in ctx._otel_spans)
        assert seq == sorted(expected_seq(run_id)), run_id
        assert [d["chosen"] for d in ctx.decisions] == [f"tool-{run_id}"]
    per_model = Counter(r.args[0] for r in warnings if r.args and r.args[0] in UNPRICED)
    assert per_model == Counter({name: 1 for name in UNPRICED})
