"""Coverage-guided fuzzing of the native parsing and walking paths with
atheris: `make fuzz` runs it for a bounded time.

    python tests/fuzz/atheris_fuzz.py NEW_CORPUS_DIR tests/fuzz/corpus -max_total_time=60

The harness (harness.py) compares each native path with its plain-Python
version; atheris is guided by the coverage of the Python side (the
plain-Python versions take the same branches as the native code), since
the native modules are built without the fuzzer's instrumentation. Inputs
that reach new coverage go to the first directory; an input that fails is
written as crash-<hash> (or to -artifact_prefix).
"""

from __future__ import annotations

import inspect
import pathlib
import shlex
import sys

import atheris

HERE = pathlib.Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "reference")]

with atheris.instrument_imports():
    import harness

# The plain-Python versions are loaded from their files, outside the import
# hooks: instrument their functions too.
for module in (harness.references.GUARD, harness.references.SPANBRIDGE, harness.references.COST):
    for value in list(vars(module).values()):
        if inspect.isfunction(value):
            atheris.instrument_func(getattr(value, "__wrapped__", value))


if __name__ == "__main__":
    # The fuzzer reruns argv[0] as a shell command (-merge, -fork): this
    # interpreter on this file.
    command = f"{shlex.quote(sys.executable)} {shlex.quote(str(pathlib.Path(__file__).resolve()))}"
    atheris.Setup([command, *sys.argv[1:]], harness.one_input)
    atheris.Fuzz()
