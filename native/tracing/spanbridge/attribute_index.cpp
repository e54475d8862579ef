// One pass over a dict of attributes for the values of every key the
// module reads.
#include <array>
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

constexpr std::size_t longest = 32;

// The keys' texts by length: those of length n are
// `by_length[starts[n]] .. by_length[starts[n + 1]]`.
struct length_table {
    std::array<std::uint8_t, std::size(key_texts)> by_length{};
    std::array<std::uint8_t, longest + 2> starts{};
};

constexpr length_table make_length_table() {
    length_table table;
    std::size_t at = 0;
    for (std::size_t n = 0; n <= longest; ++n) {
        table.starts[n] = static_cast<std::uint8_t>(at);
        for (std::size_t i = 0; i < std::size(key_texts); ++i)
            if (key_texts[i].length == n) table.by_length[at++] = static_cast<std::uint8_t>(i);
    }
    table.starts[longest + 1] = static_cast<std::uint8_t>(at);
    return table;
}

constexpr length_table lengths = make_length_table();
static_assert([] {
    for (const key_text& k : key_texts)
        if (k.length > longest) return false;
    return true;
}());

}  // namespace

bool attribute_index::build(PyObject* dict) noexcept {
    dict_ = nullptr;
    own_key_ = false;
    for (PyObject*& value : values_) value = nullptr;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
        // The module's keys are ASCII: only a one-byte str can be one.
        if (PyUnicode_KIND(key) != PyUnicode_1BYTE_KIND) continue;
        const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(key));
        const char* const text = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(key));
        own_key_ = own_key_ || (length >= 7 && std::memcmp(text, "tavrix.", 7) == 0);
        if (length > longest) continue;
        for (std::size_t i = lengths.starts[length]; i < lengths.starts[length + 1]; ++i) {
            const key_text& candidate = key_texts[lengths.by_length[i]];
            if (std::memcmp(candidate.text, text, length) == 0) {
                values_[static_cast<std::size_t>(candidate.key)] = value;
                break;
            }
        }
    }
    dict_ = dict;
    return true;
}

}  // namespace tavrix::spanbridge
