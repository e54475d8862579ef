"""Every native function and method, fed hostile arguments.

The functions are found in the four modules themselves (native functions
carry __signature__), so a function added later is fuzzed too. Each
example draws one argument per parameter: mostly of the declared type,
otherwise anything (subclasses, None, numbers, huge strings, lone
surrogates, deep nesting, objects whose comparison, hash, str(), get() or
attribute reads raise or change the container being walked), plus a run
context that may be just as hostile.

What must hold:
- an argument of the wrong declared type raises the TypeError the
  interpreter's convention gives, word for word;
- the functions that swallow errors (the span processor's on_end, the
  decision recorder, the server-redaction rebuild) let no Exception out;
- every other function raises what its plain-Python version raises on a
  fresh copy of the same input (the same exception type), or nothing when
  it raises nothing;
- nothing crashes or hangs (a hang ends the run with a traceback).
"""

from __future__ import annotations

import faulthandler
import inspect
import logging
import reprlib
from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st

import hostile
from references import BY_MODULE, declared, expected_argument_error
from tavrix_observe import cost
from tavrix_observe.instrumentors import _autochoice, _guard
from tavrix_observe.instrumentors._context_var import _current_context
from tavrix_observe.tracing import spanbridge

MODULES = (cost, _autochoice, _guard, spanbridge)
# Observation code: errors are swallowed.
SWALLOWED = {"on_end", "record_tool_decisions", "_ml_substitutions"}
# Quadratic in the text by design (a difflib diff of word tokens): no huge
# strings there.
QUADRATIC = {"_ml_substitutions"}
# A hang is a failure: the run ends with every thread's traceback.
HANG_SECONDS = 60


def native_functions() -> list[tuple[str, Any, Any]]:
    """(qualified name, function, class or None) for every native function
    and method of the four modules."""
    found = []
    for module in MODULES:
        for name, value in vars(module).items():
            if type(value).__name__ == "native_function":
                found.append((f"{module.__name__.rsplit('.', 1)[-1]}.{name}", value, None))
            elif isinstance(value, type) and value.__module__ == module.__name__:
                for attr, method in vars(value).items():
                    if type(method).__name__ == "native_function":
                        found.append((f"{value.__name__}.{attr}", method, value))
    return found


FUNCTIONS = native_functions()


def parameter_values(param: inspect.Parameter, huge_text: bool) -> st.SearchStrategy[hostile.Recipe]:
    kind, none_ok = declared(param)
    if param.name == "span":
        typed = hostile.spans
    elif param.name == "ctx":
        typed = hostile.run_contexts
    elif param.name == "redact_fn":
        typed = hostile.redact_functions
    elif param.name in ("attrs", "attributes"):
        typed = hostile.span_attributes.filter(lambda r: r.text.startswith("dict"))
    else:
        typed = hostile.of_type(kind, huge_text)
    extra = [st.just(hostile.fixed(None))] if none_ok else []
    # Mostly well-typed, so that examples get past the argument checks.
    return st.one_of(typed, typed, typed, hostile.values, *extra)


def outcome(call) -> tuple[type | None, Any]:
    try:
        return None, call()
    except Exception as exc:
        return type(exc), exc


def shown(value: Any) -> str:
    """repr() that survives deep and hostile values."""
    try:
        return reprlib.repr(value)
    except Exception as exc:
        return f"<unprintable {type(value).__name__}: {type(exc).__name__}>"


def reference_for(qualname: str) -> Any:
    module, name = qualname.split(".", 1)
    return getattr(BY_MODULE.get(module), name, None)


def call_with(function: Any, owner: Any, args: list[Any]) -> Any:
    if owner is spanbridge.TavrixSpanProcessor:
        return function(owner(), *args)
    if owner is _guard.PromptGuardError:
        return owner(*args)
    return function(*args)


@pytest.fixture(autouse=True)
def quiet_collaborators(monkeypatch):
    """No server, no surface-gate policy from the environment; the guard's
    settings as the fuzz examples leave them are restored afterwards."""
    for variable in ("TAVRIX_API_KEY", "TAVRIX_BASE_URL", "TAVRIX_SURFACE_GATE"):
        monkeypatch.delenv(variable, raising=False)
    saved = {name: getattr(_guard, name) for name in ("_enabled", "_server_check", "_action")}
    yield
    for name, value in saved.items():
        setattr(_guard, name, value)


