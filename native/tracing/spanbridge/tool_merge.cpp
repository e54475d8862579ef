// Tool spans that the SDK starts itself: their attributes are merged into
// the tool entry the SDK has already recorded on the run context, so the
// entry shows everything the instrumentation set on the span.
#include <cstring>
#include <string>

#include "spanbridge.hpp"

namespace tavrix::spanbridge {

namespace {

// Keys that only mark or identify the span.
constexpr const char* drop_keys[] = {
    "tavrix.span_type", "openinference.span.kind", "tavrix.tool", "tavrix.tool.name", "tavrix.tool.type",
};

// `key in _OTEL_DROP_KEYS` for an exact str and the module's own frozenset
// of exact strs: equal text, found without hashing.
bool is_own_drop_key(PyObject* key) noexcept {
    if (PyUnicode_KIND(key) != PyUnicode_1BYTE_KIND) return false;  // the keys are ASCII
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(key));
    const Py_UCS1* text = PyUnicode_1BYTE_DATA(key);
    for (const char* drop : drop_keys)
        if (std::char_traits<char>::length(drop) == length && std::memcmp(text, drop, length) == 0) return true;
    return false;
}

}  // namespace

ref build_otel_drop_keys() {
    ref set = check(PyFrozenSet_New(nullptr));
    for (const char* key : drop_keys) check_status(PySet_Add(set.get(), intern(key).get()));
    return set;
}

bool has_cleaned_prefix(PyObject* key) noexcept {
    if (PyUnicode_KIND(key) == PyUnicode_1BYTE_KIND) [[likely]] {
        if (PyUnicode_GET_LENGTH(key) < 7) return false;
        const Py_UCS1* text = PyUnicode_1BYTE_DATA(key);
        const auto begins = [text](const char (&prefix)[8]) {
            for (int i = 0; i < 7; ++i)
                if (text[i] != static_cast<Py_UCS1>(prefix[i])) return false;
            return true;
        };
        return begins("tavrix.") || begins("gen_ai.");
    }
    return starts_with_ascii(key, "gen_ai.") || starts_with_ascii(key, "tavrix.");
}

ref cleaned_key(const spanbridge_state& st, PyObject* key) {
    if (PyUnicode_CheckExact(key)) [[likely]] {
        if (!has_cleaned_prefix(key)) return ref::new_ref(key);
        // The SDK's keys recur span after span: their cleaned forms are kept
        // (a bounded number of them; str keys only, so a lookup runs no
        // Python code).
        PyObject* const known = st.cleaned_keys.get();
        if (ref cleaned = compat::dict_get(known, key)) return cleaned;
        const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
        const Py_ssize_t dot = PyUnicode_FindChar(key, '.', 0, length, 1);
        if (dot == -2) throw_error();
        ref cleaned = check(PyUnicode_Substring(key, dot + 1, length));
        constexpr Py_ssize_t most_kept = 1024;
        if (PyDict_GET_SIZE(known) >= most_kept) PyDict_Clear(known);
        check_status(PyDict_SetItem(known, key, cleaned.get()));
        return cleaned;
    }
    // A str subclass (or anything else) answers with its own methods:
    // (k.startswith("gen_ai.") or k.startswith("tavrix.")) and "." in k.
    if (!starts_with(st, key, st.gen_ai_prefix.get()) && !starts_with(st, key, st.tavrix_prefix.get()))
        return ref::new_ref(key);
    if (!contains(key, st.dot.get())) return ref::new_ref(key);
    ref one = check(PyLong_FromLong(1));
    PyObject* args[] = {key, st.dot.get(), one.get()};
    ref parts = check(PyObject_VectorcallMethod(st.split.get(), args, 3, nullptr));
    return check(PySequence_GetItem(parts.get(), 1));
}

