// extract_tool_names_from_request: the names of the tools a request offers.
#include "../../support/compat.hpp"
#include "../../support/iterate.hpp"
#include "autochoice.hpp"

namespace tavrix::autochoice {

namespace {

// `key in mapping`, then `mapping[key]`: an empty ref when the key is absent.
ref item_if_present(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) [[likely]]
        return compat::dict_get(mapping, key);
    if (!check_status(PySequence_Contains(mapping, key))) return {};
    return check(PyObject_GetItem(mapping, key));
}

// `entry.get("function", {})`, through the entry's own get method.
ref function_entry(const autochoice_state& st, PyObject* entry) {
    if (PyDict_CheckExact(entry)) [[likely]] {
        if (ref found = compat::dict_get(entry, st.function.get())) return found;
        return check(PyDict_New());
    }
    ref fallback = check(PyDict_New());
    PyObject* args[] = {entry, st.function.get(), fallback.get()};
    return check(PyObject_VectorcallMethod(st.get.get(), args, 3, nullptr));
}

// The name one tool entry contributes, or an empty ref. Dict entries are
// either nested ({"type": ..., "function": {"name": ...}}) or flat
// ({"name": ...}); other entries are objects with `function.name` or `name`.
ref tool_name(const autochoice_state& st, PyObject* entry) {
    if (PyDict_Check(entry)) {
        ref function = function_entry(st, entry);
        if (PyDict_Check(function.get()))
            if (ref name = item_if_present(function.get(), st.name.get())) return name;
        return item_if_present(entry, st.name.get());
    }
    // `entry.function` is read three times, as `hasattr(entry, "function")
    // and hasattr(entry.function, "name")` and then `entry.function.name` do.
    if (ref probe = compat::optional_attr(entry, st.function.get())) {
        ref function = get_attr(entry, st.function.get());
        if (compat::optional_attr(function.get(), st.name.get())) {
            ref again = get_attr(entry, st.function.get());
            return get_attr(again.get(), st.name.get());
        }
    }
    if (compat::optional_attr(entry, st.name.get())) return get_attr(entry, st.name.get());
    return {};
}

ref extract_tool_names_from_request_impl(const module_view& m, PyObject* const* args) {
    const auto& st = state_of(m);
    PyObject* const kwargs = args[0];
    ref names = new_list();
    ref tools = compat::dict_get(kwargs, st.tools.get());
    if (!tools || !truthy(tools.get())) return names;
    for_each(tools.get(), [&](PyObject* entry) {
        if (ref name = tool_name(st, entry)) append(names.get(), name.get());
    });
    return names;
}

constexpr param extract_params[] = {
    {.name = "kwargs", .type = arg_type::dict, .annotation = "dict"},
};

}  // namespace

const function_def extract_tool_names_from_request_def{
    .name = "extract_tool_names_from_request",
    .doc = "The names of the tools offered by an outgoing LLM request, in request order.\n\n"
           "`kwargs` are the request's keyword arguments; its \"tools\" entries may be\n"
           "nested-function dicts, flat dicts or objects with `function.name` or `name`.",
    .params = extract_params,
    .returns = return_type::object,
    .return_annotation = "list[str]",
    .impl = extract_tool_names_from_request_impl,
};

}  // namespace tavrix::autochoice
