"""The reference-count check reports what it measured at the end of the run."""

from __future__ import annotations

import pytest

RESULTS: list[tuple[str, int, int, list[int]]] = []


@pytest.fixture
def refcount_results() -> list[tuple[str, int, int, list[int]]]:
    """Where each function's figures go: key, calls made, calls per measured
    round, growth of the total of references in each measured round."""
    return RESULTS


def pytest_terminal_summary(terminalreporter) -> None:
    if not RESULTS:
        return
    terminalreporter.section("reference counts")
    width = max(len(key) for key, *_ in RESULTS)
    terminalreporter.line(f"{'function':<{width}}  {'calls':>7}  {'per round':>9}  growth per round")
    for key, calls, per_round, growth in RESULTS:
        terminalreporter.line(f"{key:<{width}}  {calls:>7}  {per_round:>9}  {growth}")
    terminalreporter.line(f"{len(RESULTS)} functions, {sum(r[1] for r in RESULTS)} calls")
