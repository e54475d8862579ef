"""The module's namespace, argument binding and checks (worded as the
interpreter and the plain-Python version word them), call-time lookups, and
the stubs against the runtime signatures."""

from __future__ import annotations

import ast
import collections
import inspect
import pathlib
from types import MappingProxyType

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]

NAMESPACE = [
    "logging", "logger", "SpanProcessor", "ReadableSpan", "_HAS_OTEL", "_OTEL_KIND_MAP", "_SPAN_TYPE_MAP",
    "_resolve_kind", "_build_display_name", "_EXCLUDED_URL_PATTERNS", "_NOISY_INFRA_HOSTS", "_LLM_PROVIDER_HOSTS",
    "_is_tavrix_api_call", "_is_llm_provider_http_call", "_is_noisy_infra_call", "_FRAMEWORK_PROVIDERS",
    "_ATTR_PREFIX_INTEGRATIONS", "_display_name", "_derive_llm_provider", "_extract_integrations_from_attrs",
    "_redact_span_dict", "_OTEL_DROP_KEYS", "_clean_attr_key", "_merge_otel_attrs_into_recorded_span",
    "_redact_dict_values", "_span_to_dict", "TavrixSpanProcessor",
]


def test_namespace_order(sb):
    import logging

    assert [n for n in vars(sb) if not n.startswith("__")] == NAMESPACE
    assert sb.logging is logging and sb.logger is logging.getLogger("tavrix_observe.tracing.spanbridge")
    assert sb._HAS_OTEL is True
    assert sb._OTEL_KIND_MAP == {0: "chain", 1: "chain", 2: "chain", 3: "chain", 4: "chain"}
    assert list(sb._SPAN_TYPE_MAP.items())[:3] == [("agent_execution", "agent"), ("llm_call", "llm"),
                                                   ("tool_call", "tool")]
    assert len(sb._SPAN_TYPE_MAP) == 11
    assert sb._OTEL_DROP_KEYS == frozenset({"tavrix.span_type", "openinference.span.kind", "tavrix.tool",
                                            "tavrix.tool.name", "tavrix.tool.type"})


class Text(str):
    pass


@pytest.mark.parametrize(
    "name, args, param, expected, got",
    [
        ("_build_display_name", (None, {}), "span_name", "str", "NoneType"),
        ("_build_display_name", ("x", MappingProxyType({})), "attrs", "dict", "mappingproxy"),
        ("_display_name", (Text("x"),), "raw", "str", "Text"),
        ("_is_noisy_infra_call", ("x",), "attrs", "dict", "str"),
        ("_extract_integrations_from_attrs", (collections.OrderedDict(),), "attrs", "dict", "OrderedDict"),
        ("_redact_dict_values", ("x", str), "d", "dict", "str"),
        ("_merge_otel_attrs_into_recorded_span", (None, None, None), "attrs", "dict", "NoneType"),
    ],
)
def test_declared_types(sb, name, args, param, expected, got):
    with pytest.raises(TypeError) as info:
        getattr(sb, name)(*args)
    assert str(info.value) == f"Argument '{param}' has incorrect type (expected {expected}, got {got})"
    value = args[list(inspect.signature(getattr(sb, name)).parameters).index(param)]
    is_subclass = isinstance(value, {"str": str, "dict": dict}[expected])
    assert bool(getattr(info.value, "__notes__", None)) == is_subclass


@pytest.mark.parametrize(
    "name, args, kwargs",
    [
        ("_resolve_kind", (), {}),
        ("_build_display_name", ("a", {}, 1), {}),
        ("_build_display_name", ("a",), {"span_name": "b"}),
        ("_display_name", (), {"rawx": "a"}),
        ("_merge_otel_attrs_into_recorded_span", (1,), {}),
        ("_redact_span_dict", (), {}),
        ("_span_to_dict", (), {"spam": 1}),
    ],
)
def test_binding_errors_match_python(sb, pyref, name, args, kwargs):
    with pytest.raises(TypeError) as ours:
        getattr(sb, name)(*args, **kwargs)
    with pytest.raises(TypeError) as theirs:
        getattr(pyref, name)(*args, **kwargs)
    assert str(ours.value) == str(theirs.value)


def test_nested_redaction_goes_through_the_module(sb, monkeypatch):
    original = sb._redact_dict_values
    seen = []

    def spy(d, redact_fn):
        seen.append(sorted(d))
        return original(d, redact_fn)

    monkeypatch.setattr(sb, "_redact_dict_values", spy)
    assert original({"a": {"b": {"c": "x"}}, "l": [{"d": "y"}]}, str.upper) == {
        "a": {"b": {"c": "X"}}, "l": [{"d": "Y"}]}
    assert seen == [["b"], ["c"], ["d"]]


def test_span_record_uses_the_module_functions(sb, fake_span, monkeypatch):
    monkeypatch.setattr(sb, "_resolve_kind", lambda span: "retry")
    monkeypatch.setattr(sb, "_build_display_name", lambda name, attrs: f"{name}!{sorted(attrs)}")
    record = sb._span_to_dict(fake_span(attributes={"k": 1}))
    assert (record["kind"], record["name"]) == ("retry", "op!['k']")


def stub_tree():
    return ast.parse((ROOT / "src/tavrix_observe/tracing/spanbridge.pyi").read_text())


def stub_functions():
    functions = {}
    for node in stub_tree().body:
        if isinstance(node, ast.FunctionDef):
            functions[node.name] = node
        elif isinstance(node, ast.ClassDef):
            functions.update({f"{node.name}.{f.name}": f for f in node.body if isinstance(f, ast.FunctionDef)})
    return functions


@pytest.mark.parametrize("name", sorted(stub_functions()))
def test_stub_signatures_match_runtime(sb, name):
    stub = stub_functions()[name].args
    runtime = sb
    for part in name.split("."):
        runtime = getattr(runtime, part)
    parameters = inspect.signature(runtime).parameters
    assert [a.arg for a in stub.args] == list(parameters)
    defaults = [ast.literal_eval(d) for d in stub.defaults]
    assert defaults == [p.default for p in parameters.values() if p.default is not inspect.Parameter.empty]


def test_every_function_has_a_stub(sb):
    functions = {n for n, v in vars(sb).items() if type(v).__name__ == "native_function"}
    assert functions == {n for n in stub_functions() if "." not in n}
