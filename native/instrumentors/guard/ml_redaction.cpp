// Replaying the server's redactions on individual messages.
//
// The server scrubs the joined text of a request and returns one blob
// without offsets. Diffing the scanned text against the scrubbed one, word
// token by word token, rebuilds its edits as literal (found, placeholder)
// pairs, which are then applied to every message after the local pattern
// redaction. Tokens keep the pairs whole words: a character diff aligns a
// name with the letters its placeholder shares with it ("Emma" against
// "[NAME]" would keep "Em" and pair "ma" with "]").
//
// The diff is difflib.SequenceMatcher's, imported at each call. While that
// is the genuine class, the same opcodes come from the native diff
// (native/diff), in close to linear time where difflib's own takes time
// quadratic in the number of tokens; any other class is called as Python
// code would call it.
#include <algorithm>
#include <utility>
#include <vector>

#include "../../diff/sequence_diff.hpp"
#include "../../support/code_guard.hpp"
#include "../../support/except.hpp"
#include "../../support/threads.hpp"
#include "guard.hpp"
#include "word_tokens.hpp"

namespace tavrix::guard {

namespace {

// A placeholder longer than this (or than twice the text it replaced)
// is taken for a rewrite of the surrounding text, not an entity's tag.
constexpr Py_ssize_t min_placeholder_limit = 64;

// The methods SequenceMatcher(...).get_opcodes() runs.
constexpr const char* matcher_methods[] = {
    "__init__", "set_seqs", "set_seq1", "set_seq2", "find_longest_match", "get_matching_blocks", "get_opcodes",
};

// --- difflib as captured with the module ------------------------------
//
// The native diff stands for SequenceMatcher(...).get_opcodes() while what
// that runs is what it was when the module was imported: the guard
// (support/code_guard.hpp) holds SequenceMatcher and the Match class its
// methods build their blocks with, whole, the code of every function of
// theirs, and every name that code reads as a global, in its globals and builtins.

// Whether the class imported now is the SequenceMatcher captured with the
// module, and what its diff runs is as captured.
bool genuine_matcher(const guard_state& st, PyObject* matcher_class) {
    return matcher_class == st.matcher_class && st.matcher_guard.holds();
}

// text[start:stop].strip() of an exact str.
ref stripped(PyObject* text, Py_ssize_t start, Py_ssize_t stop) {
    const int kind = PyUnicode_KIND(text);
    const void* const data = PyUnicode_DATA(text);
    while (start < stop && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) ++start;
    while (stop > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, stop - 1))) --stop;
    return check(PyUnicode_Substring(text, start, stop));
}

struct substitution {
    Py_ssize_t found_length;
    ref pair;
};

// Keeps (found, placeholder), two exact strs, when both are non-empty and
// the placeholder is not too long for what it replaced.
void keep_pair(std::vector<substitution>& pairs, const ref& found, const ref& placeholder) {
    const Py_ssize_t found_length = PyUnicode_GET_LENGTH(found.get());
    const Py_ssize_t placeholder_length = PyUnicode_GET_LENGTH(placeholder.get());
    if (found_length == 0 || placeholder_length == 0) return;
    if (placeholder_length > std::max(min_placeholder_limit, 2 * found_length)) return;
    pairs.push_back({found_length, check(PyTuple_Pack(2, found.get(), placeholder.get()))});
}

// The texts' tokens as numbers for the diff: those of `b` numbered first,
// a token of `a` that `b` lacks as `unknown` (it can match nothing).
struct numbered_tokens {
    token_numbers numbers;
    std::vector<diff::token> a, b;
};

// The GIL is released for the native diff from this many code points of
// the two texts together: the diff then takes some 35 microseconds (1 MB
// some 120 ms), against a microsecond or less to release and take back an
// uncontended GIL; below it the release would cost more than it gives.
constexpr Py_ssize_t release_from = 2048;

