// tavrix_observe.tracing.spanbridge: the OpenTelemetry span processor and
// the functions and tables it uses to turn finished spans into span
// records of the active run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "../../contract/run_context.hpp"
#include "../../support/code_guard.hpp"
#include "../../support/compat.hpp"
#include "../../support/errors.hpp"
#include "../../support/except.hpp"
#include "../../support/function.hpp"
#include "../../support/iterate.hpp"
#include "../../support/module.hpp"
#include "../../support/unpack.hpp"
#include "../../support/values.hpp"

namespace tavrix::spanbridge {

// Module attributes, looked up at every use so that rebinding one changes
// the next call.
#define TAVRIX_SPANBRIDGE_GLOBALS(S)                                              \
    S(HAS_OTEL, "_HAS_OTEL")                                                     \
    S(OTEL_KIND_MAP, "_OTEL_KIND_MAP")                                           \
    S(SPAN_TYPE_MAP, "_SPAN_TYPE_MAP")                                           \
    S(resolve_kind, "_resolve_kind")                                             \
    S(build_display_name, "_build_display_name")                                 \
    S(EXCLUDED_URL_PATTERNS, "_EXCLUDED_URL_PATTERNS")                           \
    S(NOISY_INFRA_HOSTS, "_NOISY_INFRA_HOSTS")                                   \
    S(LLM_PROVIDER_HOSTS, "_LLM_PROVIDER_HOSTS")                                 \
    S(is_tavrix_api_call, "_is_tavrix_api_call")                                 \
    S(is_llm_provider_http_call, "_is_llm_provider_http_call")                   \
    S(is_noisy_infra_call, "_is_noisy_infra_call")                               \
    S(FRAMEWORK_PROVIDERS, "_FRAMEWORK_PROVIDERS")                               \
    S(ATTR_PREFIX_INTEGRATIONS, "_ATTR_PREFIX_INTEGRATIONS")                     \
    S(display_name, "_display_name")                                             \
    S(derive_llm_provider, "_derive_llm_provider")                               \
    S(extract_integrations_from_attrs, "_extract_integrations_from_attrs")       \
    S(redact_span_dict, "_redact_span_dict")                                     \
    S(OTEL_DROP_KEYS, "_OTEL_DROP_KEYS")                                         \
    S(clean_attr_key, "_clean_attr_key")                                         \
    S(merge_otel_attrs_into_recorded_span, "_merge_otel_attrs_into_recorded_span") \
    S(redact_dict_values, "_redact_dict_values")                                 \
    S(span_to_dict, "_span_to_dict")

// Span attribute keys read from spans.
#define TAVRIX_SPANBRIDGE_ATTRIBUTE_KEYS(S)                              \
    S(tavrix_span_type, "tavrix.span_type")                              \
    S(tavrix_tool, "tavrix.tool")                                        \
    S(tavrix_tool_name, "tavrix.tool.name")                              \
    S(tavrix_tool_input, "tavrix.tool.input")                            \
    S(tavrix_tool_output, "tavrix.tool.output")                          \
    S(tavrix_llm_model, "tavrix.llm.model")                              \
    S(tavrix_llm_input_tokens, "tavrix.llm.input_tokens")                \
    S(tavrix_llm_output_tokens, "tavrix.llm.output_tokens")              \
    S(tavrix_llm_cost, "tavrix.llm.cost")                                \
    S(tavrix_framework, "tavrix.framework")                              \
    S(tavrix_retrieval_source, "tavrix.retrieval.source")                \
    S(tavrix_retrieval_collection, "tavrix.retrieval.collection")        \
    S(tavrix_embedding_model, "tavrix.embedding.model")                  \
    S(tavrix_guardrail_name, "tavrix.guardrail.name")                    \
    S(tavrix_moderation_flagged, "tavrix.moderation.flagged")            \
    S(tavrix_eval_framework, "tavrix.eval.framework")                    \
    S(tavrix_rerank_system, "tavrix.rerank.system")                      \
    S(gen_ai_system, "gen_ai.system")                                    \
    S(gen_ai_provider_name, "gen_ai.provider.name")                      \
    S(gen_ai_request_model, "gen_ai.request.model")                      \
    S(gen_ai_response_model, "gen_ai.response.model")                    \
    S(gen_ai_response_finish_reasons, "gen_ai.response.finish_reasons")  \
    S(gen_ai_usage_input_tokens, "gen_ai.usage.input_tokens")            \
    S(gen_ai_usage_output_tokens, "gen_ai.usage.output_tokens")          \
    S(http_request_method, "http.request.method")                        \
    S(http_method, "http.method")                                        \
    S(http_url, "http.url")                                              \
    S(http_target, "http.target")                                        \
    S(url_full, "url.full")                                              \
    S(server_address, "server.address")                                  \
    S(db_system, "db.system")                                            \
    S(db_statement, "db.statement")                                      \
    S(rpc_system, "rpc.system")                                          \
    S(rpc_service, "rpc.service")                                        \
    S(rpc_method, "rpc.method")                                          \
    S(messaging_system, "messaging.system")                              \
    S(messaging_destination_name, "messaging.destination.name")

// Keys of a span record (several double as span attribute names: `name`,
// `kind`, `status`, `attributes`) and of its LLM summary.
#define TAVRIX_SPANBRIDGE_RECORD_KEYS(S)        \
    S(name, "name")                             \
    S(kind, "kind")                             \
    S(status, "status")                         \
    S(duration_ms, "duration_ms")               \
    S(attributes, "attributes")                 \
    S(input_data, "input_data")                 \
    S(output_data, "output_data")               \
    S(otel_start_ns, "_otel_start_ns")         \
    S(otel_end_ns, "_otel_end_ns")             \
    S(otel_trace_id, "_otel_trace_id")         \
    S(otel_span_id, "_otel_span_id")           \
    S(otel_parent_id, "_otel_parent_id")       \
    S(from_processor, "_from_processor")       \
    S(model, "model")                           \
    S(tokens_in, "tokens_in")                   \
    S(tokens_out, "tokens_out")                 \
    S(total_tokens, "total_tokens")             \
    S(cost, "cost")                             \
    S(finish_reasons, "finish_reasons")         \
    S(response_model, "response_model")

#define TAVRIX_SPANBRIDGE_OTHER_STRINGS(S)              \
    /* span objects */                                  \
    S(start_time, "start_time")                         \
    S(end_time, "end_time")                             \
    S(context, "context")                               \
    S(parent, "parent")                                 \
    S(status_code, "status_code")                       \
    S(trace_id, "trace_id")                             \
    S(span_id, "span_id")                               \
    S(value, "value")                                   \
    /* modules and what is taken from them */           \
    S(opentelemetry_sdk_trace, "opentelemetry.sdk.trace") \
    S(SpanProcessor, "SpanProcessor")                   \
    S(ReadableSpan, "ReadableSpan")                     \
    S(opentelemetry_trace, "opentelemetry.trace")       \
    S(StatusCode, "StatusCode")                         \
    S(ERROR, "ERROR")                                   \
    S(json, "json")                                     \
    S(loads, "loads")                                   \
    S(re, "re")                                         \
    S(match, "match")                                   \
    S(group, "group")                                   \
    S(word_pattern, "(\\w+)")                           \
    S(urllib_parse, "urllib.parse")                     \
    S(urlparse, "urlparse")                             \
    S(hostname, "hostname")                             \
    /* methods */                                       \
    S(title, "title")                                   \
    S(strip, "strip")                                   \
    S(split, "split")                                   \
    S(append, "append")                                 \
    S(items, "items")                                   \
    /* values */                                        \
    S(empty, "")                                        \
    S(space, " ")                                       \
    S(underscore, "_")                                  \
    S(dot, ".")                                         \
    S(tavrix_prefix, "tavrix.")                         \
    S(gen_ai_prefix, "gen_ai.")                         \
    S(empty_json_object, "{}")                          \
    S(hex32, "032x")                                    \
    S(hex16, "016x")                                    \
    S(tool_call, "tool_call")                           \
    S(tool, "tool")                                     \
    S(llm, "llm")                                       \
    S(chain, "chain")                                   \
    S(ok, "ok")                                         \
    S(error, "error")                                   \
    S(framework, "framework")                           \
    S(retrieval, "retrieval")                           \
    S(embedding, "embedding")                           \
    S(safety, "safety")                                 \
    S(eval, "eval")                                     \
    S(reranking, "reranking")                           \
    S(openai_moderation, "OpenAI Moderation")

// What the reads of the tracing SDK's own classes use (sdk_spans.cpp).
#define TAVRIX_SPANBRIDGE_SDK_STRINGS(S)                    \
    S(private_attributes, "_attributes")                    \
    S(private_name, "_name")                                \
    S(private_kind, "_kind")                                \
    S(private_context, "_context")                          \
    S(private_parent, "_parent")                            \
    S(private_start_time, "_start_time")                    \
    S(private_end_time, "_end_time")                        \
    S(private_status, "_status")                            \
    S(private_status_code, "_status_code")                  \
    S(private_dict, "_dict")                                \
    S(private_immutable, "_immutable")                      \
    S(private_value, "_value_")                             \
    S(fget, "fget")                                         \
    S(keys, "keys")                                         \
    S(dunder_getitem, "__getitem__")                        \
    S(dunder_iter, "__iter__")                              \
    S(dunder_len, "__len__")                                \
    S(dunder_contains, "__contains__")                      \
    S(dunder_bool, "__bool__")                              \
    S(dunder_init, "__init__")                              \
    S(dunder_new, "__new__")                                \
    S(dunder_get, "__get__")                                \
    S(dunder_qualname, "__qualname__")                      \
    S(dunder_module, "__module__")                          \
    S(KeysView, "KeysView")

#define TAVRIX_SPANBRIDGE_STRINGS(S)      \
    TAVRIX_SPANBRIDGE_SDK_STRINGS(S)      \
    TAVRIX_RUN_CONTEXT_STRINGS(S)         \
    TAVRIX_SPANBRIDGE_GLOBALS(S)          \
    TAVRIX_SPANBRIDGE_ATTRIBUTE_KEYS(S)   \
    TAVRIX_SPANBRIDGE_RECORD_KEYS(S)      \
    TAVRIX_SPANBRIDGE_OTHER_STRINGS(S)

#define TAVRIX_SPANBRIDGE_OBJECTS(O) \
    O(one_million)                   \
    O(provider_names)                \
    O(absent)                        \
    O(record_template)               \
    O(record_defaults)               \
    O(database_short_names)          \
    O(cleaned_keys)                  \
    O(cleaned_shape)                 \
    O(context_import)                \
    O(own_drop_keys)                 \
    O(own_excluded_url_patterns)     \
    O(own_llm_provider_hosts)        \
    O(own_noisy_infra_hosts)         \
    O(own_url_searchers)             \
    O(own_framework_providers)       \
    O(status_code_import)            \
    O(last_trace_id)                 \
    O(last_trace_text)

struct attributes_copy;
// The automata of the module's own URL tables (http_filters.cpp).
struct url_searchers;

// The properties of a span the conversion reads, in the order in which the
// span classes' getters are captured.
enum class span_property : std::uint8_t { attributes, name, kind, context, parent, start_time, end_time, status };
inline constexpr std::size_t span_property_count = 8;

// A class whose instances a fast path reads directly, standing for what its
// Python code would do, with the guard of that code (support/code_guard.hpp).
struct guarded_class {
    PyTypeObject* type = nullptr;  // lent by the state's `guarded_code`
    code_guard guard;
};

// A span class: each property read has a guard of its own (the class and
// that property's getter), so that a read checks no more than it stands for.
struct guarded_span_class {
    PyTypeObject* type = nullptr;
    code_guard property[span_property_count];
};

// The tracing SDK's classes that span processors are handed, captured when
// the module is imported (when they are the SDK's own then).
struct sdk_classes {
    bool captured = false;
    guarded_span_class readable_span;  // what span processors receive
    guarded_span_class live_span;      // the span the tracer creates
    guarded_class attribute_mapping;   // the bounded mapping behind span.attributes
    guarded_class keys_view;           // what the mapping's keys() returns, with its metaclass
    guarded_class span_kind;           // with the descriptor behind its `value`
    guarded_class span_context;
    guarded_class status;
    guarded_class status_code;         // the enumeration of codes, with its metaclass
    PyObject* kind_value = nullptr;       // the `value` descriptor of enumerations
    PyObject* status_error = nullptr;     // StatusCode.ERROR, lent by the state's `guarded_code`
    PyObject* kind_value_getter = nullptr;
};

// The standard-library functions the display name calls, captured at their
// first use for the native paths that stand for them (span_names.cpp); the
// objects are lent by the state's `guarded_code`. Captured, checked and
// read only with the GIL held (support/code_guard.hpp).
struct text_functions {
    code_guard url_parser;               // urlparse(url).hostname and what it runs
    PyObject* url_unsafe = nullptr;      // the list of characters urlsplit removes
    PyObject* url_unsafe_items = nullptr;
    code_guard word_matcher;             // re.match and what it runs before the compiler
};

// The attribute keys the module reads, by name.
enum class attr_key : std::uint8_t {
#define TAVRIX_ATTR_KEY_ENUM(id, text) id,
    TAVRIX_SPANBRIDGE_ATTRIBUTE_KEYS(TAVRIX_ATTR_KEY_ENUM)
#undef TAVRIX_ATTR_KEY_ENUM
};
inline constexpr std::size_t attr_key_count = 0
#define TAVRIX_ATTR_KEY_COUNT(id, text) +1
    TAVRIX_SPANBRIDGE_ATTRIBUTE_KEYS(TAVRIX_ATTR_KEY_COUNT)
#undef TAVRIX_ATTR_KEY_COUNT
    ;

// The values a dict holds under the keys the module reads, found in one pass
// over it (attribute_index.cpp), for a dict the conversion made itself and
// hands to no code but the module's own, which keeps no reference to it:
// nothing can change it while the index stands for it. (The garbage
// collector's lists of objects would reach it; mutating the conversion's
// temporaries through them is not looked for.)
class attribute_index {
public:
    // The items it also keeps in order, for dicts of at most this many.
    static constexpr std::size_t most_items = 32;

