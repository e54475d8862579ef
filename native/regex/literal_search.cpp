#include "literal_search.hpp"

#include <algorithm>

namespace tavrix::regex {

bool literal_searcher::add(std::uint32_t owner, const std::vector<literal>& literals) {
    std::size_t added = 0;  // an upper bound of the new states
    for (const literal& l : literals) added += l.size();
    if (trie_.size() + added > max_states) {
        // Exactly, before refusing: literals often share their prefixes.
        added = 0;
        for (const literal& l : literals) {
            std::uint32_t at = 0;
            bool fresh = false;
            for (const literal_position& p : l) {
                if (!fresh) {
                    const auto& kids = trie_[at].children;
                    auto it = std::find_if(kids.begin(), kids.end(), [&](const auto& e) { return e.first == p.fold; });
                    if (it != kids.end()) {
                        at = it->second;
                        continue;
                    }
                    fresh = true;
                }
                ++added;
            }
        }
        if (trie_.size() + added > max_states) return false;
    }
    for (std::uint32_t k = 0; k < literals.size(); ++k) {
        std::uint32_t at = 0;
        for (const literal_position& p : literals[k]) {
            auto& kids = trie_[at].children;
            auto it = std::find_if(kids.begin(), kids.end(), [&](const auto& e) { return e.first == p.fold; });
            if (it != kids.end()) {
                at = it->second;
                continue;
            }
            const auto child = static_cast<std::uint32_t>(trie_.size());
            trie_[at].children.emplace_back(p.fold, child);
            trie_.emplace_back();
            at = child;
        }
        trie_[at].outputs.push_back(entry{owner, k});
    }
    return true;
}

void literal_searcher::build() {
    // The symbols: one per folded character some literal holds.
    bool used[128] = {};
    for (const trie_node& n : trie_)
        for (const auto& [fold, child] : n.children) used[fold] = true;
    std::uint8_t symbol_of_fold[128] = {};
    symbols_ = 1;
    for (std::uint32_t f = 0; f < 128; ++f)
        if (used[f]) symbol_of_fold[f] = static_cast<std::uint8_t>(symbols_++);
    for (code_point c = 0; c < 128; ++c) ascii_symbol_[c] = symbol_of_fold[fold_of(c)];

    const std::size_t n = trie_.size();
    const std::size_t a = symbols_;
    delta_.assign(n * a, 0);
    std::vector<std::uint32_t> fail(n, 0);
    output_link_.assign(n, none);
    report_.assign(n, none);
    // Breadth first, so that a state's failure is complete before its children.
    std::vector<std::uint32_t> order{0};
    order.reserve(n);
    for (std::size_t k = 0; k < order.size(); ++k) {
        const std::uint32_t u = order[k];
        for (const auto& [fold, v] : trie_[u].children) {
            const std::uint8_t s = symbol_of_fold[fold];
            fail[v] = u == 0 ? 0 : delta_[fail[u] * a + s];
            delta_[u * a + s] = v;
            order.push_back(v);
        }
        if (u != 0)
            for (std::size_t s = 1; s < a; ++s)
                if (delta_[u * a + s] == 0) delta_[u * a + s] = delta_[fail[u] * a + s];
        if (u != 0) {
            const std::uint32_t f = fail[u];
            output_link_[u] = !trie_[f].outputs.empty() ? f : output_link_[f];
        }
        report_[u] = !trie_[u].outputs.empty() ? u : output_link_[u];
    }
    // Transitions as the next state's row, flagged where it reports.
    for (std::uint32_t& next : delta_)
        next = static_cast<std::uint32_t>(next * a) | (report_[next] != none ? reports : 0u);
    out_begin_.assign(n + 1, 0);
    for (std::size_t u = 0; u < n; ++u) {
        out_begin_[u] = static_cast<std::uint32_t>(outputs_.size());
        outputs_.insert(outputs_.end(), trie_[u].outputs.begin(), trie_[u].outputs.end());
    }
    out_begin_[n] = static_cast<std::uint32_t>(outputs_.size());
    trie_.clear();
    trie_.shrink_to_fit();
}

}  // namespace tavrix::regex
