// Many literals found in one pass over a text: an Aho-Corasick automaton
// over folded characters (see literals.hpp), its transitions complete, so
// each character of the text costs one table lookup whatever the number
// of literals. What it reports is an occurrence of the folded literal;
// the owner confirms it against the literal's classes.
//
// Size: one state per distinct prefix of the literals, at most
// `max_states` (65,536); the transition table holds states x symbols
// 32-bit entries, symbols being the distinct folded characters of the
// literals plus one for every other character (at most 103: ASCII has 128
// characters, of which the 26 capitals fold away), so at most 27 MB and
// typically far less (about 0.2 MB per thousand states for a table of
// secret-scanning rules). Building is linear in that table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "literals.hpp"
#include "text.hpp"

namespace tavrix::regex {

class literal_searcher {
public:
    static constexpr std::size_t max_states = 65536;

    // What an occurrence is reported with.
    struct entry {
        std::uint32_t owner;    // whose literal (a program's index in its table)
        std::uint32_t literal;  // which of the owner's literals
    };

    // Adds the literals of `owner`; false (and nothing added) when they
    // would take the automaton past its size.
    bool add(std::uint32_t owner, const std::vector<literal>& literals);

    // Completes the automaton; nothing can be added after.
    void build();

    [[nodiscard]] bool empty() const noexcept { return outputs_.empty(); }

    // Calls report(end, entry) for every occurrence ending in [from, to),
    // in order of `end` (the position after its last character), going on
    // from `state` (0 at the text's start); returns the state reached
    // there, to go on from. Linear in the stretch plus the occurrences.
    template <class Char, class Report>
    std::uint32_t scan(text_view<Char> text, std::size_t from, std::size_t to, std::uint32_t state,
                       Report&& report) const {
        const auto a = static_cast<std::uint32_t>(symbols_);
        std::uint32_t s = state;
        for (std::size_t i = from; i < to; ++i) {
            const code_point c = text[i];
            std::uint32_t sym;
            if (c < 128) [[likely]] {
                sym = ascii_symbol_[c];
            } else {
                const int f = fold_of(c);
                sym = f < 0 ? 0 : ascii_symbol_[f];
            }
            s = delta_[s + sym];  // a row's offset, the report flag in its top bit
            if (s & reports) [[unlikely]] {
                s &= ~reports;
                for (std::uint32_t t = report_[s / a]; t != none; t = output_link_[t])
                    for (std::uint32_t k = out_begin_[t]; k < out_begin_[t + 1]; ++k) report(i + 1, outputs_[k]);
            }
        }
        return s;
    }

private:
    static constexpr std::uint32_t none = 0xFFFFFFFFu;
    static constexpr std::uint32_t reports = 0x80000000u;

    // The trie while literals are added: children by symbol, outputs by node.
    struct trie_node {
        std::vector<std::pair<std::uint8_t, std::uint32_t>> children;  // fold -> node
        std::vector<entry> outputs;
    };
    std::vector<trie_node> trie_{trie_node{}};

    std::uint8_t ascii_symbol_[128] = {};  // by character: its symbol (0: in no literal)
    std::size_t symbols_ = 1;
    std::vector<std::uint32_t> delta_;        // state row + symbol -> the next state's row (and `reports`)
    std::vector<std::uint32_t> report_;       // per state: the first state of its suffix chain with outputs
    std::vector<std::uint32_t> output_link_;  // per state: the next such state, after its own
    std::vector<std::uint32_t> out_begin_;    // per state: its outputs in `outputs_` (one more at the end)
    std::vector<entry> outputs_;
};

}  // namespace tavrix::regex
