// Where the substrings of a suffix automaton's text occur, for matches that
// must lie inside a window of the text.
#pragma once

#include <cstdint>
#include <vector>

#include "suffix_automaton.hpp"
#include "wavelet_matrix.hpp"

namespace tavrix::diff {

// A state's end positions are the prefix positions in its subtree of the
// suffix-link tree: in a depth-first order of the tree they form one
// stretch, and a wavelet matrix over the positions in that order answers
// "the nearest end position of this state at or above / below x". Jump
// pointers on the tree (one per state) find the deepest ancestor with a
// monotone property in O(log depth) tests. Space O(m); built in O(m log m).
class occurrence_index {
public:
    // Keeps a reference to the automaton's length, link and prefix arrays.
    explicit occurrence_index(const suffix_automaton& automaton);

    struct match {
        std::uint32_t length;
        std::uint32_t state;  // the state of the matched string
    };

    // The longest suffix, at most `cap` tokens long, of a string of `state`
    // that occurs inside text[lo:hi] (lo < hi), with its state; length 0
    // when none does. `cap` must not exceed the state's longest length.
    [[nodiscard]] match longest_within(std::uint32_t state, std::uint32_t cap, std::uint32_t lo,
                                       std::uint32_t hi) const noexcept;

    // The smallest end position >= x of the strings of `state`, or
    // wavelet_matrix::none.
    [[nodiscard]] std::uint32_t first_end_from(std::uint32_t state, std::uint32_t x) const noexcept {
        if (min_end_[state] >= x) return min_end_[state];
        return ends_.next_value(first_[state], last_[state], x);
    }

private:
    // Whether the state has an end position in [from, to].
    [[nodiscard]] bool ends_between(std::uint32_t state, std::uint32_t from, std::uint32_t to) const noexcept;

    wavelet_matrix order_ends(const suffix_automaton& automaton);

    const std::vector<std::uint32_t>& length_;
    const std::vector<std::uint32_t>& link_;
    std::vector<std::uint32_t> first_, last_;  // the state's stretch [first, last) of the order
    std::vector<std::uint32_t> jump_;          // an ancestor, for the skew-binary search
    std::vector<std::uint32_t> min_end_, max_end_;  // the state's first and last end positions
    wavelet_matrix ends_;                      // end positions in depth-first order of their prefix states
};

}  // namespace tavrix::diff
