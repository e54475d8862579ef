// The server-side tier of the prompt guard: the prompt's text is sent to
// the server's prompt-guard endpoint through the SDK client. Any failure
// is logged at debug level and ends in None, so the guard carries on with
// its local findings.
#include "../../support/except.hpp"
#include "guard.hpp"

namespace tavrix::guard {

namespace {

ref server_check_prompt_impl(const module_view& m, PyObject* const* args) {
    const auto& st = state_of(m);
    PyObject* const text = args[0];
    PyObject* const model = args[1];

    ref answer = none();
    catch_exception(
        [&] {
            ref client_class = contract::import_client_class(m, st);
            if (!contract::client_is_configured(client_class.get(), st)) return;
            ref client = contract::new_client(client_class.get());
            ref reply = contract::prompt_guard_sync(client.get(), st, text, model);
            answer = ref::new_ref(dict_or_none(reply.get()));
        },
        [&](ref exc) {
            ref logger = global(m, st.logger.get());
            ref ignored = call_method(logger.get(), st.debug.get(), st.server_failed_message.get(), exc.get());
        });
    return answer;
}

constexpr param server_check_prompt_params[] = {
    {.name = "text", .type = arg_type::str, .annotation = "str"},
    {.name = "model", .type = arg_type::str, .dflt = default_str(""), .annotation = "str"},
};

}  // namespace

const function_def server_check_prompt_def = {
    .name = "_server_check_prompt",
    .doc = "The server-side prompt guard's answer for the text (a dict), or None when\n"
           "the client is not configured or the check failed.",
    .params = server_check_prompt_params,
    .returns = return_type::dict,
    .return_annotation = "Optional[dict]",
    .impl = server_check_prompt_impl,
};

ref server_check_prompt(const module_view& m, PyObject* text, PyObject* model) {
    return call_global(m, state_of(m).server_check_prompt.get(), {text, model});
}

}  // namespace tavrix::guard
