"""The module imported in interpreters where the tracing SDK cannot be
imported: the no-op processor, or a failed import for anything but
ImportError."""

from __future__ import annotations

import json
import subprocess
import sys
import textwrap

BLOCK_MISSING = 'sys.modules["opentelemetry.sdk.trace"] = None'

BLOCK_BROKEN = """
class Broken:
    def find_spec(self, name, path=None, target=None):
        if name.startswith("opentelemetry"):
            raise RuntimeError("tracing SDK half installed")
        return None
sys.meta_path.insert(0, Broken())
"""

PROBE = """
import inspect
from tavrix_observe.tracing import spanbridge as sb
processor = sb.TavrixSpanProcessor()
print(json.dumps({
    "has_otel": sb._HAS_OTEL,
    "names": [n for n in vars(sb) if not n.startswith("__")],
    "bases": [b.__name__ for b in sb.TavrixSpanProcessor.__bases__],
    "doc": sb.TavrixSpanProcessor.__doc__,
    "on_end": processor.on_end(object()),
    "on_start": processor.on_start(None, parent_context=1),
    "shutdown": processor.shutdown(),
    "flush": [processor.force_flush(), processor.force_flush("x"), processor.force_flush(timeout_millis=None)],
    "signatures": [str(inspect.signature(getattr(sb.TavrixSpanProcessor, n)))
                   for n in ("on_start", "on_end", "shutdown", "force_flush")],
    "annotations": [getattr(sb.TavrixSpanProcessor, n).__annotations__
                    for n in ("on_start", "on_end", "shutdown", "force_flush")],
    "record": sb._display_name("still_works"),
}))
"""


def run_python(prelude: str, body: str) -> subprocess.CompletedProcess:
    code = "import json, sys\n" + textwrap.dedent(prelude) + "\n" + body
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)


def test_noop_processor_without_the_tracing_sdk():
    result = run_python(BLOCK_MISSING, PROBE)
    assert result.returncode == 0, result.stderr
    found = json.loads(result.stdout)
    assert found["has_otel"] is False
    assert "SpanProcessor" not in found["names"] and "ReadableSpan" not in found["names"]
    assert found["names"][:3] == ["logging", "logger", "_HAS_OTEL"]
    assert found["names"][-1] == "TavrixSpanProcessor"
    assert found["bases"] == ["object"]
    assert found["doc"] == "No-op processor when OTel is not installed."
    assert (found["on_end"], found["on_start"], found["shutdown"]) == (None, None, None)
    assert found["flush"] == [True, True, True]
    assert found["signatures"] == ["(self, span, parent_context=None)", "(self, span)", "(self)",
                                   "(self, timeout_millis=30000)"]
    assert found["annotations"] == [{}, {}, {}, {}]
    assert found["record"] == "Still Works"


def test_other_import_errors_fail_the_import():
    result = run_python(BLOCK_BROKEN, "from tavrix_observe.tracing import spanbridge")
    assert result.returncode != 0
    assert "RuntimeError: tracing SDK half installed" in result.stderr
