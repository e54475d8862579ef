// tavrix_observe.tracing.spanbridge: the OpenTelemetry span processor and
// the functions and tables it uses to turn finished spans into span
// records of the active run.
#pragma once

#include <initializer_list>

#include "../../contract/run_context.hpp"
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

#define TAVRIX_SPANBRIDGE_STRINGS(S)      \
    TAVRIX_RUN_CONTEXT_STRINGS(S)         \
    TAVRIX_SPANBRIDGE_GLOBALS(S)          \
    TAVRIX_SPANBRIDGE_ATTRIBUTE_KEYS(S)   \
    TAVRIX_SPANBRIDGE_RECORD_KEYS(S)      \
    TAVRIX_SPANBRIDGE_OTHER_STRINGS(S)

#define TAVRIX_SPANBRIDGE_OBJECTS(O) \
    O(one_million)                   \
    O(sixty_four)                    \
    O(provider_names)

struct spanbridge_state : state_base {
    TAVRIX_MODULE_STATE(TAVRIX_SPANBRIDGE_STRINGS, TAVRIX_SPANBRIDGE_OBJECTS)
};

inline const spanbridge_state& state_of(const module_view& m) { return m.get<spanbridge_state>(); }

// --- helpers shared by the files of the module ---------------------------

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

// An attribute key without its first dotted segment when it begins with
// "gen_ai." or "tavrix."; other keys unchanged. The body of
// `_clean_attr_key`, which `_span_to_dict` inlines (tool_merge.cpp).
[[nodiscard]] ref cleaned_key(const spanbridge_state& st, PyObject* key);

// --- the module's tables (built at import, in table order) -------------

[[nodiscard]] ref build_otel_kind_map(const spanbridge_state& st);
[[nodiscard]] ref build_span_type_map();
[[nodiscard]] ref build_excluded_url_patterns();
[[nodiscard]] ref build_noisy_infra_hosts();
[[nodiscard]] ref build_llm_provider_hosts();
[[nodiscard]] ref build_framework_providers();
[[nodiscard]] ref build_attr_prefix_integrations();
[[nodiscard]] ref build_otel_drop_keys();
// The provider names `_derive_llm_provider` returns, interned once.
[[nodiscard]] ref build_provider_names();

// --- the module's functions, in namespace order ---------------------------
//
// Each is declared by `<name>_def`, and called by the others through its
// typed wrapper `<name>(m, ...)`, which calls whatever the module attribute
// `_<name>` holds (see call_global).

// span_names.cpp
extern const function_def resolve_kind_def;
[[nodiscard]] ref resolve_kind(const module_view& m, PyObject* span);
extern const function_def build_display_name_def;
[[nodiscard]] ref build_display_name(const module_view& m, PyObject* span_name, PyObject* attrs);

// http_filters.cpp: the truth of the answer, as `if _is_...(attrs):` tests it
extern const function_def is_tavrix_api_call_def;
[[nodiscard]] bool is_tavrix_api_call(const module_view& m, PyObject* attrs);
extern const function_def is_llm_provider_http_call_def;
[[nodiscard]] bool is_llm_provider_http_call(const module_view& m, PyObject* attrs);
extern const function_def is_noisy_infra_call_def;
[[nodiscard]] bool is_noisy_infra_call(const module_view& m, PyObject* attrs);

// span_names.cpp
extern const function_def display_name_def;
[[nodiscard]] ref display_name(const module_view& m, PyObject* raw);

// http_filters.cpp
extern const function_def derive_llm_provider_def;
[[nodiscard]] ref derive_llm_provider(const module_view& m, PyObject* model_name);

// integrations.cpp
extern const function_def extract_integrations_from_attrs_def;
[[nodiscard]] ref extract_integrations_from_attrs(const module_view& m, PyObject* attrs);

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

// The processor's methods: the full variant, then the no-op variant.
extern const function_def* const processor_methods[4];
extern const function_def* const noop_processor_methods[4];

}  // namespace tavrix::spanbridge
