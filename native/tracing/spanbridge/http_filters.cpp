// HTTP spans that would only clutter a run's record (calls to the SDK's own
// server, raw calls to LLM provider APIs, model downloads), and the
// provider behind a model name.
#include <array>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "spanbridge.hpp"

#include "../../regex/literal_search.hpp"

namespace tavrix::spanbridge {

namespace {

constexpr const char* excluded_url_patterns[] = {"api/v1/observe", "api/v1/policy", "api/health"};
// The search for them starts at the first "api/" (own_filters_drop).
static_assert([] {
    for (const char* entry : excluded_url_patterns)
        if (!std::string_view(entry).starts_with("api/")) return false;
    return true;
}());

// The model hub, its large-file download network and that network's US node.
constexpr const char* noisy_infra_hosts[] = {"huggingface.co", "cdn-lfs.hf.co", "cdn-lfs-us-1.hf.co"};

// "bedrock-runtime." begins the host of every regional runtime endpoint.
constexpr const char* llm_provider_hosts[] = {
    "api.openai.com",   "api.anthropic.com", "api.groq.com",     "api.mistral.ai",
    "generativelanguage.googleapis.com",     "api.cohere.com",   "bedrock-runtime.",
    "api.together.xyz", "api.fireworks.ai",  "api.deepseek.com", "openrouter.ai",
};

template <std::size_t N>
ref str_tuple(const char* const (&entries)[N]) {
    ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(N)));
    for (std::size_t i = 0; i < N; ++i)
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), intern(entries[i]).release());
    return tuple;
}

}  // namespace

// The module's own tables in two automata of the engine's multi-literal
// search (regex/literal_search.hpp), so that a URL is searched for all of
// their entries in one pass: the server's paths, and the hosts of both host
// tables. The search folds capitals, as `url.lower()` does for ASCII text,
// so an occurrence of a host is one in the lowered URL; the server's paths
// are compared case-sensitively, an occurrence confirmed against the path's
// own characters. Built at import from tables that never change; immutable
// after.
struct url_searchers {
    regex::literal_searcher server_paths;
    regex::literal_searcher hosts;
};

namespace {

constexpr const char* url_searchers_capsule = "tavrix_observe.tracing.spanbridge.url_searchers";

void release_url_searchers(PyObject* capsule) noexcept {
    delete static_cast<url_searchers*>(PyCapsule_GetPointer(capsule, url_searchers_capsule));
}

// The entries of `tables` added to `searcher`, each its own owner in table
// order; an ImportError, never a wrong filter, when they outgrow it.
void add_entries(regex::literal_searcher& searcher, std::initializer_list<std::span<const char* const>> tables) {
    std::uint32_t owner = 0;
    for (const auto& table : tables)
        for (const char* entry : table) {
            regex::literal letters;
            for (const char* c = entry; *c != '\0'; ++c)
                letters.push_back({.fold = static_cast<std::uint8_t>(regex::fold_of(static_cast<unsigned char>(*c)))});
            if (!searcher.add(owner++, {letters})) {
                PyErr_Format(PyExc_ImportError,
                             "spanbridge: the URL tables need more than the %zu states of the literal search "
                             "(at \"%s\")",
                             regex::literal_searcher::max_states, entry);
                throw_error();
            }
        }
    searcher.build();
}

// The module's own tables are ASCII without capitals, which the search's
// folding relies on.
constexpr bool small_ascii(std::initializer_list<std::span<const char* const>> tables) {
    for (const auto& table : tables)
        for (const char* entry : table)
            for (const char* c = entry; *c != '\0'; ++c)
                if (static_cast<unsigned char>(*c) >= 128 || (*c >= 'A' && *c <= 'Z')) return false;
    return true;
}
static_assert(small_ascii({excluded_url_patterns, llm_provider_hosts, noisy_infra_hosts}));

// Whether an entry of `searcher` occurs in the ASCII text [text, text + length);
// with `exact` (the entries, in the searcher's order), an occurrence counts
// only where the text has the entry's own characters. Linear in the text
// plus the occurrences.
bool occurs_in(const regex::literal_searcher& searcher, const Py_UCS1* text, std::size_t length,
               std::span<const char* const> exact = {}, std::uint32_t first = 0,
               std::uint32_t end_owner = UINT32_MAX) noexcept {
    bool found = false;
    searcher.scan(regex::text_view<Py_UCS1>{text, length}, 0, length, 0,
                  [&](std::size_t end, const regex::literal_searcher::entry& e) {
                      if (found || e.owner < first || e.owner >= end_owner) return;
                      if (exact.empty()) {
                          found = true;
                          return;
                      }
                      const std::string_view want(exact[e.owner]);
                      found = std::memcmp(text + end - want.size(), want.data(), want.size()) == 0;
                  });
    return found;
}

}  // namespace

