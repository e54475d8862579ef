// One character-matching item of a pattern (a literal, a set, `.`), held
// as the interpreter's own compiler emits it for that item and evaluated
// exactly as the interpreter's matcher evaluates it; a bitmap answers for
// Latin-1 characters without evaluating anything.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "unicode.hpp"

namespace tavrix::regex {

// The item's code: an item operation and its arguments; the set
// operations follow `in*` items up to `set_end`. The numbering is this
// engine's own (the front end translates the interpreter's opcodes).
enum class class_op : std::uint32_t {
    // items
    literal,                  // c == x
    not_literal,              // c != x
    literal_lower_ascii,      // lower_ascii(c) == x
    not_literal_lower_ascii,  // lower_ascii(c) != x
    literal_lower,            // lower_unicode(c) == x
    not_literal_lower,        // lower_unicode(c) != x
    in,                       // set(c)
    in_lower_ascii,           // set(lower_ascii(c))
    in_lower,                 // set(lower_unicode(c))
    any,                      // c != '\n'
    any_all,                  // every character
    category,                 // category x (outside a set)
    // set members
    set_end,
    set_literal,      // x
    set_category,     // category x
    set_charset,      // 8 words: a 256-bit map
    set_range,        // lo hi
    set_range_lower,  // lo hi, also tried on upper_unicode(c)
    set_negate,
    set_bigcharset,   // count, 64 words of block numbers (bytes), count * 8 words of maps
};

enum class category : std::uint32_t {
    digit, not_digit, space, not_space, word, not_word, linebreak, not_linebreak,
    uni_digit, uni_not_digit, uni_space, uni_not_space, uni_word, uni_not_word,
    uni_linebreak, uni_not_linebreak,
    count_,
};

[[nodiscard]] bool category_contains(category cat, code_point c) noexcept;

class char_class {
public:
    // The class of a validated code (see `make`).
    [[nodiscard]] static std::optional<char_class> make(std::vector<std::uint32_t> code);

    // Convenience constructors (the engine's tests and analyses).
    [[nodiscard]] static char_class of_literal(code_point c);
    [[nodiscard]] static char_class of_range(code_point lo, code_point hi, bool negated = false);
    [[nodiscard]] static char_class of_category(category cat);
    [[nodiscard]] static char_class of_any(bool dotall);

    [[nodiscard]] bool contains(code_point c) const noexcept {
        if (c < 256) return (latin1_[c >> 6] >> (c & 63)) & 1u;
        return wide_ == wide_kind::all || (wide_ == wide_kind::evaluate && evaluate(c));
    }

    // The answer as the item's code gives it (what `contains` caches).
    [[nodiscard]] bool evaluate(code_point c) const noexcept;

    [[nodiscard]] const std::array<std::uint64_t, 4>& latin1() const noexcept { return latin1_; }
    // Whether characters above Latin-1 may be members: never, always, or
    // depending on the character.
    [[nodiscard]] bool may_contain_wide() const noexcept { return wide_ != wide_kind::none; }
    [[nodiscard]] bool contains_all_wide() const noexcept { return wide_ == wide_kind::all; }
    [[nodiscard]] const std::vector<std::uint32_t>& code() const noexcept { return code_; }
    [[nodiscard]] int latin1_count() const noexcept;

    friend bool operator==(const char_class& a, const char_class& b) noexcept { return a.code_ == b.code_; }

private:
    enum class wide_kind : std::uint8_t { none, all, evaluate };
    explicit char_class(std::vector<std::uint32_t> code);

    std::vector<std::uint32_t> code_;
    std::array<std::uint64_t, 4> latin1_{};
    wide_kind wide_ = wide_kind::evaluate;
};

// Whether `code` is one well-formed item (every operand present, every
// block number of a big charset inside the maps, nothing after it).
[[nodiscard]] bool valid_class_code(std::span<const std::uint32_t> code) noexcept;

}  // namespace tavrix::regex
