// The record kind of a span and the names a person reads in the run view:
// `_resolve_kind`, `_build_display_name` and `_display_name`, with the
// kind tables they use.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "spanbridge.hpp"

#include "../../regex/unicode.hpp"

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

ref build_database_short_names() {
    struct row {
        const char* system;
        const char* short_name;
    };
    static constexpr row rows[] = {
        {"postgresql", "pg"},  {"mysql", "mysql"},         {"sqlite", "sqlite"},
        {"mongodb", "mongo"},  {"redis", "redis"},         {"memcached", "memcache"},
        {"elasticsearch", "es"}, {"cassandra", "cassandra"}, {"mssql", "mssql"},
    };
    ref table = check(PyDict_New());
    for (const row& r : rows) {
        ref short_name = intern(r.short_name);
        check_status(PyDict_SetItemString(table.get(), r.system, short_name.get()));
    }
    return table;
}

namespace {

// --- _resolve_kind ----------------------------------------------------

// The body of `_resolve_kind`, given what the processor knows of a copy of
// the span's attributes (copy_facts::current, with its index).
ref kind_from(const module_view& m, PyObject* span, copy_facts facts) {
    const auto& st = state_of(m);
    // `attrs = span.attributes or {}`, then `attrs.get(...)`: read directly
    // for the SDK's own spans.
    span_attribute_reader reader;
    ref attrs;
    if (facts.current != nullptr) {
        reader.assume(st, *facts.current, facts.index_of(facts.current->copy.get()));
    } else if (!reader.open(st, span)) {
        attrs = get_attr(span, st.attributes.get());
        if (!truthy(attrs.get())) attrs = check(PyDict_New());
    }
    auto get = [&](attr_key key, PyObject* dflt) {
        return attrs ? mapping_get(st, attrs.get(), key_object(st, key), dflt) : reader.get(key, dflt);
    };
    // `if value:`; a truth test that may run Python code lets the reader
    // look at the mapping afresh.
    auto test = [&](PyObject* value) {
        if (!truth_runs_no_code(value)) reader.may_have_changed();
        return truthy(value);
    };

    ref span_type = get(attr_key::tavrix_span_type, st.empty.get());
    if (test(span_type.get())) {
        // Looked up twice, as `span_type in _SPAN_TYPE_MAP` and the subscript do.
        ref table = global(m, st.SPAN_TYPE_MAP.get());
        const bool known = check_status(PySequence_Contains(table.get(), span_type.get()));
        if (known) {
            ref current = global(m, st.SPAN_TYPE_MAP.get());
            return check(PyObject_GetItem(current.get(), span_type.get()));
        }
        reader.may_have_changed();
    }
    ref tool_name = get(attr_key::tavrix_tool_name, nullptr);
    if (test(tool_name.get())) return st.tool.copy();
    ref system = get(attr_key::gen_ai_system, nullptr);
    if (test(system.get())) return st.llm.copy();
    ref model = get(attr_key::gen_ai_request_model, nullptr);
    if (test(model.get())) return st.llm.copy();

    ref kind = span_field(st, span, span_property::kind);
    ref value = kind_value(st, kind.get());
    ref table = global(m, st.OTEL_KIND_MAP.get());
    return mapping_get(st, table.get(), value.get(), st.chain.get());
}

ref resolve_kind_impl(const module_view& m, PyObject* const* args) { return kind_from(m, args[0], {}); }

// --- the standard library's text functions, stood for natively -----------
//
// The display name asks the URL parser for a host and `re` for a statement's
// leading word. Both answers are computed here, for the shapes of text where
// the computation provably matches the library (below), while the library
// is what was captured at its first use (support/code_guard.hpp): the
// module in sys.modules, the names its code calls (`urlparse`, `urlsplit`,
// the result classes and the tables they read; `re.match` and `re._compile`)
// still bound to the captured objects, running the code they had, and every
// name that code reads as a global bound as it was. Internals below those (the
// compiled-pattern cache, the regular expression compiler) are not looked
// at; nor are the contents of the tables the code reads, but for the list of
// characters urlsplit removes, which is checked on every use.

// The module `name` of sys.modules, when it is a plain module.
ref plain_module(PyObject* name) {
    PyObject* modules = PyImport_GetModuleDict();
    if (modules == nullptr || !PyDict_CheckExact(modules)) return {};
    ref module = compat::dict_get(modules, name);
    if (!module || !Py_IS_TYPE(module.get(), &PyModule_Type)) return {};
    return module;
}

// Captures into `capture` the module `name` as sys.modules has it, each of
// `names` as its namespace binds it, and each function of `functions`
// (name, qualified name), which must be the module's own Python functions
// (an lru_cache wrapper stands for the function it wraps); false when one is
// missing or not its own. `values` receives the values of `names`.
bool capture_module(code_guard_capture& capture, PyObject* name, PyObject* module,
                    std::initializer_list<const char*> names,
                    std::initializer_list<std::pair<const char*, const char*>> functions, const char* module_name,
                    std::vector<ref>& values) {
    capture.add_binding(PyImport_GetModuleDict(), name);
    PyObject* ns = PyModule_GetDict(module);
    for (const char* global : names) {
        ref key = intern(global);
        ref value = compat::dict_get(ns, key.get());
        if (!value) return false;
        capture.add_binding(ns, key.get());
        values.push_back(std::move(value));
    }
    ref wrapped_key = intern("__wrapped__");
    ref qualname_key = intern("__qualname__"), module_key = intern("__module__");
    for (const auto& [function_name, qualname] : functions) {
        ref key = intern(function_name);
        ref value = compat::dict_get(ns, key.get());
        if (!value) return false;
        capture.add_binding(ns, key.get());
        if (!PyFunction_Check(value.get()))
            if (ref wrapped = compat::optional_attr(value.get(), wrapped_key.get())) value = std::move(wrapped);
        if (!PyFunction_Check(value.get())) return false;
        ref actual_qualname = get_attr(value.get(), qualname_key.get());
        ref actual_module = get_attr(value.get(), module_key.get());
        if (!PyUnicode_Check(actual_qualname.get()) || PyUnicode_CompareWithASCIIString(actual_qualname.get(), qualname) != 0 ||
            !PyUnicode_Check(actual_module.get()) || PyUnicode_CompareWithASCIIString(actual_module.get(), module_name) != 0)
            return false;
        capture.add_function(value.get());
    }
    return true;
}

bool text_equals(PyObject* value, const char* text) {
    return PyUnicode_CheckExact(value) && PyUnicode_CompareWithASCIIString(value, text) == 0;
}

constexpr const char scheme_chars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.";

// urllib.parse as its first use finds it, when it is the library's own.
bool capture_url_parser(spanbridge_state& st) {
    text_functions& text = st.text;
    ref module = plain_module(st.urllib_parse.get());
    if (!module) return false;
    code_guard_capture capture;
    std::vector<ref> values;
    if (!capture_module(capture, st.urllib_parse.get(), module.get(),
                        {"ParseResult", "SplitResult", "scheme_chars", "_WHATWG_C0_CONTROL_OR_SPACE",
                         "_UNSAFE_URL_BYTES_TO_REMOVE"},
                        {{"urlparse", "urlparse"},
                         {"urlsplit", "urlsplit"},
                         {"_coerce_args", "_coerce_args"},
                         {"_noop", "_noop"},
                         {"_splitnetloc", "_splitnetloc"},
                         {"_checknetloc", "_checknetloc"}},
                        "urllib.parse", values))
        return false;
    // The characters the scheme may have, those stripped from the front and
    // those removed anywhere: what the native parse assumes.
    static constexpr char c0_or_space[] = "\x01\x02\x03\x04\x05\x06\x07\x08\t\n\x0b\x0c\r\x0e\x0f\x10\x11\x12\x13\x14\x15"
                                          "\x16\x17\x18\x19\x1a\x1b\x1c\x1d\x1e\x1f ";
    PyObject* c0 = values[3].get();
    if (!text_equals(values[2].get(), scheme_chars) || !PyUnicode_CheckExact(c0) || PyUnicode_GET_LENGTH(c0) != 33 ||
        PyUnicode_READ_CHAR(c0, 0) != 0)
        return false;
    ref c0_tail = check(PyUnicode_Substring(c0, 1, 33));
    if (!text_equals(c0_tail.get(), c0_or_space)) return false;
    PyObject* unsafe = values[4].get();
    if (!PyList_CheckExact(unsafe) || PyList_GET_SIZE(unsafe) != 3 || !text_equals(PyList_GET_ITEM(unsafe, 0), "\t") ||
        !text_equals(PyList_GET_ITEM(unsafe, 1), "\r") || !text_equals(PyList_GET_ITEM(unsafe, 2), "\n"))
        return false;
    ref unsafe_items = check(PyList_AsTuple(unsafe));
    class_found result = expect_class(st, values[0].get(),
                                      {
                                          {"hostname", "_NetlocResultMixinBase.hostname", "urllib.parse"},
                                          {"_hostinfo", "_NetlocResultMixinStr._hostinfo", "urllib.parse"},
                                          {"netloc", "*", nullptr},
                                          {"__new__", "*", nullptr},
                                          {"__init__", "*", nullptr},
                                      },
                                      true);
    class_found split = expect_class(st, values[1].get(),
                                     {{"__new__", "*", nullptr}, {"__init__", "*", nullptr}, {"__iter__", "*", nullptr}},
                                     false);
    if (!result.ok || !split.ok) return false;
    add_found(capture, values[0].get(), result);
    add_found(capture, values[1].get(), split);
    capture.seal(text.url_parser, st.guarded_code, st.namespace_watch);
    for (PyObject* o : {unsafe, unsafe_items.get()}) append(st.guarded_code.get(), o);
    text.url_unsafe = unsafe;
    text.url_unsafe_items = unsafe_items.get();
    return true;
}

// Whether urllib.parse is still as captured (captured now when it has not
// been yet, or was not the library's own the last time).
bool url_parser_unchanged(const module_view& m) {
    auto& st = m.get<spanbridge_state>();
    text_functions& text = st.text;
    if (!text.url_parser.captured() && !capture_url_parser(st)) return false;
    if (!text.url_parser.holds()) return false;
    PyObject* unsafe = text.url_unsafe;
    if (!PyList_CheckExact(unsafe) || PyList_GET_SIZE(unsafe) != 3) return false;
    for (Py_ssize_t i = 0; i < 3; ++i)
        if (PyList_GET_ITEM(unsafe, i) != PyTuple_GET_ITEM(text.url_unsafe_items, i)) return false;
    return true;
}

enum class parsed_host { unknown, none, host };

// Whether ASCII text has a control character, a space or DEL (which the
// parser strips or removes): eight characters at a time, a byte below 0x21
// or equal to 0x7f showing as its top bit in the words below.
bool has_control_or_space(const Py_UCS1* text, std::size_t length) noexcept {
    constexpr std::uint64_t ones = 0x0101010101010101, tops = 0x8080808080808080;
    std::size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text + i, sizeof word);
        const std::uint64_t del = word ^ (0x7f * ones);
        if ((((word - 0x21 * ones) & ~word) | ((del - ones) & ~del)) & tops) return true;
    }
    for (; i < length; ++i)
        if (text[i] <= ' ' || text[i] == 0x7f) return true;
    return false;
}

