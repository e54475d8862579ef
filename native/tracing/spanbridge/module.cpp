// Module initialisation of tavrix_observe.tracing.spanbridge: the
// attributes in the order the SDK documents them, and the processor class
// in the variant the installed tracing SDK allows.
#include "spanbridge.hpp"

namespace tavrix::spanbridge {

namespace {

void exec(const module_view& m, spanbridge_state& st) {
    st.one_million = check(PyLong_FromLong(1000000));
    st.provider_names = build_provider_names();
    st.absent = check(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    st.record_template = build_record_template(st, st.record_defaults);
    st.database_short_names = build_database_short_names();
    st.cleaned_keys = check(PyDict_New());

    import_into(m, "logging");
    add_logger(m, "logger");

    // Without the tracing SDK the module still imports, with a processor that
    // does nothing; any other failure of that import is a real fault.
    ref span_processor;
    ref readable_span;
    try {
        span_processor = import_from(m, st.opentelemetry_sdk_trace.get(), st.SpanProcessor.get(), 0);
        readable_span = import_from(m, st.opentelemetry_sdk_trace.get(), st.ReadableSpan.get(), 0);
    } catch (const error_already_set&) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw;
        PyErr_Clear();
        span_processor.reset();
    }
    const bool has_otel = static_cast<bool>(span_processor);
    if (has_otel) {
        set_attr(m, st.SpanProcessor.get(), span_processor.get());
        set_attr(m, st.ReadableSpan.get(), readable_span.get());
    }
    set_attr(m, st.HAS_OTEL.get(), has_otel ? Py_True : Py_False);
    if (has_otel) capture_sdk_classes(st);

    ref otel_kind_map = build_otel_kind_map(st);
    set_attr(m, st.OTEL_KIND_MAP.get(), otel_kind_map.get());
    ref span_type_map = build_span_type_map();
    set_attr(m, st.SPAN_TYPE_MAP.get(), span_type_map.get());
    add_function(m, resolve_kind_def);
    add_function(m, build_display_name_def);

    st.own_excluded_url_patterns = build_excluded_url_patterns();
    set_attr(m, st.EXCLUDED_URL_PATTERNS.get(), st.own_excluded_url_patterns.get());
    st.own_noisy_infra_hosts = build_noisy_infra_hosts();
    set_attr(m, st.NOISY_INFRA_HOSTS.get(), st.own_noisy_infra_hosts.get());
    st.own_llm_provider_hosts = build_llm_provider_hosts();
    set_attr(m, st.LLM_PROVIDER_HOSTS.get(), st.own_llm_provider_hosts.get());
    build_url_searchers(st);
    add_function(m, is_tavrix_api_call_def);
    add_function(m, is_llm_provider_http_call_def);
    add_function(m, is_noisy_infra_call_def);

    ref frameworks = build_framework_providers();
    set_attr(m, st.FRAMEWORK_PROVIDERS.get(), frameworks.get());
    st.own_framework_providers = std::move(frameworks);
    ref prefixes = build_attr_prefix_integrations();
    set_attr(m, st.ATTR_PREFIX_INTEGRATIONS.get(), prefixes.get());
    add_function(m, display_name_def);
    add_function(m, derive_llm_provider_def);
    add_function(m, extract_integrations_from_attrs_def);

    add_function(m, redact_span_dict_def);

    ref drop_keys = build_otel_drop_keys();
    set_attr(m, st.OTEL_DROP_KEYS.get(), drop_keys.get());
    st.own_drop_keys = std::move(drop_keys);
    add_function(m, clean_attr_key_def);
    add_function(m, merge_otel_attrs_into_recorded_span_def);

    add_function(m, redact_dict_values_def);
    add_function(m, span_to_dict_def);

    ref processor;
    if (has_otel) {
        const auto& methods = processor_methods;
        processor = create_class(m, {
                                        .name = "TavrixSpanProcessor",
                                        .doc = "Captures completed OTel spans into the active TavrixContext._spans buffer.",
                                        .bases = {span_processor.get()},
                                        .methods = {methods[0], methods[1], methods[2], methods[3]},
                                    });
    } else {
        const auto& methods = noop_processor_methods;
        processor = create_class(m, {
                                        .name = "TavrixSpanProcessor",
                                        .doc = "No-op processor when OTel is not installed.",
                                        .methods = {methods[0], methods[1], methods[2], methods[3]},
                                    });
    }
    set_attr(m, "TavrixSpanProcessor", processor.get());
}

}  // namespace

}  // namespace tavrix::spanbridge

TAVRIX_MODULE(spanbridge,
              "Span capture: an OpenTelemetry span processor that records the finished spans\n"
              "of the active run into its run context.\n\n"
              "Every finished span of a run reports the integrations it reveals; spans the\n"
              "SDK starts itself are merged into its own tool entries; calls to the SDK's\n"
              "server, raw LLM provider calls and infrastructure noise are dropped; the rest\n"
              "become span records, redacted with the run's redaction function.",
              tavrix::spanbridge::spanbridge_state, tavrix::spanbridge::exec)
