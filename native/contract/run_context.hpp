// What the modules require of the SDK's run context (TavrixContext) and of
// the context variable that publishes it.
//
// The variable `_current_context` lives in the SDK module
// tavrix_observe.instrumentors._context_var; `get()` with no argument
// returns the active run context or None, and None is its default. On the
// run context the modules read `run_id`, `_content_redact_fn` and `_spans`,
// append to `_otel_spans`, call `_record_integration(name, category)` and
// `record_decision(name=, options=, chosen=, reasoning=,
// instrumentation_type=)`, and set `_governance_blocked` and
// `_governance_reason`. Results of the calls are ignored.
#pragma once

#include "../support/module.hpp"

namespace tavrix::contract {

// Interned names a module state includes to use the run context.
#define TAVRIX_RUN_CONTEXT_STRINGS(S)                     \
    S(current_context, "_current_context")                \
    S(context_module, "instrumentors._context_var")       \
    S(context_sibling, "_context_var")                    \
    S(run_id, "run_id")                                   \
    S(content_redact_fn, "_content_redact_fn")            \
    S(otel_spans, "_otel_spans")                          \
    S(spans, "_spans")                                    \
    S(record_integration, "_record_integration")          \
    S(record_decision, "record_decision")                 \
    S(governance_blocked, "_governance_blocked")          \
    S(governance_reason, "_governance_reason")

// The context variable, imported afresh from the package's run-context
// module (`from ..instrumentors._context_var import _current_context`).
template <class State>
ref import_context_variable(const module_view& m, const State& st) {
    return import_from(m, st.context_module.get(), st.current_context.get(), 2);
}

// The same, for a module that imports it on every call: the state's
// `context_import` and `context_watch` keep what the last import found.
template <class State>
ref import_context_variable_often(const module_view& m, const State& st) {
    State& sites = m.get<State>();
    return import_from(m, sites.context_import, sites.context_watch, st.context_module.get(), st.current_context.get(),
                       2);
}

// `variable.get()`: the active run context, or None.
template <class State>
ref active_context(PyObject* variable, const State& st) {
    // A ContextVar cannot be subclassed: its get() is PyContextVar_Get,
    // raising LookupError when there is neither a value nor a default.
    if (PyContextVar_CheckExact(variable)) [[likely]] {
        PyObject* value = nullptr;
        if (PyContextVar_Get(variable, nullptr, &value) < 0) throw_error();
        if (value == nullptr) {
            PyErr_SetObject(PyExc_LookupError, variable);
            throw_error();
        }
        return ref::steal(value);
    }
    return call_method(variable, st.get.get());
}

// ctx._record_integration(name, category)
template <class State>
void record_integration(PyObject* ctx, const State& st, PyObject* name, PyObject* category) {
    PyObject* args[] = {ctx, name, category};
    ref ignored = check(PyObject_VectorcallMethod(st.record_integration.get(), args, 3, nullptr));
}

}  // namespace tavrix::contract
