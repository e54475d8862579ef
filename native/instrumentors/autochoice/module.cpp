// Module initialisation of tavrix_observe.instrumentors._autochoice.
#include "autochoice.hpp"

namespace tavrix::autochoice {

namespace {

void exec(const module_view& m, autochoice_state& st) {
    st.decision_keywords = check(Py_BuildValue("(sssss)", "name", "options", "chosen", "reasoning",
                                               "instrumentation_type"));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(st.decision_keywords.get()); ++i)
        PyUnicode_InternInPlace(&PyTuple_GET_ITEM(st.decision_keywords.get(), i));

    import_into(m, "logging");

    ref typing_name = intern("typing");
    ref typing = import_module(typing_name.get());
    ref any = check(PyObject_GetAttrString(typing.get(), "Any"));
    set_attr(m, "Any", any.get());

    // The one collaborator imported at import time: without the run-context
    // variable this module cannot work, so its absence fails the import.
    ref variable = import_from(m, st.context_sibling.get(), st.current_context.get(), 1);
    set_attr(m, st.current_context.get(), variable.get());

    add_logger(m, "logger");

    add_function(m, record_tool_decisions_def);
    add_function(m, extract_tool_names_from_request_def);
}

}  // namespace

}  // namespace tavrix::autochoice

TAVRIX_MODULE(_autochoice,
              "Tool-call decision records: which tool the model chose from those it was offered.",
              tavrix::autochoice::autochoice_state, tavrix::autochoice::exec)
