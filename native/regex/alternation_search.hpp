// The literal-alternation strategy: every match starts with one of many
// literals (`(?:w1|w2|...)`, with or without assertions around it), so
// only where one of them occurs can a match start. The literal automaton
// finds the occurrences in one pass; the program then runs from each
// occurrence's start alone, in order of the starts, and the first that
// matches is the leftmost match, with the end the core search would give
// it (the program's own priorities decide which alternative wins there).
//
// The automaton reports occurrences by their ends, so a start is taken
// only once the pass is a longest literal past it: no occurrence reported
// later can start before it.
//
// Worst case: the pass is linear in the text plus the occurrences; the
// runs from the starts are charged to the matcher's budget (lead_search.hpp),
// past which the core search takes over from the first start not yet
// decided, so the whole stays linear.
#pragma once

#include <algorithm>

#include "literal_search.hpp"
#include "matcher.hpp"

namespace tavrix::regex {

template <class Char>
auto matcher<Char>::alternation_search(std::size_t from, bool must_advance) -> lead_outcome {
    const std::size_t n = text_.size;
    if (from > n) return {};
    const literal_searcher& searcher = *prog_.starts;
    const std::vector<literal>& strings = prog_.literal.strings;
    const std::size_t longest = prog_.longest_start;
    auto& pending = pending_starts_;
    pending.clear();
    auto report = [&](std::size_t end, const literal_searcher::entry& e) {
        const literal& l = strings[e.literal];
        const std::size_t start = end - l.size();
        if (literal_fits(prog_, l, text_, start)) pending.push_back(start);
    };
    // Stretches of the pass between which the starts that are decided
    // are run, so that an early match ends the pass.
    constexpr std::size_t stretch = 256;
    std::uint32_t state = 0;
    std::size_t last_tried = no_position;
    for (std::size_t pos = from; pos < n || !pending.empty();) {
        const std::size_t to = std::min(n, pos + stretch);
        if (pos < to) state = searcher.scan(text_, pos, to, state, report);
        spend(to - pos);
        pos = to;
        // Starts no later occurrence can precede, in order.
        std::sort(pending.begin(), pending.end());
        std::size_t taken = 0;
        for (; taken < pending.size(); ++taken) {
            const std::size_t start = pending[taken];
            if (pos < n && start + longest > pos) break;
            if (start == last_tried) continue;
            last_tried = start;
            const std::optional<std::size_t> end = anchored_end(prog_, start, must_advance && start == from);
            if (lead_budget_ == 0) return {lead_outcome::gave_up, {}, start};
            if (end) return {lead_outcome::found, {start, *end}, 0};
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(taken));
        if (lead_budget_ == 0) {
            // Not yet reported: occurrences ending past `pos`.
            std::size_t resume = std::max(from, pos + 1 - std::min(pos + 1, longest));
            if (!pending.empty()) resume = std::min(resume, pending.front());
            return {lead_outcome::gave_up, {}, resume};
        }
        if (pos >= n && pending.empty()) break;
    }
    return {};
}

}  // namespace tavrix::regex
