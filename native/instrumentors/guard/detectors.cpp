// The local detection tier: the pattern tables, the flattening of a
// request into one text, and the detectors that name what they find.
//
// The tables are ordinary module attributes compiled with the
// interpreter's own re, so matching follows its dialect exactly, and an
// application that replaces or extends a table changes the next scan.
#include "guard.hpp"
#include "pattern_matching.hpp"

namespace tavrix::guard {

namespace {

struct labelled_pattern {
    const char* label;
    const char* pattern;
    bool ignore_case;
};

constexpr labelled_pattern pii_patterns[] = {
    {"ssn", R"(\b\d{3}-\d{2}-\d{4}\b)", false},
    {"email", R"(\b[A-Za-z0-9._%+-]+@[A-Za-z0-9.-]+\.[A-Z|a-z]{2,}\b)", false},
    {"phone", R"(\b(?:\+1[-.\s]?)?\(?\d{3}\)?[-.\s]?\d{3}[-.\s]?\d{4}\b)", false},
    {"credit_card", R"(\b(?:\d{4}[-\s]?){3}\d{4}\b)", false},
};

constexpr labelled_pattern credential_patterns[] = {
    {"password", R"((?:password|passwd|pwd)\s*[:=]\s*\S+)", true},
    {"api_key", R"((?:api[_-]?key|apikey|api[_-]?secret)\s*[:=]\s*\S+)", true},
    {"secret", R"((?:secret[_-]?key|access[_-]?key|client[_-]?secret)\s*[:=]\s*\S+)", true},
    {"aws_key", R"(\bAKIA[0-9A-Z]{16}\b)", false},
    {"generic_token", R"(\b(?:sk-|pk_live_|sk_live_|rk_live_|sk_test_)[a-zA-Z0-9]{20,}\b)", false},
    {"github_pat", R"(\bghp_[a-zA-Z0-9]{36}\b)", false},
    {"tavrix_key", R"(\btvx_sk_[a-zA-Z0-9]+\b)", false},
};

constexpr const char* injection_patterns[] = {
    R"(ignore\s+(?:all\s+)?previous\s+instructions)",
    R"(ignore\s+(?:all\s+)?above\s+instructions)",
    R"(you\s+are\s+now\s+(?:a|an)\s+)",
    R"(forget\s+(?:all\s+)?(?:your|previous)\s+instructions)",
    R"(disregard\s+(?:all\s+)?previous)",
    R"(new\s+instructions?\s*:)",
    R"(override\s+(?:your\s+)?(?:system|instructions))",
    R"(```system\b)",
    R"(\[system\]\s*:)",
    R"(<\|system\|>)",
    R"(ADMIN\s+MODE\s+ENABLED)",
    R"(developer\s+mode\s+(?:is\s+)?(?:enabled|activated|on))",
    R"(jailbreak)",
    R"(DAN\s+mode)",
};

// re.compile(pattern) or re.compile(pattern, re.IGNORECASE)
ref compile(PyObject* re, const char* pattern, bool ignore_case) {
    ref text = check(PyUnicode_FromString(pattern));
    if (!ignore_case) return check(PyObject_CallMethod(re, "compile", "O", text.get()));
    ref flag = check(PyObject_GetAttrString(re, "IGNORECASE"));
    return check(PyObject_CallMethod(re, "compile", "OO", text.get(), flag.get()));
}

template <std::size_t N>
ref labelled_table(PyObject* re, const labelled_pattern (&rows)[N]) {
    ref table = check(PyDict_New());
    for (const labelled_pattern& row : rows) {
        ref compiled = compile(re, row.pattern, row.ignore_case);
        check_status(PyDict_SetItemString(table.get(), row.label, compiled.get()));
    }
    return table;
}

// "<prefix><label>" for every label of the table whose pattern matches
// (`if pattern.search(text):`).
ref detect_labels(const module_view& m, PyObject* table_name, PyObject* prefix, PyObject* text) {
    const auto& st = state_of(m);
    ref violations = new_list();
    ref table = global(m, table_name);
    table_prescan pre;
    pre.scan(st, table.get(), text, regex::scan_mode::exists);
    std::size_t index = 0;
    for_each_pair(st, table.get(), [&](PyObject* label, PyObject* pattern) {
        if (!pattern_found(st, pre, index++, pattern, text)) return;
        ref description = concat({prefix, label});
        append(violations.get(), description.get());
    });
    return violations;
}

// The text blocks of a block-style content list, appended to `parts`.
void extract_blocks(const guard_state& st, PyObject* blocks, PyObject* parts) {
    for_each(blocks, [&](PyObject* block) {
        if (!PyDict_Check(block)) return;
        ref type = mapping_get(st, block, st.type.get(), nullptr);
        if (!equals(type.get(), st.text.get())) return;
        ref text = mapping_get(st, block, st.text.get(), st.empty.get());
        append(parts, text.get());
    });
}

ref extract_text_impl(const module_view& m, PyObject* const* args) {
    const auto& st = state_of(m);
    PyObject* const messages = args[0];
    PyObject* const system = args[1];

    ref parts = new_list();
    if (PyUnicode_GET_LENGTH(system) != 0) append(parts.get(), system);
    for_each_in_list(messages, [&](PyObject* msg) {
        if (!PyDict_Check(msg)) return;
        ref content = mapping_get(st, msg, st.content.get(), st.empty.get());
        if (PyUnicode_Check(content.get())) {
            append(parts.get(), content.get());
        } else if (PyList_Check(content.get())) {
            extract_blocks(st, content.get(), parts.get());
        }
    });
    return join(st.newline.get(), parts.get());
}

ref detect_pii_impl(const module_view& m, PyObject* const* args) {
    const auto& st = state_of(m);
    return detect_labels(m, st.PII_PATTERNS.get(), st.pii_prefix.get(), args[0]);
}

ref detect_credentials_impl(const module_view& m, PyObject* const* args) {
    const auto& st = state_of(m);
    return detect_labels(m, st.CREDENTIAL_PATTERNS.get(), st.credential_prefix.get(), args[0]);
}

ref detect_injection_impl(const module_view& m, PyObject* const* args) {
    const auto& st = state_of(m);
    PyObject* const text = args[0];
    ref violations = new_list();
    ref table = global(m, st.INJECTION_PATTERNS.get());
    table_prescan pre;
    pre.scan(st, table.get(), text, regex::scan_mode::first_match);
    std::size_t index = 0;
    for_each(table.get(), [&](PyObject* pattern) {
        ref matched = first_match_text(st, pre, index++, pattern, text);
        if (matched.get() == Py_None) return;
        ref description = concat({st.injection_prefix.get(), matched.get(), st.quote.get()});
        append(violations.get(), description.get());
    });
    return violations;
}

constexpr param extract_text_params[] = {
    {.name = "messages", .type = arg_type::list, .annotation = "list"},
    {.name = "system", .type = arg_type::str, .dflt = default_str(""), .annotation = "str"},
};

constexpr param text_params[] = {
    {.name = "text", .type = arg_type::str, .annotation = "str"},
};

}  // namespace

ref build_pii_patterns(PyObject* re) { return labelled_table(re, pii_patterns); }

ref build_credential_patterns(PyObject* re) { return labelled_table(re, credential_patterns); }

ref build_injection_patterns(PyObject* re) {
    ref table = new_list();
    for (const char* pattern : injection_patterns) {
        ref compiled = compile(re, pattern, true);
        append(table.get(), compiled.get());
    }
    return table;
}

const function_def extract_text_def = {
    .name = "_extract_text",
    .doc = "The request's text as one string: the system prompt first (when not empty),\n"
           "then every dict message's str content or the texts of its \"text\" blocks,\n"
           "joined with line feeds.",
    .params = extract_text_params,
    .returns = return_type::str,
    .return_annotation = "str",
    .impl = extract_text_impl,
};

ref extract_text(const module_view& m, PyObject* messages, PyObject* system) {
    return call_global(m, state_of(m).extract_text.get(), {messages, system});
}

const function_def detect_pii_def = {
    .name = "_detect_pii",
    .doc = "\"PII detected: <label>\" for each label of _PII_PATTERNS whose pattern\n"
           "matches the text, in table order.",
    .params = text_params,
    .return_annotation = "list[str]",
    .impl = detect_pii_impl,
};

ref detect_pii(const module_view& m, PyObject* text) {
    return call_global(m, state_of(m).detect_pii.get(), {text});
}

const function_def detect_credentials_def = {
    .name = "_detect_credentials",
    .doc = "\"Credential detected: <label>\" for each label of _CREDENTIAL_PATTERNS whose\n"
           "pattern matches the text, in table order.",
    .params = text_params,
    .return_annotation = "list[str]",
    .impl = detect_credentials_impl,
};

ref detect_credentials(const module_view& m, PyObject* text) {
    return call_global(m, state_of(m).detect_credentials.get(), {text});
}

const function_def detect_injection_def = {
    .name = "_detect_injection",
    .doc = "\"Prompt injection pattern: '<match>'\" for the first match of each pattern\n"
           "of _INJECTION_PATTERNS, in table order.",
    .params = text_params,
    .return_annotation = "list[str]",
    .impl = detect_injection_impl,
};

ref detect_injection(const module_view& m, PyObject* text) {
    return call_global(m, state_of(m).detect_injection.get(), {text});
}

}  // namespace tavrix::guard
