#include "engine.hpp"

namespace tavrix::regex {

bool exists(const program& prog, PyObject* text) {
    workspace ws;
    return with_text(text, [&](auto view) { return matcher(prog, view, ws).exists(0); });
}

std::optional<match_span> search(const program& prog, PyObject* text, std::size_t pos, bool must_advance) {
    workspace ws;
    return with_text(text, [&](auto view) -> std::optional<match_span> {
        if (pos > view.size) return std::nullopt;
        return matcher(prog, view, ws).search(pos, must_advance);
    });
}

std::vector<scan_result> scan_table(const table_scanner& scanner, PyObject* text, scan_mode mode, std::size_t first,
                                    const rescan_hint* hint) {
    return with_text(text, [&](auto view) { return scanner.scan(view, mode, first, hint); });
}

ref substitute(const program& prog, PyObject* repl, PyObject* text, std::size_t from, const window_list* windows,
               std::vector<match_span>* changed) {
    // The pieces re's own substitution joins: the text between matches
    // (non-empty stretches only) and the replacement for every match.
    ref pieces = check(PyList_New(0));
    Py_ssize_t copied = 0;
    auto append = [&](PyObject* piece) { check_status(PyList_Append(pieces.get(), piece)); };
    workspace ws;
    const auto repl_size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(repl));
    std::size_t written = 0;  // the result's length so far
    with_text(text, [&](auto view) {
        matcher(prog, view, ws, windows).each_match(from, [&](match_span m) {
            const auto start = static_cast<Py_ssize_t>(m.start);
            if (copied < start) {
                ref between = check(PyUnicode_Substring(text, copied, start));
                append(between.get());
                written += static_cast<std::size_t>(start - copied);
            }
            append(repl);
            if (changed) changed->push_back({written, written + repl_size});
            written += repl_size;
            copied = static_cast<Py_ssize_t>(m.end);
        });
    });
    const Py_ssize_t size = PyUnicode_GET_LENGTH(text);
    if (copied == 0 && PyList_GET_SIZE(pieces.get()) == 0) return ref::new_ref(text);  // nothing matched
    if (copied < size) {
        ref rest = check(PyUnicode_Substring(text, copied, size));
        append(rest.get());
    }
    ref joiner = check(PyUnicode_Substring(text, 0, 0));
    if (PyList_GET_SIZE(pieces.get()) == 0) return joiner;
    return check(PyUnicode_Join(joiner.get(), pieces.get()));
}

}  // namespace tavrix::regex
