// The character predicates and case mappings of the interpreter's own
// regular-expression matcher, code point for code point: the ASCII
// variants by their fixed definitions, the Unicode variants through the
// interpreter's Unicode database. Nothing here needs a running
// interpreter, only its library.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace tavrix::regex {

using code_point = std::uint32_t;

// \d \s \w and the line break with the ASCII flag (or in bytes patterns).
constexpr bool ascii_digit(code_point c) noexcept { return c >= '0' && c <= '9'; }
constexpr bool ascii_space(code_point c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }
constexpr bool ascii_alnum(code_point c) noexcept {
    return ascii_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
constexpr bool ascii_word(code_point c) noexcept { return ascii_alnum(c) || c == '_'; }
constexpr bool linebreak(code_point c) noexcept { return c == '\n'; }

// The Unicode variants (str patterns without the ASCII flag).
inline bool unicode_digit(code_point c) noexcept { return Py_UNICODE_ISDECIMAL(static_cast<Py_UCS4>(c)) != 0; }
inline bool unicode_space(code_point c) noexcept { return Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(c)) != 0; }
inline bool unicode_word(code_point c) noexcept {
    if (c < 128) return ascii_word(c);  // the same set there
    return Py_UNICODE_ISALNUM(static_cast<Py_UCS4>(c)) != 0;
}
inline bool unicode_linebreak(code_point c) noexcept {
    return Py_UNICODE_ISLINEBREAK(static_cast<Py_UCS4>(c)) != 0;
}

// Case mappings used by case-insensitive matching: ASCII-only lowering
// (ASCII flag), and the simple Unicode mappings.
constexpr code_point lower_ascii(code_point c) noexcept { return c >= 'A' && c <= 'Z' ? c + 32 : c; }
inline code_point lower_unicode(code_point c) noexcept {
    return static_cast<code_point>(Py_UNICODE_TOLOWER(static_cast<Py_UCS4>(c)));
}
inline code_point upper_unicode(code_point c) noexcept {
    return static_cast<code_point>(Py_UNICODE_TOUPPER(static_cast<Py_UCS4>(c)));
}

}  // namespace tavrix::regex