// The native diff of the two texts' tokens: the pairs of its replace
// opcodes, in diff order. Splitting, numbering and diffing read the two
// strs' storage only (the call holds both): they run with the GIL released
// when the texts are long enough, and can be stopped by a signal handler
// between blocks (released_gil::poll). The pairs are made after.
std::vector<substitution> native_pairs(const guard_state& st, PyObject* original, PyObject* redacted) {
    word_tokens a, b;
    std::vector<diff::opcode> replaced;
    {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(original) + PyUnicode_GET_LENGTH(redacted);
        released_gil gil(length >= release_from, st.signals);
        a = split_words(original);
        b = split_words(redacted);
        numbered_tokens tokens;
        tokens.b.reserve(b.count());
        for (std::size_t k = 0; k < b.count(); ++k) {
            tokens.b.push_back(tokens.numbers.add(code_points_of(redacted, b.starts[k], b.starts[k + 1])));
            gil.poll().reached();
        }
        tokens.a.reserve(a.count());
        for (std::size_t k = 0; k < a.count(); ++k) {
            tokens.a.push_back(tokens.numbers.find(code_points_of(original, a.starts[k], a.starts[k + 1])));
            gil.poll().reached();
        }
        for (const diff::opcode& op : diff::opcodes(tokens.a, tokens.b, nullptr, &gil.poll()))
            if (op.tag == diff::edit::replace) replaced.push_back(op);
    }

    std::vector<substitution> pairs;
    for (const diff::opcode& op : replaced) {
        // The joined tokens are the text between the first one's start and
        // the last one's end.
        ref found = stripped(original, a.starts[op.i1], a.starts[op.i2]);
        ref placeholder = stripped(redacted, b.starts[op.j1], b.starts[op.j2]);
        keep_pair(pairs, found, placeholder);
    }
    return pairs;
}

// The tokens as a new list of str.
ref token_list(PyObject* text, const word_tokens& tokens) {
    ref list = check(PyList_New(static_cast<Py_ssize_t>(tokens.count())));
    for (std::size_t k = 0; k < tokens.count(); ++k) {
        ref piece = check(PyUnicode_Substring(text, tokens.starts[k], tokens.starts[k + 1]));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), piece.release());
    }
    return list;
}

// "".join(tokens[start:stop]).strip()
ref joined_slice(const guard_state& st, PyObject* tokens, PyObject* start, PyObject* stop) {
    ref bounds = check(PySlice_New(start, stop, nullptr));
    ref piece = check(PyObject_GetItem(tokens, bounds.get()));
    ref joined = join(st.empty.get(), piece.get());
    return call_method(joined.get(), st.strip.get());
}

// The diff of `matcher_class`, whatever it is, called as Python code calls
// it: SequenceMatcher(None, a_tokens, b_tokens, autojunk=False).
std::vector<substitution> matcher_pairs(const guard_state& st, PyObject* matcher_class, PyObject* original,
                                        const word_tokens& a, PyObject* redacted, const word_tokens& b) {
    ref a_tokens = token_list(original, a);
    ref b_tokens = token_list(redacted, b);
    PyObject* matcher_args[] = {nullptr, Py_None, a_tokens.get(), b_tokens.get(), Py_False};
    ref matcher = check(PyObject_Vectorcall(matcher_class, matcher_args + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                            st.autojunk_kwnames.get()));
    ref opcodes = call_method(matcher.get(), st.get_opcodes.get());
    std::vector<substitution> pairs;
    for_each(opcodes.get(), [&](PyObject* opcode) {
        auto [tag, i1, i2, j1, j2] = unpack<5, unpack_wording::compact>(opcode);
        if (differs(tag.get(), st.replace.get())) return;
        ref found = joined_slice(st, a_tokens.get(), i1.get(), i2.get());
        ref placeholder = joined_slice(st, b_tokens.get(), j1.get(), j2.get());
        // Exact strs: str.join and str.strip make nothing else.
        keep_pair(pairs, found, placeholder);
    });
    return pairs;
}

