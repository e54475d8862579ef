// The pattern tables matched with the module's own regular-expression
// engine wherever it serves the pattern (an exact re.Pattern within its
// syntax), with the same answers as the pattern's own `search` and `sub`,
// which every other entry still gets.
#pragma once

#include <optional>
#include <vector>

#include "../../regex/pattern_cache.hpp"
#include "guard.hpp"

namespace tavrix::guard {

// What one pass of the engine over a text found for the served entries of
// a table, by position in the table's iteration order. The table is
// walked again for the answers (so that an application's objects are
// still called as before, in order); an answer is used only for the same
// text and the same pattern at the same position.
class table_prescan {
public:
    table_prescan() = default;

    // The engine's answer for the `index`-th entry, `pattern`, on `text`.
    [[nodiscard]] const regex::scan_result* find(std::size_t index, PyObject* pattern, PyObject* text) const noexcept {
        if (!set_ || text != text_.get() || index < from_ || index >= set_->entries.size() ||
            set_->entries[index].get() != pattern)
            return nullptr;
        const int slot = set_->slots[index];
        if (slot < 0 || results_.empty()) return nullptr;
        const regex::scan_result& r = results_[static_cast<std::size_t>(slot)];
        return r.answered ? &r : nullptr;
    }

    // The program of the `index`-th entry, `pattern`, when the engine serves it.
    [[nodiscard]] const regex::program* program(std::size_t index, PyObject* pattern) const noexcept {
        if (!set_ || index >= set_->entries.size() || set_->entries[index].get() != pattern) return nullptr;
        const int slot = set_->slots[index];
        if (slot < 0) return nullptr;
        const regex::program* prog = set_->scanner->programs()[static_cast<std::size_t>(slot)].get();
        return prog->exists_only ? nullptr : prog;
    }

    [[nodiscard]] bool covers(PyObject* text) const noexcept { return text_ && text == text_.get(); }

    // Scans the served entries of `table` (an exact dict of patterns or an
    // exact list) at `from` and after, on `text`; other tables get no
    // prescan. With `changes`: `text` is the one scanned before with the
    // engine's replacements there, and the scan carries over what was found
    // there (see regex::rescan_hint).
    void scan(const guard_state& st, PyObject* table, PyObject* text, regex::scan_mode mode, std::size_t from = 0,
              const struct replacements* changes = nullptr);

private:
    ref text_;
    std::shared_ptr<const regex::rule_set> set_;  // the table's entries, in order, and the served ones' scanner
    std::size_t from_ = 0;                         // entries before this one were not scanned
    std::size_t first_ = 0;                        // nor the programs before this one
    std::vector<regex::scan_result> results_;
};

// Where a substitution by the engine put its replacements in its result
// (`changed`) and what they replaced in its text (`replaced`), in order,
// one for one.
struct replacements {
    std::vector<regex::match_span> changed;
    std::vector<regex::match_span> replaced;
};

// bool(pattern.search(text)), for the `index`-th entry of a prescanned table.
[[nodiscard]] bool pattern_found(const guard_state& st, const table_prescan& pre, std::size_t index,
                                 PyObject* pattern, PyObject* text);

// pattern.search(text).group(), or None when it does not match.
[[nodiscard]] ref first_match_text(const guard_state& st, const table_prescan& pre, std::size_t index,
                                   PyObject* pattern, PyObject* text);

// pattern.sub(repl, text) with `repl` inserted as it is (its backslashes
// are no escapes), where no match starts before `from`, nor outside
// `windows` when given; `prog`, when given, is the pattern's.
// When the engine made it and `changes` is given, the replacements are
// put there (else `changes` is left empty and `*known` false).
[[nodiscard]] ref substitute(const guard_state& st, PyObject* pattern, PyObject* repl, PyObject* text,
                             std::size_t from = 0, const regex::window_list* windows = nullptr,
                             const regex::program* prog = nullptr, replacements* changes = nullptr,
                             bool* known = nullptr);

}  // namespace tavrix::guard
