"""Says which reads of the tracing SDK's span objects the processor makes
directly with the installed SDK, and which run the SDK's own code (where a
class is laid out otherwise than the direct reads expect):

    python tests/tracing/sdk_reads.py

The records are the same either way (tests/tracing/test_sdk_spans.py)."""

from __future__ import annotations

import sys
from importlib.metadata import version

from opentelemetry.sdk.trace import SpanProcessor, TracerProvider
from opentelemetry.trace import Status, StatusCode

from tavrix_observe.context import TavrixContext
from tavrix_observe.tracing.spanbridge import TavrixSpanProcessor


class Keep(SpanProcessor):
    def __init__(self) -> None:
        self.spans: list = []

    def on_end(self, span) -> None:
        self.spans.append(span)


def main() -> int:
    keep = Keep()
    provider = TracerProvider()
    provider.add_span_processor(keep)
    with provider.get_tracer("sdk_reads").start_as_current_span("SELECT", attributes={"db.system": "redis"}) as span:
        span.set_status(Status(StatusCode.OK))
    calls: list[str] = []

    def profile(frame, event, arg):
        if event == "call" and "opentelemetry" in frame.f_code.co_filename:
            calls.append(frame.f_code.co_qualname)

    ctx = TavrixContext(run_id="sdk-reads")
    with ctx:
        sys.setprofile(profile)
        TavrixSpanProcessor().on_end(keep.spans[0])
        sys.setprofile(None)
    assert [r["name"] for r in ctx._otel_spans] == ["redis SELECT"], ctx._otel_spans
    through_sdk = sorted(set(calls))
    print(f"opentelemetry-sdk {version('opentelemetry-sdk')}: "
          + ("every span read direct" if not through_sdk else "read through the SDK's code: " + ", ".join(through_sdk)))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
