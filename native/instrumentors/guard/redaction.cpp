// Local redaction: every personal-data item and credential the pattern
// tables find is replaced by a placeholder naming its kind ("##EMAIL##").
// Injection phrases are detected but never rewritten.
#include "guard.hpp"
#include "pattern_matching.hpp"

namespace tavrix::guard {

namespace {

// Applies `pattern.sub("##" + label.upper() + "##", text)` for every row
// of the table, each on the output of the previous one, the placeholder
// inserted as it is (a label's backslash is no escape). One pass of the
// engine tells which of the served patterns match the text at all; those
// that do not leave it as it is (`sub` returns the very same str), until a
// substitution changes the text. The rest of the table is then scanned
// again, carrying over what the replacements cannot have changed when the
// engine made them (see regex::table_scanner::rescan).
ref substitute_table(const module_view& m, PyObject* table_name, ref text) {
    const auto& st = state_of(m);
    ref table = global(m, table_name);
    table_prescan pre;
    std::size_t index = 0;
    // Where the last substitution put its replacements, when the engine made it.
    replacements changed;
    bool changes_known = false;
    for_each_pair(st, table.get(), [&](PyObject* label, PyObject* pattern) {
        auto make_tag = [&] {
            ref upper = call_method(label, st.upper.get());
            if (PyUnicode_CheckExact(upper.get())) [[likely]]
                return concat({st.tag_mark.get(), upper.get(), st.tag_mark.get()});
            // As the expression adds them: an upper() that gives no str
            // raises the addition's TypeError.
            ref head = check(PyNumber_Add(st.tag_mark.get(), upper.get()));
            return check(PyNumber_Add(head.get(), st.tag_mark.get()));
        };
        // An exact str's upper() has no effects: its placeholder is made
        // only for a pattern that is applied. Any other label's runs first,
        // as the Python loop runs it.
        ref tag;
        if (!PyUnicode_CheckExact(label)) tag = make_tag();
        if (!pre.covers(text.get()) && PyUnicode_CheckExact(text.get()))
            pre.scan(st, table.get(), text.get(), regex::scan_mode::substitution, index,
                     changes_known ? &changed : nullptr);
        const regex::scan_result* known = pre.find(index, pattern, text.get());
        const regex::program* prog = pre.program(index++, pattern);
        if (known && !known->found) return;
        if (!tag) tag = make_tag();
        const bool scanned = known != nullptr;
        ref result = substitute(st, pattern, tag.get(), text.get(), known ? known->floor : 0,
                                known ? known->windows.get() : nullptr, prog, &changed, &changes_known);
        // The changes help the next scan only when it starts from this
        // text's own scan.
        changes_known = changes_known && scanned;
        text = std::move(result);
    });
    return text;
}

ref redact_text_impl(const module_view& m, PyObject* const* args) {
    const auto& st = state_of(m);
    // PII first: a PII item inside a credential assignment becomes its
    // placeholder, and the whole assignment then the credential's.
    ref redacted = substitute_table(m, st.PII_PATTERNS.get(), ref::new_ref(args[0]));
    return substitute_table(m, st.CREDENTIAL_PATTERNS.get(), std::move(redacted));
}

ref redact_messages_impl(const module_view& m, PyObject* const* args) {
    const auto& st = state_of(m);
    PyObject* const messages = args[0];
    PyObject* const system = args[1];
    auto redact = [&](PyObject* text) { return redact_text(m, text); };
    ref redacted = rewrite_messages(st, messages, redact);
    ref redacted_system = PyUnicode_GET_LENGTH(system) != 0 ? redact(system) : ref::new_ref(system);
    return check(PyTuple_Pack(2, redacted.get(), redacted_system.get()));
}

constexpr param redact_text_params[] = {
    {.name = "text", .type = arg_type::str, .annotation = "str"},
};

constexpr param redact_messages_params[] = {
    {.name = "messages", .type = arg_type::list, .annotation = "list"},
    {.name = "system", .type = arg_type::str, .dflt = default_str(""), .annotation = "str"},
};

}  // namespace

const function_def redact_text_def = {
    .name = "_redact_text",
    .doc = "The text with every match of _PII_PATTERNS, then of _CREDENTIAL_PATTERNS,\n"
           "replaced by \"##<LABEL>##\".",
    .params = redact_text_params,
    .returns = return_type::str,
    .return_annotation = "str",
    .impl = redact_text_impl,
};

ref redact_text(const module_view& m, PyObject* text) {
    return call_global(m, state_of(m).redact_text.get(), {text});
}

const function_def redact_messages_def = {
    .name = "_redact_messages",
    .doc = "(redacted copies of the messages, redacted system text).\n\n"
           "The arguments are never modified: dict messages and text blocks are copied,\n"
           "everything else is shared.",
    .params = redact_messages_params,
    .return_annotation = "tuple[list, str]",
    .impl = redact_messages_impl,
};

ref redact_messages(const module_view& m, PyObject* messages, PyObject* system) {
    return call_global(m, state_of(m).redact_messages.get(), {messages, system});
}

}  // namespace tavrix::guard
