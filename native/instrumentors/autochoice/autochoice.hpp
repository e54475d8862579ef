// tavrix_observe.instrumentors._autochoice: the model's tool choices as
// decision records on the active run context.
#pragma once

#include "../../contract/run_context.hpp"
#include "../../support/function.hpp"
#include "../../support/module.hpp"

namespace tavrix::autochoice {

#define TAVRIX_AUTOCHOICE_STRINGS(S)                                   \
    TAVRIX_RUN_CONTEXT_STRINGS(S)                                      \
    S(tools, "tools")                                                  \
    S(function, "function")                                            \
    S(name, "name")                                                    \
    S(single_prefix, "tool_call:")                                     \
    S(parallel_name, "tool_calls")                                     \
    S(single_reasoning, "Auto-detected from LLM tool_calls response")  \
    S(auto_type, "auto")                                               \
    S(separator, ", ")                                                 \
    S(empty, "")

#define TAVRIX_AUTOCHOICE_OBJECTS(O) O(decision_keywords)

struct autochoice_state : state_base {
    TAVRIX_MODULE_STATE(TAVRIX_AUTOCHOICE_STRINGS, TAVRIX_AUTOCHOICE_OBJECTS)
};

inline const autochoice_state& state_of(const module_view& m) { return m.get<autochoice_state>(); }

extern const function_def extract_tool_names_from_request_def;  // tool_names.cpp
extern const function_def record_tool_decisions_def;            // decisions.cpp

}  // namespace tavrix::autochoice