    // Indexes `dict`; false, and nothing indexed, when one of its keys is
    // not an exact str (whose comparisons could run Python code).
    bool build(PyObject* dict) noexcept;
    // The dict indexed, or null.
    [[nodiscard]] PyObject* dict() const noexcept { return dict_; }
    // `dict.get(key)`, lent by the dict; null when absent.
    [[nodiscard]] PyObject* value(attr_key key) const noexcept { return values_[static_cast<std::size_t>(key)]; }
    // Whether a key begins with "tavrix.".
    [[nodiscard]] bool own_key() const noexcept { return own_key_; }
    // Whether a key begins with "gen_ai." or "tavrix." (a record cleans it).
    [[nodiscard]] bool cleaned_key() const noexcept { return cleaned_key_; }
    // Whether every value is of a built-in type whose truth, comparison and
    // text methods run no Python code (str, int, float, bool, None, a tuple).
    [[nodiscard]] bool plain() const noexcept { return plain_; }
    // The items in order, when there are at most `most_items` of them.
    [[nodiscard]] bool has_items() const noexcept { return size_ <= most_items; }
    [[nodiscard]] std::span<const std::pair<PyObject*, PyObject*>> items() const noexcept { return {items_, size_}; }

private:
    PyObject* dict_ = nullptr;
    PyObject* values_[attr_key_count] = {};
    std::pair<PyObject*, PyObject*> items_[most_items];
    std::size_t size_ = 0;
    bool own_key_ = false;
    bool cleaned_key_ = false;
    bool plain_ = false;
};

struct spanbridge_state : state_base {
    TAVRIX_MODULE_STATE(TAVRIX_SPANBRIDGE_STRINGS, TAVRIX_SPANBRIDGE_OBJECTS)
    // The automata of the module's own URL tables, lent by `own_url_searchers`.
    const url_searchers* url_search = nullptr;
    sdk_classes sdk;
    text_functions text;
    // The imports on every span: the context variable and StatusCode.
    watched_import context_watch;
    watched_import status_code_watch;
};

inline const spanbridge_state& state_of(const module_view& m) { return m.get<spanbridge_state>(); }

// --- helpers shared by the files of the module ---------------------------

// Whether `value` is of a built-in type the tracing SDK stores as an
// attribute value whose truth, comparison and text methods run no Python
// code: str, int, bool, None, float, a tuple (of those).
[[nodiscard]] inline bool plain_value(PyObject* value) noexcept {
    return PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyBool_Check(value) || value == Py_None ||
           PyFloat_CheckExact(value) || PyTuple_CheckExact(value);
}

// Whether `if value:` runs no Python code: a plain value, or a bytes, list
// or dict, whose truth is their length.
[[nodiscard]] inline bool truth_runs_no_code(PyObject* value) noexcept {
    return plain_value(value) || PyBytes_CheckExact(value) || PyList_CheckExact(value) || PyDict_CheckExact(value);
}

// `a == b` for exact strs, by their characters, as str's comparison
// compares them: equal strs have the same length and width (the narrowest
// that holds their characters).
[[nodiscard]] inline bool same_text(PyObject* a, PyObject* b) noexcept {
    if (a == b) return true;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    return length == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(length) * PyUnicode_KIND(a)) == 0;
}