// The diff's "replace" opcodes as pairs, in diff order.
std::vector<substitution> diff_pairs(const module_view& m, PyObject* original, PyObject* redacted) {
    const auto& st = state_of(m);
    ref matcher_class = import_from(m, st.difflib.get(), st.sequence_matcher.get(), 0);
    if (genuine_matcher(st, matcher_class.get())) return native_pairs(st, original, redacted);
    const word_tokens a = split_words(original);
    const word_tokens b = split_words(redacted);
    return matcher_pairs(st, matcher_class.get(), original, a, redacted, b);
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

// _token_opcodes(a_tokens, b_tokens): the native diff's opcodes for two
// lists of str, as get_opcodes() gives them.
ref token_opcodes_impl(const module_view& m, PyObject* const* args) {
    const auto& st = state_of(m);
    PyObject* const a_tokens = args[0];
    PyObject* const b_tokens = args[1];
    // No Python code runs from here to the end of the diff, so the items
    // the lists lend stay alive.
    numbered_tokens tokens;
    auto number = [&](PyObject* list, std::vector<diff::token>& out, bool add) {
        const Py_ssize_t count = PyList_GET_SIZE(list);
        out.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t k = 0; k < count; ++k) {
            PyObject* const item = PyList_GET_ITEM(list, k);
            if (!PyUnicode_CheckExact(item)) raise_expected_type("str", item);
            const code_points t = code_points_of(item, 0, PyUnicode_GET_LENGTH(item));
            out.push_back(add ? tokens.numbers.add(t) : tokens.numbers.find(t));
        }
    };
    number(b_tokens, tokens.b, true);
    number(a_tokens, tokens.a, false);

    ref result = new_list();
    for (const diff::opcode& op : diff::opcodes(tokens.a, tokens.b)) {
        PyObject* const tags[] = {st.replace.get(), st.delete_tag.get(), st.insert_tag.get(), st.equal_tag.get()};
        ref i1 = check(PyLong_FromUnsignedLong(op.i1)), i2 = check(PyLong_FromUnsignedLong(op.i2));
        ref j1 = check(PyLong_FromUnsignedLong(op.j1)), j2 = check(PyLong_FromUnsignedLong(op.j2));
        ref entry = check(PyTuple_Pack(5, tags[static_cast<int>(op.tag)], i1.get(), i2.get(), j1.get(), j2.get()));
        append(result.get(), entry.get());
    }
    return result;
}

constexpr param token_opcodes_params[] = {
    {.name = "a_tokens", .type = arg_type::list, .annotation = "list[str]"},
    {.name = "b_tokens", .type = arg_type::list, .annotation = "list[str]"},
};

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

void capture_sequence_matcher(guard_state& st) {
    // Without a usable difflib now, every diff calls what the call imports.
    swallow_exceptions([&] {
        ref difflib = import_module(st.difflib.get());
        ref matcher_class = check(PyObject_GetAttr(difflib.get(), st.sequence_matcher.get()));
        ref match_class = check(PyObject_GetAttr(difflib.get(), st.match_class_name.get()));
        // Only difflib's own class: a plain class whose functions were all
        // defined in difflib, with every method the diff runs.
        if (Py_TYPE(matcher_class.get()) != &PyType_Type || !PyType_Check(match_class.get())) return;
        auto* const matcher = reinterpret_cast<PyTypeObject*>(matcher_class.get());
        PyObject* const mro = matcher->tp_mro;
        if (PyTuple_GET_SIZE(mro) != 2 || PyTuple_GET_ITEM(mro, 1) != reinterpret_cast<PyObject*>(&PyBaseObject_Type))
            return;
        ref methods = compat::type_dict(matcher);
        for (const char* method : matcher_methods) {
            ref key = intern(method);
            ref function = compat::dict_get(methods.get(), key.get());
            if (!function || !PyFunction_Check(function.get())) return;
        }
        code_guard_capture capture;
        capture.add_class(matcher);
        capture.add_class(reinterpret_cast<PyTypeObject*>(match_class.get()));
        if (!capture.add_class_functions(matcher, PyModule_GetDict(difflib.get()))) return;
        if (!capture.add_class_functions(reinterpret_cast<PyTypeObject*>(match_class.get()))) return;
        capture.seal(st.matcher_guard, st.guarded_code, st.namespace_watch);
        st.matcher_class = matcher_class.get();
    });
}

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

const function_def token_opcodes_def = {
    .name = "_token_opcodes",
    .doc = "difflib.SequenceMatcher(None, a_tokens, b_tokens, autojunk=False).get_opcodes(),\n"
           "computed by the native diff: the opcodes _ml_substitutions uses for the tokens\n"
           "of its two texts.",
    .params = token_opcodes_params,
    .return_annotation = "list[tuple[str, int, int, int, int]]",
    .impl = token_opcodes_impl,
};

}  // namespace tavrix::guard
