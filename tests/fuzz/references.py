"""The plain-Python versions as the fuzz tests' oracles, held to the native
functions' calling convention.

The native functions enforce their declared parameter types and their
declared str or dict return type, on calls from Python and on calls
between module functions alike; the plain-Python versions do not. Each
plain-Python function that has a native twin is wrapped here so that it
raises the same TypeErrors, in the same order, and the two can be compared
on any input.
"""

from __future__ import annotations

import functools
import importlib.util
import inspect
import sys
from types import ModuleType
from typing import Any

import pyref_cost
import pyref_guard
import pyref_spanbridge
from tavrix_observe import cost
from tavrix_observe.instrumentors import _autochoice, _guard
from tavrix_observe.tracing import spanbridge

# Annotated for the reader only: these take anything.
UNCHECKED = {"pairs"}


def declared(param: inspect.Parameter) -> tuple[str, bool]:
    """(declared type, whether None is accepted) from the annotation."""
    if param.name in UNCHECKED:
        return "object", True
    annotation = param.annotation if isinstance(param.annotation, str) else ""
    none_ok = "None" in annotation or "Optional" in annotation
    base = annotation.strip("'\"").split("[", 1)[0].split("|", 1)[0].strip()
    return (base if base in ("str", "int", "list", "dict") else "object"), none_ok


def expected_argument_error(params: list[inspect.Parameter], args: list[Any]) -> tuple[type, str] | None:
    """The error binding gives: numbers are converted first, then the exact
    types are checked, each in parameter order."""
    for param, value in zip(params, args):
        kind, none_ok = declared(param)
        if kind != "int" or type(value) is int or (none_ok and value is None):
            continue
        if not (hasattr(type(value), "__index__") or hasattr(type(value), "__int__")):
            return TypeError, f"Argument '{param.name}' has incorrect type (expected int, got {type(value).__name__})"
        try:
            int(value)
        except Exception as exc:
            return type(exc), str(exc)
    for param, value in zip(params, args):
        kind, none_ok = declared(param)
        if kind not in ("str", "list", "dict") or (none_ok and value is None):
            continue
        if type(value).__name__ != kind or type(value).__module__ != "builtins":
            return TypeError, f"Argument '{param.name}' has incorrect type (expected {kind}, got {type(value).__name__})"
    return None


def _held_to_convention(native: Any, plain: Any) -> Any:
    signature = native.__signature__
    params = list(signature.parameters.values())
    returns = signature.return_annotation if signature.return_annotation in ("str", "dict") else None

    @functools.wraps(plain)
    def call(*args: Any, **kwargs: Any) -> Any:
        bound = signature.bind(*args, **kwargs)
        bound.apply_defaults()
        error = expected_argument_error(params, [bound.arguments[p.name] for p in params])
        if error is not None:
            raise error[0](error[1])
        result = plain(*args, **kwargs)
        if returns is not None and result is not None and type(result).__name__ != returns:
            raise TypeError(f"Expected {returns}, got {type(result).__name__}")
        return result

    return call


def _wrap(plain_module: ModuleType, *natives: ModuleType) -> ModuleType:
    for native in natives:
        for name, value in vars(native).items():
            plain = getattr(plain_module, name, None)
            if type(value).__name__ == "native_function" and inspect.isfunction(plain):
                setattr(plain_module, name, _held_to_convention(value, plain))
    return plain_module


def _fresh(source: ModuleType, name: str) -> ModuleType:
    """A separate instance of a plain-Python version, under `name`, so the
    other tests' instance stays as it is."""
    module_spec = importlib.util.spec_from_file_location(name, source.__file__)
    module = importlib.util.module_from_spec(module_spec)
    sys.modules[name] = module
    module_spec.loader.exec_module(module)
    return module


SPANBRIDGE = _wrap(pyref_spanbridge.load(), spanbridge)
GUARD = _wrap(_fresh(pyref_guard, "tavrix_observe.instrumentors._pyref_guard_fuzz"), _guard)
COST = _wrap(_fresh(pyref_cost, "pyref_cost_fuzz"), cost, _autochoice)
# By the native module's last name.
BY_MODULE = {"cost": COST, "_autochoice": COST, "_guard": GUARD, "spanbridge": SPANBRIDGE}