// `a == b`, `a != b` (the comparison's result truth-tested): exact strs by
// their characters, anything else as Python compares it.
[[nodiscard]] inline bool text_or_equals(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) [[likely]]
        return same_text(a, b);
    return equals(a, b);
}
[[nodiscard]] inline bool text_or_differs(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) [[likely]]
        return !same_text(a, b);
    return differs(a, b);
}

// The state's interned string of `key`.
[[nodiscard]] inline PyObject* key_object(const spanbridge_state& st, attr_key key) noexcept {
    static constexpr ref spanbridge_state::*members[] = {
#define TAVRIX_ATTR_KEY_MEMBER(id, text) &spanbridge_state::id,
        TAVRIX_SPANBRIDGE_ATTRIBUTE_KEYS(TAVRIX_ATTR_KEY_MEMBER)
#undef TAVRIX_ATTR_KEY_MEMBER
    };
    return (st.*members[static_cast<std::size_t>(key)]).get();
}

// --- what one span's capture knows of its copy of the attributes ----------
//
// The processor copies a span's attributes once, indexes the copy
// (attribute_index, which lends the copy's values) and hands the copy from
// step to step. What it knows of the copy holds only as long as nothing
// could have changed what it stands for, so whether a step can run Python
// code is part of its declaration:
// - the index stands while the copy has been handed to no code but the
//   module's own, which keeps no reference to it: Python code running
//   meanwhile cannot reach it;
// - the copy stands for the span's current attributes (`current`, `quiet`)
//   only while no Python code at all has run since it was found current,
//   as such code could change the span's mapping.
// A step that takes `copy_facts` (by value) or `const span_capture&` neither
// hands the copy to other code nor, while it reads through them, runs
// Python code; where it calls out (a rebound module function) it stops
// using them first. A step that takes `span_capture&` (processor.cpp) can
// run Python code or hand the copy on, and tells the capture, which then
// gives up what no longer holds. The facts travel as arguments from
// record_span down to the module's own functions, whose typed
// implementations take them; a module attribute that holds anything else
// (another module instance's function included: each instance has a
// function type of its own, see definition_of) is called without them.
struct copy_facts {
    // The index of the copy that `attrs` is, or null: the copy is to be read
    // by lookups.
    const attribute_index* index = nullptr;
    // The copy, just found current for `span` (copy_still_current, or made
    // with nothing run since), with only str keys: the span's kind is read
    // from it instead of from the span's mapping; or null.
    const attributes_copy* current = nullptr;

