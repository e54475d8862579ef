// What the prompt guard requires of three SDK components outside the
// native core: the HTTP client, the surface-gate policy module and the
// result type. Each is imported afresh at every use, relative to the
// package (`from ..client import TavrixObserveClient`), so applications
// and tests may replace them.
//
// - tavrix_observe.client.TavrixObserveClient: `is_configured()` called on
//   the class (its truth says whether the server can be reached); the
//   class called with no argument makes a client; the client's
//   `prompt_guard_sync(text=..., model=...)` returns the server's answer
//   (a dict, or None) and raises on any failure.
// - tavrix_observe.decisions.surface_gate: `gate_surface(surface, payload)`
//   returns an outcome with the attributes `is_block`, `reason`, `action`
//   and `surface`; `emit_warn(outcome)` reports a warning (result ignored).
// - tavrix_observe.types.PromptGuardResult: constructed with keyword
//   arguments only; the instance accepts the extra attribute
//   `_redacted_system`.
#pragma once

#include <initializer_list>

#include "../support/module.hpp"

namespace tavrix::contract {

// Interned names a module state includes to use the collaborators.
#define TAVRIX_COLLABORATOR_STRINGS(S)                  \
    S(client_module, "client")                          \
    S(client_class, "TavrixObserveClient")              \
    S(is_configured, "is_configured")                   \
    S(prompt_guard_sync, "prompt_guard_sync")           \
    S(text, "text")                                     \
    S(model, "model")                                   \
    S(surface_gate_module, "decisions.surface_gate")    \
    S(gate_surface, "gate_surface")                     \
    S(emit_warn, "emit_warn")                           \
    S(is_block, "is_block")                             \
    S(reason, "reason")                                 \
    S(action, "action")                                 \
    S(surface, "surface")                               \
    S(types_module, "types")                            \
    S(result_type, "PromptGuardResult")                 \
    S(passed, "passed")                                 \
    S(violations, "violations")                         \
    S(source, "source")                                 \
    S(redacted_messages, "redacted_messages")           \
    S(redacted_system, "_redacted_system")

// Keyword-name tuples of the calls, built once by `init_collaborators`.
#define TAVRIX_COLLABORATOR_OBJECTS(O) \
    O(sync_kwnames)                    \
    O(clean_result_kwnames)            \
    O(finding_result_kwnames)          \
    O(policy_block_kwnames)            \
    O(policy_redact_kwnames)

template <class State>
void init_collaborators(State& st) {
    st.sync_kwnames = check(PyTuple_Pack(2, st.text.get(), st.model.get()));
    st.clean_result_kwnames = check(PyTuple_Pack(3, st.passed.get(), st.action.get(), st.source.get()));
    st.finding_result_kwnames = check(PyTuple_Pack(5, st.passed.get(), st.action.get(), st.violations.get(),
                                                   st.source.get(), st.redacted_messages.get()));
    st.policy_block_kwnames =
        check(PyTuple_Pack(4, st.passed.get(), st.action.get(), st.violations.get(), st.source.get()));
    st.policy_redact_kwnames = check(PyTuple_Pack(5, st.passed.get(), st.action.get(), st.violations.get(),
                                                  st.redacted_messages.get(), st.source.get()));
}

// --- imports (level 2: from the package two levels above the module) ---

template <class State>
ref import_result_type(const module_view& m, const State& st) {
    return import_from(m, st.types_module.get(), st.result_type.get(), 2);
}

template <class State>
ref import_client_class(const module_view& m, const State& st) {
    return import_from(m, st.client_module.get(), st.client_class.get(), 2);
}

template <class State>
ref import_gate_surface(const module_view& m, const State& st) {
    return import_from(m, st.surface_gate_module.get(), st.gate_surface.get(), 2);
}

template <class State>
ref import_emit_warn(const module_view& m, const State& st) {
    return import_from(m, st.surface_gate_module.get(), st.emit_warn.get(), 2);
}

// --- calls --------------------------------------------------------------

// TavrixObserveClient.is_configured(), on the class.
template <class State>
bool client_is_configured(PyObject* client_class, const State& st) {
    ref configured = call_method(client_class, st.is_configured.get());
    return truthy(configured.get());
}

// TavrixObserveClient()
inline ref new_client(PyObject* client_class) { return check(PyObject_CallNoArgs(client_class)); }

// client.prompt_guard_sync(text=text, model=model)
template <class State>
ref prompt_guard_sync(PyObject* client, const State& st, PyObject* text, PyObject* model) {
    PyObject* args[] = {client, text, model};
    return check(PyObject_VectorcallMethod(st.prompt_guard_sync.get(), args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           st.sync_kwnames.get()));
}

// gate_surface(surface, payload)
inline ref gate_surface(PyObject* gate, PyObject* surface, PyObject* payload) {
    PyObject* args[] = {nullptr, surface, payload};
    return check(PyObject_Vectorcall(gate, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// emit_warn(outcome); the result is discarded.
inline void emit_warn(PyObject* emit, PyObject* outcome) { ref ignored = check(PyObject_CallOneArg(emit, outcome)); }

// PromptGuardResult(**dict(zip(kwnames, values))), keywords in tuple order.
inline ref make_result(PyObject* result_type, PyObject* kwnames, std::initializer_list<PyObject*> values) {
    assert(static_cast<Py_ssize_t>(values.size()) == PyTuple_GET_SIZE(kwnames));
    return check(PyObject_Vectorcall(result_type, values.begin(), 0, kwnames));
}

// result._redacted_system = system
template <class State>
void set_redacted_system(PyObject* result, const State& st, PyObject* system) {
    check_status(PyObject_SetAttr(result, st.redacted_system.get(), system));
}

}  // namespace tavrix::contract
