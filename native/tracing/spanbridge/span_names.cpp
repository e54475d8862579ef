// The record kind of a span and the names a person reads in the run view:
// `_resolve_kind`, `_build_display_name` and `_display_name`, with the
// kind tables they use.
#include "spanbridge.hpp"

namespace tavrix::spanbridge {

ref build_otel_kind_map(const spanbridge_state& st) {
    // OpenTelemetry's span kinds (internal, server, client, producer,
    // consumer) carry no record kind of their own.
    ref table = check(PyDict_New());
    for (long kind = 0; kind <= 4; ++kind) {
        ref key = check(PyLong_FromLong(kind));
        check_status(PyDict_SetItem(table.get(), key.get(), st.chain.get()));
    }
    return table;
}

ref build_span_type_map() {
    struct row {
        const char* span_type;
        const char* kind;
    };
    static constexpr row rows[] = {
        {"agent_execution", "agent"}, {"llm_call", "llm"},      {"tool_call", "tool"},
        {"workflow_step", "chain"},   {"decision", "decision"}, {"reasoning", "reasoning"},
        {"retrieval", "retriever"},   {"embedding", "llm"},     {"guardrail", "governance"},
        {"governance", "governance"}, {"retry", "retry"},
    };
    ref table = check(PyDict_New());
    for (const row& r : rows) {
        ref kind = intern(r.kind);
        check_status(PyDict_SetItemString(table.get(), r.span_type, kind.get()));
    }
    return table;
}

namespace {

// --- _resolve_kind ----------------------------------------------------

ref resolve_kind_impl(const module_view& m, PyObject* const* args) {
    const auto& st = state_of(m);
    PyObject* const span = args[0];
    // `attrs = span.attributes or {}`, then `attrs.get(...)`: read directly
    // for the SDK's own spans.
    span_attribute_reader reader;
    ref attrs;
    if (!reader.open(st, span)) {
        attrs = get_attr(span, st.attributes.get());
        if (!truthy(attrs.get())) attrs = check(PyDict_New());
    }
    auto get = [&](PyObject* key, PyObject* dflt) {
        return attrs ? mapping_get(st, attrs.get(), key, dflt) : reader.get(key, dflt);
    };

    ref span_type = get(st.tavrix_span_type.get(), st.empty.get());
    if (truthy(span_type.get())) {
        // Looked up twice, as `span_type in _SPAN_TYPE_MAP` and the subscript do.
        ref table = global(m, st.SPAN_TYPE_MAP.get());
        if (check_status(PySequence_Contains(table.get(), span_type.get()))) {
            ref current = global(m, st.SPAN_TYPE_MAP.get());
            return check(PyObject_GetItem(current.get(), span_type.get()));
        }
    }
    ref tool_name = get(st.tavrix_tool_name.get(), nullptr);
    if (truthy(tool_name.get())) return st.tool.copy();
    ref system = get(st.gen_ai_system.get(), nullptr);
    if (truthy(system.get())) return st.llm.copy();
    ref model = get(st.gen_ai_request_model.get(), nullptr);
    if (truthy(model.get())) return st.llm.copy();

    ref kind = span_field(st, span, span_property::kind);
    ref value = kind_value(st, kind.get());
    ref table = global(m, st.OTEL_KIND_MAP.get());
    return mapping_get(st, table.get(), value.get(), st.chain.get());
}

// --- _build_display_name ---------------------------------------------

// The host of `url` as the URL parser sees it, or `url` itself when it
// names none or cannot be parsed.
ref url_host(const module_view& m, const spanbridge_state& st, PyObject* url) {
    ref host;
    swallow_exceptions([&] {
        ref urlparse = import_from(m, st.urllib_parse.get(), st.urlparse.get(), 0);
        ref parsed = call(base_of(m).function_type.get(), urlparse.get(), {url});
        ref hostname = get_attr(parsed.get(), st.hostname.get());
        if (truthy(hostname.get())) host = std::move(hostname);
    });
    return host ? std::move(host) : ref::new_ref(url);
}

// The prefix of a database's display name; `dict.get(system, system)` on
// the table of short names, which only an exact str can skip.
ref database_short_name(PyObject* system) {
    struct row {
        const char* system;
        const char* short_name;
    };
    static constexpr row rows[] = {
        {"postgresql", "pg"},  {"mysql", "mysql"},         {"sqlite", "sqlite"},
        {"mongodb", "mongo"},  {"redis", "redis"},         {"memcached", "memcache"},
        {"elasticsearch", "es"}, {"cassandra", "cassandra"}, {"mssql", "mssql"},
    };
    if (PyUnicode_CheckExact(system)) [[likely]] {
        for (const row& r : rows)
            if (PyUnicode_CompareWithASCIIString(system, r.system) == 0) return check(PyUnicode_FromString(r.short_name));
        return ref::new_ref(system);
    }
    ref table = check(PyDict_New());
    for (const row& r : rows) {
        ref value = check(PyUnicode_FromString(r.short_name));
        check_status(PyDict_SetItemString(table.get(), r.system, value.get()));
    }
    return get_or(table.get(), system, system);
}

bool is_word_char(Py_UCS4 c) { return c == '_' || Py_UNICODE_ISALNUM(c); }

// `text.strip()`: white space as str.strip() sees it.
ref strip(const spanbridge_state& st, PyObject* text) {
    if (!PyUnicode_CheckExact(text)) return call_method(text, st.strip.get());
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t begin = 0, end = PyUnicode_GET_LENGTH(text);
    while (begin < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, begin))) ++begin;
    while (end > begin && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
    return check(PyUnicode_Substring(text, begin, end));
}

// The statement's leading word, upper-cased, or "": re.match(r"(\w+)", s).
ref statement_verb(const module_view& m, const spanbridge_state& st, PyObject* stripped) {
    ref re = import_at_call(m, st.re.get());
    if (PyUnicode_CheckExact(stripped)) [[likely]] {
        // \w of a str pattern: alphanumeric as str.isalnum() sees it, or "_".
        const int kind = PyUnicode_KIND(stripped);
        const void* data = PyUnicode_DATA(stripped);
        const Py_ssize_t length = PyUnicode_GET_LENGTH(stripped);
        Py_ssize_t end = 0;
        while (end < length && is_word_char(PyUnicode_READ(kind, data, end))) ++end;
        if (end == 0) return st.empty.copy();
        ref word = check(PyUnicode_Substring(stripped, 0, end));
        return text_upper(st, word.get());
    }
    PyObject* args[] = {re.get(), st.word_pattern.get(), stripped};
    ref match = check(PyObject_VectorcallMethod(st.match.get(), args, 3, nullptr));
    if (!truthy(match.get())) return st.empty.copy();
    ref one = check(PyLong_FromLong(1));
    ref word = call_method(match.get(), st.group.get(), one.get());
    return text_upper(st, word.get());
}

ref build_display_name_impl(const module_view& m, PyObject* const* args) {
    const auto& st = state_of(m);
    PyObject* const span_name = args[0];
    PyObject* const attrs = args[1];

    ref tool_name = get_or_none(attrs, st.tavrix_tool_name.get());
    if (truthy(tool_name.get())) return tool_name;

    ref db_system = get_or(attrs, st.db_system.get(), st.empty.get());
    ref http_method = first_true(attrs, {st.http_request_method.get(), st.http_method.get()}, st.empty.get());

    if (truthy(http_method.get())) {
        ref url = first_true(attrs, {st.url_full.get(), st.http_url.get(), st.server_address.get()}, st.empty.get());
        // An HTTP span without a URL keeps its name; the rules below do not apply.
        if (!truthy(url.get())) return ref::new_ref(span_name);
        ref host = url_host(m, st, url.get());
        return check(PyUnicode_FromFormat("%S %S", http_method.get(), host.get()));
    }

    if (truthy(db_system.get())) {
        ref short_system = database_short_name(db_system.get());
        ref statement = get_or(attrs, st.db_statement.get(), st.empty.get());
        if (truthy(statement.get())) {
            ref stripped = strip(st, statement.get());
            ref op = statement_verb(m, st, stripped.get());
            if (truthy(op.get())) return check(PyUnicode_FromFormat("%S %S", short_system.get(), op.get()));
        }
        return check(PyUnicode_FromFormat("%S %S", short_system.get(), span_name));
    }

    ref rpc_system = get_or(attrs, st.rpc_system.get(), st.empty.get());
    if (truthy(rpc_system.get())) {
        ref service = get_or(attrs, st.rpc_service.get(), st.empty.get());
        ref method = get_or(attrs, st.rpc_method.get(), st.empty.get());
        if (truthy(service.get()) && truthy(method.get()))
            return check(PyUnicode_FromFormat("%S %S.%S", rpc_system.get(), service.get(), method.get()));
    }

    ref messaging_system = get_or(attrs, st.messaging_system.get(), st.empty.get());
    if (truthy(messaging_system.get())) {
        ref destination = get_or(attrs, st.messaging_destination_name.get(), st.empty.get());
        if (truthy(destination.get()))
            return check(PyUnicode_FromFormat("%S %S %S", messaging_system.get(), span_name, destination.get()));
    }
    return ref::new_ref(span_name);
}

// --- _display_name ------------------------------------------------------

ref display_name_impl(const module_view& m, PyObject* const* args) {
    const auto& st = state_of(m);
    PyObject* const raw = args[0];
    if (PyUnicode_IS_ASCII(raw)) [[likely]] {
        // raw.replace("_", " ").title() in one pass: a letter after a letter
        // is lower-cased, any other letter upper-cased.
        const Py_ssize_t length = PyUnicode_GET_LENGTH(raw);
        ref result = check(PyUnicode_New(length, 127));
        const Py_UCS1* from = PyUnicode_1BYTE_DATA(raw);
        Py_UCS1* to = PyUnicode_1BYTE_DATA(result.get());
        bool after_letter = false;
        for (Py_ssize_t i = 0; i < length; ++i) {
            Py_UCS1 c = from[i] == '_' ? static_cast<Py_UCS1>(' ') : from[i];
            const bool upper = c >= 'A' && c <= 'Z';
            const bool lower = c >= 'a' && c <= 'z';
            if (after_letter && upper) c = static_cast<Py_UCS1>(c + ('a' - 'A'));
            if (!after_letter && lower) c = static_cast<Py_UCS1>(c - ('a' - 'A'));
            after_letter = upper || lower;
            to[i] = c;
        }
        return result;
    }
    ref spaced = check(PyUnicode_Replace(raw, st.underscore.get(), st.space.get(), -1));
    return call_method(spaced.get(), st.title.get());
}

constexpr param span_param[] = {
    {.name = "span", .annotation = "'ReadableSpan'"},
};

constexpr param build_display_name_params[] = {
    {.name = "span_name", .type = arg_type::str, .annotation = "str"},
    {.name = "attrs", .type = arg_type::dict, .annotation = "dict"},
};

constexpr param display_name_params[] = {
    {.name = "raw", .type = arg_type::str, .annotation = "str"},
};

}  // namespace