    // The index when it is the index of `dict`.
    [[nodiscard]] const attribute_index* index_of(PyObject* dict) const noexcept {
        return index != nullptr && index->dict() == dict ? index : nullptr;
    }
};

// `dict.get(<key>)`, null when absent: from `index` when given (the index of
// `dict`), else looked up.
[[nodiscard]] inline ref indexed_get(const spanbridge_state& st, const attribute_index* index, PyObject* dict,
                                     attr_key key) {
    if (index != nullptr) {
        PyObject* const value = index->value(key);
        return value != nullptr ? ref::new_ref(value) : ref();
    }
    return compat::dict_get(dict, key_object(st, key));
}

// `dict.get(<key>, dflt)`
[[nodiscard]] inline ref indexed_get_or(const spanbridge_state& st, const attribute_index* index, PyObject* dict,
                                        attr_key key, PyObject* dflt) {
    ref value = indexed_get(st, index, dict, key);
    return value ? std::move(value) : ref::new_ref(dflt);
}

// `dict.get(k1) or dict.get(k2) or ... or dict.get(last, dflt)`.
[[nodiscard]] inline ref indexed_first_true(const spanbridge_state& st, const attribute_index* index, PyObject* dict,
                                            std::initializer_list<attr_key> keys, PyObject* dflt) {
    ref value;
    const attr_key* last = keys.end() - 1;
    for (const attr_key* key = keys.begin(); key != keys.end(); ++key) {
        value = indexed_get_or(st, index, dict, *key, key == last ? dflt : Py_None);
        if (key == last || truthy(value.get())) break;
    }
    return value;
}