// ASCII text lower-cased into `out`, eight characters at a time: in each
// byte, adding 0x3f sets the top bit from "A" (0x41) on and adding 0x25
// from "[" (0x5b) on, so their difference marks the capitals, each of
// which then gains 0x20.
void ascii_lower(const Py_UCS1* in, std::size_t length, Py_UCS1* out) noexcept {
    constexpr std::uint64_t ones = 0x0101010101010101, tops = 0x8080808080808080;
    std::size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, in + i, sizeof word);
        const std::uint64_t capitals = ((word + 0x3f * ones) ^ (word + 0x25 * ones)) & tops;
        word |= capitals >> 2;
        std::memcpy(out + i, &word, sizeof word);
    }
    for (; i < length; ++i) out[i] = in[i] >= 'A' && in[i] <= 'Z' ? static_cast<Py_UCS1>(in[i] + ('a' - 'A')) : in[i];
}

// The characters that end a network location or change its reading.
enum : std::uint8_t { netloc_end = 1, netloc_bracket = 2, netloc_user = 3 };
constexpr std::array<std::uint8_t, 256> netloc_chars = [] {
    std::array<std::uint8_t, 256> table{};
    for (const char c : {'/', '?', '#'}) table[static_cast<unsigned char>(c)] = netloc_end;
    for (const char c : {'[', ']'}) table[static_cast<unsigned char>(c)] = netloc_bracket;
    table['@'] = netloc_user;
    return table;
}();

