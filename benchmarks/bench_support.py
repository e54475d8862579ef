"""The fixed cost of calling a native function against a Python `def` of the
same signature, both called from Python code in the same process: what every
call of a module function pays before its own work."""

from __future__ import annotations

from harness import Result, interleaved_ns, print_table

from tavrix_observe.tracing import spanbridge


class PythonProcessor:
    def on_start(self, span, parent_context=None):
        return None

    def shutdown(self):
        return None

    def force_flush(self, timeout_millis=30000):
        return True


def identity(k):
    return k


def main() -> None:
    native = spanbridge.TavrixSpanProcessor()
    python = PythonProcessor()
    clean = spanbridge._clean_attr_key
    cases = [
        ("method, no argument: shutdown()", lambda: native.shutdown(), lambda: python.shutdown()),
        ("method, default filled: on_start(span)", lambda: native.on_start(None), lambda: python.on_start(None)),
        ("method, int default: force_flush()", lambda: native.force_flush(), lambda: python.force_flush()),
        # The native one checks its str argument and its prefixes; the def returns it.
        ("function, str argument: _clean_attr_key(k)", lambda: clean("http.url"), lambda: identity("http.url")),
    ]
    results = []
    for name, native_call, python_call in cases:
        # Each timed through a lambda, whose own cost (an empty one's) is
        # subtracted; the three are timed in turn, round after round.
        empty, native_ns, python_ns = interleaved_ns([lambda: None, native_call, python_call])
        results.append(Result(name, native_ns - empty, python_ns - empty))
    print_table("a native function against a Python def, per call (the calling lambda's cost subtracted)", results)


if __name__ == "__main__":
    main()
