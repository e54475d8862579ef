// estimate_cost and estimate_embedding_cost.
//
// Every table is looked up in the module namespace at each use, so rows
// added at run time and tables rebound by the application take effect on
// the next call. Nothing is cached between calls.
#include <algorithm>
#include <vector>

#include "../support/compat.hpp"
#include "../support/errors.hpp"
#include "../support/except.hpp"
#include "../support/values.hpp"
#include "cost.hpp"

namespace tavrix::cost {

namespace {

// The keys of a table ordered by length, longest first; keys of equal
// length keep table order (sorted(keys, key=len, reverse=True)).
std::vector<ref> keys_longest_first(PyObject* table) {
    ref keys = PyDict_CheckExact(table) ? check(PyDict_Keys(table)) : check(PyMapping_Keys(table));
    const Py_ssize_t count = PyList_GET_SIZE(keys.get());
    struct entry {
        Py_ssize_t length;
        ref key;
    };
    std::vector<entry> entries;
    entries.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        ref key = ref::new_ref(PyList_GET_ITEM(keys.get(), i));
        const Py_ssize_t key_length = length(key.get());
        entries.push_back({key_length, std::move(key)});
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const entry& a, const entry& b) { return a.length > b.length; });
    std::vector<ref> ordered;
    ordered.reserve(entries.size());
    for (entry& e : entries) ordered.push_back(std::move(e.key));
    return ordered;
}

// The longest key of an exact dict of exact str keys that `name` starts
// with, in one pass: among keys of equal length the first in table order
// wins, as with a stable longest-first sort. Nothing here runs Python code,
// so the borrowed keys stay valid. Sets `general` when a key is not an
// exact str and the general path must decide.
PyObject* longest_str_prefix(PyObject* table, PyObject* name, bool& general) {
    PyObject* best = nullptr;
    Py_ssize_t best_length = -1;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    const Py_ssize_t name_length = PyUnicode_GET_LENGTH(name);
    const Py_UCS4 first = name_length ? PyUnicode_READ_CHAR(name, 0) : 0;
    while (PyDict_Next(table, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            general = true;
            return nullptr;
        }
        const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
        if (length <= best_length || length > name_length) continue;
        if (length > 0 && PyUnicode_READ_CHAR(key, 0) != first) continue;
        const Py_ssize_t hit = PyUnicode_Tailmatch(name, key, 0, PY_SSIZE_T_MAX, -1);
        if (hit < 0) throw_error();
        if (hit) best = key, best_length = length;
    }
    return best;
}

// The row of the longest key that `name` starts with, or an empty ref.
// `fetch` reads the table afresh for each use; `as_row` types the value.
template <class Fetch, class AsRow>
ref longest_prefix_row(const cost_state& st, PyObject* name, Fetch&& fetch, AsRow&& as_row) {
    std::vector<ref> keys;
    {
        ref table = fetch();
        if (PyDict_CheckExact(table.get())) [[likely]] {
            bool general = false;
            ref best = ref::new_ref(longest_str_prefix(table.get(), name, general));
            if (!general) {
                if (!best) return {};
                return as_row(check(PyObject_GetItem(table.get(), best.get())));
            }
        }
        keys = keys_longest_first(table.get());
    }
    // Keys of any type, or a mapping of any kind: the steps Python takes,
    // in its order, since each may run code of the key's or table's own.
    for (const ref& prefix : keys) {
        if (!starts_with(st, name, prefix.get())) continue;
        ref table = fetch();
        return as_row(check(PyObject_GetItem(table.get(), prefix.get())));
    }
    return {};
}

// A chat row: exactly a dict, or None for "no row".
ref chat_row(ref value) {
    if (!value || dict_or_none(value.get()) == Py_None) return {};
    return value;
}

// An embedding row: any price, None for "no row".
ref unit_row(ref value) {
    if (!value || value.get() == Py_None) return {};
    return value;
}

double as_double(PyObject* value) {
    if (PyFloat_CheckExact(value)) [[likely]]
        return PyFloat_AS_DOUBLE(value);
    const double d = PyFloat_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) throw_error();
    return d;
}

double count_as_double(PyObject* tokens) {
    const double d = PyLong_AsDouble(tokens);
    if (d == -1.0 && PyErr_Occurred()) throw_error();
    return d;
}

double price(PyObject* row, PyObject* key) {
    ref value = compat::dict_get(row, key);
    if (!value) {
        PyErr_SetObject(PyExc_KeyError, key);
        throw_error();
    }
    return as_double(value.get());
}

bool is_free_provider(const module_view& m, const cost_state& st, PyObject* provider) {
    if (PyUnicode_GET_LENGTH(provider) == 0) return false;
    ref free = global(m, st.FREE_PROVIDERS.get());
    return check_status(PySequence_Contains(free.get(), provider)) != 0;
}

ref zero() { return check(PyFloat_FromDouble(0.0)); }