// `attrs.get(k1) or attrs.get(k2) or ... or attrs.get(last, dflt)`.
[[nodiscard]] inline ref first_true(PyObject* dict, std::initializer_list<PyObject*> keys, PyObject* dflt) {
    ref value;
    const PyObject* const* last = keys.end() - 1;
    for (PyObject* const* key = keys.begin(); key != keys.end(); ++key) {
        value = key == last ? get_or(dict, *key, dflt) : get_or_none(dict, *key);
        if (key == last || truthy(value.get())) break;
    }
    return value;
}

// format(value, "016x") / format(value, "032x"): `width` is 16 or 32
// (span_ids.cpp).
[[nodiscard]] ref hex_id(const spanbridge_state& st, PyObject* value, int width);
// hex_id(st, trace_id, 32), kept for the last exact int of a trace id.
[[nodiscard]] ref trace_hex(spanbridge_state& st, PyObject* trace_id);

// Whether the exact str `key` begins with "gen_ai." or "tavrix." (tool_merge.cpp).
[[nodiscard]] bool has_cleaned_prefix(PyObject* key) noexcept;

// An attribute key without its first dotted segment when it begins with
// "gen_ai." or "tavrix."; other keys unchanged. The body of
// `_clean_attr_key`, which `_span_to_dict` inlines (tool_merge.cpp).
[[nodiscard]] ref cleaned_key(const spanbridge_state& st, PyObject* key);

