// Module initialisation of tavrix_observe.cost: attributes in the order
// the SDK documents them.
#include "cost.hpp"

namespace tavrix::cost {

namespace {

constexpr const char* unpriced_message =
    "estimate_cost: no cost mapping for model=%r (provider=%r). Returning 0.0 \xe2\x80\x94 cost analytics "
    "will understate spend on this model until MODEL_COSTS is updated. Suppressing further warnings for "
    "this model.";

void exec(const module_view& m, cost_state& st) {
    st.unpriced_message = check(PyUnicode_FromString(unpriced_message));

    import_into(m, "logging");
    add_logger(m, st.cost_logger.get(), "tavrix.observe.cost");

    ref logged = check(PySet_New(nullptr));
    set_attr(m, st.UNKNOWN_MODELS_LOGGED.get(), logged.get());

    ref model_costs = build_model_costs();
    set_attr(m, st.MODEL_COSTS.get(), model_costs.get());
    ref multimodal_costs = build_multimodal_costs();
    set_attr(m, "MULTIMODAL_COSTS", multimodal_costs.get());
    ref embedding_costs = build_embedding_costs();
    set_attr(m, st.EMBEDDING_COSTS.get(), embedding_costs.get());

    ref free_names = check(Py_BuildValue("(ss)", "ollama", "local"));
    ref free = check(PyFrozenSet_New(free_names.get()));
    set_attr(m, st.FREE_PROVIDERS.get(), free.get());

    add_function(m, estimate_cost_def);
    add_function(m, estimate_embedding_cost_def);
}

}  // namespace

}  // namespace tavrix::cost

TAVRIX_MODULE(cost,
              "Client-side cost estimates for LLM and embedding calls, from built-in list prices.\n\n"
              "The price tables are public and mutable: rows added to MODEL_COSTS or\n"
              "EMBEDDING_COSTS, or tables rebound on the module, apply to the next estimate.",
              tavrix::cost::cost_state, tavrix::cost::exec)
