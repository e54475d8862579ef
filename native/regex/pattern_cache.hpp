// The programs of the `re.Pattern` objects a module has met, and the rule
// sets of the tables they form, in one garbage-collected object kept in
// the module's state.
//
// A rule set (rule_set.hpp) is a whole table compiled once. A table is looked up at every call and its entries compared by identity
// with the rule sets held (one pointer comparison an entry); any change to
// it (an entry added, replaced or removed, another dict) makes a new rule
// set, whose programs are taken from the rule sets held where their
// patterns are the same. A few rule sets are kept (the tables a module
// scans, and a recent change of each), the least recently used going
// first; memory is that of their programs, so in proportion to the tables
// (the programs' instruction counts are bounded, see compile_limits).
// Programs of single patterns asked for outside a table are kept apart,
// in a bounded cache. Everything is handed out shared, so an entry evicted
// meanwhile stays valid for whoever still uses it.
//
// Threads: the cache (its entries, and their recency order, which every
// lookup advances) is read and changed only with the GIL held. What it
// hands out is never changed once built, so a call that holds a program
// or a rule set scans with it with the GIL released while other threads
// evict it, build new ones or clear the cache. A rule set's entries are
// references: its last owner drops it with the GIL held (the calls own it
// from a local that goes out of scope with the GIL taken back).
#pragma once

#include <memory>
#include <vector>

#include "../support/errors.hpp"
#include "rule_set.hpp"

namespace tavrix::regex {

// A new, empty cache serving exact instances of `pattern_type` (re.Pattern).
[[nodiscard]] ref new_pattern_cache(PyObject* pattern_type);

// The program of `pattern`, compiled on first use; null when the engine
// does not serve it (not an exact re.Pattern of a str, or a pattern
// outside the supported syntax).
[[nodiscard]] std::shared_ptr<const program> cached_program(PyObject* cache, PyObject* pattern);

// The rule set of a table whose values are `entries`, in order (owned by
// the caller for the call); built on first use.
[[nodiscard]] std::shared_ptr<const rule_set> cached_rule_set(PyObject* cache, const std::vector<ref>& entries);

}  // namespace tavrix::regex
