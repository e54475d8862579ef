// record_tool_decisions: one decision record per LLM response with tool
// calls. Observation never disturbs the application: once the run context
// is found, every failure is discarded.
#include "../../support/compat.hpp"
#include "../../support/errors.hpp"
#include "../../support/except.hpp"
#include "../../support/iterate.hpp"
#include "autochoice.hpp"

namespace tavrix::autochoice {

namespace {

// tool_call["name"] for a tool call that must be exactly a dict.
ref chosen_name(const autochoice_state& st, PyObject* tool_call) {
    if (tool_call == Py_None) return check(PyObject_GetItem(tool_call, st.name.get()));  // "not subscriptable"
    if (!PyDict_CheckExact(tool_call)) raise_expected_type("dict", tool_call);
    ref name = compat::dict_get(tool_call, st.name.get());
    if (!name) {
        PyErr_SetObject(PyExc_KeyError, st.name.get());
        throw_error();
    }
    return name;
}

void record_decision(const autochoice_state& st, PyObject* ctx, PyObject* name, PyObject* options,
                     PyObject* chosen, PyObject* reasoning) {
    PyObject* args[] = {ctx, name, options, chosen, reasoning, st.auto_type.get()};
    ref ignored = check(PyObject_VectorcallMethod(st.record_decision.get(), args, 1, st.decision_keywords.get()));
}

void record(const autochoice_state& st, PyObject* ctx, PyObject* tool_calls, PyObject* available_tools) {
    ref chosen = new_list();
    for_each_in_list(tool_calls, [&](PyObject* tool_call) {
        ref name = chosen_name(st, tool_call);
        append(chosen.get(), name.get());
    });
    const bool offered = available_tools != Py_None && PyList_GET_SIZE(available_tools) > 0;
    PyObject* options = offered ? available_tools : chosen.get();
    const Py_ssize_t count = PyList_GET_SIZE(chosen.get());
    if (count == 1) {
        ref only = ref::new_ref(PyList_GET_ITEM(chosen.get(), 0));
        ref shown = check(PyObject_Format(only.get(), st.empty.get()));
        ref name = check(PyUnicode_Concat(st.single_prefix.get(), shown.get()));
        record_decision(st, ctx, name.get(), options, only.get(), st.single_reasoning.get());
        return;
    }
    ref joined = join(st.separator.get(), chosen.get());
    ref reasoning = check(PyUnicode_FromFormat("Auto-detected %zd parallel tool calls from LLM response", count));
    record_decision(st, ctx, st.parallel_name.get(), options, joined.get(), reasoning.get());
}

ref record_tool_decisions_impl(const module_view& m, PyObject* const* args) {
    const auto& st = state_of(m);
    PyObject* const tool_calls = args[0];
    PyObject* const available_tools = args[1];
    // Finding the run context is not guarded: a broken context variable is
    // the SDK's fault and must surface.
    ref variable = global(m, st.current_context.get());
    ref ctx = contract::active_context(variable.get(), st);
    if (ctx.get() == Py_None || PyList_GET_SIZE(tool_calls) == 0) return none();
    swallow_exceptions([&] { record(st, ctx.get(), tool_calls, available_tools); });
    return none();
}

constexpr param record_params[] = {
    {.name = "tool_calls", .type = arg_type::list, .annotation = "list[dict[str, Any]]"},
    {.name = "available_tools",
     .type = arg_type::list,
     .none_ok = true,
     .dflt = default_none,
     .annotation = "list[str] | None"},
};

}  // namespace

const function_def record_tool_decisions_def{
    .name = "record_tool_decisions",
    .doc = "Records the model's tool choice as one decision on the active run context.\n\n"
           "`tool_calls` are the response's tool calls (dicts with a \"name\");\n"
           "`available_tools` the names the request offered. Nothing is recorded\n"
           "without an active run, and no failure while recording reaches the caller.",
    .params = record_params,
    .returns = return_type::object,
    .return_annotation = "None",
    .impl = record_tool_decisions_impl,
};

}  // namespace tavrix::autochoice