ref build_excluded_url_patterns() { return str_tuple(excluded_url_patterns); }
ref build_noisy_infra_hosts() { return str_tuple(noisy_infra_hosts); }
ref build_llm_provider_hosts() { return str_tuple(llm_provider_hosts); }

void build_url_searchers(spanbridge_state& st) {
    auto searchers = std::make_unique<url_searchers>();
    add_entries(searchers->server_paths, {excluded_url_patterns});
    add_entries(searchers->hosts, {llm_provider_hosts, noisy_infra_hosts});
    st.own_url_searchers = check(PyCapsule_New(searchers.get(), url_searchers_capsule, release_url_searchers));
    st.url_search = searchers.release();
}

namespace {

// Indexes into the provider names, in the order of build_provider_names.
enum provider : Py_ssize_t { openai, anthropic, google, meta, mistral, cohere, groq };

}  // namespace

ref build_provider_names() {
    static constexpr const char* names[] = {"Openai", "Anthropic", "Google", "Meta", "Mistral", "Cohere", "Groq"};
    return str_tuple(names);
}

namespace {

// The URL a filter reads: the first true value among `keys`, or "".
ref request_url(const spanbridge_state& st, PyObject* attrs, PyObject* fallback_key) {
    return first_true(attrs, {st.url_full.get(), st.http_url.get(), fallback_key}, st.empty.get());
}

// Whether `needle`, an exact str, occurs in the ASCII text `text`: a needle
// that is not ASCII cannot.
bool occurs_in_ascii(std::string_view text, PyObject* needle) noexcept {
    if (!PyUnicode_IS_ASCII(needle)) return false;
    const std::string_view n(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(needle)),
                             static_cast<std::size_t>(PyUnicode_GET_LENGTH(needle)));
    return text.find(n) != std::string_view::npos;
}

// Whether every item of `table`, an exact tuple or list, is an exact str.
bool str_items(PyObject* table) noexcept {
    const bool tuple = PyTuple_CheckExact(table);
    if (!tuple && !PyList_CheckExact(table)) return false;
    const Py_ssize_t n = tuple ? PyTuple_GET_SIZE(table) : PyList_GET_SIZE(table);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!PyUnicode_CheckExact(tuple ? PyTuple_GET_ITEM(table, i) : PyList_GET_ITEM(table, i))) return false;
    return true;
}

// Whether an entry of `table`, a tuple or list whose items are all exact
// strs, occurs in the ASCII text `haystack`.
bool table_mentions(PyObject* table, std::string_view haystack) noexcept {
    const bool tuple = PyTuple_CheckExact(table);
    const Py_ssize_t n = tuple ? PyTuple_GET_SIZE(table) : PyList_GET_SIZE(table);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (occurs_in_ascii(haystack, tuple ? PyTuple_GET_ITEM(table, i) : PyList_GET_ITEM(table, i))) return true;
    return false;
}

// The ASCII str `url` as text, lower-cased into `small` or `large` when `lower`.
std::string_view ascii_text(PyObject* url, bool lower, char (&small)[256], std::string& large) {
    const auto size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(url));
    const char* text = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(url));
    if (!lower) return {text, size};
    char* out = size <= sizeof small ? small : (large.resize(size), large.data());
    for (std::size_t i = 0; i < size; ++i)
        out[i] = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] + ('a' - 'A')) : text[i];
    return {out, size};
}

