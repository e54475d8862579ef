// The text as the engine reads it, and the assertions on it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "syntax.hpp"
#include "unicode.hpp"

namespace tavrix::regex {

inline constexpr std::size_t no_position = static_cast<std::size_t>(-1);

struct match_span {
    std::size_t start = 0;
    std::size_t end = 0;
};

// The text as the matcher reads it: one of the interpreter's three storage
// widths, never converted.
template <class Char>
struct text_view {
    const Char* data = nullptr;
    std::size_t size = 0;

    [[nodiscard]] code_point operator[](std::size_t i) const noexcept { return static_cast<code_point>(data[i]); }
};

// Whether assertion `a` holds at `pos`, as the interpreter's matcher
// decides it (on an empty text no word boundary holds, nor its negation).
template <class Char>
[[nodiscard]] bool assertion_holds(assertion a, text_view<Char> text, std::size_t pos) noexcept {
    const std::size_t n = text.size;
    switch (a) {
        case assertion::beginning: return pos == 0;
        case assertion::beginning_line: return pos == 0 || text[pos - 1] == '\n';
        case assertion::end: return pos == n || (pos + 1 == n && text[pos] == '\n');
        case assertion::end_line: return pos == n || text[pos] == '\n';
        case assertion::end_string: return pos == n;
        case assertion::boundary:
        case assertion::non_boundary: {
            if (n == 0) return false;
            const bool before = pos > 0 && ascii_word(text[pos - 1]);
            const bool after = pos < n && ascii_word(text[pos]);
            return (before != after) == (a == assertion::boundary);
        }
        case assertion::uni_boundary:
        case assertion::uni_non_boundary: {
            if (n == 0) return false;
            const bool before = pos > 0 && unicode_word(text[pos - 1]);
            const bool after = pos < n && unicode_word(text[pos]);
            return (before != after) == (a == assertion::uni_boundary);
        }
        case assertion::count_: break;
    }
    return false;
}

}  // namespace tavrix::regex
