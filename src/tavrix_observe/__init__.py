"""tavrix-observe: observability and governance for LLM applications.

The native core lives in four extension modules:

- ``tavrix_observe.tracing.spanbridge``: the OpenTelemetry span processor;
- ``tavrix_observe.instrumentors._guard``: the client-side prompt guard;
- ``tavrix_observe.cost``: cost estimates from built-in price tables;
- ``tavrix_observe.instrumentors._autochoice``: tool-call decision records.
"""

__version__ = "0.1.0"