const function_def resolve_kind_def{
    .name = "_resolve_kind",
    .doc = "The record kind of a finished span.\n\n"
           "The SDK's span type decides first (through _SPAN_TYPE_MAP), then a tool name\n"
           "(\"tool\"), then an LLM system or request model (\"llm\"); otherwise the span's\n"
           "OpenTelemetry kind is looked up in _OTEL_KIND_MAP, \"chain\" by default.",
    .params = span_param,
    .returns = return_type::object,
    .return_annotation = "str",
    .impl = resolve_kind_impl,
};

ref resolve_kind(const module_view& m, PyObject* span) {
    return call_global(m, state_of(m).resolve_kind.get(), {span});
}

const function_def build_display_name_def{
    .name = "_build_display_name",
    .doc = "A readable name for a span: its tool name, the HTTP method and host, the\n"
           "database and statement verb, the RPC service and method, or the messaging\n"
           "system and destination; otherwise the span's own name.",
    .params = build_display_name_params,
    .returns = return_type::str,
    .return_annotation = "str",
    .impl = build_display_name_impl,
};

ref build_display_name(const module_view& m, PyObject* span_name, PyObject* attrs) {
    return call_global(m, state_of(m).build_display_name.get(), {span_name, attrs});
}

const function_def display_name_def{
    .name = "_display_name",
    .doc = "The display name of a provider, framework or source identifier:\n"
           "underscores become spaces, then str.title() (\"llama_index\" -> \"Llama Index\").",
    .params = display_name_params,
    .returns = return_type::str,
    .return_annotation = "str",
    .impl = display_name_impl,
};

ref display_name(const module_view& m, PyObject* raw) {
    return call_global(m, state_of(m).display_name.get(), {raw});
}

}  // namespace tavrix::spanbridge
