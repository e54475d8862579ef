// The run's content redaction applied to a span record before it is
// buffered: tool input and output, and the string attributes. Strings
// inside lists are content too, so lists are walked (a new list each) and
// sequence attributes are rebuilt with their strings redacted.
//
// The redaction function may run any Python code, including code that
// changes the container being walked: every item is owned while it is
// handled, and a dict that changes size raises RuntimeError as Python's
// own iteration does.
#include "../../support/recursion.hpp"
#include "spanbridge.hpp"

namespace tavrix::spanbridge {

namespace {

ref redact_text(PyObject* redact_fn, PyObject* text) { return check(PyObject_CallOneArg(redact_fn, text)); }

// A new list: dicts redacted by `_redact_dict_values`, strings by the
// redaction function, nested lists walked the same way, anything else
// taken over.
ref redact_list(const module_view& m, PyObject* list, PyObject* redact_fn) {
    nesting_guard depth(" while redacting a list");
    ref result = new_list();
    for_each(list, [&](PyObject* item) {
        ref redacted;
        if (PyUnicode_Check(item))
            redacted = redact_text(redact_fn, item);
        else if (PyDict_Check(item))
            redacted = redact_dict_values(m, item, redact_fn);
        else if (PyList_Check(item))
            redacted = redact_list(m, item, redact_fn);
        else
            redacted = ref::new_ref(item);
        append(result.get(), redacted.get());
    });
    return result;
}

// A list or tuple attribute (the tracing SDK stores sequences as tuples):
// a new one of the same kind with its strings redacted.
ref redact_sequence(PyObject* sequence, PyObject* redact_fn) {
    ref result = new_list();
    for_each(sequence, [&](PyObject* item) {
        ref redacted = PyUnicode_Check(item) ? redact_text(redact_fn, item) : ref::new_ref(item);
        append(result.get(), redacted.get());
    });
    if (PyList_Check(sequence)) return result;
    return check(PyList_AsTuple(result.get()));
}

}  // namespace

ref redacted_attribute(PyObject* redact_fn, PyObject* value) {
    if (PyUnicode_Check(value)) return redact_text(redact_fn, value);
    if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) return redact_sequence(value, redact_fn);
    return ref::new_ref(value);
}

namespace {

ref redact_dict_values_impl(const module_view& m, PyObject* const* args) {
    PyObject* const dict = args[0];
    PyObject* const redact_fn = args[1];
    ref result = check(PyDict_New());
    for_each_item(dict, [&](PyObject* key, PyObject* value) {
        ref redacted;
        if (PyUnicode_Check(value))
            redacted = redact_text(redact_fn, value);
        else if (PyDict_Check(value))
            redacted = redact_dict_values(m, value, redact_fn);
        else if (PyList_Check(value))
            redacted = redact_list(m, value, redact_fn);
        else
            redacted = ref::new_ref(value);
        check_status(PyDict_SetItem(result.get(), key, redacted.get()));
    });
    return result;
}

ref redact_span_dict_impl(const module_view& m, PyObject* const* args) {
    const auto& st = state_of(m);
    PyObject* const record = args[0];
    PyObject* const redact_fn = args[1];

    for (PyObject* key : {st.input_data.get(), st.output_data.get()}) {
        ref value = get_or_none(record, key);
        ref redacted;
        if (PyUnicode_Check(value.get()))
            redacted = redact_text(redact_fn, value.get());
        else if (PyDict_Check(value.get()))
            redacted = redact_dict_values(m, value.get(), redact_fn);
        else if (PyList_Check(value.get()))
            redacted = redact_list(m, value.get(), redact_fn);
        if (redacted) check_status(PyDict_SetItem(record, key, redacted.get()));
    }

    ref attrs = get_or_none(record, st.attributes.get());
    if (truthy(attrs.get()) && PyDict_Check(attrs.get())) {
        // In place: the keys and their order stay as they are.
        for_each_item(attrs.get(), [&](PyObject* key, PyObject* value) {
            ref redacted;
            if (PyUnicode_Check(value))
                redacted = redact_text(redact_fn, value);
            else if (PyList_Check(value) || PyTuple_Check(value))
                redacted = redact_sequence(value, redact_fn);
            if (redacted) check_status(PyObject_SetItem(attrs.get(), key, redacted.get()));
        });
    }
    return none();
}

constexpr param redact_span_dict_params[] = {
    {.name = "span_dict", .type = arg_type::dict, .annotation = "dict"},
    {.name = "redact_fn"},
};

constexpr param redact_dict_values_params[] = {
    {.name = "d", .type = arg_type::dict, .annotation = "dict"},
    {.name = "redact_fn"},
};

}  // namespace

const function_def redact_span_dict_def{
    .name = "_redact_span_dict",
    .doc = "Applies the run's redaction function to a span record in place: a str\n"
           "input_data or output_data is replaced by its redaction, a dict or list one by\n"
           "a redacted copy, and each str attribute (and each str inside a list or tuple\n"
           "attribute) is redacted. Name, kind, status, ids and timing are never passed\n"
           "to the function.",
    .params = redact_span_dict_params,
    .return_annotation = "None",
    .impl = redact_span_dict_impl,
};

void redact_span_dict(const module_view& m, PyObject* span_dict, PyObject* redact_fn) {
    ref ignored = call_global(m, state_of(m).redact_span_dict.get(), {span_dict, redact_fn});
}

const function_def redact_dict_values_def{
    .name = "_redact_dict_values",
    .doc = "A new dict with the same keys in which every str value is redacted, nested\n"
           "dicts and lists are redacted copies, and other values are taken over; `d`\n"
           "itself is not changed.",
    .params = redact_dict_values_params,
    .returns = return_type::dict,
    .return_annotation = "dict",
    .impl = redact_dict_values_impl,
};

ref redact_dict_values(const module_view& m, PyObject* d, PyObject* redact_fn) {
    return call_global(m, state_of(m).redact_dict_values.get(), {d, redact_fn});
}

}  // namespace tavrix::spanbridge
