// TavrixSpanProcessor: the end-of-span flow that records every finished
// span of the active run, and the no-op methods of the variant used when
// the tracing SDK is not installed.
#include "spanbridge.hpp"

namespace tavrix::spanbridge {

namespace {

// `span` comes after `self`, which every method ignores: the processor
// keeps no state of its own.
constexpr int span_arg = 1;

void append_record(const spanbridge_state& st, PyObject* ctx, PyObject* record) {
    ref buffer = get_attr(ctx, st.otel_spans.get());
    if (PyList_CheckExact(buffer.get())) [[likely]] {
        append(buffer.get(), record);
        return;
    }
    ref done = call_method(buffer.get(), st.append.get(), record);
}

// The span's attributes as a dict. The tracing SDK hands processors a
// read-only mapping; the helper functions take exact dicts, so anything
// else is copied once here.
ref span_attributes(const spanbridge_state& st, PyObject* span) {
    ref attrs = get_attr(span, st.attributes.get());
    if (!truthy(attrs.get())) return check(PyDict_New());
    if (PyDict_CheckExact(attrs.get())) [[likely]]
        return attrs;
    return dict_of(attrs.get());
}

// Whether the module attribute `name` holds the module's own function `def`.
bool holds_own(const module_view& m, PyObject* name, const function_def& def) {
    ref function = global(m, name);
    return definition_of(base_of(m).function_type.get(), function.get()) == &def;
}

void record_span(const module_view& m, PyObject* span) {
    const auto& st = state_of(m);
    ref variable = contract::import_context_variable_often(m, st);
    ref ctx = contract::active_context(variable.get(), st);
    if (ctx.get() == Py_None) return;
    ref run_id = get_attr(ctx.get(), st.run_id.get());
    if (!truthy(run_id.get())) return;

    // The SDK's own spans are copied straight from the dict behind their
    // attributes, and that one copy can serve the conversion too (below).
    attributes_copy made = copy_span_attributes(st, span);
    ref attrs = made.copy ? made.copy.copy() : span_attributes(st, span);
    // Whether only the module's own functions, which keep no reference to
    // it, have seen the copy.
    bool private_copy = static_cast<bool>(made.copy);
    const function_def* called = nullptr;
    auto seen_by = [&](const function_def& own) { private_copy = private_copy && called == &own; };

    // Every span of a run reports its integrations, whatever happens next.
    const bool own_extraction = each_integration(m, attrs.get(), [&](PyObject* name, PyObject* category) {
        contract::record_integration(ctx.get(), st, name, category);
    });
    private_copy = private_copy && own_extraction;

    // The SDK's own spans are recorded by the SDK; tool spans enrich its entry.
    ref span_type = get_or_none(attrs.get(), st.tavrix_span_type.get());
    if (truthy(span_type.get())) {
        merge_otel_attrs_into_recorded_span(m, ctx.get(), span, attrs.get());
        return;
    }

    // Calls to the SDK's server, raw provider calls and infrastructure noise.
    if (is_tavrix_api_call(m, attrs.get(), &called)) return;
    seen_by(is_tavrix_api_call_def);
    if (is_llm_provider_http_call(m, attrs.get(), &called)) return;
    seen_by(is_llm_provider_http_call_def);
    if (is_noisy_infra_call(m, attrs.get(), &called)) return;
    seen_by(is_noisy_infra_call_def);

    // `_span_to_dict(span)` would copy the attributes again: while it is the
    // module's own function and the copy is still what a new copy would be,
    // the conversion takes this one.
    ref record = private_copy && holds_own(m, st.span_to_dict.get(), span_to_dict_def) &&
                         copy_still_current(st, span, made)
                     ? span_record(m, span, attrs.get(), &made)
                     : span_to_dict(m, span);
    // Read twice, as `if ctx._content_redact_fn: _redact_span_dict(record, ctx._content_redact_fn)` does.
    ref redact_fn = get_attr(ctx.get(), st.content_redact_fn.get());
    if (truthy(redact_fn.get())) {
        redact_fn = get_attr(ctx.get(), st.content_redact_fn.get());
        redact_span_dict(m, record.get(), redact_fn.get());
    }
    // Only a converted and redacted record reaches the buffer.
    append_record(st, ctx.get(), record.get());
}

ref on_end_impl(const module_view& m, PyObject* const* args) {
    // Observation never disturbs the application: nothing but
    // KeyboardInterrupt and SystemExit reaches the tracing SDK.
    swallow_exceptions([&] { record_span(m, args[span_arg]); });
    return none();
}

ref nothing(const module_view&, PyObject* const*) { return none(); }

ref flushed(const module_view&, PyObject* const*) { return boolean(true); }

// --- the full variant ------------------------------------------------------

constexpr param on_start_params[] = {
    {.name = "self"},
    {.name = "span", .annotation = "'ReadableSpan'"},
    {.name = "parent_context", .dflt = default_none},
};
constexpr param on_end_params[] = {
    {.name = "self"},
    {.name = "span", .annotation = "'ReadableSpan'"},
};
constexpr param shutdown_params[] = {
    {.name = "self"},
};
constexpr param force_flush_params[] = {
    {.name = "self"},
    {.name = "timeout_millis", .type = arg_type::integer, .dflt = default_int(30000), .annotation = "int"},
};

const function_def on_start_def{
    .name = "on_start",
    .qualname = "TavrixSpanProcessor.on_start",
    .doc = "Nothing to do when a span starts.",
    .params = on_start_params,
    .return_annotation = "None",
    .impl = nothing,
};

const function_def on_end_def{
    .name = "on_end",
    .qualname = "TavrixSpanProcessor.on_end",
    .doc = "Records a finished span into the active run.\n\n"
           "The span's integrations are passed to the run context; spans the SDK marks\n"
           "with a span type are merged into its tool entries instead of recorded; calls\n"
           "to the SDK's server, raw LLM provider calls and infrastructure noise are\n"
           "dropped; every other span becomes a span record, redacted with the run's\n"
           "redaction function and appended to its _otel_spans. Errors are swallowed.",
    .params = on_end_params,
    .return_annotation = "None",
    .impl = on_end_impl,
};

const function_def shutdown_def{
    .name = "shutdown",
    .qualname = "TavrixSpanProcessor.shutdown",
    .doc = "Nothing to shut down: the processor buffers nothing of its own.",
    .params = shutdown_params,
    .return_annotation = "None",
    .impl = nothing,
};

const function_def force_flush_def{
    .name = "force_flush",
    .qualname = "TavrixSpanProcessor.force_flush",
    .doc = "Nothing to flush: returns True at once.",
    .params = force_flush_params,
    .return_annotation = "bool",
    .impl = flushed,
};

// --- the no-op variant -------------------------------------------------------

constexpr param noop_on_start_params[] = {{.name = "self"}, {.name = "span"}, {.name = "parent_context", .dflt = default_none}};
constexpr param noop_on_end_params[] = {{.name = "self"}, {.name = "span"}};
constexpr param noop_shutdown_params[] = {{.name = "self"}};
constexpr param noop_force_flush_params[] = {{.name = "self"}, {.name = "timeout_millis", .dflt = default_int(30000)}};

const function_def noop_on_start_def{
    .name = "on_start",
    .qualname = "TavrixSpanProcessor.on_start",
    .params = noop_on_start_params,
    .impl = nothing,
};
const function_def noop_on_end_def{
    .name = "on_end",
    .qualname = "TavrixSpanProcessor.on_end",
    .params = noop_on_end_params,
    .impl = nothing,
};
const function_def noop_shutdown_def{
    .name = "shutdown",
    .qualname = "TavrixSpanProcessor.shutdown",
    .params = noop_shutdown_params,
    .impl = nothing,
};
const function_def noop_force_flush_def{
    .name = "force_flush",
    .qualname = "TavrixSpanProcessor.force_flush",
    .params = noop_force_flush_params,
    .impl = flushed,
};

}  // namespace

const function_def* const processor_methods[4] = {&on_start_def, &on_end_def, &shutdown_def, &force_flush_def};
const function_def* const noop_processor_methods[4] = {&noop_on_start_def, &noop_on_end_def, &noop_shutdown_def,
                                                       &noop_force_flush_def};

}  // namespace tavrix::spanbridge