// Whether the ASCII str `url` (lowered first when `lower`) holds an entry
// of `table` when that is one of the module's own tables, searched as its
// filter searches it, by their automata: the server's paths in the URL as
// it is, the hosts in `url.lower()`; nothing otherwise. Every path of the
// server's begins "api/": the search starts at the first one.
std::optional<bool> own_table_mentions(const spanbridge_state& st, PyObject* table, PyObject* url, bool lower) noexcept {
    const Py_UCS1* const text = PyUnicode_1BYTE_DATA(url);
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(url));
    constexpr auto llm_hosts = static_cast<std::uint32_t>(std::size(llm_provider_hosts));
    if (table == st.own_excluded_url_patterns.get() && !lower) {
        const void* at = memmem(text, length, "api/", 4);
        const std::size_t skipped = at != nullptr ? static_cast<std::size_t>(static_cast<const Py_UCS1*>(at) - text) : length;
        return occurs_in(st.url_search->server_paths, text + skipped, length - skipped, excluded_url_patterns);
    }
    if (!lower) return std::nullopt;
    if (table == st.own_llm_provider_hosts.get()) return occurs_in(st.url_search->hosts, text, length, {}, 0, llm_hosts);
    if (table == st.own_noisy_infra_hosts.get()) return occurs_in(st.url_search->hosts, text, length, {}, llm_hosts);
    return std::nullopt;
}

// `any(entry in text for entry in <table name>)`, with `text` lower-cased
// first when `lower` (`url.lower()`). For an ASCII str and a table of strs,
// none of which runs Python code, the text is searched here, lower-cased
// into a buffer of its own; anything else as the Python code would.
bool url_mentions(const module_view& m, PyObject* table_name, PyObject* url, bool lower) {
    const auto& st = state_of(m);
    if (PyUnicode_CheckExact(url) && PyUnicode_IS_ASCII(url)) [[likely]] {
        ref table = global(m, table_name);
        if (const std::optional<bool> own = own_table_mentions(st, table.get(), url, lower)) [[likely]]
            return *own;
        if (str_items(table.get())) {
            char small[256];
            std::string large;
            return table_mentions(table.get(), ascii_text(url, lower, small, large));
        }
        // The table is looked up once, as the Python code does.
        ref text = lower ? text_lower(st, url) : ref::new_ref(url);
        return any_of(table.get(), [&](PyObject* entry) { return contains(text.get(), entry); });
    }
    ref text = lower ? text_lower(st, url) : ref::new_ref(url);
    ref table = global(m, table_name);
    return any_of(table.get(), [&](PyObject* entry) { return contains(text.get(), entry); });
}

ref is_tavrix_api_call_impl(const module_view& m, PyObject* const* args) {
    const auto& st = state_of(m);
    ref url = request_url(st, args[0], st.http_target.get());
    if (!truthy(url.get())) return boolean(false);
    // Case-sensitive: the server's paths are written in lower case.
    return boolean(url_mentions(m, st.EXCLUDED_URL_PATTERNS.get(), url.get(), false));
}

// The provider and noise filters: host names, so the URL is lower-cased.
ref host_filter(const module_view& m, PyObject* attrs, PyObject* table_name) {
    const auto& st = state_of(m);
    ref url = request_url(st, attrs, st.server_address.get());
    if (!truthy(url.get())) return boolean(false);
    return boolean(url_mentions(m, table_name, url.get(), true));
}

ref is_llm_provider_http_call_impl(const module_view& m, PyObject* const* args) {
    return host_filter(m, args[0], state_of(m).LLM_PROVIDER_HOSTS.get());
}

ref is_noisy_infra_call_impl(const module_view& m, PyObject* const* args) {
    return host_filter(m, args[0], state_of(m).NOISY_INFRA_HOSTS.get());
}

