#include "pattern_matching.hpp"

#include "../../regex/engine.hpp"

namespace tavrix::guard {

namespace {

// The table's values in iteration order, owned; nothing else runs while
// they are read.
std::vector<ref> snapshot(PyObject* table) {
    std::vector<ref> values;
    if (PyDict_CheckExact(table)) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(table, &pos, &key, &value)) values.push_back(ref::new_ref(value));
    } else if (PyList_CheckExact(table)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(table); ++i) values.push_back(ref::new_ref(PyList_GET_ITEM(table, i)));
    }
    return values;
}

}  // namespace

void table_prescan::scan(const guard_state& st, PyObject* table, PyObject* text, regex::scan_mode mode,
                         std::size_t from, const replacements* changes) {
    std::vector<ref> entries = snapshot(table);
    std::vector<regex::scan_result> before = std::move(results_);
    std::shared_ptr<const regex::rule_set> previous = std::move(set_);
    const std::size_t previous_first = first_;
    results_.clear();
    text_ = ref::new_ref(text);
    set_ = regex::cached_rule_set(st.regex_cache.get(), entries);
    if (!set_->scanner) return;
    std::size_t first = 0;  // among the served: the first at or after `from`
    for (std::size_t i = 0; i < from && i < set_->slots.size(); ++i)
        if (set_->slots[i] >= 0) ++first;
    // What was found before holds for the same rule set only.
    const bool same = changes && previous == set_ && before.size() == set_->scanner->programs().size();
    regex::rescan_hint hint{&before, previous_first, same ? &changes->changed : nullptr,
                            same ? &changes->replaced : nullptr};
    results_ = regex::scan_table(*set_->scanner, text, mode, st.signals, first, same ? &hint : nullptr);
    from_ = from;
    first_ = first;
}

bool pattern_found(const guard_state& st, const table_prescan& pre, std::size_t index, PyObject* pattern,
                   PyObject* text) {
    if (const regex::scan_result* known = pre.find(index, pattern, text)) return known->found;
    if (PyUnicode_CheckExact(text))
        if (auto prog = regex::cached_program(st.regex_cache.get(), pattern))
            return regex::exists(*prog, text, st.signals);
    ref match = call_method(pattern, st.search.get(), text);
    return truthy(match.get());
}

ref first_match_text(const guard_state& st, const table_prescan& pre, std::size_t index, PyObject* pattern,
                     PyObject* text) {
    std::optional<regex::match_span> span;
    if (const regex::scan_result* known = pre.find(index, pattern, text)) {
        span = known->span;
    } else if (auto prog = PyUnicode_CheckExact(text) ? regex::cached_program(st.regex_cache.get(), pattern)
                                                      : nullptr;
               prog && !prog->exists_only) {
        span = regex::search(*prog, text, st.signals);
    } else {
        ref match = call_method(pattern, st.search.get(), text);
        if (!truthy(match.get())) return none();
        return call_method(match.get(), st.group.get());
    }
    if (!span) return none();
    return check(PyUnicode_Substring(text, static_cast<Py_ssize_t>(span->start), static_cast<Py_ssize_t>(span->end)));
}

ref substitute(const guard_state& st, PyObject* pattern, PyObject* repl, PyObject* text, std::size_t from,
               const regex::window_list* windows, const regex::program* prog, replacements* changes, bool* known) {
    if (changes) {
        changes->changed.clear();
        changes->replaced.clear();
    }
    if (known) *known = false;
    if (PyUnicode_CheckExact(text) && PyUnicode_CheckExact(repl)) {
        std::shared_ptr<const regex::program> cached;
        if (!prog && (cached = regex::cached_program(st.regex_cache.get(), pattern)) && !cached->exists_only)
            prog = cached.get();
        if (prog) {
            if (known) *known = changes != nullptr;
            return regex::substitute(*prog, repl, text, st.signals, from, windows,
                                     changes ? &changes->changed : nullptr, changes ? &changes->replaced : nullptr);
        }
    }
    // The pattern's own sub reads a backslash in a replacement as an
    // escape: it gets the replacement with each one doubled, which it turns
    // back into the replacement as it is.
    ref literal = PyUnicode_Check(repl)
                      ? check(PyUnicode_Replace(repl, st.backslash.get(), st.two_backslashes.get(), -1))
                      : call_method(repl, st.replace.get(), st.backslash.get(), st.two_backslashes.get());
    return call_method(pattern, st.sub.get(), literal.get(), text);
}

}  // namespace tavrix::guard
