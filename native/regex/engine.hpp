// The engine's operations on Python strs: what `pattern.search(text)` and
// `pattern.sub(repl, text)` answer, computed from the pattern's program on
// the str's own storage. The engine's core (programs, matcher, literal
// search, table scan) holds no Python object and calls no interpreter
// function but the Unicode database's predicates; this file, the front end
// and the caches are its boundary with the interpreter.
//
// Threads: the operations below release the GIL while the core runs over a
// large enough text (see worth_releasing in engine.cpp) and take it back
// to make Python objects. Their caller holds the text for the call and
// keeps the program or scanner alive for it by shared ownership (what the
// caches hand out), so that another thread that changes a table meanwhile
// cannot free what the core reads. `signals` says which thread stops for
// signal handlers (support/threads.hpp).
#pragma once

#include <optional>

#include "../support/errors.hpp"
#include "../support/threads.hpp"
#include "matcher.hpp"
#include "table_scan.hpp"

namespace tavrix::regex {

// Calls `f(text_view<Char>)` with the str's storage, whatever its width.
template <class F>
decltype(auto) with_text(PyObject* str, F&& f) {
    const auto size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND: return f(text_view<Py_UCS1>{PyUnicode_1BYTE_DATA(str), size});
        case PyUnicode_2BYTE_KIND: return f(text_view<Py_UCS2>{PyUnicode_2BYTE_DATA(str), size});
        default: return f(text_view<Py_UCS4>{PyUnicode_4BYTE_DATA(str), size});
    }
}

// bool(pattern.search(text)) for an exact str.
[[nodiscard]] bool exists(const program& prog, PyObject* text, const signal_thread& signals);

// pattern.search(text, pos).span(), sre's rule for a substitution's
// searches included (`must_advance`).
[[nodiscard]] std::optional<match_span> search(const program& prog, PyObject* text, const signal_thread& signals,
                                               std::size_t pos = 0, bool must_advance = false);

// pattern.sub(repl, text) for an exact str text and a str repl holding no
// backslash (inserted literally), when no match starts before `from`, nor
// outside `windows` when given. The same object comes back when nothing
// matched, as from `re`.
// When `changed` is given, the stretches of the result that replacements
// fill are appended to it, in order; when `replaced` is given, the
// stretches of `text` they replace (the matches), in order.
[[nodiscard]] ref substitute(const program& prog, PyObject* repl, PyObject* text, const signal_thread& signals,
                             std::size_t from = 0, const window_list* windows = nullptr,
                             std::vector<match_span>* changed = nullptr,
                             std::vector<match_span>* replaced = nullptr);

// The table scan over an exact str (see table_scanner::scan); a signal
// handler that raises abandons it.
[[nodiscard]] std::vector<scan_result> scan_table(const table_scanner& scanner, PyObject* text, scan_mode mode,
                                                  const signal_thread& signals, std::size_t first = 0,
                                                  const rescan_hint* hint = nullptr);

}  // namespace tavrix::regex
