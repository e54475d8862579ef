// A whole table of programs over one text in one pass: a per-character
// mask of which programs a position can concern (by the first two
// characters of their matches, or by their gate character) sends each
// program's matcher only where it can find something, and a watermark per
// program keeps any program from looking at text it has already covered.
// Programs the pass cannot filter (they can match the empty string, or
// start only at the beginning) are searched on their own.
//
// Worst case: the pass is linear in the text; each program's runs cover
// disjoint stretches, so the total is linear in the text times the
// programs' sizes.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "../support/ref.hpp"
#include "matcher.hpp"

namespace tavrix::regex {

enum class scan_mode : std::uint8_t {
    exists,       // whether each program matches
    first_match,  // the leftmost match of each program
};

struct scan_result {
    bool found = false;
    std::optional<match_span> span;  // first_match mode
};

class table_scanner {
public:
    explicit table_scanner(std::vector<std::shared_ptr<const program>> programs);

    // One result per program, in order, for an exact str.
    [[nodiscard]] std::vector<scan_result> scan(PyObject* text, scan_mode mode) const;

    [[nodiscard]] const std::vector<std::shared_ptr<const program>>& programs() const noexcept { return programs_; }

private:
    // Up to 64 filtered programs share one set of masks.
    struct group {
        std::vector<std::size_t> members;       // indexes into programs_
        std::array<std::uint64_t, 256> first{};  // by Latin-1 character: programs a position can concern
        std::vector<std::uint64_t> pairs;       // by hashed character pair, for `paired` programs
        std::uint64_t paired = 0;               // programs that also need the pair test
        std::uint64_t gates = 0;                // programs triggered by their gate character
        std::uint64_t wide_first = 0;           // programs a character above Latin-1 can concern
        std::uint64_t wide_second = 0;          // paired programs whose second set has such characters
    };

    template <class Char>
    void scan_group(const group& g, text_view<Char> text, scan_mode mode, std::vector<scan_result>& out,
                    workspace& ws) const;

    std::vector<std::shared_ptr<const program>> programs_;
    std::vector<group> groups_;
    std::vector<std::size_t> alone_;  // searched on their own
};

// The bucket of a pair of Latin-1 characters in a group's pair masks.
[[nodiscard]] constexpr std::size_t pair_bucket(std::uint32_t a, std::uint32_t b) noexcept {
    return ((((a << 8) | b) * 0x9E3779B1u) >> 20) & 4095u;
}

}  // namespace tavrix::regex
