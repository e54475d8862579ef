// Texts as word tokens, for the diff that rebuilds the server's redactions.
#pragma once

#include <cstdint>
#include <vector>

#include "../../diff/suffix_automaton.hpp"
#include "../../support/ref.hpp"

namespace tavrix::guard {

// Where the tokens of a str start: the pieces re.findall(r"\w+|\W", text)
// gives, a maximal run of word characters (str.isalnum() or "_") or any
// other single character. Token k is text[starts[k]:starts[k + 1]]; the last
// entry is len(text).
struct word_tokens {
    std::vector<Py_ssize_t> starts;

    [[nodiscard]] std::size_t count() const noexcept { return starts.size() - 1; }
};

// `text` is an exact str.
[[nodiscard]] word_tokens split_words(PyObject* text);

// text[start:stop] of an exact str, lent: valid while the str lives.
struct code_points {
    int kind;
    const void* data;
    Py_ssize_t length;
};
[[nodiscard]] code_points code_points_of(PyObject* text, Py_ssize_t start, Py_ssize_t stop) noexcept;

// Numbers for tokens: equal code points, whatever the storage width of the
// str they come from, get equal numbers. The tokens are lent, and must
// outlive the table.
class token_numbers {
public:
    static constexpr diff::token unknown = UINT32_MAX;

    // The token's number, a new one for a token not seen before.
    [[nodiscard]] diff::token add(const code_points& t);
    // The token's number, or `unknown`.
    [[nodiscard]] diff::token find(const code_points& t) const noexcept;

private:
    struct slot {
        std::uint64_t hash;
        diff::token number;  // `unknown` when the slot is free
    };
    [[nodiscard]] std::size_t probe(const code_points& t, std::uint64_t hash) const noexcept;
    void grow();

    std::vector<slot> slots_ = std::vector<slot>(64, slot{0, unknown});
    std::vector<code_points> tokens_;  // by number
};

}  // namespace tavrix::guard
