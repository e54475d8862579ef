#include "rule_set.hpp"

namespace tavrix::regex {

bool rule_set::same_entries(const std::vector<ref>& others) const noexcept {
    if (entries.size() != others.size()) return false;
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (entries[i].get() != others[i].get()) return false;
    return true;
}

const std::shared_ptr<const program>* rule_set::program_of(std::size_t index) const noexcept {
    if (index >= slots.size() || slots[index] < 0) return nullptr;
    return &scanner->programs()[static_cast<std::size_t>(slots[index])];
}

std::shared_ptr<const rule_set> build_rule_set(
    const std::vector<ref>& entries, const std::function<std::shared_ptr<const program>(PyObject*)>& program_for) {
    auto set = std::make_shared<rule_set>();
    set->slots.assign(entries.size(), -1);
    std::vector<std::shared_ptr<const program>> served;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        PyObject* pattern = entries[i].get();
        set->entries.push_back(ref::new_ref(pattern));
        std::shared_ptr<const program> prog = program_for(pattern);
        if (!prog) continue;
        set->slots[i] = static_cast<int>(served.size());
        served.push_back(std::move(prog));
    }
    if (!served.empty()) set->scanner = std::make_shared<const table_scanner>(std::move(served));
    return set;
}

}  // namespace tavrix::regex