bool starts_with_any(PyObject* text, std::initializer_list<const char*> prefixes) noexcept {
    for (const char* prefix : prefixes)
        if (starts_with_ascii(text, prefix)) return true;
    return false;
}

// Whether the exact str `text` contains the ASCII text `needle`.
bool contains_ascii(PyObject* text, const char* needle) noexcept {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t start = 0; start < length; ++start) {
        Py_ssize_t i = 0;
        while (needle[i] != '\0' && start + i < length &&
               PyUnicode_READ(kind, data, start + i) == static_cast<Py_UCS4>(static_cast<unsigned char>(needle[i])))
            ++i;
        if (needle[i] == '\0') return true;
    }
    return false;
}

ref derive_llm_provider_impl(const module_view& m, PyObject* const* args) {
    const auto& st = state_of(m);
    ref lowered = text_lower(st, args[0]);
    PyObject* const name = lowered.get();
    Py_ssize_t found = -1;
    if (starts_with_any(name, {"gpt", "o1", "o3", "o4", "text-embedding", "dall-e", "whisper", "tts"}))
        found = openai;
    else if (starts_with_any(name, {"claude"}))
        found = anthropic;
    else if (starts_with_any(name, {"gemini"}))
        found = google;
    else if (starts_with_any(name, {"llama", "meta-llama", "codellama"}))
        found = meta;
    else if (starts_with_any(name, {"mistral"}))
        found = mistral;
    else if (starts_with_any(name, {"command", "embed-"}))
        found = cohere;
    else if (contains_ascii(name, "groq"))
        found = groq;
    if (found < 0) return none();
    return ref::new_ref(PyTuple_GET_ITEM(st.provider_names.get(), found));
}

constexpr param attrs_param[] = {
    {.name = "attrs", .type = arg_type::dict, .annotation = "dict"},
};

constexpr param model_name_param[] = {
    {.name = "model_name", .type = arg_type::str, .annotation = "str"},
};

}  // namespace

const function_def is_tavrix_api_call_def{
    .name = "_is_tavrix_api_call",
    .doc = "Whether the span is a call to the SDK's own server API: a path of\n"
           "_EXCLUDED_URL_PATTERNS in the URL (url.full, http.url or http.target).",
    .params = attrs_param,
    .return_annotation = "bool",
    .impl = is_tavrix_api_call_impl,
    .leaf = true,
};

