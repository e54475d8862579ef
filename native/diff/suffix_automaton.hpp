// The suffix automaton of a token sequence: the smallest automaton that
// accepts exactly its substrings, built online in linear time.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "../support/checkpoint.hpp"

namespace tavrix::diff {

using token = std::uint32_t;

inline constexpr std::uint32_t no_state = UINT32_MAX;

// State 0 is the root (the empty string). Every other state stands for a
// class of substrings that end at the same set of positions (their end
// positions); its strings are the suffixes of its longest one down to
// length `len[link[s]] + 1`. The suffix links form a tree rooted at 0 in
// which a state's end positions are the union of its children's, plus its
// own position when it is the state of a prefix of the text.
class suffix_automaton {
public:
    // At most 2^30 tokens.
    // `poll` is reached once a token.
    explicit suffix_automaton(std::span<const token> text, checkpoint* poll = nullptr);

    [[nodiscard]] std::uint32_t size() const noexcept { return static_cast<std::uint32_t>(length.size()); }

    // Where the walk of matching statistics stands: the longest suffix of
    // what has been read that is a substring of the text, as its state and
    // its length.
    struct cursor {
        std::uint32_t state = 0;
        std::uint32_t length = 0;
    };
    // Reads one more token (amortised O(1)).
    void advance(cursor& at, token t) const noexcept;

    // Frees the transitions; the suffix-link tree stays.
    void drop_transitions() noexcept;

    std::vector<std::uint32_t> length;      // longest string of the state
    std::vector<std::uint32_t> link;        // suffix link; no_state for the root
    std::vector<std::uint32_t> prefix_end;  // the end of the prefix the state stands for; no_state for clones

private:
    // A state's first transition is kept with the state (most states have
    // only one); the others in an open-addressing table keyed by (state,
    // token), and, for copying them to a clone, in a list per state.
    struct slot {
        std::uint64_t key;
        std::uint32_t target;
    };
    struct listed {
        token symbol;
        std::uint32_t next;
    };
    static constexpr std::uint64_t empty_key = UINT64_MAX;

    [[nodiscard]] std::size_t find_slot(std::uint32_t state, token t) const noexcept;
    [[nodiscard]] std::uint32_t target(std::uint32_t state, token t) const noexcept;
    void add_transition(std::uint32_t state, token t, std::uint32_t to);
    // The transition (state, t), which exists, now leads to `to`.
    void redirect(std::uint32_t state, token t, std::uint32_t to) noexcept;
    void grow();
    std::uint32_t new_state(std::uint32_t len, std::uint32_t end);
    void extend(token t, std::uint32_t end);

    std::vector<slot> slots_;
    std::size_t used_ = 0;
    unsigned shift_ = 0;  // 64 - log2(slot count)
    std::vector<listed> listed_;
    std::vector<std::uint32_t> first_listed_;  // per state
    std::vector<token> first_symbol_;          // per state: its first transition
    std::vector<std::uint32_t> first_target_;  // no_state when it has none
    std::uint32_t last_ = 0;
};

}  // namespace tavrix::diff
