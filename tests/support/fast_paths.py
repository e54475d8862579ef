"""What the break-a-guard suite runs its fast paths with: an SDK span as
processors receive it, and whether a call ran Python code of given files.
Plain Python, so that a new interpreter runs it too (under 3.15's lazy
imports, where pytest itself does not run)."""

from __future__ import annotations

import sys

from opentelemetry.sdk.trace import SpanProcessor, TracerProvider


def run_watching(run, files, patches=None):
    """run(), and whether Python code of the given library files, or of the
    file `patches` (but `run` itself), ran in it."""
    frames = []

    def profile(frame, event, arg):
        code = frame.f_code
        if event == "call" and (code.co_filename.endswith(files) or code.co_filename == patches and code is not run.__code__):
            frames.append(code.co_name)

    sys.setprofile(profile)
    try:
        result = run()
    finally:
        sys.setprofile(None)
    return result, bool(frames)


def sdk_span():
    """A finished span of the SDK with two attributes, as processors receive it."""

    class Capture(SpanProcessor):
        def on_end(self, span):
            self.span = span

    capture = Capture()
    provider = TracerProvider()
    provider.add_span_processor(capture)
    provider.get_tracer("tests.guards").start_span("op", attributes={"k": "v", "n": 1}).end()
    return capture.span
