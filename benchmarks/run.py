"""Runs every benchmark module (benchmarks/bench_*.py) in this process.

    python benchmarks/run.py            # all of them
    python benchmarks/run.py cost guard # only those whose name contains a word
"""

from __future__ import annotations

import importlib
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
# The plain-Python versions live with the tests, which use them as oracles.
sys.path[:0] = [str(HERE), str(HERE.parent / "tests" / "reference")]


def main(argv: list[str]) -> int:
    names = sorted(p.stem for p in HERE.glob("bench_*.py"))
    if argv:
        names = [n for n in names if any(word in n for word in argv)]
    print(f"Python {sys.version.split()[0]}; ratio = plain-Python time / native time (median of repeated runs)")
    for name in names:
        importlib.import_module(name).main()
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
