// The differences between two token sequences, exactly as the standard
// library's difflib.SequenceMatcher(None, a, b, autojunk=False) reports
// them (no junk, no popular elements), in close to linear time.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "../support/checkpoint.hpp"
#include "suffix_automaton.hpp"

namespace tavrix::diff {

// a[a:a+size] == b[b:b+size]
struct block {
    std::uint32_t a, b, size;
    friend bool operator==(const block&, const block&) = default;
};

enum class edit : std::uint8_t { replace, remove, insert, equal };

// How to turn a[i1:i2] into b[j1:j2].
struct opcode {
    edit tag;
    std::uint32_t i1, i2, j1, j2;
    friend bool operator==(const opcode&, const opcode&) = default;
};

// The longest sequence length the diff accepts.
inline constexpr std::size_t max_tokens = std::size_t{1} << 30;

// Work counts of one diff, for tests of the bounded cases.
struct diff_stats {
    std::size_t steps = 0;        // ranges searched for a longest block
    std::size_t bound_tests = 0;  // exact lengths computed
};

// get_matching_blocks(): the matching blocks in order, adjacent ones
// merged, ending with the block (len(a), len(b), 0). Both sequences hold at
// most max_tokens tokens; any token values. `poll`, when given, is reached
// between blocks of the work (a token read, a step, a bound computed), and
// may abandon the diff by throwing.
[[nodiscard]] std::vector<block> matching_blocks(std::span<const token> a, std::span<const token> b,
                                                 diff_stats* stats = nullptr, checkpoint* poll = nullptr);

// get_opcodes()
[[nodiscard]] std::vector<opcode> opcodes(std::span<const token> a, std::span<const token> b,
                                          diff_stats* stats = nullptr, checkpoint* poll = nullptr);

}  // namespace tavrix::diff