// --- the tracing SDK's own span objects, read directly (sdk_spans.cpp) ----
//
// Each read gives what the Python-level read would: directly while the
// SDK's classes involved are as captured at import, through the Python-level
// protocol otherwise.

// Captures the SDK's classes as they are now, when they are the SDK's own.
void capture_sdk_classes(spanbridge_state& st);

// An attribute a class must have as its module defines it. A Python
// function (or the getter of a property) is checked by its qualified name
// and module, so that a class patched before the capture is not taken for
// the original; a qualified name "*" takes whatever object the class has; a
// null one means the class must not have the attribute.
struct expected_attribute {
    const char* name;
    const char* qualname;
    const char* module;
    // The `def` whose code the fast path stands for, when the attribute is
    // a Python function (or its getter) that changes between releases.
    const char* source = nullptr;
};

// What a class was found to be at its capture: `ok` when its attributes are
// as expected (and, with `generic_getattr`, its instances are read by the
// generic attribute lookup); the names, and the Python functions among them
// in the order of the attributes.
struct class_found {
    bool ok = false;
    std::vector<PyObject*> names;  // lent by `keep`
    std::vector<ref> functions;
    std::vector<bool> stale;  // per function: its code is not the code its read was written for
    ref keep;
};
[[nodiscard]] class_found expect_class(const spanbridge_state& st, PyObject* type,
                                       std::initializer_list<expected_attribute> attributes, bool generic_getattr);

// Adds the class and every function found to `capture`.
void add_found(code_guard_capture& capture, PyObject* type, const class_found& found);

// `span.<property>`, for any property but `attributes`.
[[nodiscard]] ref span_field(const spanbridge_state& st, PyObject* span, span_property property);

// `dict(span.attributes)` for a span whose attributes are true, `{}` for one
// whose are false, made from the dict behind the SDK's mapping; `copy` is
// empty when the span does not qualify. Remembers what it was made from.
struct attributes_copy {
    ref copy;
    ref mapping;            // the span's `_attributes`
    ref source;             // the mapping's dict
    bool str_keys = false;  // every key an exact str, as last seen current
    // Every key an exact str and every value of a built-in type whose truth,
    // comparison and text methods run no Python code (str, int, float, bool,
    // None, a tuple): then reading the copy runs none either.
    bool plain = false;
};
// With `index`, the copy is indexed into it (plain as the index finds it).
[[nodiscard]] attributes_copy copy_span_attributes(const spanbridge_state& st, PyObject* span,
                                                   attribute_index* index = nullptr);

