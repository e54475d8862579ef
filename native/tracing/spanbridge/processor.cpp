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

// One span's capture: the span's attributes as one dict for every step of
// the flow, and what is known of that dict. The conversion can take the
// dict too instead of copying the attributes again only when it was copied
// straight from the SDK's mapping and only the module's own functions,
// which keep no reference to it, have seen it; and only when a new copy
// would be the same. That is certain without comparing while no Python code
// can have run since the copy (which could change the mapping): the copy is
// plain (attributes_copy::plain), the integrations found none, and the
// filters read only it and their tables of exact types. (No garbage
// collection can run finalizers meanwhile either: the interpreter collects
// only between bytecodes.)
//
// The steps that can run Python code take the capture as `span_capture&`
// and report here what ran; the others read it as `const span_capture&` or
// are handed its facts().
class span_capture {
public:
    span_capture(const spanbridge_state& st, PyObject* span) : made_(copy_span_attributes(st, span, &index_)) {
        attrs_ = made_.copy ? made_.copy.copy() : span_attributes(st, span);
        private_ = static_cast<bool>(made_.copy);
        quiet_ = private_ && made_.plain;
    }

    [[nodiscard]] PyObject* attrs() const noexcept { return attrs_.get(); }

    // Where a step's typed wrapper tells which function it called.
    [[nodiscard]] const function_def** called() noexcept { return &called_; }
    // After a step that `called()` was handed to: was that the module's own `own`?
    void seen_by(const function_def& own) noexcept { private_ = private_ && called_ == &own; }
    // After a step that tells itself whether the module's own function ran.
    void seen_by_own(bool own) noexcept { private_ = private_ && own; }
    // After a step that may have run Python code (`quiet` false).
    void quiet_if(bool quiet) noexcept { quiet_ = quiet_ && quiet; }
    [[nodiscard]] bool quiet() const noexcept { return quiet_; }
    // Only the module's own code has seen the copy, whose keys and values
    // run no Python code: nothing can have changed it, and reading it runs
    // no Python code either.
    [[nodiscard]] bool pure() const noexcept { return private_ && made_.plain; }

    // What a step that runs no Python code may know of the dict: its index
    // while pure(), nothing otherwise.
    [[nodiscard]] copy_facts facts() const noexcept {
        return {.index = pure() && index_.dict() == attrs_.get() ? &index_ : nullptr, .current = nullptr};
    }

    // The record of `span`: the conversion given this dict while it is the
    // module's own and the dict is still what a new copy would be; what
    // `_span_to_dict` makes otherwise.
    [[nodiscard]] ref convert(const module_view& m, PyObject* span) {
        const auto& st = state_of(m);
        if (private_ && holds_own(m, st.span_to_dict.get(), span_to_dict_def)) {
            copy_facts facts = this->facts();
            if (quiet_) {
                made_.str_keys = true;
                facts.current = &made_;
                return span_record(m, span, attrs_.get(), facts);
            }
            // Comparing runs no Python code, but the index stood for the dict
            // only while pure(): a comparison that finds it current restores
            // nothing the index was not already given up for.
            if (copy_still_current(st, span, made_)) {
                facts.current = &made_;
                return span_record(m, span, attrs_.get(), facts);
            }
        }
        return span_to_dict(m, span);
    }

private:
    attribute_index index_;  // before `made_`, which is made into it
    attributes_copy made_;
    ref attrs_;
    bool private_ = false;
    bool quiet_ = false;
    const function_def* called_ = nullptr;
};

// The run context of the active run, or an empty ref when no run is active.
ref active_run(const module_view& m) {
    const auto& st = state_of(m);
    ref variable = contract::import_context_variable_often(m, st);
    ref ctx = contract::active_context(variable.get(), st);
    if (ctx.get() == Py_None) return {};
    ref run_id = get_attr(ctx.get(), st.run_id.get());
    if (!truthy(run_id.get())) return {};
    return ctx;
}

// Whether the module attribute `name` is an exact tuple or list, which the
// filters search without running Python code.
bool exact_table(const module_view& m, PyObject* name) {
    ref table = global(m, name);
    return PyTuple_CheckExact(table.get()) || PyList_CheckExact(table.get());
}

// Every span of a run reports its integrations, whatever happens next. Can
// run Python code.
void report_integrations(const module_view& m, PyObject* ctx, span_capture& capture) {
    const auto& st = state_of(m);
    bool quiet = false;
    capture.seen_by_own(each_integration(
        m, capture.attrs(), capture.facts(),
        [&](PyObject* name, PyObject* category) { contract::record_integration(ctx, st, name, category); }, &quiet));
    capture.quiet_if(quiet);
}

// `attrs.get("tavrix.span_type")`: true for a span the SDK records itself.
// Runs no Python code (the value's truth aside, which the caller tests).
ref span_type_of(const spanbridge_state& st, const span_capture& capture) {
    const copy_facts facts = capture.facts();
    return indexed_get_or(st, facts.index, capture.attrs(), attr_key::tavrix_span_type, Py_None);
}

// Calls to the SDK's server, raw provider calls and infrastructure noise.
// Can run Python code.
bool dropped(const module_view& m, span_capture& capture) {
    const auto& st = state_of(m);
    // The three filters at once, as the module's own run them.
    if (capture.pure())
        if (const std::optional<bool> drop = own_filters_drop(m, capture.attrs(), capture.facts())) return *drop;
    if (capture.quiet())
        capture.quiet_if(exact_table(m, st.EXCLUDED_URL_PATTERNS.get()) &&
                         exact_table(m, st.LLM_PROVIDER_HOSTS.get()) && exact_table(m, st.NOISY_INFRA_HOSTS.get()));
    if (is_tavrix_api_call(m, capture.attrs(), capture.called())) return true;
    capture.seen_by(is_tavrix_api_call_def);
    if (is_llm_provider_http_call(m, capture.attrs(), capture.called())) return true;
    capture.seen_by(is_llm_provider_http_call_def);
    if (is_noisy_infra_call(m, capture.attrs(), capture.called())) return true;
    capture.seen_by(is_noisy_infra_call_def);
    return false;
}

// Read twice, as `if ctx._content_redact_fn: _redact_span_dict(record, ctx._content_redact_fn)` does.
// Can run Python code.
void redact(const module_view& m, PyObject* ctx, PyObject* record) {
    const auto& st = state_of(m);
    ref redact_fn = get_attr(ctx, st.content_redact_fn.get());
    if (!truthy(redact_fn.get())) return;
    redact_fn = get_attr(ctx, st.content_redact_fn.get());
    redact_span_dict(m, record, redact_fn.get());
}

void record_span(const module_view& m, PyObject* span) {
    const auto& st = state_of(m);
    ref ctx = active_run(m);
    if (!ctx) return;
    span_capture capture(st, span);
    report_integrations(m, ctx.get(), capture);
    // The SDK's own spans are recorded by the SDK; tool spans enrich its entry.
    ref span_type = span_type_of(st, capture);
    if (truthy(span_type.get())) {
        merge_otel_attrs_into_recorded_span(m, ctx.get(), span, capture.attrs());
        return;
    }
    if (dropped(m, capture)) return;
    ref record = capture.convert(m, span);
    redact(m, ctx.get(), record.get());
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
