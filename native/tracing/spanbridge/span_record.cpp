// A finished span as a span record: the thirteen-key dict of the run
// context's buffers, the same format as the records the SDK writes itself.
#include <iterator>
#include <optional>
#include <span>
#include <utility>

#include "spanbridge.hpp"

namespace tavrix::spanbridge {

namespace {

// A shallow dict copy of the span's attributes (a read-only mapping from
// the tracing SDK, or a dict), or a new empty dict when they are false.
ref copy_attributes(PyObject* attributes) {
    if (!truthy(attributes)) return check(PyDict_New());
    return dict_of(attributes);
}

// `value or 0`.
ref time_or_zero(PyObject* value) {
    if (truthy(value)) return ref::new_ref(value);
    return check(PyLong_FromLong(0));
}

// int((end - start) / 1_000_000) when end > start, else None.
ref duration_ms(const spanbridge_state& st, PyObject* start, PyObject* end) {
    if (PyLong_CheckExact(start) && PyLong_CheckExact(end)) [[likely]] {
        int start_overflow = 0, end_overflow = 0;
        const long long s = PyLong_AsLongLongAndOverflow(start, &start_overflow);
        const long long e = PyLong_AsLongLongAndOverflow(end, &end_overflow);
        if (PyErr_Occurred()) throw_error();
        // A difference below 2**53 is exact as a double, and so is 10**6: the
        // division is then rounded exactly as the interpreter's int / int is.
        constexpr long long exact_limit = 1LL << 53;
        if (start_overflow == 0 && end_overflow == 0 && s >= 0 && e >= 0) {
            if (e <= s) return none();
            if (e - s < exact_limit) return check(PyLong_FromDouble(static_cast<double>(e - s) / 1e6));
        }
    }
    if (!check_status(PyObject_RichCompareBool(end, start, Py_GT))) return none();
    ref difference = check(PyNumber_Subtract(end, start));
    ref quotient = check(PyNumber_TrueDivide(difference.get(), st.one_million.get()));
    return check(PyNumber_Long(quotient.get()));
}

// The LLM summary, set in this order over the cleaned attributes; `index` is
// that of `attrs`, or null.
void add_llm_summary(const spanbridge_state& st, PyObject* attrs, const attribute_index* index, PyObject* cleaned) {
    // `attrs.get(primary) or attrs.get(fallback, dflt)`
    auto gen_ai_or = [&](attr_key primary, attr_key fallback, PyObject* dflt) {
        return indexed_first_true(st, index, attrs, {primary, fallback}, dflt);
    };
    ref zero = check(PyLong_FromLong(0));
    ref model = gen_ai_or(attr_key::gen_ai_request_model, attr_key::tavrix_llm_model, st.empty.get());
    ref tokens_in = gen_ai_or(attr_key::gen_ai_usage_input_tokens, attr_key::tavrix_llm_input_tokens, zero.get());
    ref tokens_out = gen_ai_or(attr_key::gen_ai_usage_output_tokens, attr_key::tavrix_llm_output_tokens, zero.get());
    check_status(PyDict_SetItem(cleaned, st.model.get(), model.get()));
    check_status(PyDict_SetItem(cleaned, st.tokens_in.get(), tokens_in.get()));
    check_status(PyDict_SetItem(cleaned, st.tokens_out.get(), tokens_out.get()));
    ref total = check(PyNumber_Add(tokens_in.get(), tokens_out.get()));
    check_status(PyDict_SetItem(cleaned, st.total_tokens.get(), total.get()));
    ref cost = indexed_get_or(st, index, attrs, attr_key::tavrix_llm_cost, zero.get());
    check_status(PyDict_SetItem(cleaned, st.cost.get(), cost.get()));
    ref finish_reasons = indexed_get_or(st, index, attrs, attr_key::gen_ai_response_finish_reasons, Py_None);
    if (truthy(finish_reasons.get()))
        check_status(PyDict_SetItem(cleaned, st.finish_reasons.get(), finish_reasons.get()));
    ref response_model = indexed_get_or(st, index, attrs, attr_key::gen_ai_response_model, Py_None);
    if (truthy(response_model.get())) {
        if (text_or_differs(response_model.get(), model.get()))
            check_status(PyDict_SetItem(cleaned, st.response_model.get(), response_model.get()));
    }
}

// json.loads(text), or None when decoding raises.
ref decode_json(const spanbridge_state& st, PyObject* json, PyObject* text) {
    ref decoded;
    swallow_exceptions([&] {
        ref loads = get_attr(json, st.loads.get());
        decoded = check(PyObject_CallOneArg(loads.get(), text));
    });
    return decoded ? std::move(decoded) : none();
}

using attribute_items = std::span<const std::pair<PyObject*, PyObject*>>;

// The cleaned attributes of `items` (all keys exact strs, in order), built
// key by key. Spans of one instrumentation have the same keys, the same
// objects in the same order, span after span: the last such shape is kept,
// with its cleaned keys and a dict of them (values None) to copy, into which
// the values are then set in order, replacing, as the building would set
// them (a later key winning where two clean to the same). For an LLM span
// the dict to copy also has the summary's keys that are always set, where
// setting them after the cleaned keys puts them, so that the summary
// replaces values and finds room for the keys set only sometimes.
// `shape` is the state's slot: (keys, cleaned keys, template, LLM template).
ref cleaned_by_shape(const spanbridge_state& st, ref& shape, attribute_items items, bool llm) {
    const auto size = static_cast<Py_ssize_t>(items.size());
    if (shape) {
        PyObject* const keys = PyTuple_GET_ITEM(shape.get(), 0);
        bool same = PyTuple_GET_SIZE(keys) == size;
        for (Py_ssize_t i = 0; same && i < size; ++i) same = items[i].first == PyTuple_GET_ITEM(keys, i);
        if (same) {
            PyObject* const cleaned_keys = PyTuple_GET_ITEM(shape.get(), 1);
            ref cleaned = check(PyDict_Copy(PyTuple_GET_ITEM(shape.get(), llm ? 3 : 2)));
            for (Py_ssize_t i = 0; i < size; ++i)
                check_status(PyDict_SetItem(cleaned.get(), PyTuple_GET_ITEM(cleaned_keys, i), items[i].second));
            return cleaned;
        }
    }
    ref keys = check(PyTuple_New(size));
    ref cleaned_keys = check(PyTuple_New(size));
    ref cleaned = check(PyDict_New());
    for (Py_ssize_t i = 0; i < size; ++i) {
        ref clean = cleaned_key(st, items[i].first);
        check_status(PyDict_SetItem(cleaned.get(), clean.get(), items[i].second));
        PyTuple_SET_ITEM(keys.get(), i, ref::new_ref(items[i].first).release());
        PyTuple_SET_ITEM(cleaned_keys.get(), i, clean.release());
    }
    ref blank = check(PyDict_Copy(cleaned.get()));
    for (Py_ssize_t k = 0; k < size; ++k)
        check_status(PyDict_SetItem(blank.get(), PyTuple_GET_ITEM(cleaned_keys.get(), k), Py_None));
    ref blank_llm = check(PyDict_Copy(blank.get()));
    for (PyObject* summary_key : {st.model.get(), st.tokens_in.get(), st.tokens_out.get(), st.total_tokens.get(),
                                  st.cost.get()})
        check_status(PyDict_SetItem(blank_llm.get(), summary_key, Py_None));
    shape = check(PyTuple_Pack(4, keys.get(), cleaned_keys.get(), blank.get(), blank_llm.get()));
    return cleaned;
}

// The record's attributes: each key of `attrs` cleaned, in order, a later
// key winning where two clean to the same. When every key is a str and
// those to clean are few and all come last (the SDK's own keys, set after
// the others, often do), the dict is copied whole and only those are moved
// to their cleaned names, which gives the same keys, order and values;
// otherwise (gen_ai spans have most of their keys cleaned) the dict is
// built key by key, which then costs less. Nothing here runs Python code for
// str keys, so `attrs` cannot change meanwhile, and keeps the items read;
// `index` is that of `attrs`, or null.
//
// With `reusable`, `attrs` is a dict the conversion made and nothing else
// holds; when no key is to be cleaned it becomes the record's own: a copy
// would hold the same keys, order and values, and what the conversion reads
// of `attrs` afterwards (the tool fields, the LLM summary's keys) has a
// prefix that would have been cleaned, so it reads the same from it.
ref cleaned_attributes(const spanbridge_state& st, ref& shape, PyObject* attrs, const attribute_index* index, bool llm,
                       bool reusable) {
    if (reusable && index != nullptr && !index->cleaned_key()) return ref::new_ref(attrs);
    // The items in order: the index's, or read here from a dict of no more
    // than an index keeps; a larger one is built key by key.
    std::pair<PyObject*, PyObject*> read[attribute_index::most_items];
    attribute_items items;
    if (index != nullptr && index->has_items()) {
        items = index->items();
    } else if (PyDict_GET_SIZE(attrs) <= static_cast<Py_ssize_t>(std::size(read))) {
        Py_ssize_t pos = 0;
        std::size_t n = 0;
        while (PyDict_Next(attrs, &pos, &read[n].first, &read[n].second)) ++n;
        items = {read, n};
    } else {
        ref cleaned = check(PyDict_New());
        for_each_item(attrs, [&](PyObject* k, PyObject* v) {
            ref clean = cleaned_key(st, k);
            check_status(PyDict_SetItem(cleaned.get(), clean.get(), v));
        });
        return cleaned;
    }
    constexpr std::size_t most_moved = 16;
    std::size_t moved = 0, first_moved = 0;
    bool suffix = true;
    for (std::size_t i = 0; suffix && i < items.size(); ++i) {
        PyObject* const key = items[i].first;
        const bool to_clean = PyUnicode_CheckExact(key) && has_cleaned_prefix(key);
        suffix = PyUnicode_CheckExact(key) && (to_clean || moved == 0) && moved < most_moved;
        if (suffix && to_clean && moved++ == 0) first_moved = i;
    }
    // A move (a deletion and an insertion) costs about three insertions.
    if (suffix && moved == 0 && reusable) return ref::new_ref(attrs);
    if (suffix && moved * 3 <= items.size()) {
        ref cleaned = check(PyDict_Copy(attrs));
        const attribute_items tail = items.subspan(first_moved);
        for (const auto& item : tail) check_status(PyDict_DelItem(cleaned.get(), item.first));
        for (const auto& item : tail) {
            ref clean = cleaned_key(st, item.first);
            check_status(PyDict_SetItem(cleaned.get(), clean.get(), item.second));
        }
        return cleaned;
    }
    if (suffix) return cleaned_by_shape(st, shape, items, llm);
    ref cleaned = check(PyDict_New());
    for (const auto& [k, v] : items) {
        ref clean = cleaned_key(st, k);
        check_status(PyDict_SetItem(cleaned.get(), clean.get(), v));
    }
    return cleaned;
}

}  // namespace

ref build_record_template(const spanbridge_state& st, ref& defaults) {
    ref zero = check(PyLong_FromLong(0));
    // Each value is the very object the conversion would otherwise store
    // most often: None, "ok", the int 0 (one object: a small int), "", True.
    const std::pair<PyObject*, PyObject*> fields[] = {
        {st.name.get(), Py_None},         {st.kind.get(), Py_None},           {st.status.get(), st.ok.get()},
        {st.duration_ms.get(), Py_None},  {st.attributes.get(), Py_None},     {st.input_data.get(), Py_None},
        {st.output_data.get(), Py_None},  {st.otel_start_ns.get(), zero.get()}, {st.otel_end_ns.get(), zero.get()},
        {st.otel_trace_id.get(), st.empty.get()}, {st.otel_span_id.get(), st.empty.get()},
        {st.otel_parent_id.get(), st.empty.get()}, {st.from_processor.get(), Py_True},
    };
    ref record = check(PyDict_New());
    defaults = check(PyTuple_New(std::size(fields)));
    Py_ssize_t i = 0;
    for (const auto& [key, value] : fields) {
        check_status(PyDict_SetItem(record.get(), key, value));
        PyTuple_SET_ITEM(defaults.get(), i++, ref::new_ref(value).release());
    }
    return record;
}

namespace {

// `_resolve_kind(span)`; the module's own function is handed the copy of the
// attributes found current, which it would otherwise read again.
ref kind_of(const module_view& m, PyObject* span, copy_facts facts) {
    if (facts.current == nullptr || !facts.current->str_keys) return resolve_kind(m, span);
    return resolve_kind(m, span, facts);
}

}  // namespace

ref span_record(const module_view& m, PyObject* span, PyObject* attrs, copy_facts facts) {
    const auto& st = state_of(m);
    // The record's steps read `attrs` through the index while only the
    // module's own code has been handed it. The kind comes first: the copy
    // is current for the span only while no Python code has run since.
    const attribute_index* index = facts.index_of(attrs);
    ref kind = kind_of(m, span, {.index = index, .current = facts.current});

    ref start_time = span_field(st, span, span_property::start_time);
    ref start_ns = time_or_zero(start_time.get());
    ref end_time = span_field(st, span, span_property::end_time);
    ref end_ns = time_or_zero(end_time.get());
    ref duration = duration_ms(st, start_ns.get(), end_ns.get());

    ref span_name = span_field(st, span, span_property::name);
    const function_def* display_called = nullptr;
    ref record_name = build_display_name(m, span_name.get(), attrs, {.index = index, .current = nullptr},
                                         &display_called);
    // Other code handed the copy could keep it and change it later.
    if (display_called != &build_display_name_def) index = nullptr;

    // Only a str kind says here, without running code, that the summary follows.
    const bool llm_kind = PyUnicode_CheckExact(kind.get()) && same_text(kind.get(), st.llm.get());
    // `attrs` is the conversion's own copy (see span_record's declaration),
    // which only the module's own display name, keeping no reference, has seen.
    ref cleaned = cleaned_attributes(st, m.get<spanbridge_state>().cleaned_shape, attrs, index, llm_kind,
                                     display_called == &build_display_name_def);

    ref input_data = none();
    ref output_data = none();
    if (text_or_equals(kind.get(), st.tool.get())) {
        ref tool_input = indexed_get(st, index, attrs, attr_key::tavrix_tool_input);
        if (tool_input) {
            ref json = import_at_call(m, st.json.get());
            input_data = decode_json(st, json.get(), tool_input.get());
            // A tool without output decodes "{}": an empty dict.
            ref tool_output = indexed_get_or(st, index, attrs, attr_key::tavrix_tool_output,
                                             st.empty_json_object.get());
            output_data = decode_json(st, json.get(), tool_output.get());
        }
    }
    if (text_or_equals(kind.get(), st.llm.get())) add_llm_summary(st, attrs, index, cleaned.get());

    ref trace_id = st.empty.copy();
    ref span_id = st.empty.copy();
    ref span_context = span_field(st, span, span_property::context);
    if (truthy(span_context.get())) {
        ref trace = context_id(st, span_context.get(), true);
        trace_id = trace_hex(m.get<spanbridge_state>(), trace.get());
        ref own = context_id(st, span_context.get(), false);
        span_id = hex_id(st, own.get(), 16);
    }
    ref parent_id = st.empty.copy();
    ref parent = span_field(st, span, span_property::parent);
    if (truthy(parent.get())) {
        ref parent_span_id = context_id(st, parent.get(), false);
        if (truthy(parent_span_id.get())) parent_id = hex_id(st, parent_span_id.get(), 16);
    }

    ref status = st.ok.copy();
    ref span_status = span_field(st, span, span_property::status);
    if (truthy(span_status.get())) {
        ref code = status_code(st, span_status.get());
        if (truthy(code.get())) {
            auto& sites = m.get<spanbridge_state>();
            ref status_code = import_from(m, sites.status_code_import, sites.status_code_watch,
                                          st.opentelemetry_trace.get(), st.StatusCode.get(), 0);
            std::optional<bool> error = is_error_code(st, status_code.get(), code.get());
            if (!error) {
                ref error_code = get_attr(status_code.get(), st.ERROR.get());
                error = compares(code.get(), Py_EQ, error_code.get());
            }
            if (*error) status = st.error.copy();
        }
    }

    // A copy of the template has the keys in their order, room for them all
    // and the commonest values; only the others are set.
    ref record = check(PyDict_Copy(st.record_template.get()));
    const std::pair<PyObject*, PyObject*> fields[] = {
        {st.name.get(), record_name.get()},
        {st.kind.get(), kind.get()},
        {st.status.get(), status.get()},
        {st.duration_ms.get(), duration.get()},
        {st.attributes.get(), cleaned.get()},
        {st.input_data.get(), input_data.get()},
        {st.output_data.get(), output_data.get()},
        {st.otel_start_ns.get(), start_ns.get()},
        {st.otel_end_ns.get(), end_ns.get()},
        {st.otel_trace_id.get(), trace_id.get()},
        {st.otel_span_id.get(), span_id.get()},
        {st.otel_parent_id.get(), parent_id.get()},
        {st.from_processor.get(), Py_True},
    };
    PyObject* const defaults = st.record_defaults.get();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(defaults); ++i)
        if (fields[i].second != PyTuple_GET_ITEM(defaults, i))
            check_status(PyDict_SetItem(record.get(), fields[i].first, fields[i].second));
    return record;
}

namespace {

ref span_to_dict_impl(const module_view& m, PyObject* const* args) {
    const auto& st = state_of(m);
    PyObject* const span = args[0];
    attributes_copy made = copy_span_attributes(st, span);
    if (made.copy) [[likely]]
        return span_record(m, span, made.copy.get());
    ref attributes = get_attr(span, st.attributes.get());
    ref attrs = copy_attributes(attributes.get());
    attributes.reset();
    return span_record(m, span, attrs.get());
}

constexpr param span_param[] = {
    {.name = "span"},
};

}  // namespace

const function_def span_to_dict_def{
    .name = "_span_to_dict",
    .doc = "The span record of a finished span: a new dict with the keys name, kind,\n"
           "status, duration_ms, attributes, input_data, output_data, _otel_start_ns,\n"
           "_otel_end_ns, _otel_trace_id, _otel_span_id, _otel_parent_id and\n"
           "_from_processor, in that order.",
    .params = span_param,
    .returns = return_type::dict,
    .return_annotation = "dict",
    .impl = span_to_dict_impl,
};

ref span_to_dict(const module_view& m, PyObject* span) {
    return call_global(m, state_of(m).span_to_dict.get(), {span});
}

}  // namespace tavrix::spanbridge
