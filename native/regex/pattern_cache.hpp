// The programs of the `re.Pattern` objects a module has met, and the
// scanners of the tables they form, in one garbage-collected object kept
// in the module's state.
//
// An entry holds its pattern (so the pattern's identity, the key, cannot
// be reused by another object while the entry lives), and refusals are
// remembered like programs. The cache is bounded: the entries least
// recently used go first. Programs and scanners are handed out shared, so
// an entry evicted meanwhile stays valid for whoever still uses it.
#pragma once

#include <memory>
#include <vector>

#include "../support/errors.hpp"
#include "table_scan.hpp"

namespace tavrix::regex {

// A new, empty cache serving exact instances of `pattern_type` (re.Pattern).
[[nodiscard]] ref new_pattern_cache(PyObject* pattern_type);

// The program of `pattern`, compiled on first use; null when the engine
// does not serve it (not an exact re.Pattern of a str, or a pattern
// outside the supported syntax).
[[nodiscard]] std::shared_ptr<const program> cached_program(PyObject* cache, PyObject* pattern);

// A pattern the engine serves, with its program.
struct served_pattern {
    PyObject* pattern;  // borrowed from the caller
    std::shared_ptr<const program> prog;
};

// The scanner of these patterns, in this order.
[[nodiscard]] std::shared_ptr<const table_scanner> cached_scanner(PyObject* cache,
                                                                  const std::vector<served_pattern>& patterns);

}  // namespace tavrix::regex
