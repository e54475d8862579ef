// Replaying the server's redactions on individual messages.
//
// The server scrubs the joined text of a request and returns one blob
// without offsets. Diffing the scanned text against the scrubbed one
// rebuilds its edits as literal (found, placeholder) pairs, which are then
// applied to every message after the local pattern redaction.
#include <algorithm>
#include <vector>

#include "../../support/except.hpp"
#include "guard.hpp"

namespace tavrix::guard {

namespace {

// A placeholder longer than this (or than twice the text it replaced)
// is taken for a rewrite of the surrounding text, not an entity's tag.
constexpr Py_ssize_t min_placeholder_limit = 64;

// text[start:stop].strip()
ref stripped_slice(const guard_state& st, PyObject* text, PyObject* start, PyObject* stop) {
    ref bounds = check(PySlice_New(start, stop, nullptr));
    ref piece = check(PyObject_GetItem(text, bounds.get()));
    return call_method(piece.get(), st.strip.get());
}

struct substitution {
    Py_ssize_t found_length;
    ref pair;
};

// The diff's "replace" opcodes as pairs, in diff order.
std::vector<substitution> diff_pairs(const module_view& m, PyObject* original, PyObject* redacted) {
    const auto& st = state_of(m);
    ref matcher_class = import_from(m, st.difflib.get(), st.sequence_matcher.get(), 0);
    // SequenceMatcher(None, original, redacted, autojunk=False): no junk
    // heuristics, so long prompts are compared character by character.
    PyObject* matcher_args[] = {nullptr, Py_None, original, redacted, Py_False};
    ref matcher = check(PyObject_Vectorcall(matcher_class.get(), matcher_args + 1,
                                            3 | PY_VECTORCALL_ARGUMENTS_OFFSET, st.autojunk_kwnames.get()));
    ref opcodes = call_method(matcher.get(), st.get_opcodes.get());
    std::vector<substitution> pairs;
    for_each(opcodes.get(), [&](PyObject* opcode) {
        auto [tag, i1, i2, j1, j2] = unpack<5, unpack_wording::compact>(opcode);
        if (!equals(tag.get(), st.replace.get())) return;
        ref found = stripped_slice(st, original, i1.get(), i2.get());
        ref placeholder = stripped_slice(st, redacted, j1.get(), j2.get());
        if (!truthy(found.get()) || !truthy(placeholder.get())) return;
        const Py_ssize_t found_length = length(found.get());
        if (length(placeholder.get()) > std::max(min_placeholder_limit, 2 * found_length)) return;
        ref pair = check(PyTuple_Pack(2, found.get(), placeholder.get()));
        pairs.push_back({found_length, std::move(pair)});
    });
    return pairs;
}

ref ml_substitutions_impl(const module_view& m, PyObject* const* args) {
    PyObject* const original = args[0];
    PyObject* const redacted = args[1];
    if (PyUnicode_GET_LENGTH(original) == 0 || PyUnicode_GET_LENGTH(redacted) == 0) return new_list();
    const int same = PyUnicode_Compare(original, redacted);
    if (same == -1 && PyErr_Occurred()) throw_error();
    if (same == 0) return new_list();

    ref result = new_list();
    // Any failure leaves the local redaction alone in force.
    swallow_exceptions([&] {
        std::vector<substitution> pairs = diff_pairs(m, original, redacted);
        // Longest found text first, so an entity is replaced before any
        // shorter one nested inside it; equal lengths keep diff order.
        std::stable_sort(pairs.begin(), pairs.end(),
                         [](const substitution& a, const substitution& b) { return a.found_length > b.found_length; });
        ref sorted = new_list();
        for (const substitution& s : pairs) append(sorted.get(), s.pair.get());
        result = std::move(sorted);
    });
    return result;
}

// text.replace(found, placeholder); exact strs directly.
ref replace_all(const guard_state& st, PyObject* text, PyObject* found, PyObject* placeholder) {
    if (PyUnicode_CheckExact(text) && PyUnicode_Check(found) && PyUnicode_Check(placeholder)) [[likely]]
        return check(PyUnicode_Replace(text, found, placeholder, -1));
    return call_method(text, st.replace.get(), found, placeholder);
}

ref apply_substitutions_impl(const module_view& m, PyObject* const* args) {
    const auto& st = state_of(m);
    PyObject* const pairs = args[1];
    ref text = ref::new_ref(args[0]);
    if (PyUnicode_GET_LENGTH(text.get()) == 0 || !truthy(pairs)) return text;
    for_each(pairs, [&](PyObject* pair) {
        auto [found, placeholder] = unpack<2, unpack_wording::compact>(pair);
        if (!truthy(found.get())) return;
        if (!check_status(PySequence_Contains(text.get(), found.get()))) return;
        text = replace_all(st, text.get(), found.get(), placeholder.get());
    });
    return text;
}

ref redact_messages_ml_impl(const module_view& m, PyObject* const* args) {
    const auto& st = state_of(m);
    PyObject* const messages = args[0];
    PyObject* const system = args[1];
    PyObject* const pairs = args[2];

    ref local = redact_messages(m, messages, system);
    auto [redacted, redacted_system] = unpack<2, unpack_wording::compact>(local.get());
    if (!truthy(pairs)) return check(PyTuple_Pack(2, redacted.get(), redacted_system.get()));

    auto substitute = [&](PyObject* text) { return apply_substitutions(m, text, pairs); };
    ref replayed = rewrite_messages(st, redacted.get(), substitute);
    ref replayed_system = substitute(truthy(redacted_system.get()) ? redacted_system.get() : st.empty.get());
    return check(PyTuple_Pack(2, replayed.get(), replayed_system.get()));
}

constexpr param ml_substitutions_params[] = {
    {.name = "original", .type = arg_type::str, .annotation = "str"},
    {.name = "redacted", .type = arg_type::str, .annotation = "str"},
};

constexpr param apply_substitutions_params[] = {
    {.name = "text", .type = arg_type::str, .annotation = "str"},
    {.name = "pairs", .annotation = "list"},
};

constexpr param redact_messages_ml_params[] = {
    {.name = "messages", .type = arg_type::list, .annotation = "list"},
    {.name = "system", .type = arg_type::str, .annotation = "str"},
    {.name = "pairs", .annotation = "list"},
};

}  // namespace

const function_def ml_substitutions_def = {
    .name = "_ml_substitutions",
    .doc = "The (found, placeholder) pairs by which `redacted` differs from `original`,\n"
           "longest found text first; an empty list when nothing can be rebuilt.",
    .params = ml_substitutions_params,
    .return_annotation = "list[tuple[str, str]]",
    .impl = ml_substitutions_impl,
};

ref ml_substitutions(const module_view& m, PyObject* original, PyObject* redacted) {
    return call_global(m, state_of(m).ml_substitutions.get(), {original, redacted});
}

const function_def apply_substitutions_def = {
    .name = "_apply_substitutions",
    .doc = "The text with every occurrence of each pair's found text replaced by its\n"
           "placeholder, pair by pair.",
    .params = apply_substitutions_params,
    .returns = return_type::str,
    .return_annotation = "str",
    .impl = apply_substitutions_impl,
};

ref apply_substitutions(const module_view& m, PyObject* text, PyObject* pairs) {
    return call_global(m, state_of(m).apply_substitutions.get(), {text, pairs});
}

const function_def redact_messages_ml_def = {
    .name = "_redact_messages_ml",
    .doc = "_redact_messages(messages, system), then the pairs applied to every text of\n"
           "the copies: (messages, system text).",
    .params = redact_messages_ml_params,
    .return_annotation = "tuple[list, str]",
    .impl = redact_messages_ml_impl,
};

ref redact_messages_ml(const module_view& m, PyObject* messages, PyObject* system, PyObject* pairs) {
    return call_global(m, state_of(m).redact_messages_ml.get(), {messages, system, pairs});
}

}  // namespace tavrix::guard