namespace {

ref clean_attr_key_impl(const module_view& m, PyObject* const* args) { return cleaned_key(state_of(m), args[0]); }

// Copies the span's attributes into the matched entry; keys the entry
// already has keep the entry's value. With a redaction function, what is
// copied is redacted first, as a record's attributes are.
void merge_into_entry(const module_view& m, PyObject* entry, PyObject* span, PyObject* attrs, PyObject* redact_fn) {
    const auto& st = state_of(m);
    ref existing = mapping_get(st, entry, st.attributes.get(), nullptr);
    if (!PyDict_Check(existing.get())) existing = check(PyDict_New());
    // The loop body names `_OTEL_DROP_KEYS` and `_clean_attr_key`, so they
    // are looked up for every key, unless the body ran no Python code since
    // the last lookup, which then cannot have changed: the module's own
    // table and function on str keys, no redaction, and an entry dict with
    // str keys only, whose lookups and stores run no key's __eq__.
    bool pure = redact_fn == nullptr && PyDict_CheckExact(existing.get()) && str_keys_only(existing.get());
    PyObject* const function_type = base_of(m).function_type.get();
    ref drop_keys, cleaner;
    for_each_item(attrs, [&](PyObject* key, PyObject* value) {
        if (!pure || !drop_keys) {
            drop_keys = global(m, st.OTEL_DROP_KEYS.get());
            cleaner = global(m, st.clean_attr_key.get());
        }
        const bool own_cleaner = definition_of(function_type, cleaner.get()) == &clean_attr_key_def;
        // Once Python code may have run, every later key looks them up again.
        pure = pure && own_cleaner && drop_keys.get() == st.own_drop_keys.get() && PyUnicode_CheckExact(key);
        const bool dropped = drop_keys.get() == st.own_drop_keys.get() && PyUnicode_CheckExact(key)
                                 ? is_own_drop_key(key)
                                 : contains(drop_keys.get(), key);
        if (dropped) return;
        // The module's own function runs here as a call would run it: a leaf,
        // given a str (or refusing anything else with the call's error).
        ref clean = own_cleaner ? cleaned_key(st, exact_arg(key, &PyUnicode_Type, "k"))
                                : call(function_type, cleaner.get(), {key});
        if (pure) {
            // `if clean not in existing: existing[clean] = value` in one lookup
            // (the entry's str keys compare without Python code; no redaction).
            if (PyDict_SetDefault(existing.get(), clean.get(), value) == nullptr) throw_error();
            return;
        }
        if (contains(existing.get(), clean.get())) return;
        ref copied = redact_fn != nullptr ? redacted_attribute(redact_fn, value) : ref::new_ref(value);
        check_status(PyObject_SetItem(existing.get(), clean.get(), copied.get()));
    });
    check_status(PyObject_SetItem(entry, st.attributes.get(), existing.get()));
    // The span id is a bonus: failing to read it leaves the merge in place.
    swallow_exceptions([&] {
        ref span_context = span_field(st, span, span_property::context);
        if (!truthy(span_context.get())) return;
        ref span_id = context_id(st, span_context.get(), false, true);
        if (!span_id || !truthy(span_id.get())) return;
        ref hex = hex_id(st, span_id.get(), 16);
        check_status(PyObject_SetItem(entry, st.otel_span_id.get(), hex.get()));
    });
}

ref merge_otel_attrs_into_recorded_span_impl(const module_view& m, PyObject* const* args) {
    const auto& st = state_of(m);
    PyObject* const ctx = args[0];
    PyObject* const span = args[1];
    PyObject* const attrs = args[2];

    ref span_type = get_or_none(attrs, st.tavrix_span_type.get());
    if (text_or_differs(span_type.get(), st.tool_call.get())) return none();
    // The span's own name carries an operation prefix; the tool attribute is
    // the name the entry was recorded under.
    ref target_name = get_or_none(attrs, st.tavrix_tool.get());
    if (!truthy(target_name.get())) return none();

    swallow_exceptions([&] {
        ref spans = compat::optional_attr(ctx, st.spans.get());
        // The entry leaves the process as a record does: what is copied into
        // it passes through the run's redaction function, when it has one.
        ref redact_fn = compat::optional_attr(ctx, st.content_redact_fn.get());
        PyObject* const redacting = redact_fn && truthy(redact_fn.get()) ? redact_fn.get() : nullptr;
        if (!spans || !truthy(spans.get())) return;
        // The most recent match is the tool call whose span is ending now.
        auto matches = [&](PyObject* entry) {
            ref kind = mapping_get(st, entry, st.kind.get(), nullptr);
            if (text_or_differs(kind.get(), st.tool.get())) return false;
            ref name = mapping_get(st, entry, st.name.get(), nullptr);
            if (text_or_differs(name.get(), target_name.get())) return false;
            merge_into_entry(m, entry, span, attrs, redacting);
            return true;
        };
        if (PyList_CheckExact(spans.get())) [[likely]] {
            // reversed(list): stops early when the list shrinks below the index.
            PyObject* const list = spans.get();
            for (Py_ssize_t i = PyList_GET_SIZE(list) - 1; i >= 0 && i < PyList_GET_SIZE(list); --i) {
                ref entry = ref::new_ref(PyList_GET_ITEM(list, i));
                if (matches(entry.get())) return;
            }
            return;
        }
        ref reversed = check(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyReversed_Type), spans.get()));
        any_of(reversed.get(), matches);
    });
    return none();
}

constexpr param clean_attr_key_params[] = {
    {.name = "k", .type = arg_type::str, .annotation = "str"},
};

constexpr param merge_otel_attrs_into_recorded_span_params[] = {
    {.name = "ctx"},
    {.name = "span"},
    {.name = "attrs", .type = arg_type::dict, .annotation = "dict"},
};

}  // namespace

const function_def clean_attr_key_def{
    .name = "_clean_attr_key",
    .doc = "An attribute key without its leading \"gen_ai.\" or \"tavrix.\" segment\n"
           "(\"tavrix.tool.input\" -> \"tool.input\"); other keys unchanged.",
    .params = clean_attr_key_params,
    .returns = return_type::str,
    .return_annotation = "str",
    .impl = clean_attr_key_impl,
    .leaf = true,
};

ref clean_attr_key(const module_view& m, PyObject* k) {
    return call_global(m, state_of(m).clean_attr_key.get(), {k});
}

const function_def merge_otel_attrs_into_recorded_span_def{
    .name = "_merge_otel_attrs_into_recorded_span",
    .doc = "Merges the attributes of an ending tool span into the tool entry the SDK\n"
           "recorded for it: the most recent entry of ctx._spans of kind \"tool\" named\n"
           "like the span's \"tavrix.tool\" attribute. Keys are cleaned, the marker keys\n"
           "of _OTEL_DROP_KEYS are left out, and keys the entry already has keep the\n"
           "entry's value. When the run has a redaction function (ctx._content_redact_fn),\n"
           "each value copied is redacted as a record's attribute is: a str through it, a\n"
           "list or tuple as a new one with its str items redacted. Spans of other types\n"
           "are ignored.",
    .params = merge_otel_attrs_into_recorded_span_params,
    .return_annotation = "None",
    .impl = merge_otel_attrs_into_recorded_span_impl,
};

void merge_otel_attrs_into_recorded_span(const module_view& m, PyObject* ctx, PyObject* span, PyObject* attrs) {
    ref ignored = call_global(m, state_of(m).merge_otel_attrs_into_recorded_span.get(), {ctx, span, attrs});
}

}  // namespace tavrix::spanbridge
