"""Native functions bind, check and describe themselves like Python functions.

The cost and tool-decision modules serve as subjects; each is compared with
a plain-Python function of the same signature.
"""

from __future__ import annotations

import gc
import inspect
import pickle
import sys
import weakref
from decimal import Decimal
from fractions import Fraction

import pytest

from tavrix_observe import cost
from tavrix_observe.instrumentors import _autochoice


# Plain-Python twins with the same names and signatures.
def estimate_cost(model, tokens_in, tokens_out, provider=""):
    return None


def record_tool_decisions(tool_calls, available_tools=None):
    return None


def extract_tool_names_from_request(kwargs):
    return None


TWINS = [
    (cost.estimate_cost, estimate_cost),
    (_autochoice.record_tool_decisions, record_tool_decisions),
    (_autochoice.extract_tool_names_from_request, extract_tool_names_from_request),
]


def binding_error(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except TypeError as exc:
        return str(exc)
    return None


BAD_CALLS = [
    ((), {}),
    (("m",), {}),
    (("m", 1), {}),
    (("m", 1, 2, "p", "extra"), {}),
    (("m", 1, 2, "p", "extra", "more"), {}),
    (("m", 1, 2), {"model": "again"}),
    (("m", 1), {"tokens_in": 1, "tokens_out": 2}),
    (("m", 1, 2), {"prov": "x"}),
    (("m", 1, 2), {"providr": "x"}),
    (("m", 1, 2), {"PROVIDER": "x"}),
    (("m", 1, 2, "p", "extra"), {"zzz": 1}),
    (("m", 1, 2, "p", "extra"), {"model": "m"}),
    ((), {"tokens_in": 1}),
    ((), {"provider": "p", "tool_calls": []}),
    ((1, 2), {}),
    (([], None, None), {}),
    ((), {"kwargs": {}, "kwarg": 1}),
    ((), {"available_tools": None}),
]


FAILING_BINDINGS = [
    pytest.param(native, twin, args, kwargs, id=f"{twin.__name__}-{i}")
    for native, twin in TWINS
    for i, (args, kwargs) in enumerate(BAD_CALLS)
    if binding_error(twin, args, kwargs) is not None
]


@pytest.mark.parametrize("native, twin, args, kwargs", FAILING_BINDINGS)
def test_binding_errors_are_worded_as_for_python_functions(native, twin, args, kwargs):
    assert binding_error(native, args, kwargs) == binding_error(twin, args, kwargs)


class KeywordName(str):
    """A keyword name of a str subclass with its own str() and equality."""

    def __str__(self) -> str:
        return "shown-" + super().__str__()

    def __eq__(self, other: object) -> bool:
        return super().__eq__(other)

    __hash__ = str.__hash__


class FailingName(str):
    def __eq__(self, other: object) -> bool:
        raise LookupError("compared")

    __hash__ = str.__hash__


# Any str is a keyword name, in every error path: lone surrogates (no UTF-8
# text, so no "Did you mean" on 3.13), every storage width, near misses,
# subclasses with their own str() and equality.
KEYWORD_NAMES = [
    "x\ud800",
    "\udfff",
    "provide\ud800",
    "provider\udc80",
    "provid\xe9r",
    "pr\u0151vider",
    "provider\U0001f600",
    "\U0001f600",
    "",
    "p" * 100,
    "provider" * 10,
    KeywordName("providr"),
    KeywordName("x\ud800"),
]

KEYWORD_CALLS = [
    pytest.param(args, kwargs, id=f"{i}")
    for i, (args, kwargs) in enumerate(
        [(("m", 1, 2), {name: 1}) for name in KEYWORD_NAMES]
        + [(("m",), {"tokens_in": 1, name: 1}) for name in KEYWORD_NAMES]
        + [
            ((), {"\ud800": 1, "model": "m"}),
            (("m", 1, 2), {KeywordName("model"): "m"}),
            (("m",), {KeywordName("tokens_in"): 1, KeywordName("tokens_out"): 2}),
            (("m", 1, 2, "p"), {"model\ud800": 1}),
            (("m", 1, 2, "p", "extra"), {"x\ud800": 1}),
        ]
    )
]


def outcome(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except Exception as exc:
        return type(exc), str(exc), exc.__context__ is None
    return None


@pytest.mark.parametrize("args, kwargs", KEYWORD_CALLS)
def test_any_str_is_a_keyword_name_in_every_error_path(args, kwargs):
    assert outcome(cost.estimate_cost, args, kwargs) == outcome(estimate_cost, args, kwargs)


def test_a_keyword_name_whose_comparison_raises():
    kwargs = {FailingName("providr"): 1}
    assert outcome(cost.estimate_cost, ("m", 1, 2), kwargs) == outcome(estimate_cost, ("m", 1, 2), kwargs)
    assert outcome(cost.estimate_cost, ("m", 1, 2), kwargs)[0] is LookupError


@pytest.mark.parametrize(
    "call",
    [
        lambda f: f("gpt-4o", 1000, 500),
        lambda f: f("gpt-4o", 1000, tokens_out=500),
        lambda f: f(tokens_out=500, tokens_in=1000, model="gpt-4o"),
        lambda f: f("gpt-4o", 1000, 500, provider="openai"),
        lambda f: f(*["gpt-4o", 1000], **{"tokens_out": 500, "provider": ""}),
    ],
)
def test_positional_and_keyword_arguments_bind_alike(call):
    assert call(cost.estimate_cost) == 0.0075


def test_metadata_matches_a_python_function():
    fn = cost.estimate_cost
    assert fn.__name__ == fn.__qualname__ == "estimate_cost"
    assert fn.__module__ == "tavrix_observe.cost"
    assert fn.__doc__ and fn.__doc__.startswith("Estimated cost")
    assert fn.__defaults__ == ("",)
    assert fn.__text_signature__ == "(model, tokens_in, tokens_out, provider='')"
    assert repr(fn).startswith("<function estimate_cost at 0x")
    assert _autochoice.extract_tool_names_from_request.__defaults__ is None


def test_annotations_are_strings_and_signature_reads_them():
    sig = inspect.signature(cost.estimate_cost)
    assert str(sig) == "(model: 'str', tokens_in: 'int', tokens_out: 'int', provider: 'str' = '') -> 'float'"
    assert cost.estimate_embedding_cost.__annotations__ == {
        "model": "str",
        "tokens": "int",
        "provider": "str",
        "return": "float",
    }
    assert str(inspect.signature(_autochoice.record_tool_decisions)) == (
        "(tool_calls: 'list[dict[str, Any]]', available_tools: 'list[str] | None' = None) -> 'None'"
    )
    assert inspect.get_annotations(_autochoice.extract_tool_names_from_request) == {
        "kwargs": "dict",
        "return": "list[str]",
    }
    # The signature follows the annotations the function carries now.
    fn = _autochoice.extract_tool_names_from_request
    saved = fn.__annotations__
    try:
        fn.__annotations__ = {"kwargs": "Mapping[str, Any]"}
        assert str(inspect.signature(fn)) == "(kwargs: 'Mapping[str, Any]')"
    finally:
        fn.__annotations__ = saved
    assert inspect.signature(fn).bind({}).arguments == {"kwargs": {}}


def test_attributes_are_writable_like_a_python_function():
    fn = cost.estimate_embedding_cost
    saved = fn.__doc__, fn.__qualname__
    try:
        fn.__doc__ = "replaced"
        fn.__qualname__ = "Renamed.estimate_embedding_cost"
        fn.custom_marker = 42
        assert fn.__doc__ == "replaced" and fn.custom_marker == 42
        with pytest.raises(TypeError, match=r"Renamed\.estimate_embedding_cost\(\) missing"):
            fn()
        with pytest.raises(TypeError, match="__name__ must be set to a string object"):
            fn.__name__ = 3
    finally:
        fn.__doc__, fn.__qualname__ = saved
        del fn.custom_marker
    assert "custom_marker" not in fn.__dict__


def test_function_is_picklable_by_reference_and_weakly_referenceable():
    assert pickle.loads(pickle.dumps(cost.estimate_cost)) is cost.estimate_cost
    assert weakref.ref(cost.estimate_cost)() is cost.estimate_cost


def test_keyword_names_match_by_value_not_only_by_identity():
    # Keyword names made at run time are not the interned parameter names.
    built = "".join(["tokens_", "out"])
    assert built is not sys.intern(built)
    assert cost.estimate_cost("gpt-4o", 1000, **{built: 500}) == 0.0075
    assert cost.estimate_cost("gpt-4o", 1000, **{Text("tokens_out"): 500}) == 0.0075


def test_a_cycle_through_a_function_dict_is_collected(fresh_module):
    module = fresh_module("tavrix_observe.cost")
    fn = module.estimate_embedding_cost
    del module.estimate_embedding_cost  # nothing but the cycle holds it now
    fn.cache = {"owner": fn}
    alive = weakref.ref(fn)
    del fn
    gc.collect()
    assert alive() is None


def test_function_type_cannot_be_instantiated():
    with pytest.raises(TypeError):
        type(cost.estimate_cost)()


def test_binds_as_a_method_when_stored_on_a_class():
    class Estimator:
        estimate = cost.estimate_cost

    # The instance binds as the first argument, `model`, which must be a str.
    with pytest.raises(TypeError, match=r"Argument 'model' has incorrect type \(expected str, got Estimator\)"):
        Estimator().estimate(1, 2)
    bound = Estimator().estimate
    assert bound.__func__ is cost.estimate_cost
    assert str(inspect.signature(bound)) == "(tokens_in: 'int', tokens_out: 'int', provider: 'str' = '') -> 'float'"
    # Accessed on the class, the function is returned unbound.
    assert Estimator.estimate is cost.estimate_cost
    assert cost.estimate_cost.__get__(None, Estimator) is cost.estimate_cost


class Text(str):
    pass


class Items(list):
    pass


class Mapping(dict):
    pass


TYPE_ERRORS = [
    (cost.estimate_cost, (None, 1, 2), "Argument 'model' has incorrect type (expected str, got NoneType)"),
    (cost.estimate_cost, (b"gpt-4o", 1, 2), "Argument 'model' has incorrect type (expected str, got bytes)"),
    (cost.estimate_cost, ("m", 1, 2, None), "Argument 'provider' has incorrect type (expected str, got NoneType)"),
    (cost.estimate_cost, ("m", "1", 2), "Argument 'tokens_in' has incorrect type (expected int, got str)"),
    (cost.estimate_cost, ("m", 1, None), "Argument 'tokens_out' has incorrect type (expected int, got NoneType)"),
    (cost.estimate_cost, ("m", 1, [2]), "Argument 'tokens_out' has incorrect type (expected int, got list)"),
    (cost.estimate_embedding_cost, ("m", b"3"), "Argument 'tokens' has incorrect type (expected int, got bytes)"),
    # The counts are converted before the other arguments are checked.
    (cost.estimate_cost, (None, "1", 2), "Argument 'tokens_in' has incorrect type (expected int, got str)"),
    (_autochoice.record_tool_decisions, ((),), "Argument 'tool_calls' has incorrect type (expected list, got tuple)"),
    (
        _autochoice.record_tool_decisions,
        ([], ("a",)),
        "Argument 'available_tools' has incorrect type (expected list, got tuple)",
    ),
    (_autochoice.extract_tool_names_from_request, (None,), "Argument 'kwargs' has incorrect type (expected dict, got NoneType)"),
]


@pytest.mark.parametrize("fn, args, message", TYPE_ERRORS)
def test_declared_types_are_enforced(fn, args, message):
    with pytest.raises(TypeError) as info:
        fn(*args)
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


@pytest.mark.parametrize(
    "fn, args, message",
    [
        (cost.estimate_cost, (Text("gpt-4o"), 1, 2), "Argument 'model' has incorrect type (expected str, got Text)"),
        (_autochoice.record_tool_decisions, (Items(),), "Argument 'tool_calls' has incorrect type (expected list, got Items)"),
        (
            _autochoice.extract_tool_names_from_request,
            (Mapping(),),
            "Argument 'kwargs' has incorrect type (expected dict, got Mapping)",
        ),
    ],
)
def test_a_subclass_is_refused_with_an_explanatory_note(fn, args, message):
    with pytest.raises(TypeError) as info:
        fn(*args)
    assert str(info.value) == message
    (note,) = info.value.__notes__
    assert "subclass" in note


@pytest.mark.parametrize(
    "count, as_int",
    [(12.9, 12), (-12.9, -12), (True, 1), (False, 0), (Decimal("7.8"), 7), (Fraction(9, 2), 4), (10**3, 1000)],
)
def test_int_parameters_convert_like_int(count, as_int):
    assert cost.estimate_embedding_cost("text-embedding-3-large", count) == cost.estimate_embedding_cost(
        "text-embedding-3-large", as_int
    )


def test_int_conversion_errors_propagate():
    with pytest.raises(ValueError, match="NaN"):
        cost.estimate_cost("gpt-4o", float("nan"), 1)
    with pytest.raises(OverflowError):
        cost.estimate_cost("gpt-4o", float("inf"), 1)
    with pytest.raises(TypeError, match=r"expected int, got complex"):
        cost.estimate_cost("gpt-4o", 1j, 1)


def test_globals_fall_back_to_builtins_then_fail_as_python_would(monkeypatch, fresh_module):
    import builtins

    module = fresh_module("tavrix_observe.cost")
    del module.MODEL_COSTS
    with pytest.raises(NameError, match="name 'MODEL_COSTS' is not defined"):
        module.estimate_cost("gpt-4o", 1, 1)
    monkeypatch.setattr(builtins, "MODEL_COSTS", {"gpt-4o": {"input": 1.0, "output": 2.0}}, raising=False)
    assert module.estimate_cost("gpt-4o", 1, 1) == 3.0
    assert cost.estimate_cost("gpt-4o", 1, 1) == 1.25e-05  # the imported module is untouched


def test_separate_module_instances_keep_separate_state(fresh_module):
    module = fresh_module("tavrix_observe.cost")
    assert module is not cost and module.MODEL_COSTS is not cost.MODEL_COSTS
    module.MODEL_COSTS["gpt-4o"] = {"input": 1.0, "output": 1.0}
    assert module.estimate_cost("gpt-4o", 1, 1) == 2.0
    assert cost.estimate_cost("gpt-4o", 1, 1) == 1.25e-05
    # A function of one instance keeps using its own namespace wherever it is called from.
    cost_fn = module.estimate_cost
    del module
    import gc

    gc.collect()
    assert cost_fn("gpt-4o", 1, 1) == 2.0