// `urlparse(url).hostname` for an exact str URL of printable ASCII (nothing
// the parser strips, removes or normalises) whose network location has no
// brackets (IPv6 literals, which versions check differently); `unknown` for
// any other shape. Linear in the URL.
parsed_host hostname_of(PyObject* url, ref& host) {
    if (!PyUnicode_CheckExact(url) || !PyUnicode_IS_ASCII(url)) return parsed_host::unknown;
    const Py_UCS1* text = PyUnicode_1BYTE_DATA(url);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(url);
    if (has_control_or_space(text, static_cast<std::size_t>(length))) return parsed_host::unknown;
    const void* first_colon = std::memchr(text, ':', static_cast<std::size_t>(length));
    const Py_ssize_t colon = first_colon != nullptr ? static_cast<const Py_UCS1*>(first_colon) - text : -1;
    // A scheme: letters, digits, "+", "-" and "." up to the first colon,
    // beginning with a letter.
    Py_ssize_t rest = 0;
    auto letter = [](Py_UCS1 c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; };
    if (colon > 0 && letter(text[0])) {
        bool scheme = true;
        for (Py_ssize_t i = 0; i < colon && scheme; ++i) {
            const Py_UCS1 c = text[i];
            scheme = letter(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
        }
        if (scheme) rest = colon + 1;
    }
    // The network location: after "//", up to the first "/", "?" or "#".
    if (length - rest < 2 || text[rest] != '/' || text[rest + 1] != '/') return parsed_host::none;
    const Py_ssize_t start = rest + 2;
    Py_ssize_t end = start;
    Py_ssize_t host_start = start;
    for (; end < length; ++end) {
        const Py_UCS1 c = text[end];
        if (netloc_chars[c] == 0) continue;
        if (netloc_chars[c] == netloc_end) break;
        if (netloc_chars[c] == netloc_bracket) return parsed_host::unknown;
        host_start = end + 1;  // "@": the user information ends at the last one
    }
    Py_ssize_t host_end = host_start;
    while (host_end < end && text[host_end] != ':') ++host_end;
    if (host_end == host_start) return parsed_host::none;
    // Lower-cased up to a "%" (a zone, kept as written).
    const auto size = static_cast<std::size_t>(host_end - host_start);
    host = check(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
    Py_UCS1* const out = PyUnicode_1BYTE_DATA(host.get());
    const Py_UCS1* const in = text + host_start;
    const void* percent = std::memchr(in, '%', size);
    const std::size_t lowered = percent != nullptr ? static_cast<std::size_t>(static_cast<const Py_UCS1*>(percent) - in) : size;
    ascii_lower(in, lowered, out);
    std::memcpy(out + lowered, in + lowered, size - lowered);
    return parsed_host::host;
}

// The host of `url` as the URL parser sees it, or `url` itself when it
// names none or cannot be parsed.
ref url_host(const module_view& m, const spanbridge_state& st, PyObject* url) {
    ref host;
    swallow_exceptions([&] {
        if (url_parser_unchanged(m)) {
            const parsed_host answer = hostname_of(url, host);
            if (answer != parsed_host::unknown) return;
        }
        ref urlparse = import_from(m, st.urllib_parse.get(), st.urlparse.get(), 0);
        // Called as any callable is (it keeps this function a leaf).
        ref parsed = check(PyObject_Vectorcall(urlparse.get(), &url, 1, nullptr));
        ref hostname = get_attr(parsed.get(), st.hostname.get());
        if (truthy(hostname.get())) host = std::move(hostname);
    });
    return host ? std::move(host) : ref::new_ref(url);
}

// The prefix of a database's display name; `dict.get(system, system)` on
// the table of short names, which only an exact str can skip.
ref database_short_name(const spanbridge_state& st, PyObject* system) {
    PyObject* const table = st.database_short_names.get();
    if (PyUnicode_CheckExact(system)) [[likely]] {
        // A str meets only the table's str keys: nothing else can answer.
        ref short_name = compat::dict_get(table, system);
        return short_name ? std::move(short_name) : ref::new_ref(system);
    }
    // Built afresh as the Python code does, so a key's __eq__ meets a new dict.
    ref fresh = check(PyDict_Copy(table));
    return get_or(fresh.get(), system, system);
}

// \w of a str pattern, as the regular-expression engine tests it.
bool is_word_char(Py_UCS4 c) { return regex::unicode_word(c); }

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

// `re` as its first use finds it, when it is the library's own.
bool capture_word_matcher(spanbridge_state& st) {
    ref module = plain_module(st.re.get());
    if (!module) return false;
    code_guard_capture capture;
    std::vector<ref> values;
    if (!capture_module(capture, st.re.get(), module.get(), {},
                        {{"match", TAVRIX_RE_MATCH_QUALNAME}, {"_compile", "_compile"}}, "re", values))
        return false;
    capture.seal(st.text.word_matcher, st.guarded_code, st.namespace_watch);
    return true;
}

bool word_matcher_unchanged(const module_view& m) {
    auto& st = m.get<spanbridge_state>();
    text_functions& text = st.text;
    if (!text.word_matcher.captured() && !capture_word_matcher(st)) return false;
    return text.word_matcher.holds();
}

// The statement's leading word, upper-cased, or "": re.match(r"(\w+)", s).
ref statement_verb(const module_view& m, const spanbridge_state& st, PyObject* stripped) {
    if (PyUnicode_CheckExact(stripped) && word_matcher_unchanged(m)) [[likely]] {
        // \w of a str pattern: alphanumeric as str.isalnum() sees it, or "_",
        // the interpreter's own predicates; the longest run from the start.
        const int kind = PyUnicode_KIND(stripped);
        const void* data = PyUnicode_DATA(stripped);
        const Py_ssize_t length = PyUnicode_GET_LENGTH(stripped);
        Py_ssize_t end = 0;
        Py_UCS4 widest = 0;
        for (Py_UCS4 c; end < length && is_word_char(c = PyUnicode_READ(kind, data, end)); ++end) widest |= c;
        if (end == 0) return st.empty.copy();
        if (widest < 128) {
            // ASCII: upper-cased here.
            ref word = check(PyUnicode_New(end, 127));
            Py_UCS1* out = PyUnicode_1BYTE_DATA(word.get());
            for (Py_ssize_t i = 0; i < end; ++i) {
                const auto c = static_cast<Py_UCS1>(PyUnicode_READ(kind, data, i));
                out[i] = c >= 'a' && c <= 'z' ? static_cast<Py_UCS1>(c - ('a' - 'A')) : c;
            }
            return word;
        }
        // Anything else by str.upper's full case mapping.
        ref word = check(PyUnicode_Substring(stripped, 0, end));
        return call_method(word.get(), st.upper.get());
    }
    ref re = import_at_call(m, st.re.get());
    PyObject* args[] = {re.get(), st.word_pattern.get(), stripped};
    ref match = check(PyObject_VectorcallMethod(st.match.get(), args, 3, nullptr));
    if (!truthy(match.get())) return st.empty.copy();
    ref one = check(PyLong_FromLong(1));
    ref word = call_method(match.get(), st.group.get(), one.get());
    return text_upper(st, word.get());
}

// The concatenation of the parts as str() makes each: an f-string's "!s".
ref text_of(std::initializer_list<PyObject*> parts) {
    // Every part an ASCII str: one-byte text, copied as it is.
    Py_ssize_t ascii_length = 0;
    bool ascii = true;
    for (PyObject* part : parts) {
        ascii = ascii && PyUnicode_CheckExact(part) && PyUnicode_IS_ASCII(part);
        if (ascii) ascii_length += PyUnicode_GET_LENGTH(part);
    }
    if (ascii) {
        ref result = check(PyUnicode_New(ascii_length, 127));
        Py_UCS1* out = PyUnicode_1BYTE_DATA(result.get());
        for (PyObject* part : parts) {
            std::memcpy(out, PyUnicode_1BYTE_DATA(part), static_cast<std::size_t>(PyUnicode_GET_LENGTH(part)));
            out += PyUnicode_GET_LENGTH(part);
        }
        return result;
    }
    constexpr std::size_t most = 5;
    ref owned[most];
    PyObject* texts[most];
    Py_ssize_t length = 0;
    Py_UCS4 widest = 127;
    std::size_t n = 0;
    for (PyObject* part : parts) {
        if (PyUnicode_CheckExact(part)) {
            texts[n] = part;
        } else {
            owned[n] = check(PyObject_Str(part));
            texts[n] = owned[n].get();
        }
        length += PyUnicode_GET_LENGTH(texts[n]);
        widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(texts[n]));
        ++n;
    }
    ref result = check(PyUnicode_New(length, widest));
    Py_ssize_t at = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Py_ssize_t size = PyUnicode_GET_LENGTH(texts[i]);
        if (widest < 256) {
            // One byte a character in the result and in every part.
            std::memcpy(PyUnicode_1BYTE_DATA(result.get()) + at, PyUnicode_1BYTE_DATA(texts[i]), static_cast<std::size_t>(size));
        } else if (PyUnicode_CopyCharacters(result.get(), at, texts[i], 0, size) < 0) {
            throw_error();
        }
        at += size;
    }
    return result;
}

