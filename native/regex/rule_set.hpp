// A rule set: a whole table of patterns compiled once. Its entries in
// order (held, so that no identity it is compared by can be reused by
// another object while it lives), which of them the engine serves, and one
// scanner over those. Never changed once built: any number of threads scan
// with it at once (the caches hand it out shared, see pattern_cache.hpp).
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "../support/errors.hpp"
#include "table_scan.hpp"

namespace tavrix::regex {

struct rule_set {
    std::vector<ref> entries;                     // the table's values, in iteration order
    std::vector<int> slots;                       // per entry: its index among the served, -1 when not served
    std::shared_ptr<const table_scanner> scanner;  // over the served ones, in order; null: none served

    // Whether `entries` are this set's, one pointer comparison an entry.
    [[nodiscard]] bool same_entries(const std::vector<ref>& others) const noexcept;

    // The program of the `index`-th entry, when served.
    [[nodiscard]] const std::shared_ptr<const program>* program_of(std::size_t index) const noexcept;
};

// Builds the rule set of `entries` (values of a table, in order), each
// entry's program from `program_for` (null: not served). Called with the
// GIL held; `program_for` may run Python code.
[[nodiscard]] std::shared_ptr<const rule_set> build_rule_set(
    const std::vector<ref>& entries, const std::function<std::shared_ptr<const program>(PyObject*)>& program_for);

}  // namespace tavrix::regex
