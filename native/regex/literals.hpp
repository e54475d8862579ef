// The literals a pattern's matches must contain, and where a match can
// start relative to them: what lets a whole table be searched for all of
// its literals in one pass, and each pattern's matcher run only near its
// literals' occurrences.
//
// A literal is a sequence of positions, each a folded character (what the
// multi-literal search compares: ASCII lowered, and the four characters
// outside ASCII that the interpreter's case-insensitive matching pairs
// with ASCII letters, folded onto those) and the class the text's
// character must then be in (what confirms an occurrence exactly). Only
// classes whose members are all known are used: their members are ASCII
// or those four, and they fold to few values (a class folding to several
// becomes as many literals).
//
// Every match of the pattern contains one of the literals of `required`
// starting between `lead_min` and `lead_max` characters after the match's
// start (lead_max may be `unbounded`). Assertions count as matching
// anywhere and widths as their bounds, so the condition is necessary,
// never sufficient: a match is always confirmed by the matcher.
#pragma once

#include <cstdint>
#include <vector>

#include "char_class.hpp"
#include "syntax.hpp"

namespace tavrix::regex {

struct literal_position {
    std::uint8_t fold = 0;  // a folded character, below 128
    std::uint32_t cls = 0;  // the program's class the character must be in
};

using literal = std::vector<literal_position>;

struct required_literals {
    std::vector<literal> strings;  // empty: none known
    std::uint32_t lead_min = 0;
    std::uint32_t lead_max = 0;
    // The longest a match can be (`unbounded`: no bound), whether or not
    // literals are known: how far a change in the text can reach back.
    std::uint32_t longest = unbounded;

    [[nodiscard]] bool known() const noexcept { return !strings.empty(); }
    // The length of the shortest literal.
    [[nodiscard]] std::size_t shortest() const noexcept;
};

// The characters outside ASCII that case-insensitive matching pairs with
// ASCII letters, and their folds.
inline constexpr code_point ascii_partners[4][2] = {{0x130, 'i'}, {0x131, 'i'}, {0x17F, 's'}, {0x212A, 'k'}};

// The folded value of a text character, or -1 when no literal holds it.
[[nodiscard]] inline int fold_of(code_point c) noexcept {
    if (c < 128) return (c >= 'A' && c <= 'Z') ? static_cast<int>(c + 32) : static_cast<int>(c);
    for (const auto& [partner, fold] : ascii_partners)
        if (c == partner) return static_cast<int>(fold);
    return -1;
}

// Limits of the analysis: literals of at most this many positions (longer
// ones are cut, which keeps them required), sets of at most this many
// literals (an alternation of words may have more than a product).
struct literal_limits {
    std::size_t max_length = 32;
    std::size_t max_product = 64;
    std::size_t max_alternatives = 1024;
    std::size_t max_class_folds = 4;
};

// The best literals of a pattern whose character nodes index `classes`.
// Linear in the pattern (each node's sets are bounded by the limits).
[[nodiscard]] required_literals find_required_literals(const node& pattern, const std::vector<char_class>& classes,
                                                       const literal_limits& limits = {});

}  // namespace tavrix::regex
