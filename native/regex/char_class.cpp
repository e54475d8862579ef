#include "char_class.hpp"

#include <bit>

namespace tavrix::regex {

namespace {

constexpr std::uint32_t op_value(class_op op) noexcept { return static_cast<std::uint32_t>(op); }

// Operand words after each set operation (the big charset's vary).
bool set_operands(class_op op, std::size_t& words) noexcept {
    switch (op) {
        case class_op::set_literal:
        case class_op::set_category: words = 1; return true;
        case class_op::set_charset: words = 8; return true;
        case class_op::set_range:
        case class_op::set_range_lower: words = 2; return true;
        case class_op::set_negate: words = 0; return true;
        default: return false;
    }
}

// Membership in the set starting at `set`, as the interpreter's matcher
// tests it (the character is already lowered where the item says so).
bool in_set(const std::uint32_t* set, code_point c) noexcept {
    bool ok = true;
    for (;;) {
        switch (static_cast<class_op>(*set++)) {
            case class_op::set_end: return !ok;
            case class_op::set_literal:
                if (c == set[0]) return ok;
                set += 1;
                break;
            case class_op::set_category:
                if (category_contains(static_cast<category>(set[0]), c)) return ok;
                set += 1;
                break;
            case class_op::set_charset:
                if (c < 256 && (set[c / 32] & (1u << (c & 31)))) return ok;
                set += 8;
                break;
            case class_op::set_range:
                if (set[0] <= c && c <= set[1]) return ok;
                set += 2;
                break;
            case class_op::set_range_lower: {
                if (set[0] <= c && c <= set[1]) return ok;
                const code_point upper = upper_unicode(c);
                if (set[0] <= upper && upper <= set[1]) return ok;
                set += 2;
                break;
            }
            case class_op::set_negate: ok = !ok; break;
            case class_op::set_bigcharset: {
                const std::uint32_t count = *set++;
                int block = -1;
                if (c < 0x10000u) block = reinterpret_cast<const unsigned char*>(set)[c >> 8];
                set += 64;
                if (block >= 0) {
                    const std::uint32_t bit = static_cast<std::uint32_t>(block) * 256u + (c & 255u);
                    if (set[bit / 32] & (1u << (c & 31))) return ok;
                }
                set += count * 8;
                break;
            }
            default: return false;
        }
    }
}

// What the set answers for every character above Latin-1 when that does
// not depend on the character; nullopt when it does.
std::optional<bool> set_answer_above_latin1(const std::uint32_t* set) noexcept {
    bool ok = true;
    for (;;) {
        std::optional<bool> member;  // the item's answer for wide characters
        switch (static_cast<class_op>(*set++)) {
            case class_op::set_end: return !ok;
            case class_op::set_literal:
                if (set[0] >= 256) return std::nullopt;
                set += 1;
                member = false;
                break;
            case class_op::set_category:
                switch (static_cast<category>(set[0])) {
                    case category::digit:
                    case category::space:
                    case category::word:
                    case category::linebreak: member = false; break;
                    case category::not_digit:
                    case category::not_space:
                    case category::not_word:
                    case category::not_linebreak: member = true; break;
                    default: return std::nullopt;
                }
                set += 1;
                break;
            case class_op::set_charset:
                set += 8;
                member = false;
                break;
            case class_op::set_range:
                if (set[1] >= 256) return std::nullopt;
                set += 2;
                member = false;
                break;
            case class_op::set_negate: ok = !ok; continue;
            default: return std::nullopt;
        }
        if (*member) return ok;
    }
}

}  // namespace

bool category_contains(category cat, code_point c) noexcept {
    switch (cat) {
        case category::digit: return ascii_digit(c);
        case category::not_digit: return !ascii_digit(c);
        case category::space: return ascii_space(c);
        case category::not_space: return !ascii_space(c);
        case category::word: return ascii_word(c);
        case category::not_word: return !ascii_word(c);
        case category::linebreak: return linebreak(c);
        case category::not_linebreak: return !linebreak(c);
        case category::uni_digit: return unicode_digit(c);
        case category::uni_not_digit: return !unicode_digit(c);
        case category::uni_space: return unicode_space(c);
        case category::uni_not_space: return !unicode_space(c);
        case category::uni_word: return unicode_word(c);
        case category::uni_not_word: return !unicode_word(c);
        case category::uni_linebreak: return unicode_linebreak(c);
        case category::uni_not_linebreak: return !unicode_linebreak(c);
        case category::count_: break;
    }
    return false;
}

bool valid_class_code(std::span<const std::uint32_t> code) noexcept {
    if (code.empty()) return false;
    const auto op = static_cast<class_op>(code[0]);
    switch (op) {
        case class_op::literal:
        case class_op::not_literal:
        case class_op::literal_lower_ascii:
        case class_op::not_literal_lower_ascii:
        case class_op::literal_lower:
        case class_op::not_literal_lower: return code.size() == 2;
        case class_op::category:
            return code.size() == 2 && code[1] < static_cast<std::uint32_t>(category::count_);
        case class_op::any:
        case class_op::any_all: return code.size() == 1;
        case class_op::in:
        case class_op::in_lower_ascii:
        case class_op::in_lower: break;
        default: return false;
    }
    std::size_t i = 1;
    while (i < code.size()) {
        const auto item = static_cast<class_op>(code[i++]);
        if (item == class_op::set_end) return i == code.size();
        std::size_t words = 0;
        if (item == class_op::set_bigcharset) {
            if (i >= code.size()) return false;
            const std::uint32_t count = code[i++];
            if (count > 256 || code.size() - i < 64) return false;
            const auto* blocks = reinterpret_cast<const unsigned char*>(code.data() + i);
            for (int b = 0; b < 256; ++b)
                if (blocks[b] >= count) return false;
            words = 64 + std::size_t{count} * 8;
        } else if (!set_operands(item, words)) {
            return false;
        }
        if (code.size() - i < words) return false;
        if (item == class_op::set_category && code[i] >= static_cast<std::uint32_t>(category::count_)) return false;
        i += words;
    }
    return false;
}

char_class::char_class(std::vector<std::uint32_t> code) : code_(std::move(code)) {
    for (code_point c = 0; c < 256; ++c)
        if (evaluate(c)) latin1_[c >> 6] |= std::uint64_t{1} << (c & 63);

    const std::uint32_t x = code_.size() > 1 ? code_[1] : 0;
    switch (static_cast<class_op>(code_[0])) {
        case class_op::literal:
        case class_op::literal_lower_ascii: wide_ = x < 256 ? wide_kind::none : wide_kind::evaluate; break;
        case class_op::not_literal:
        case class_op::not_literal_lower_ascii: wide_ = x < 256 ? wide_kind::all : wide_kind::evaluate; break;
        case class_op::any:
        case class_op::any_all: wide_ = wide_kind::all; break;
        case class_op::category:
            switch (static_cast<category>(x)) {
                case category::digit:
                case category::space:
                case category::word:
                case category::linebreak: wide_ = wide_kind::none; break;
                case category::not_digit:
                case category::not_space:
                case category::not_word:
                case category::not_linebreak: wide_ = wide_kind::all; break;
                default: break;
            }
            break;
        case class_op::in:
        case class_op::in_lower_ascii:
            // Lowering leaves characters above ASCII unchanged.
            if (const auto answer = set_answer_above_latin1(code_.data() + 1))
                wide_ = *answer ? wide_kind::all : wide_kind::none;
            break;
        default: break;  // lowering can bring a wide character into Latin-1
    }
}

std::optional<char_class> char_class::make(std::vector<std::uint32_t> code) {
    if (!valid_class_code(code)) return std::nullopt;
    return char_class(std::move(code));
}

bool char_class::evaluate(code_point c) const noexcept {
    const std::uint32_t* code = code_.data();
    const std::uint32_t x = code_.size() > 1 ? code[1] : 0;
    switch (static_cast<class_op>(code[0])) {
        case class_op::literal: return c == x;
        case class_op::not_literal: return c != x;
        case class_op::literal_lower_ascii: return lower_ascii(c) == x;
        case class_op::not_literal_lower_ascii: return lower_ascii(c) != x;
        case class_op::literal_lower: return lower_unicode(c) == x;
        case class_op::not_literal_lower: return lower_unicode(c) != x;
        case class_op::in: return in_set(code + 1, c);
        case class_op::in_lower_ascii: return in_set(code + 1, lower_ascii(c));
        case class_op::in_lower: return in_set(code + 1, lower_unicode(c));
        case class_op::any: return c != '\n';
        case class_op::any_all: return true;
        case class_op::category: return category_contains(static_cast<category>(x), c);
        default: return false;
    }
}

int char_class::latin1_count() const noexcept {
    int n = 0;
    for (std::uint64_t word : latin1_) n += std::popcount(word);
    return n;
}

char_class char_class::of_literal(code_point c) { return char_class({op_value(class_op::literal), c}); }

char_class char_class::of_range(code_point lo, code_point hi, bool negated) {
    std::vector<std::uint32_t> code{op_value(class_op::in)};
    if (negated) code.push_back(op_value(class_op::set_negate));
    code.insert(code.end(), {op_value(class_op::set_range), lo, hi, op_value(class_op::set_end)});
    return char_class(std::move(code));
}

char_class char_class::of_category(category cat) {
    return char_class({op_value(class_op::in), op_value(class_op::set_category), static_cast<std::uint32_t>(cat),
                       op_value(class_op::set_end)});
}

char_class char_class::of_any(bool dotall) {
    return char_class({op_value(dotall ? class_op::any_all : class_op::any)});
}

}  // namespace tavrix::regex