@pytest.mark.parametrize("qualname, function, owner", FUNCTIONS, ids=[f[0] for f in FUNCTIONS])
@given(data=st.data(), guard_on=st.booleans(), action=st.sampled_from(["block", "warn", "redact"]))
def test_hostile_arguments(qualname, function, owner, data, guard_on, action):
    params = list(function.__signature__.parameters.values())
    if owner is not None:
        params = params[1:]  # self
    huge_text = qualname.rsplit(".", 1)[-1] not in QUADRATIC
    recipes = [data.draw(parameter_values(p, huge_text), label=p.name) for p in params]
    context = data.draw(hostile.run_contexts, label="run context")
    reference = reference_for(qualname)
    for guard in (_guard, BY_MODULE["_guard"]):
        guard._enabled, guard._server_check, guard._action = guard_on, False, action

    def run(target):
        args = [recipe() for recipe in recipes]
        token = _current_context.set(context())
        faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
        try:
            return args, outcome(lambda: call_with(target, owner, args))
        finally:
            faulthandler.cancel_dump_traceback_later()
            _current_context.reset(token)

    args, (error, result) = run(function)
    wanted = expected_argument_error(params, args)
    if wanted is not None:
        assert error is wanted[0], f"{qualname}: {shown(result)}"
        assert str(result) == wanted[1]
        return
    if qualname.rsplit(".", 1)[-1] in SWALLOWED:
        assert error is None, f"{qualname} let {shown(result)} out"
        return
    if error is hostile.HostileError or reference is None:
        # Raised by the input itself; or no plain-Python version: only the
        # interpreter's own failures are refused.
        assert error not in (SystemError, UnicodeEncodeError, AssertionError), f"{qualname}: {shown(result)}"
        return
    _, (reference_error, reference_result) = run(reference)
    assert error is reference_error, f"{qualname}: native {shown(result)}, plain Python {shown(reference_result)}"


class RaisingSet(set):
    def __contains__(self, item: object) -> bool:
        raise hostile.HostileError("__contains__")


class RaisingAdd(set):
    def add(self, item: object) -> None:
        raise hostile.HostileError("add")


class RaisingHandler(logging.Handler):
    def emit(self, record: logging.LogRecord) -> None:
        raise hostile.HostileError("emit")


class RaisingLogger:
    def warning(self, *args: object) -> None:
        raise hostile.HostileError("warning")


@given(
    logged=st.sampled_from(["set", "none", "bomb", "list", "raising contains", "raising add", "missing"]),
    logger=st.sampled_from(["logger", "bomb", "none", "raising logger", "raising handler", "missing"]),
    name=hostile.short_texts,
)
def test_the_unpriced_model_warning_swallows_every_error(monkeypatch, logged, logger, name):
    """The warning's own collaborators (the set of names already reported and
    the logger) may be anything: the estimate is still 0.0."""
    from tavrix_observe import cost

    sets = {"set": set(), "none": None, "bomb": hostile.AttributeBomb(), "list": [],
            "raising contains": RaisingSet(), "raising add": RaisingAdd()}
    handler_logger = logging.getLogger("tests.fuzz.raising")
    handler_logger.propagate = False
    if not handler_logger.handlers:
        handler_logger.addHandler(RaisingHandler())
    loggers = {"logger": logging.getLogger("tests.fuzz.quiet"), "bomb": hostile.AttributeBomb(), "none": None,
               "raising logger": RaisingLogger(), "raising handler": handler_logger}
    with monkeypatch.context() as patch:
        patch.setattr(logging, "raiseExceptions", True)
        if logged == "missing":
            patch.delattr(cost, "_UNKNOWN_MODELS_LOGGED")
        else:
            patch.setattr(cost, "_UNKNOWN_MODELS_LOGGED", sets[logged])
        if logger == "missing":
            patch.delattr(cost, "_cost_logger")
        else:
            patch.setattr(cost, "_cost_logger", loggers[logger])
        model = f"unpriced \x00 {name}".replace("/", " ")  # no last-segment price
        assert cost.MODEL_COSTS.get(model) is None
        assert cost.estimate_cost(model, 10, 10) == 0.0
