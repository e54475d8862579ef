#include "word_tokens.hpp"

#include "../../regex/unicode.hpp"

#include <cstring>

namespace tavrix::guard {

namespace {

// The regex engine's \w for str patterns: alphanumeric or the underscore.
inline bool is_word(Py_UCS4 ch) noexcept { return regex::unicode_word(ch); }

template <class Char>
void split(const Char* text, Py_ssize_t length, std::vector<Py_ssize_t>& starts) {
    Py_ssize_t i = 0;
    while (i < length) {
        starts.push_back(i);
        if (is_word(text[i])) {
            do ++i;
            while (i < length && is_word(text[i]));
        } else {
            ++i;
        }
    }
    starts.push_back(length);
}

template <class Char>
std::uint64_t hash_of(const Char* text, Py_ssize_t length) noexcept {
    // FNV-1a over code points (not bytes), so that every storage width of
    // the same text hashes alike; then a final mix for the table's top bits.
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (Py_ssize_t i = 0; i < length; ++i) h = (h ^ static_cast<std::uint32_t>(text[i])) * 0x100000001b3ULL;
    h = (h ^ (h >> 33)) * 0xff51afd7ed558ccdULL;
    return h ^ (h >> 33);
}

std::uint64_t hash_of(const code_points& t) noexcept {
    switch (t.kind) {
        case PyUnicode_1BYTE_KIND: return hash_of(static_cast<const Py_UCS1*>(t.data), t.length);
        case PyUnicode_2BYTE_KIND: return hash_of(static_cast<const Py_UCS2*>(t.data), t.length);
        default: return hash_of(static_cast<const Py_UCS4*>(t.data), t.length);
    }
}

bool same(const code_points& x, const code_points& y) noexcept {
    if (x.length != y.length) return false;
    if (x.kind == y.kind) return std::memcmp(x.data, y.data, static_cast<std::size_t>(x.length) * static_cast<std::size_t>(x.kind)) == 0;
    for (Py_ssize_t i = 0; i < x.length; ++i)
        if (PyUnicode_READ(x.kind, x.data, i) != PyUnicode_READ(y.kind, y.data, i)) return false;
    return true;
}

}  // namespace

word_tokens split_words(PyObject* text) {
    word_tokens tokens;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    tokens.starts.reserve(static_cast<std::size_t>(length / 3 + 2));
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: split(static_cast<const Py_UCS1*>(data), length, tokens.starts); break;
        case PyUnicode_2BYTE_KIND: split(static_cast<const Py_UCS2*>(data), length, tokens.starts); break;
        default: split(static_cast<const Py_UCS4*>(data), length, tokens.starts); break;
    }
    return tokens;
}

code_points code_points_of(PyObject* text, Py_ssize_t start, Py_ssize_t stop) noexcept {
    const int kind = PyUnicode_KIND(text);
    return {kind, static_cast<const char*>(PyUnicode_DATA(text)) + start * kind, stop - start};
}

std::size_t token_numbers::probe(const code_points& t, std::uint64_t hash) const noexcept {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
        const slot& s = slots_[i];
        if (s.number == unknown || (s.hash == hash && same(tokens_[s.number], t))) return i;
    }
}

diff::token token_numbers::add(const code_points& t) {
    const std::uint64_t hash = hash_of(t);
    std::size_t i = probe(t, hash);
    if (slots_[i].number != unknown) return slots_[i].number;
    if (2 * (tokens_.size() + 1) > slots_.size()) {
        grow();
        i = probe(t, hash);
    }
    const auto number = static_cast<diff::token>(tokens_.size());
    tokens_.push_back(t);
    slots_[i] = slot{hash, number};
    return number;
}

diff::token token_numbers::find(const code_points& t) const noexcept { return slots_[probe(t, hash_of(t))].number; }

void token_numbers::grow() {
    std::vector<slot> old(2 * slots_.size(), slot{0, unknown});
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const slot& s : old) {
        if (s.number == unknown) continue;
        std::size_t i = static_cast<std::size_t>(s.hash) & mask;
        while (slots_[i].number != unknown) i = (i + 1) & mask;
        slots_[i] = s;
    }
}

}  // namespace tavrix::guard