// One warning per unpriced model name for the life of the process. The
// name is recorded before the warning is written, so a warning that fails
// is not tried again; no failure here reaches the caller.
void report_unpriced(const module_view& m, const cost_state& st, PyObject* model, PyObject* provider) {
    swallow_exceptions([&] {
        ref logged = global(m, st.UNKNOWN_MODELS_LOGGED.get());
        if (check_status(PySequence_Contains(logged.get(), model))) return;
        if (PySet_CheckExact(logged.get())) {
            check_status(PySet_Add(logged.get(), model));
        } else {
            ref done = call_method(logged.get(), st.add.get(), model);
        }
        ref logger = global(m, st.cost_logger.get());
        PyObject* args[] = {logger.get(), st.unpriced_message.get(), model, provider};
        ref done = check(PyObject_VectorcallMethod(st.warning.get(), args, 4, nullptr));
    });
}

ref estimate_cost_impl(const module_view& m, PyObject* const* args) {
    const auto& st = state_of(m);
    PyObject* const model_arg = args[0];
    PyObject* const tokens_in = args[1];
    PyObject* const tokens_out = args[2];
    PyObject* const provider = args[3];

    if (is_free_provider(m, st, provider)) return zero();

    ref model = ref::new_ref(model_arg);
    const Py_ssize_t prefix_length = PyUnicode_GET_LENGTH(st.models_prefix.get());
    if (starts_with(st, model.get(), st.models_prefix.get()))
        model = check(PyUnicode_Substring(model.get(), prefix_length, PY_SSIZE_T_MAX));

    auto fetch = [&] { return global(m, st.MODEL_COSTS.get()); };
    auto lookup = [&](PyObject* name) {
        ref table = fetch();
        ref row = chat_row(mapping_get(st, table.get(), name));
        if (!row) row = longest_prefix_row(st, name, fetch, chat_row);
        return row;
    };

    ref costs = lookup(model.get());
    if (!costs) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(model.get());
        const Py_ssize_t slash = PyUnicode_FindChar(model.get(), '/', 0, length, -1);
        if (slash == -2) throw_error();
        if (slash >= 0) {
            ref bare = check(PyUnicode_Substring(model.get(), slash + 1, length));
            costs = lookup(bare.get());
        }
    }
    if (!costs) {
        report_unpriced(m, st, model.get(), provider);
        return zero();
    }
    const double input_price = price(costs.get(), st.input.get());
    const double output_price = price(costs.get(), st.output.get());
    const double total = count_as_double(tokens_in) * input_price + count_as_double(tokens_out) * output_price;
    return check(PyFloat_FromDouble(total));
}

ref estimate_embedding_cost_impl(const module_view& m, PyObject* const* args) {
    const auto& st = state_of(m);
    PyObject* const model = args[0];
    PyObject* const tokens = args[1];
    PyObject* const provider = args[2];

    if (is_free_provider(m, st, provider)) return zero();

    auto fetch = [&] { return global(m, st.EMBEDDING_COSTS.get()); };
    ref table = fetch();
    ref cost_per_token = unit_row(mapping_get(st, table.get(), model));
    if (!cost_per_token) cost_per_token = longest_prefix_row(st, model, fetch, unit_row);
    if (!cost_per_token) return zero();
    return check(PyFloat_FromDouble(count_as_double(tokens) * as_double(cost_per_token.get())));
}

constexpr param estimate_cost_params[] = {
    {.name = "model", .type = arg_type::str, .annotation = "str"},
    {.name = "tokens_in", .type = arg_type::integer, .annotation = "int"},
    {.name = "tokens_out", .type = arg_type::integer, .annotation = "int"},
    {.name = "provider", .type = arg_type::str, .dflt = default_str(""), .annotation = "str"},
};

constexpr param estimate_embedding_cost_params[] = {
    {.name = "model", .type = arg_type::str, .annotation = "str"},
    {.name = "tokens", .type = arg_type::integer, .annotation = "int"},
    {.name = "provider", .type = arg_type::str, .dflt = default_str(""), .annotation = "str"},
};

}  // namespace

const function_def estimate_cost_def{
    .name = "estimate_cost",
    .doc = "Estimated cost in US dollars of a chat or completion call.\n\n"
           "The model is priced by its exact name, then by the longest priced name it\n"
           "starts with, then by the part after its last '/'. Free providers and\n"
           "unpriced models cost 0.0; an unpriced model is reported once in the log.",
    .params = estimate_cost_params,
    .returns = return_type::object,
    .return_annotation = "float",
    .impl = estimate_cost_impl,
};

const function_def estimate_embedding_cost_def{
    .name = "estimate_embedding_cost",
    .doc = "Estimated cost in US dollars of an embedding call of `tokens` input tokens.\n\n"
           "The model is priced by its exact name, then by the longest priced name it\n"
           "starts with. Free providers and unpriced models cost 0.0.",
    .params = estimate_embedding_cost_params,
    .returns = return_type::object,
    .return_annotation = "float",
    .impl = estimate_embedding_cost_impl,
};

}  // namespace tavrix::cost
