// One pass over a dict of attributes for the values of every key the
// module reads.
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#include "spanbridge.hpp"

namespace tavrix::spanbridge {

namespace {

struct key_text {
    const char* text;
    std::size_t length;
    attr_key key;
};

constexpr key_text key_texts[] = {
#define TAVRIX_ATTR_KEY_TEXT(id, text) {text, sizeof(text) - 1, attr_key::id},
    TAVRIX_SPANBRIDGE_ATTRIBUTE_KEYS(TAVRIX_ATTR_KEY_TEXT)
#undef TAVRIX_ATTR_KEY_TEXT
};

// Every key is 8 to 32 characters long: its first and last eight, read as
// words, tell it from the others of its length but for the middle.
constexpr std::size_t shortest = 8, longest = 32;
static_assert([] {
    for (const key_text& k : key_texts)
        if (k.length < shortest || k.length > longest) return false;
    return true;
}());

constexpr std::uint64_t word_at(const char* text) {
    std::uint64_t word = 0;
    for (int i = 7; i >= 0; --i) word = word << 8 | static_cast<unsigned char>(text[i]);
    return word;  // little-endian order, as a load from memory reads it here
}

struct candidate {
    std::uint64_t head, tail;
    const key_text* key;
};

// The keys by length: those of length n are `by_length[starts[n]] .. by_length[starts[n + 1]]`.
struct length_table {
    std::array<candidate, std::size(key_texts)> by_length{};
    std::array<std::uint8_t, longest + 2> starts{};
};

constexpr length_table make_length_table() {
    length_table table;
    std::size_t at = 0;
    for (std::size_t n = 0; n <= longest; ++n) {
        table.starts[n] = static_cast<std::uint8_t>(at);
        for (const key_text& k : key_texts)
            if (k.length == n) table.by_length[at++] = {word_at(k.text), word_at(k.text + n - 8), &k};
    }
    table.starts[longest + 1] = static_cast<std::uint8_t>(at);
    return table;
}

constexpr length_table lengths = make_length_table();

constexpr std::uint64_t own_prefix = word_at("tavrix.\0"), gen_ai_prefix = word_at("gen_ai.\0");

std::uint64_t load_word(const char* text) noexcept {
    std::uint64_t word;
    std::memcpy(&word, text, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    return word;
}

}  // namespace

bool attribute_index::build(PyObject* dict) noexcept {
    dict_ = nullptr;
    own_key_ = cleaned_key_ = false;
    plain_ = true;
    size_ = 0;
    for (PyObject*& value : values_) value = nullptr;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
        plain_ = plain_ && plain_value(value);
        if (size_ < most_items) items_[size_] = {key, value};
        ++size_;
        // The module's keys are ASCII: only a one-byte str can be one. A
        // wider key can still begin with a prefix a record cleans.
        if (PyUnicode_KIND(key) != PyUnicode_1BYTE_KIND) {
            const bool own = starts_with_ascii(key, "tavrix.");
            own_key_ = own_key_ || own;
            cleaned_key_ = cleaned_key_ || own || starts_with_ascii(key, "gen_ai.");
            continue;
        }
        const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(key));
        const char* const text = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(key));
        if (length < shortest) {
            const bool own = length >= 7 && std::memcmp(text, "tavrix.", 7) == 0;
            own_key_ = own_key_ || own;
            cleaned_key_ = cleaned_key_ || own || (length >= 7 && std::memcmp(text, "gen_ai.", 7) == 0);
            continue;
        }
        const std::uint64_t head = load_word(text);
        // The first seven characters of the head: "tavrix." or "gen_ai.".
        const std::uint64_t prefix = head & 0x00ffffffffffffff;
        own_key_ = own_key_ || prefix == own_prefix;
        cleaned_key_ = cleaned_key_ || prefix == own_prefix || prefix == gen_ai_prefix;
        if (length > longest) continue;
        const std::uint64_t tail = load_word(text + length - 8);
        for (std::size_t i = lengths.starts[length]; i < lengths.starts[length + 1]; ++i) {
            const candidate& c = lengths.by_length[i];
            if (c.head == head && c.tail == tail && (length <= 16 || std::memcmp(c.key->text + 8, text + 8, length - 16) == 0)) {
                values_[static_cast<std::size_t>(c.key->key)] = value;
                break;
            }
        }
    }
    dict_ = dict;
    return true;
}

}  // namespace tavrix::spanbridge