// The body of `_build_display_name`, reading `attrs` through `index` (its
// own, or null).
ref display_name_from(const module_view& m, PyObject* span_name, PyObject* attrs, const attribute_index* index) {
    const auto& st = state_of(m);

    ref tool_name = indexed_get_or(st, index, attrs, attr_key::tavrix_tool_name, Py_None);
    if (truthy(tool_name.get())) return tool_name;

    ref db_system = indexed_get_or(st, index, attrs, attr_key::db_system, st.empty.get());
    ref http_method = indexed_first_true(st, index, attrs, {attr_key::http_request_method, attr_key::http_method}, st.empty.get());

    if (truthy(http_method.get())) {
        ref url = indexed_first_true(st, index, attrs, {attr_key::url_full, attr_key::http_url, attr_key::server_address},
                                     st.empty.get());
        // An HTTP span without a URL keeps its name; the rules below do not apply.
        if (!truthy(url.get())) return ref::new_ref(span_name);
        ref host = url_host(m, st, url.get());
        return text_of({http_method.get(), st.space.get(), host.get()});
    }

    if (truthy(db_system.get())) {
        ref short_system = database_short_name(st, db_system.get());
        ref statement = indexed_get_or(st, index, attrs, attr_key::db_statement, st.empty.get());
        if (truthy(statement.get())) {
            ref stripped = strip(st, statement.get());
            ref op = statement_verb(m, st, stripped.get());
            if (truthy(op.get())) return text_of({short_system.get(), st.space.get(), op.get()});
        }
        return text_of({short_system.get(), st.space.get(), span_name});
    }

    ref rpc_system = indexed_get_or(st, index, attrs, attr_key::rpc_system, st.empty.get());
    if (truthy(rpc_system.get())) {
        ref service = indexed_get_or(st, index, attrs, attr_key::rpc_service, st.empty.get());
        ref method = indexed_get_or(st, index, attrs, attr_key::rpc_method, st.empty.get());
        if (truthy(service.get()) && truthy(method.get()))
            return text_of({rpc_system.get(), st.space.get(), service.get(), st.dot.get(), method.get()});
    }

    ref messaging_system = indexed_get_or(st, index, attrs, attr_key::messaging_system, st.empty.get());
    if (truthy(messaging_system.get())) {
        ref destination = indexed_get_or(st, index, attrs, attr_key::messaging_destination_name, st.empty.get());
        if (truthy(destination.get()))
            return text_of({messaging_system.get(), st.space.get(), span_name, st.space.get(), destination.get()});
    }
    return ref::new_ref(span_name);
}

