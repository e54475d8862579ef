// The text as the engine reads it, and the assertions on it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "syntax.hpp"
#include "unicode.hpp"  // the interpreter's headers first: the version part of compat.hpp reads them
#define TAVRIX_COMPAT_COMPILER_ONLY
#include "../support/compat.hpp"
#undef TAVRIX_COMPAT_COMPILER_ONLY

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

// Whether a word boundary (`boundary`) or its negation holds between a
// character that is a word character or not (`before`) and the next
// (`after`; both false past either end), in a text that is empty or not.
// On an empty text the interpreter's matcher holds neither before 3.14;
// from 3.14 \B holds there, as everywhere \b does not.
[[nodiscard]] constexpr bool word_assertion_holds(bool boundary, bool before, bool after, bool empty_text) noexcept {
    if (empty_text && !TAVRIX_NON_BOUNDARY_HOLDS_ON_EMPTY_TEXT) return false;
    return (before != after) == boundary;
}

// Whether assertion `a` holds at `pos`, as the interpreter's matcher
// decides it.
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
        case assertion::non_boundary:
            return word_assertion_holds(a == assertion::boundary, pos > 0 && ascii_word(text[pos - 1]),
                                        pos < n && ascii_word(text[pos]), n == 0);
        case assertion::uni_boundary:
        case assertion::uni_non_boundary:
            return word_assertion_holds(a == assertion::uni_boundary, pos > 0 && unicode_word(text[pos - 1]),
                                        pos < n && unicode_word(text[pos]), n == 0);
        case assertion::count_: break;
    }
    return false;
}

}  // namespace tavrix::regex
