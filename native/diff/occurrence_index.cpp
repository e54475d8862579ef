#include "occurrence_index.hpp"

#include <algorithm>
#include <utility>

namespace tavrix::diff {

occurrence_index::occurrence_index(const suffix_automaton& automaton)
    : length_(automaton.length), link_(automaton.link), ends_(order_ends(automaton)) {}

wavelet_matrix occurrence_index::order_ends(const suffix_automaton& automaton) {
    const std::uint32_t states = automaton.size();
    const auto& link = automaton.link;

    // Children of every state, as one array cut by offsets.
    std::vector<std::uint32_t> child_start(states + 1, 0);
    for (std::uint32_t s = 1; s < states; ++s) ++child_start[link[s] + 1];
    for (std::uint32_t s = 0; s < states; ++s) child_start[s + 1] += child_start[s];
    std::vector<std::uint32_t> children(states > 0 ? states - 1 : 0);
    {
        std::vector<std::uint32_t> fill(child_start.begin(), child_start.end() - 1);
        for (std::uint32_t s = 1; s < states; ++s) children[fill[link[s]]++] = s;
    }

    auto& first = first_;
    auto& last = last_;
    auto& jump = jump_;
    first.assign(states, 0);
    last.assign(states, 0);
    jump.assign(states, 0);
    min_end_.assign(states, no_state);
    max_end_.assign(states, 0);
    std::vector<std::uint32_t> depth(states, 0);
    std::vector<std::uint32_t> ends;
    ends.reserve(states);

    // Depth first without recursion: a stack of (state, next child).
    std::vector<std::pair<std::uint32_t, std::uint32_t>> stack;
    stack.reserve(64);
    auto enter = [&](std::uint32_t s) {
        first[s] = static_cast<std::uint32_t>(ends.size());
        if (automaton.prefix_end[s] != no_state) {
            ends.push_back(automaton.prefix_end[s]);
            min_end_[s] = max_end_[s] = automaton.prefix_end[s];
        }
        if (s != 0) {
            // Skew-binary jump pointers: a parent whose own jump spans as many
            // levels as its jump's jump does passes on the combined jump.
            const std::uint32_t p = link[s];
            const std::uint32_t pj = jump[p];
            depth[s] = depth[p] + 1;
            jump[s] = depth[p] - depth[pj] == depth[pj] - depth[jump[pj]] ? jump[pj] : p;
        }
        stack.emplace_back(s, child_start[s]);
    };
    enter(0);
    while (!stack.empty()) {
        auto& [s, next] = stack.back();
        if (next == child_start[s + 1]) {
            last[s] = static_cast<std::uint32_t>(ends.size());
            if (s != 0) {
                const std::uint32_t p = link[s];
                min_end_[p] = std::min(min_end_[p], min_end_[s]);
                max_end_[p] = std::max(max_end_[p], max_end_[s]);
            }
            stack.pop_back();
            continue;
        }
        const std::uint32_t child = children[next++];
        enter(child);
    }
    return wavelet_matrix(ends);
}

bool occurrence_index::ends_between(std::uint32_t state, std::uint32_t from, std::uint32_t to) const noexcept {
    const std::uint32_t lowest = min_end_[state], highest = max_end_[state];
    if (highest < from || lowest > to) return false;
    if (lowest >= from || highest <= to) return true;  // one of them lies inside
    const std::uint32_t end = ends_.next_value(first_[state], last_[state], from);
    return end != wavelet_matrix::none && end <= to;
}

occurrence_index::match occurrence_index::longest_within(std::uint32_t state, std::uint32_t cap, std::uint32_t lo,
                                                         std::uint32_t hi) const noexcept {
    // Whether some string of state s, at most cap long, occurs inside the
    // window: its shortest string is length_[link] + 1 long, so an end
    // position in [lo + length_[link], hi) is needed. Moving towards the
    // root, strings get shorter and end positions more numerous, so once
    // true it stays true.
    auto fits = [&](std::uint32_t s) {
        if (s == 0) return true;
        const std::uint32_t shortest = length_[link_[s]] + 1;
        return shortest <= cap && ends_between(s, lo + shortest - 1, hi - 1);
    };
    std::uint32_t s = state;
    bool found = fits(s);
    while (!found) {
        const std::uint32_t j = jump_[s];
        if (fits(j)) {
            s = link_[s];
            found = s == j || fits(s);
        } else {
            s = j;
        }
    }
    if (s == 0) return {0, 0};
    // The longest string of s inside the window ends at its last end
    // position before hi.
    const std::uint32_t end = max_end_[s] < hi ? max_end_[s] : ends_.prev_value(first_[s], last_[s], hi - 1);
    const std::uint32_t length = std::min({length_[s], cap, end - lo + 1});
    return {length, s};
}

}  // namespace tavrix::diff