// Whether a copy made now would hold the same keys and values in the same
// order as `made`, which has not been changed since: then `made` can stand
// for it.
[[nodiscard]] bool copy_still_current(const spanbridge_state& st, PyObject* span, attributes_copy& made);

// `span.attributes` as read once and then asked several times for a key.
class span_attribute_reader {
public:
    // False when the span does not qualify; then read `span.attributes`.
    [[nodiscard]] bool open(const spanbridge_state& st, PyObject* span);
    // Opens on a copy just found current (copy_still_current), with only
    // str keys, while no Python code has run since; reads through `index`
    // (the copy's, or null) until Python code may have run.
    void assume(const spanbridge_state& st, const attributes_copy& made, const attribute_index* index);
    // `attributes.get(key, dflt)`, `attributes.get(key)` for a null `dflt`.
    [[nodiscard]] ref get(PyObject* key, PyObject* dflt);
    // The same for one of the module's keys, from the copy's index while it stands.
    [[nodiscard]] ref get(attr_key key, PyObject* dflt);
    // Python code may have run since the last read (a value's truth test,
    // a foreign table): the next read looks at the mapping afresh.
    void may_have_changed();

private:
    const spanbridge_state* st_ = nullptr;
    ref mapping_;
    ref dict_;  // the mapping's dict, as last found unchanged
    const attribute_index* index_ = nullptr;  // of `dict_`, when it is the processor's indexed copy
    bool empty_ = false;
};

// `kind.value` when the kind has a `value`, else `kind`.
[[nodiscard]] ref kind_value(const spanbridge_state& st, PyObject* kind);

// `context.trace_id` (`trace`) or `context.span_id`; with `optional`, an
// empty ref where the attribute is missing.
[[nodiscard]] ref context_id(const spanbridge_state& st, PyObject* context, bool trace, bool optional = false);

// `status.status_code`
[[nodiscard]] ref status_code(const spanbridge_state& st, PyObject* status);

// `code == codes.ERROR`, where `codes` is what the module imports as
// StatusCode, when that is the SDK's enumeration as captured and `code` one
// of its members; nothing otherwise. Runs no Python code.
[[nodiscard]] std::optional<bool> is_error_code(const spanbridge_state& st, PyObject* codes, PyObject* code);

// A span attribute that leaves the process, as the run's redaction function
// makes it: a str through the function, an exact list or tuple as a new one
// of the same type with its str items redacted, anything else as it is
// (redaction.cpp).
[[nodiscard]] ref redacted_attribute(PyObject* redact_fn, PyObject* value);

// --- the module's tables (built at import, in table order) -------------

[[nodiscard]] ref build_otel_kind_map(const spanbridge_state& st);
[[nodiscard]] ref build_span_type_map();
[[nodiscard]] ref build_excluded_url_patterns();
[[nodiscard]] ref build_noisy_infra_hosts();
[[nodiscard]] ref build_llm_provider_hosts();
// The automata searching a URL for the three tables' entries at once; an
// ImportError when they outgrow the literal search.
void build_url_searchers(spanbridge_state& st);
[[nodiscard]] ref build_framework_providers();
[[nodiscard]] ref build_attr_prefix_integrations();
[[nodiscard]] ref build_otel_drop_keys();
// The provider names `_derive_llm_provider` returns, interned once.
[[nodiscard]] ref build_provider_names();
// A span record's keys in their order with the values records have most
// often (`defaults`, in the same order), for records to be copied from.
[[nodiscard]] ref build_record_template(const spanbridge_state& st, ref& defaults);
// The database short names of display names, in table order.
[[nodiscard]] ref build_database_short_names();

// --- the module's functions, in namespace order ---------------------------
//
// Each is declared by `<name>_def`, and called by the others through its
// typed wrapper `<name>(m, ...)`, which calls whatever the module attribute
// `_<name>` holds (see call_global; `called` tells what ran).

