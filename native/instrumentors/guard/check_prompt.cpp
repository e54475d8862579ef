// check_prompt, the guard every LLM instrumentor calls before it sends a
// request, and PromptGuardError, which the instrumentor raises on a block.
//
// The settings are read from the module namespace at the moment each is
// needed, so a call overlapping a configure() may see old and new values
// mixed; each single read is atomic under the interpreter lock.
#include "../../support/unpack.hpp"
#include "guard.hpp"

namespace tavrix::guard {

namespace {

// A typed local: exactly a str, or None.
PyObject* str_or_none(PyObject* value) {
    if (value == Py_None || PyUnicode_CheckExact(value)) [[likely]]
        return value;
    raise_expected_type("str", value);
}

// The description of one server finding: the str itself, else
// v.get("detail", str(v)) (the attribute is looked up before str(v) is
// made, as the expression evaluates it).
ref server_description(const guard_state& st, PyObject* v) {
    if (PyUnicode_Check(v)) return ref::new_ref(v);
    ref get = get_attr(v, st.get.get());
    ref shown = check(PyObject_Str(v));
    PyObject* args[] = {nullptr, st.detail.get(), shown.get()};
    return check(PyObject_Vectorcall(get.get(), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Appends "[server] <desc>" for every server finding not already listed.
void merge_server_violations(const guard_state& st, PyObject* violations, PyObject* server_violations) {
    for_each(server_violations, [&](PyObject* v) {
        ref desc = server_description(st, v);
        if (check_status(PySequence_Contains(violations, desc.get()))) return;
        ref entry = concat({st.server_prefix.get(), desc.get()});
        append(violations, entry.get());
    });
}

void extend(const guard_state& st, PyObject* list, PyObject* iterable) {
    ref done = call_method(list, st.extend.get(), iterable);
}

ref check_prompt_impl(const module_view& m, PyObject* const* args) {
    const auto& st = state_of(m);
    PyObject* const messages = args[0];
    PyObject* const model = args[1];
    PyObject* const system = args[2];

    ref gated = surface_gate_llm_before(m, messages, model, system);
    if (gated.get() != Py_None) return gated;

    // Disabled: one lookup, nothing imported or scanned.
    ref enabled = global(m, st.enabled.get());
    if (!truthy(enabled.get())) return none();

    ref result_type = contract::import_result_type(m, st);
    ref text = extract_text(m, messages, system);
    ref stripped = call_method(text.get(), st.strip.get());
    if (!truthy(stripped.get())) return none();

    ref violations = new_list();
    for (auto detect : {detect_pii, detect_credentials, detect_injection}) {
        ref found = detect(m, text.get());
        if (PyList_CheckExact(found.get())) [[likely]] {
            const Py_ssize_t size = PyList_GET_SIZE(violations.get());
            check_status(PyList_SetSlice(violations.get(), size, size, found.get()));
        } else {
            extend(st, violations.get(), found.get());
        }
    }

    ref source = st.local.copy();
    ref server_redacted_text = none();
    ref server_check = global(m, st.server_check.get());
    if (truthy(server_check.get())) {
        ref server_result = server_check_prompt(m, text.get(), model);
        if (truthy(server_result.get())) {
            ref default_violations = new_list();
            ref server_violations =
                mapping_get(st, server_result.get(), st.violations.get(), default_violations.get());
            if (truthy(server_violations.get())) {
                merge_server_violations(st, violations.get(), server_violations.get());
                // On the merged list: a finding only the server saw is "both" too.
                source = (PyList_GET_SIZE(violations.get()) ? st.both : st.server).copy();
            }
            server_redacted_text = mapping_get(st, server_result.get(), st.redacted_text.get(), nullptr);
        }
    }

    if (PyList_GET_SIZE(violations.get()) == 0)
        return contract::make_result(result_type.get(), st.clean_result_kwnames.get(),
                                     {Py_True, st.allow.get(), source.get()});

    ref action_value = global(m, st.action_setting.get());
    PyObject* const action = str_or_none(action_value.get());

    ref redacted_messages = none();
    ref redacted_system = none();
    if (action != Py_None && equals(action, st.redact.get())) {
        PyObject* server_text =
            truthy(server_redacted_text.get()) ? server_redacted_text.get() : st.empty.get();
        ref pairs = ml_substitutions(m, text.get(), server_text);
        ref redacted = redact_messages_ml(m, messages, system, pairs.get());
        auto [copies, copied_system] = unpack<2, unpack_wording::compact>(redacted.get());
        redacted_messages = std::move(copies);
        redacted_system = std::move(copied_system);
    }

    const bool warn = action != Py_None && equals(action, st.warn.get());
    if (warn) {
        ref joined = join(st.separator.get(), violations.get());
        ref logger = global(m, st.logger.get());
        ref ignored = call_method(logger.get(), st.warning.get(), st.warn_message.get(), joined.get());
    }

    ref result = contract::make_result(
        result_type.get(), st.finding_result_kwnames.get(),
        {warn ? Py_True : Py_False, action, violations.get(), source.get(), redacted_messages.get()});
    if (redacted_system.get() != Py_None) contract::set_redacted_system(result.get(), st, redacted_system.get());
    return result;
}

// PromptGuardError.__init__(self, result)
ref error_init_impl(const module_view& m, PyObject* const* args) {
    const auto& st = state_of(m);
    PyObject* const self = args[0];
    PyObject* const result = args[1];

    check_status(PyObject_SetAttr(self, st.result_attr.get(), result));
    // Read twice, as the slice `result.violations[:5]` and the length test
    // read it; the length serves the "(+N more)" count as well.
    ref violations = get_attr(result, st.violations.get());
    ref first = check(PyObject_GetItem(violations.get(), st.first_five.get()));
    ref message = join(st.separator.get(), first.get());
    ref all = get_attr(result, st.violations.get());
    const Py_ssize_t count = length(all.get());
    if (count > 5) {
        ref more = check(PyUnicode_FromFormat("%U (+%zd more)", message.get(), count - 5));
        message = std::move(more);
    }
    ref text = concat({st.blocked_prefix.get(), message.get()});

    // super().__init__(text)
    ref super_args = check(PyTuple_Pack(2, st.error_class.get(), self));
    ref parent = check(PyObject_Call(reinterpret_cast<PyObject*>(&PySuper_Type), super_args.get(), nullptr));
    ref done = call_method(parent.get(), st.init.get(), text.get());
    return none();
}

constexpr param check_prompt_params[] = {
    {.name = "messages", .type = arg_type::list, .annotation = "list"},
    {.name = "model", .type = arg_type::str, .dflt = default_str(""), .annotation = "str"},
    {.name = "system", .type = arg_type::str, .dflt = default_str(""), .annotation = "str"},
};

constexpr param error_init_params[] = {
    {.name = "self"},
    {.name = "result", .annotation = "PromptGuardResult"},
};

}  // namespace

const function_def check_prompt_def = {
    .name = "check_prompt",
    .doc = "Checks an outgoing LLM request; None lets it go ahead unchanged.\n\n"
           "The policy gate runs first and its result, if any, is the answer. With the\n"
           "guard enabled, the text of the messages (and of the system prompt) is\n"
           "scanned for personal data, credentials and injection phrases, and the\n"
           "server's findings are merged when configured. The result's action is\n"
           "\"allow\", \"block\" (raise PromptGuardError), \"warn\" (logged; send the\n"
           "original messages) or \"redact\" (send result.redacted_messages and, when\n"
           "set, result._redacted_system).",
    .params = check_prompt_params,
    .return_annotation = "Optional['PromptGuardResult']",
    .impl = check_prompt_impl,
};

const function_def error_init_def = {
    .name = "__init__",
    .qualname = "PromptGuardError.__init__",
    .params = error_init_params,
    .return_annotation = "None",
    .impl = error_init_impl,
};

}  // namespace tavrix::guard
