// Many literals found in one pass over a text: an Aho-Corasick automaton
// over folded characters (see literals.hpp), its transitions complete, so
// each character of the text costs one table lookup whatever the number
// of literals. What it reports is an occurrence of the folded literal;
// the owner confirms it against the literal's classes.
//
// Size: one state per distinct prefix of the literals, at most
// `max_states` (65,536); the transition table holds states x symbols
// 16-bit entries, symbols being the distinct folded characters of the
// literals plus one for every other character (at most 97: ASCII folded
// has 102 values, of which the 26 capitals fold away), so at most 12.6 MB
// and typically far less (a table of 1,600 rules: 0.2 MB per thousand
// states). Building is linear in that table.
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
    [[nodiscard]] std::size_t states() const noexcept { return report_.size(); }
    [[nodiscard]] std::size_t symbols() const noexcept { return symbols_; }

    // Calls report(end, entry) for every occurrence, in order of `end`
    // (the position after its last character); linear in the text plus
    // the occurrences.
    template <class Char, class Report>
    void scan(text_view<Char> text, Report&& report) const {
        const std::size_t a = symbols_;
        std::uint32_t s = 0;
        for (std::size_t i = 0; i < text.size; ++i) {
            const code_point c = text[i];
            std::uint32_t sym;
            if (c < 128) [[likely]] {
                sym = ascii_symbol_[c];
            } else {
                const int f = fold_of(c);
                sym = f < 0 ? 0 : ascii_symbol_[f];
            }
            s = delta_[s * a + sym];
            for (std::uint32_t t = report_[s]; t != none; t = output_link_[t]) [[unlikely]]
                for (std::uint32_t k = out_begin_[t]; k < out_begin_[t + 1]; ++k) report(i + 1, outputs_[k]);
        }
    }

private:
    static constexpr std::uint32_t none = 0xFFFFFFFFu;

    // The trie while literals are added: children by symbol, outputs by node.
    struct trie_node {
        std::vector<std::pair<std::uint8_t, std::uint32_t>> children;  // fold -> node
        std::vector<entry> outputs;
    };
    std::vector<trie_node> trie_{trie_node{}};

    std::uint8_t ascii_symbol_[128] = {};  // by character: its symbol (0: in no literal)
    std::size_t symbols_ = 1;
    std::vector<std::uint16_t> delta_;        // state x symbol -> state
    std::vector<std::uint32_t> report_;       // per state: the first state of its suffix chain with outputs
    std::vector<std::uint32_t> output_link_;  // per state: the next such state, after its own
    std::vector<std::uint32_t> out_begin_;    // per state: its outputs in `outputs_` (one more at the end)
    std::vector<entry> outputs_;
};

}  // namespace tavrix::regex