std::optional<bool> own_filters_drop(const module_view& m, PyObject* attrs, copy_facts facts) {
    const auto& st = state_of(m);
    // A namespace as the module made it holds its own filters and tables.
    const bool as_made = base_of(m).module_namespace.unchanged();
    PyObject* const function_type = base_of(m).function_type.get();
    for (const auto& [name, def] : {std::pair{st.is_tavrix_api_call.get(), &is_tavrix_api_call_def},
                                    std::pair{st.is_llm_provider_http_call.get(), &is_llm_provider_http_call_def},
                                    std::pair{st.is_noisy_infra_call.get(), &is_noisy_infra_call_def}}) {
        if (as_made) break;
        ref function = global(m, name);
        if (definition_of(function_type, function.get()) != def) return std::nullopt;
    }
    // url.full, http.url, http.target, server.address: each absent or an
    // ASCII str, whose truth is its length.
    ref values[4];
    const attribute_index* const index = facts.index_of(attrs);
    constexpr attr_key keys[] = {attr_key::url_full, attr_key::http_url, attr_key::http_target, attr_key::server_address};
    for (std::size_t i = 0; i < std::size(keys); ++i) {
        values[i] = indexed_get(st, index, attrs, keys[i]);
        if (values[i] && !(PyUnicode_CheckExact(values[i].get()) && PyUnicode_IS_ASCII(values[i].get())))
            return std::nullopt;
    }
    auto first_nonempty = [&](std::initializer_list<std::size_t> order) -> PyObject* {
        for (std::size_t i : order)
            if (values[i] && PyUnicode_GET_LENGTH(values[i].get()) > 0) return values[i].get();
        return nullptr;
    };
    ref tables[3];
    if (as_made) {
        tables[0] = st.own_excluded_url_patterns.copy();
        tables[1] = st.own_llm_provider_hosts.copy();
        tables[2] = st.own_noisy_infra_hosts.copy();
    } else {
        tables[0] = global(m, st.EXCLUDED_URL_PATTERNS.get());
        tables[1] = global(m, st.LLM_PROVIDER_HOSTS.get());
        tables[2] = global(m, st.NOISY_INFRA_HOSTS.get());
        for (const ref& table : tables)
            if (!str_items(table.get())) return std::nullopt;
    }
    // The module's own tables, which never change, are searched by one
    // automaton each for the server's paths and for the hosts.
    const bool own_tables = tables[0].get() == st.own_excluded_url_patterns.get() &&
                            tables[1].get() == st.own_llm_provider_hosts.get() &&
                            tables[2].get() == st.own_noisy_infra_hosts.get();
    char small[256];
    std::string large;
    if (PyObject* url = first_nonempty({0, 1, 2})) {
        if (own_tables) {
            if (*own_table_mentions(st, tables[0].get(), url, false)) return true;
        } else if (table_mentions(tables[0].get(), ascii_text(url, false, small, large))) {
            return true;
        }
    }
    if (PyObject* url = first_nonempty({0, 1, 3})) {
        // Both host tables in one pass.
        if (own_tables) return occurs_in(st.url_search->hosts, PyUnicode_1BYTE_DATA(url),
                                         static_cast<std::size_t>(PyUnicode_GET_LENGTH(url)));
        const std::string_view lowered = ascii_text(url, true, small, large);
        return table_mentions(tables[1].get(), lowered) || table_mentions(tables[2].get(), lowered);
    }
    return false;
}

bool is_tavrix_api_call(const module_view& m, PyObject* attrs, const function_def** called) {
    ref answer = call_global(m, state_of(m).is_tavrix_api_call.get(), {attrs}, called);
    return truthy(answer.get());
}

const function_def is_llm_provider_http_call_def{
    .name = "_is_llm_provider_http_call",
    .doc = "Whether the span is a raw HTTP call to a known LLM provider API: a host of\n"
           "_LLM_PROVIDER_HOSTS in the lower-cased URL (url.full, http.url or\n"
           "server.address). The provider instrumentors record those calls in full.",
    .params = attrs_param,
    .return_annotation = "bool",
    .impl = is_llm_provider_http_call_impl,
    .leaf = true,
};

bool is_llm_provider_http_call(const module_view& m, PyObject* attrs, const function_def** called) {
    ref answer = call_global(m, state_of(m).is_llm_provider_http_call.get(), {attrs}, called);
    return truthy(answer.get());
}

const function_def is_noisy_infra_call_def{
    .name = "_is_noisy_infra_call",
    .doc = "Whether the span is infrastructure noise such as a model download: a host\n"
           "of _NOISY_INFRA_HOSTS in the lower-cased URL (url.full, http.url or\n"
           "server.address).",
    .params = attrs_param,
    .return_annotation = "bool",
    .impl = is_noisy_infra_call_impl,
    .leaf = true,
};

bool is_noisy_infra_call(const module_view& m, PyObject* attrs, const function_def** called) {
    ref answer = call_global(m, state_of(m).is_noisy_infra_call.get(), {attrs}, called);
    return truthy(answer.get());
}

const function_def derive_llm_provider_def{
    .name = "_derive_llm_provider",
    .doc = "The LLM provider a model name suggests (\"Openai\", \"Anthropic\", \"Google\",\n"
           "\"Meta\", \"Mistral\", \"Cohere\", \"Groq\"), or None.",
    .params = model_name_param,
    .return_annotation = "str | None",
    .impl = derive_llm_provider_impl,
    .leaf = true,
};

ref derive_llm_provider(const module_view& m, PyObject* model_name, const function_def** called) {
    return call_global(m, state_of(m).derive_llm_provider.get(), {model_name}, called);
}

}  // namespace tavrix::spanbridge