// span_names.cpp
extern const function_def resolve_kind_def;
[[nodiscard]] ref resolve_kind(const module_view& m, PyObject* span);
// The same, the module's own function handed `facts` (`current` set, with
// str keys): it reads the kind from that copy, running no Python code
// before it has read it.
[[nodiscard]] ref resolve_kind(const module_view& m, PyObject* span, copy_facts facts);
extern const function_def build_display_name_def;
[[nodiscard]] ref build_display_name(const module_view& m, PyObject* span_name, PyObject* attrs,
                                     const function_def** called = nullptr);
// The same, the module's own function handed `facts` of `attrs`: it runs no
// Python code but where the standard library it stands for was replaced.
[[nodiscard]] ref build_display_name(const module_view& m, PyObject* span_name, PyObject* attrs, copy_facts facts,
                                     const function_def** called);

// http_filters.cpp: the truth of the answer, as `if _is_...(attrs):` tests it
extern const function_def is_tavrix_api_call_def;
[[nodiscard]] bool is_tavrix_api_call(const module_view& m, PyObject* attrs, const function_def** called = nullptr);
extern const function_def is_llm_provider_http_call_def;
[[nodiscard]] bool is_llm_provider_http_call(const module_view& m, PyObject* attrs, const function_def** called = nullptr);
extern const function_def is_noisy_infra_call_def;
[[nodiscard]] bool is_noisy_infra_call(const module_view& m, PyObject* attrs, const function_def** called = nullptr);
// The three filters asked in their order at once, for `attrs` whose keys and
// values run no Python code and which nothing but the module's own code can
// change: whether one of them drops the span, while the three module
// attributes hold the module's own functions and the URL is ASCII text;
// nothing when the case is left to the three calls.
// Runs no Python code.
[[nodiscard]] std::optional<bool> own_filters_drop(const module_view& m, PyObject* attrs, copy_facts facts);

// span_names.cpp
extern const function_def display_name_def;
[[nodiscard]] ref display_name(const module_view& m, PyObject* raw, const function_def** called = nullptr);

// http_filters.cpp
extern const function_def derive_llm_provider_def;
[[nodiscard]] ref derive_llm_provider(const module_view& m, PyObject* model_name,
                                      const function_def** called = nullptr);

// integrations.cpp
extern const function_def extract_integrations_from_attrs_def;
[[nodiscard]] ref extract_integrations_from_attrs(const module_view& m, PyObject* attrs,
                                                  const function_def** called = nullptr);
// `for name, category in _extract_integrations_from_attrs(attrs): visit(name,
// category)`; the module's own function hands its pairs over without a list.
// Tells whether it was the module's own.
using integration_visitor = std::function<void(PyObject*, PyObject*)>;
// `quiet`, when given, tells whether no Python code can have run: the
// module's own function found nothing, reading only exact types.
// The module's own function reads `attrs` through `facts` until it may have
// run Python code.
bool each_integration(const module_view& m, PyObject* attrs, copy_facts facts, const integration_visitor& visit,
                      bool* quiet);

// redaction.cpp
extern const function_def redact_span_dict_def;
void redact_span_dict(const module_view& m, PyObject* span_dict, PyObject* redact_fn);

// tool_merge.cpp
extern const function_def clean_attr_key_def;
[[nodiscard]] ref clean_attr_key(const module_view& m, PyObject* k);
extern const function_def merge_otel_attrs_into_recorded_span_def;
void merge_otel_attrs_into_recorded_span(const module_view& m, PyObject* ctx, PyObject* span, PyObject* attrs);

// redaction.cpp
extern const function_def redact_dict_values_def;
[[nodiscard]] ref redact_dict_values(const module_view& m, PyObject* d, PyObject* redact_fn);

// span_record.cpp
extern const function_def span_to_dict_def;
[[nodiscard]] ref span_to_dict(const module_view& m, PyObject* span);
// What the module's own `_span_to_dict` makes of `span` whose attributes it
// has copied into `attrs` (a new dict the record takes its items from, or
// takes as its own: the caller lets it go and nothing else holds it);
// `facts` are what the processor knows of that copy. Its steps read the copy
// through the index up to the display name, whose own function keeps it;
// anything else bound there is handed the copy and may keep it.
[[nodiscard]] ref span_record(const module_view& m, PyObject* span, PyObject* attrs, copy_facts facts = {});

// The processor's methods: the full variant, then the no-op variant.
extern const function_def* const processor_methods[4];
extern const function_def* const noop_processor_methods[4];

}  // namespace tavrix::spanbridge
