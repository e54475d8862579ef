// Module initialisation of tavrix_observe.instrumentors._guard, and
// configure(). Attributes are created in the order the SDK documents:
// the imports, the logger and the three settings, the pattern tables,
// then the class and the functions.
#include "../../regex/pattern_cache.hpp"
#include "guard.hpp"

namespace tavrix::guard {

namespace {

ref configure_impl(const module_view& m, PyObject* const* args) {
    const auto& st = state_of(m);
    PyObject* const enabled = args[0];
    PyObject* const server = args[1];
    PyObject* const action = args[2];

    set_attr(m, st.enabled.get(), truthy(enabled) ? Py_True : Py_False);
    set_attr(m, st.server_check.get(), truthy(server) ? Py_True : Py_False);
    // Anything but the three actions (case included) silently means block.
    bool known = false;
    for (const ref* valid : {&st.block, &st.warn, &st.redact}) known = known || equals(action, valid->get());
    set_attr(m, st.action_setting.get(), known ? action : st.block.get());

    // Read back from the namespace, as the global names in the log call are.
    ref now_enabled = global(m, st.enabled.get());
    if (!truthy(now_enabled.get())) return none();
    ref now_server = global(m, st.server_check.get());
    ref now_action = global(m, st.action_setting.get());
    ref logger = global(m, st.logger.get());
    PyObject* log_args[] = {logger.get(), st.configured_message.get(), now_enabled.get(), now_server.get(),
                            now_action.get()};
    ref ignored = check(PyObject_VectorcallMethod(st.debug.get(), log_args, 5, nullptr));
    return none();
}

constexpr param configure_params[] = {
    {.name = "enabled", .dflt = default_false, .annotation = "bool"},
    {.name = "server", .dflt = default_false, .annotation = "bool"},
    {.name = "action", .type = arg_type::str, .dflt = default_str("block"), .annotation = "str"},
};

void exec(const module_view& m, guard_state& st) {
    contract::init_collaborators(st);
    st.autojunk_kwnames = check(PyTuple_Pack(1, st.autojunk.get()));
    ref five = check(PyLong_FromLong(5));
    st.first_five = check(PySlice_New(nullptr, five.get(), nullptr));
    capture_sequence_matcher(st);
    st.signals = signal_thread::capture();

    import_into(m, "logging");
    ref re = import_into(m, "re");
    ref pattern_type = check(PyObject_GetAttrString(re.get(), "Pattern"));
    st.regex_cache = regex::new_pattern_cache(pattern_type.get());
    ref typing_name = intern("typing");
    ref optional_name = intern("Optional");
    ref optional = import_from(m, typing_name.get(), optional_name.get(), 0);
    set_attr(m, optional_name.get(), optional.get());

    add_logger(m, st.logger.get());
    set_attr(m, st.enabled.get(), Py_False);
    set_attr(m, st.server_check.get(), Py_False);
    set_attr(m, st.action_setting.get(), st.block.get());

    ref pii = build_pii_patterns(re.get());
    set_attr(m, st.PII_PATTERNS.get(), pii.get());
    ref credentials = build_credential_patterns(re.get());
    set_attr(m, st.CREDENTIAL_PATTERNS.get(), credentials.get());
    ref injection = build_injection_patterns(re.get());
    set_attr(m, st.INJECTION_PATTERNS.get(), injection.get());

    st.error_class = create_class(m, {.name = "PromptGuardError",
                                      .doc = "Raised when prompt guard blocks an LLM call.",
                                      .bases = {PyExc_Exception},
                                      .methods = {&error_init_def}});
    set_attr(m, "PromptGuardError", st.error_class.get());

    for (const function_def* def :
         {&configure_def, &extract_text_def, &detect_pii_def, &detect_credentials_def, &detect_injection_def,
          &redact_text_def, &redact_messages_def, &server_check_prompt_def, &surface_gate_llm_before_def,
          &ml_substitutions_def, &apply_substitutions_def, &redact_messages_ml_def, &token_opcodes_def,
          &check_prompt_def})
        add_function(m, *def);
}

}  // namespace

const function_def configure_def = {
    .name = "configure",
    .doc = "Sets the prompt guard: `enabled` switches the local scan on, `server` also asks\n"
           "the server-side guard, `action` is \"block\", \"warn\" or \"redact\" (any other\n"
           "text means \"block\"). Each call replaces all three settings.",
    .params = configure_params,
    .return_annotation = "None",
    .impl = configure_impl,
};

}  // namespace tavrix::guard

TAVRIX_MODULE(_guard,
              "The client-side prompt guard, run before every LLM call.\n\n"
              "check_prompt() runs the policy gate, then (when configure() enabled the guard)\n"
              "scans the request for personal data, credentials and prompt-injection phrases,\n"
              "optionally merges the server-side guard's findings, and answers None (go\n"
              "ahead) or a PromptGuardResult that blocks, warns or carries redacted copies.\n"
              "The settings (_enabled, _server_check, _action) and the pattern tables\n"
              "(_PII_PATTERNS, _CREDENTIAL_PATTERNS, _INJECTION_PATTERNS) are module\n"
              "attributes read at every call.",
              tavrix::guard::guard_state, tavrix::guard::exec)
