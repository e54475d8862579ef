// The pre-call governance gate of the surface "llm.before": the policy
// behind `gate_surface` may block the call (marking the run context),
// warn, or have the messages redacted. It runs before the prompt guard's
// own switch is looked at, and every failure inside it lets the call go
// ahead.
#include "../../support/except.hpp"
#include "../../support/unpack.hpp"
#include "guard.hpp"

namespace tavrix::guard {

namespace {

// TAVRIX_SURFACE_GATE, stripped and lower-cased, is one of the off words.
bool gate_switched_off(const module_view& m, const guard_state& st) {
    // `import os` as the statement does it: sys.modules first.
    ref os = import_at_call(m, st.os.get());
    ref environ = get_attr(os.get(), st.environ.get());
    ref raw = call_method(environ.get(), st.get.get(), st.gate_switch.get(), st.empty.get());
    ref stripped = call_method(raw.get(), st.strip.get());
    ref value = call_method(stripped.get(), st.lower.get());
    for (const ref* off : {&st.off_zero, &st.off_false, &st.off_no, &st.off_off})
        if (equals(value.get(), off->get())) return true;
    return false;
}

// [item]
ref list_of(PyObject* item) {
    ref list = new_list();
    append(list.get(), item);
    return list;
}

// outcome.reason or <fallback>
ref reason_or(const guard_state& st, PyObject* outcome, PyObject* fallback) {
    ref reason = get_attr(outcome, st.reason.get());
    return truthy(reason.get()) ? std::move(reason) : ref::new_ref(fallback);
}

// Marks the active run as blocked; a failure part-way keeps what was set.
void mark_blocked(const module_view& m, const guard_state& st, PyObject* outcome) {
    swallow_exceptions([&] {
        ref variable = contract::import_context_variable(m, st);
        ref ctx = contract::active_context(variable.get(), st);
        if (ctx.get() == Py_None) return;
        check_status(PyObject_SetAttr(ctx.get(), st.governance_blocked.get(), Py_True));
        ref reason = reason_or(st, outcome, st.blocked_by_policy.get());
        check_status(PyObject_SetAttr(ctx.get(), st.governance_reason.get(), reason.get()));
    });
}

ref policy_block(const module_view& m, const guard_state& st, PyObject* result_type, PyObject* outcome) {
    mark_blocked(m, st, outcome);
    ref reason = reason_or(st, outcome, st.blocked_by_policy.get());
    ref violations = list_of(reason.get());
    return contract::make_result(result_type, st.policy_block_kwnames.get(),
                                 {Py_False, st.block.get(), violations.get(), st.policy.get()});
}

void policy_warn(const module_view& m, const guard_state& st, PyObject* outcome) {
    ref emit_warn = contract::import_emit_warn(m, st);
    ref surface = compat::optional_attr(outcome, st.surface.get());
    if (!surface || !truthy(surface.get()))
        check_status(PyObject_SetAttr(outcome, st.surface.get(), st.llm_before.get()));
    contract::emit_warn(emit_warn.get(), outcome);
}

ref policy_redact(const module_view& m, const guard_state& st, PyObject* result_type, PyObject* outcome,
                  PyObject* messages, PyObject* system) {
    ref local = redact_messages(m, messages, system);
    auto [redacted, redacted_system] = unpack<2, unpack_wording::compact>(local.get());
    ref reason = reason_or(st, outcome, st.redacted_by_policy.get());
    ref violations = list_of(reason.get());
    ref result = contract::make_result(result_type, st.policy_redact_kwnames.get(),
                                       {Py_True, st.redact.get(), violations.get(), redacted.get(), st.policy.get()});
    if (redacted_system.get() != Py_None) contract::set_redacted_system(result.get(), st, redacted_system.get());
    return result;
}

// outcome.action == text
bool action_is(const guard_state& st, PyObject* outcome, PyObject* text) {
    ref action = get_attr(outcome, st.action.get());
    return equals(action.get(), text);
}

ref surface_gate_llm_before_impl(const module_view& m, PyObject* const* args) {
    const auto& st = state_of(m);
    PyObject* const messages = args[0];
    PyObject* const model = args[1];
    PyObject* const system = args[2];

    if (gate_switched_off(m, st)) return none();

    ref answer = none();
    swallow_exceptions([&] {
        ref gate = contract::import_gate_surface(m, st);
        ref result_type = contract::import_result_type(m, st);
        ref text = extract_text(m, messages, system);
        ref payload = check(PyDict_New());
        check_status(PyDict_SetItem(payload.get(), st.model.get(), model));
        check_status(PyDict_SetItem(payload.get(), st.text.get(), text.get()));
        ref outcome = contract::gate_surface(gate.get(), st.llm_before.get(), payload.get());

        // A block wins whatever the action says.
        ref is_block = get_attr(outcome.get(), st.is_block.get());
        if (truthy(is_block.get())) {
            answer = policy_block(m, st, result_type.get(), outcome.get());
        } else if (action_is(st, outcome.get(), st.warn.get())) {
            policy_warn(m, st, outcome.get());  // a warning never stops the call
        } else if (action_is(st, outcome.get(), st.redact.get())) {
            answer = policy_redact(m, st, result_type.get(), outcome.get(), messages, system);
        }
    });
    return answer;
}

constexpr param surface_gate_params[] = {
    {.name = "messages", .type = arg_type::list, .annotation = "list"},
    {.name = "model", .type = arg_type::str, .annotation = "str"},
    {.name = "system", .type = arg_type::str, .annotation = "str"},
};

}  // namespace

const function_def surface_gate_llm_before_def = {
    .name = "_surface_gate_llm_before",
    .doc = "The policy gate before an LLM call: a blocking or redacting PromptGuardResult,\n"
           "or None to let the call go ahead (TAVRIX_SURFACE_GATE=0/false/no/off turns\n"
           "the gate off).",
    .params = surface_gate_params,
    .return_annotation = "Optional['PromptGuardResult']",
    .impl = surface_gate_llm_before_impl,
};

ref surface_gate_llm_before(const module_view& m, PyObject* messages, PyObject* model, PyObject* system) {
    return call_global(m, state_of(m).surface_gate_llm_before.get(), {messages, model, system});
}

}  // namespace tavrix::guard
