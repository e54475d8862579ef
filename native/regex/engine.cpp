#include "engine.hpp"

#include <cstring>

namespace tavrix::regex {

namespace {

// Whether a pass over `length` characters with `programs` programs is
// worth releasing the GIL for: when length * (programs + 16) reaches 2**20.
// Measured (development build, English prose): the built-in credential
// table (7 patterns) scans some 0.6 ns a character, so the threshold falls
// near 45,000 characters and 27 microseconds; the 1,610 public secret rules
// some 29 ns a character, so near 650 characters and 19 microseconds; one
// program alone, near 60,000 characters. Releasing and taking back an
// uncontended GIL costs a microsecond or less: some 2 to 5 per cent of the
// smallest work released, nothing measurable above. The constant term
// stands for what a pass costs whatever its programs.
constexpr std::size_t release_from = std::size_t{1} << 20;

bool worth_releasing(PyObject* text, std::size_t programs) {
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    return length * (programs + 16) >= release_from;
}

// The substitution's result for an ASCII text and replacement (so an
// ASCII result): written into one new str, with no str per piece.
ref substitute_ascii(PyObject* repl, PyObject* text, const std::vector<match_span>& matches,
                     std::vector<match_span>* changed) {
    const auto size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    const auto repl_size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(repl));
    std::size_t length = size;
    for (const match_span& m : matches) length = length - (m.end - m.start) + repl_size;
    ref result = check(PyUnicode_New(static_cast<Py_ssize_t>(length), 127));
    const Py_UCS1* from = PyUnicode_1BYTE_DATA(text);
    const Py_UCS1* with = PyUnicode_1BYTE_DATA(repl);
    Py_UCS1* to = PyUnicode_1BYTE_DATA(result.get());
    std::size_t copied = 0, written = 0;
    for (const match_span& m : matches) {
        std::memcpy(to + written, from + copied, m.start - copied);
        written += m.start - copied;
        std::memcpy(to + written, with, repl_size);
        if (changed) changed->push_back({written, written + repl_size});
        written += repl_size;
        copied = m.end;
    }
    std::memcpy(to + written, from + copied, size - copied);
    return result;
}

}  // namespace

bool exists(const program& prog, PyObject* text, const signal_thread& signals) {
    workspace ws;
    released_gil gil(worth_releasing(text, 1), signals);
    return with_text(text, [&](auto view) { return matcher(prog, view, ws).exists(0); });
}

std::optional<match_span> search(const program& prog, PyObject* text, const signal_thread& signals, std::size_t pos,
                                 bool must_advance) {
    workspace ws;
    released_gil gil(worth_releasing(text, 1), signals);
    return with_text(text, [&](auto view) -> std::optional<match_span> {
        if (pos > view.size) return std::nullopt;
        return matcher(prog, view, ws).search(pos, must_advance);
    });
}

std::vector<scan_result> scan_table(const table_scanner& scanner, PyObject* text, scan_mode mode,
                                    const signal_thread& signals, std::size_t first, const rescan_hint* hint) {
    released_gil gil(worth_releasing(text, scanner.programs().size()), signals);
    return with_text(text, [&](auto view) { return scanner.scan(view, mode, first, hint, nullptr, &gil.poll()); });
}

ref substitute(const program& prog, PyObject* repl, PyObject* text, const signal_thread& signals, std::size_t from,
               const window_list* windows, std::vector<match_span>* changed, std::vector<match_span>* replaced) {
    // The matches first, with the GIL released when the text is long
    // enough; then, with it held, the pieces re's own substitution joins:
    // the text between matches (non-empty stretches only) and the
    // replacement for every match.
    std::vector<match_span> matches;
    {
        workspace ws;
        released_gil gil(worth_releasing(text, 1), signals);
        with_text(text, [&](auto view) {
            matcher(prog, view, ws, windows).each_match(from, [&](match_span m) { matches.push_back(m); });
        });
    }
    if (matches.empty()) return ref::new_ref(text);  // nothing matched
    if (replaced) replaced->insert(replaced->end(), matches.begin(), matches.end());
    if (PyUnicode_IS_ASCII(text) && PyUnicode_IS_ASCII(repl)) return substitute_ascii(repl, text, matches, changed);
    ref pieces = check(PyList_New(0));
    Py_ssize_t copied = 0;
    auto append = [&](PyObject* piece) { check_status(PyList_Append(pieces.get(), piece)); };
    const auto repl_size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(repl));
    std::size_t written = 0;  // the result's length so far
    for (const match_span& m : matches) {
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
    }
    const Py_ssize_t size = PyUnicode_GET_LENGTH(text);
    if (copied < size) {
        ref rest = check(PyUnicode_Substring(text, copied, size));
        append(rest.get());
    }
    ref joiner = check(PyUnicode_Substring(text, 0, 0));
    if (PyList_GET_SIZE(pieces.get()) == 0) return joiner;
    return check(PyUnicode_Join(joiner.get(), pieces.get()));
}

}  // namespace tavrix::regex
