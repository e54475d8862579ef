"""Span capture: the OpenTelemetry span processor lives in ``spanbridge``."""