ref build_display_name_impl(const module_view& m, PyObject* const* args) {
    return display_name_from(m, args[0], args[1], nullptr);
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
    .leaf = true,
};

ref resolve_kind(const module_view& m, PyObject* span) {
    return call_global(m, state_of(m).resolve_kind.get(), {span});
}

ref resolve_kind(const module_view& m, PyObject* span, copy_facts facts) {
    // The typed wrapper's lookup and call; the module's own function (a
    // leaf: called without a recursion guard) is run here with the facts.
    ref resolver = global(m, state_of(m).resolve_kind.get());
    PyObject* const function_type = base_of(m).function_type.get();
    if (definition_of(function_type, resolver.get()) != &resolve_kind_def)
        return call(function_type, resolver.get(), {span});
    return kind_from(m, span, facts);
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
    .leaf = true,
};

ref build_display_name(const module_view& m, PyObject* span_name, PyObject* attrs, const function_def** called) {
    return call_global(m, state_of(m).build_display_name.get(), {span_name, attrs}, called);
}

ref build_display_name(const module_view& m, PyObject* span_name, PyObject* attrs, copy_facts facts,
                       const function_def** called) {
    ref builder = global(m, state_of(m).build_display_name.get());
    PyObject* const function_type = base_of(m).function_type.get();
    // Arguments of the declared types, as the call would check them.
    if (definition_of(function_type, builder.get()) != &build_display_name_def || !PyUnicode_CheckExact(span_name) ||
        !PyDict_CheckExact(attrs))
        return call(function_type, builder.get(), {span_name, attrs}, called);
    if (called != nullptr) *called = &build_display_name_def;
    ref name = display_name_from(m, span_name, attrs, facts.index_of(attrs));
    check_declared_return(build_display_name_def, name.get());
    return name;
}

const function_def display_name_def{
    .name = "_display_name",
    .doc = "The display name of a provider, framework or source identifier:\n"
           "underscores become spaces, then str.title() (\"llama_index\" -> \"Llama Index\").",
    .params = display_name_params,
    .returns = return_type::str,
    .return_annotation = "str",
    .impl = display_name_impl,
    .leaf = true,
};

ref display_name(const module_view& m, PyObject* raw, const function_def** called) {
    return call_global(m, state_of(m).display_name.get(), {raw}, called);
}

}  // namespace tavrix::spanbridge
