// tavrix_observe.cost: built-in list prices and the cost estimators.
#pragma once

#include "../support/function.hpp"
#include "../support/module.hpp"

namespace tavrix::cost {

#define TAVRIX_COST_STRINGS(S)                         \
    S(MODEL_COSTS, "MODEL_COSTS")                      \
    S(EMBEDDING_COSTS, "EMBEDDING_COSTS")              \
    S(FREE_PROVIDERS, "_FREE_PROVIDERS")               \
    S(UNKNOWN_MODELS_LOGGED, "_UNKNOWN_MODELS_LOGGED") \
    S(cost_logger, "_cost_logger")                     \
    S(input, "input")                                  \
    S(output, "output")                                \
    S(add, "add")                                      \
    S(warning, "warning")                              \
    S(models_prefix, "models/")

#define TAVRIX_COST_OBJECTS(O) \
    O(unpriced_message)

struct cost_state : state_base {
    TAVRIX_MODULE_STATE(TAVRIX_COST_STRINGS, TAVRIX_COST_OBJECTS)
};

inline const cost_state& state_of(const module_view& m) { return m.get<cost_state>(); }

// Price tables (price_tables.cpp), each a new dict in table order.
[[nodiscard]] ref build_model_costs();
[[nodiscard]] ref build_multimodal_costs();
[[nodiscard]] ref build_embedding_costs();

// The estimators (estimators.cpp).
extern const function_def estimate_cost_def;
extern const function_def estimate_embedding_cost_def;

}  // namespace tavrix::cost
