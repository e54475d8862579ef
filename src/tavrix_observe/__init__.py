"""tavrix-observe: observability and governance for LLM applications.

The native core lives in four extension modules:

- ``tavrix_observe.tracing.spanbridge``: the OpenTelemetry span processor;
- ``tavrix_observe.instrumentors._guard``: the client-side prompt guard;
- ``tavrix_observe.cost``: cost estimates from built-in price tables;
- ``tavrix_observe.instrumentors._autochoice``: tool-call decision records.
"""


def __getattr__(name: str) -> str:
    # The version is the installed distribution's (pyproject.toml's), read on
    # first use rather than at every import of a native module's package.
    if name == "__version__":
        from importlib.metadata import version

        globals()["__version__"] = found = version("tavrix-observe")
        return found
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
