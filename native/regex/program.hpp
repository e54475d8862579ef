// A compiled pattern: instructions for the matcher, the character classes
// they test, and what the prefilter knows about where a match can start.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "char_class.hpp"
#include "literals.hpp"
#include "syntax.hpp"

namespace tavrix::regex {

// No class (program::start_class).
inline constexpr std::uint32_t no_class = 0xFFFFFFFFu;

enum class op : std::uint8_t {
    consume,    // one character of class `cls`, then `next`
    assert_at,  // assertion `arg`, then `next`
    split,      // `next` first, then `alt`
    jump,       // `next`
    enter,      // a repeat whose body can match empty starts at level `arg`: clear its flag
    check,      // another optional iteration of that repeat: only if its flag is clear; set it
    match,
};

struct instruction {
    op code = op::match;
    std::uint8_t arg = 0;
    std::uint32_t cls = 0;
    std::uint32_t next = 0;
    std::uint32_t alt = 0;
};

// A set of characters as the prefilter tests it: a Latin-1 bitmap, and for
// wider characters the classes whose union it is.
struct char_set {
    std::uint64_t latin1[4] = {0, 0, 0, 0};
    std::vector<std::uint32_t> wide_classes;  // into program::classes
    bool wide_all = false;

    [[nodiscard]] bool has_latin1(std::uint32_t c) const noexcept { return (latin1[c >> 6] >> (c & 63)) & 1u; }
    [[nodiscard]] bool may_contain_wide() const noexcept { return wide_all || !wide_classes.empty(); }
    [[nodiscard]] int latin1_count() const noexcept;
};

// Where a match can start, cheapest test first.
struct prefilter {
    enum class kind : std::uint8_t {
        anywhere,  // every position (the pattern can match the empty string, or nothing better is known)
        anchored,  // only the beginning of the text
        prefix,    // every match's first `prefix.size()` characters are in these sets
        gate,      // every match consumes a character of `gate` first preceded only by `before_gate`
    };
    kind type = kind::anywhere;
    std::vector<char_set> prefix;  // prefix: the sets, at least one; gate: may be empty
    // By Latin-1 character: bit j set when the character is in prefix[j].
    std::uint8_t prefix_mask[256] = {};
    // prefix: every match begins along one of the paths of this trie (the
    // classes of its first characters); a finer test than the sets, when
    // the opening branches are few. Node 0 is the root; empty: no trie.
    struct path_node {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> edges;  // class -> node
        bool ends = false;                                           // a path ends here
    };
    std::vector<path_node> paths;
    char_set gate_set;
    char_set before_gate;
};

// The threads each root of the program (its start, and every instruction
// after a consuming one) reaches without consuming, in priority order, for
// every combination of the program's assertions holding or not at the
// position: what the matcher would otherwise work out at every step.
struct closure_table {
    std::vector<assertion> kinds;         // bit i of a context: whether kinds[i] holds
    std::vector<std::uint32_t> root_of;   // per instruction: its index as a root, or none
    std::vector<std::uint32_t> begin;     // per root and context: where its threads start in `threads`
    std::vector<std::uint32_t> threads;   // consuming instructions and the match
    std::vector<std::uint8_t> has_match;  // per root and context
    bool available = false;

    static constexpr std::uint32_t none = 0xFFFFFFFFu;
    [[nodiscard]] std::size_t contexts() const noexcept { return std::size_t{1} << kinds.size(); }
};

// For existence questions, where priorities do not matter: the program's
// threads (at most 64 consuming instructions and the match) as bits of one
// word, advanced a character at a time by table lookups.
struct bit_machine {
    bool available = false;
    std::vector<std::uint32_t> pcs;          // bit -> instruction
    std::uint64_t match = 0;                 // the match's bit
    std::uint64_t wide = 0;                  // bits of classes that may hold characters above Latin-1
    std::vector<std::uint64_t> accepts;      // by Latin-1 character (256): the bits whose class holds it
    std::vector<std::uint64_t> follow;       // per bit and context: the threads after consuming
    std::vector<std::uint64_t> start;        // per context: the threads at a start
};

struct program;
class literal_searcher;

// How searches of a program go, chosen when it is compiled (see
// strategy_name for the names its listing shows).
enum class strategy_kind : std::uint8_t {
    // The simulation (or the backtracking attempt) from every start the
    // prefilter allows.
    core,
    // A lead that repeats one class, then a literal: the literal is found
    // first, the lead's extent read backwards from it, and the rest of the
    // pattern confirmed forwards from the literal (see lead_search.hpp).
    reverse_suffix,
    // Every match starts with one of many literals (a long alternation of
    // words): the literal automaton finds where matches can start, and
    // the program runs from those positions alone (see
    // alternation_search.hpp).
    literal_alternation,
    // Every match starts with one literal, and the program is large (a
    // counted repeat follows): the core search with the backtracking
    // attempt first, from each start the prefilter allows, on its own
    // rather than in a table's shared pass (which would simulate a thread
    // per counted iteration at every character).
    literal_backtrack,
};

// What the reverse-suffix strategy knows: the pattern is `[prefix] lead rest`, the
// lead `min..max` characters of class `lead_class` (greedy or lazy), every
// match of `rest` starts with `head` (one literal, its classes the
// program's), and `rest` is compiled on its own, with the core strategy.
struct lead_split {
    std::uint32_t lead_class = 0;
    std::uint32_t min = 0;
    std::uint32_t max = unbounded;
    bool greedy = true;
    // Whether the lead's class holds every character but at most one
    // (`stop`, below 256; -1: none): its stretches are then found by
    // looking for that one character, not by reading each.
    bool nearly_all = false;
    int stop = -1;
    literal head;
    // Whether the head's positions are tested by their classes alone (the
    // rest begins with characters of wide classes, such as `\d`, that no
    // literal holds): their folds are then 0 and mean nothing.
    bool head_by_class = false;
    // The one Latin-1 character the head's first position holds, or -1
    // (what a one-byte text is searched for with memchr).
    int first_byte = -1;
    // Characters every match begins with before the lead (the pattern is
    // then `prefix lead rest`, the lead bounded), tested by their classes;
    // empty: the lead comes first. Searched for as the head is (see
    // lead_search_prefixed in lead_search.hpp).
    literal prefix;
    int prefix_first_byte = -1;
    std::shared_ptr<const program> rest;
};

struct program {
    std::vector<instruction> insts;
    std::vector<char_class> classes;
    // Per instruction: how many repeats with a body that can match empty
    // enclose its position (their flags are the only ones that matter
    // there), and the first of its 2^level dedupe slots.
    std::vector<std::uint8_t> level;
    std::vector<std::uint32_t> slot_base;
    std::uint32_t slot_count = 0;
    std::uint32_t start = 0;
    std::uint32_t assertions_used = 0;  // bit per `assertion`
    std::uint32_t min_length = 0;
    // Whether the program only answers whether the pattern matches: the
    // pattern without its leading part that can match the empty string and
    // holds no assertion (the same question: that part can always match
    // nothing), compiled because the whole pattern was too large. Where
    // matches are and what a substitution replaces are then re's to say.
    bool exists_only = false;
    // Whether searches try backtracking first (see matcher::backtrack_first):
    // programs large enough that the simulation's many threads cost more,
    // and programs whose matches all start with one literal (each start
    // then usually decided in a few steps a character, as re decides it,
    // where the simulation would carry a thread per counted iteration).
    bool backtracks_first = false;
    // A class every match's first character must be in, on top of what the
    // program says: re's search skips starts by a set it compiles with the
    // pattern's global flags, which can differ from the local flags of the
    // group the first character is in.
    std::uint32_t start_class = no_class;
    prefilter filter;
    // The literals every match contains, and where matches start relative
    // to them (the table scan searches a whole table's at once).
    required_literals literal;
    closure_table closures;
    bit_machine bits;
    strategy_kind strategy = strategy_kind::core;
    lead_split lead;  // strategy == reverse_suffix
    // strategy == literal_alternation: the automaton of `literal.strings`
    // (all starting where matches start), and the longest of them.
    std::shared_ptr<const literal_searcher> starts;
    std::uint32_t longest_start = 0;

    [[nodiscard]] std::uint32_t slot(std::uint32_t pc, std::uint32_t flags) const noexcept {
        return slot_base[pc] + (flags & ((1u << level[pc]) - 1u));
    }
};

// The program as text, an instruction a line, then its prefilter's kind,
// its literals, and its strategy when not the core one (with its lead and
// head): what the checks compare with golden listings.
[[nodiscard]] std::string dump(const program& prog);

// The strategy's name as listings show it: "core", "reverse_suffix",
// "literal_alternation", "literal_backtrack".
[[nodiscard]] const char* strategy_name(const program& prog) noexcept;

// Whether the program's structure holds: every target and class in range,
// the match last, the dedupe slots as the levels give them, the literals
// and closure tables consistent. Checked after every compile in builds
// with assertions.
[[nodiscard]] bool well_formed(const program& prog);

// One step of an epsilon closure over an instruction that consumes nothing
// (split, assertion, jump, enter, check): pushes a split's second branch with
// `branch(alt, flags)`, asks `holds(assertion)` at an assertion, updates the
// repeat flags, and says whether the path goes on to `inst.next`.
template <class Holds, class Branch>
[[nodiscard]] inline bool empty_step(const instruction& inst, std::uint32_t& flags, Holds&& holds, Branch&& branch) {
    switch (inst.code) {
        case op::split:
            branch(inst.alt, flags);
            return true;
        case op::assert_at:
            return holds(static_cast<assertion>(inst.arg));
        case op::enter:
            flags &= ~(1u << inst.arg);
            return true;
        case op::check: {
            const std::uint32_t bit = 1u << inst.arg;
            if (flags & bit) return false;
            flags |= bit;
            return true;
        }
        default:
            return true;
    }
}

// Limits beyond which a pattern is left to the interpreter: the program's
// size bounds the matcher's work per character.
struct compile_limits {
    std::uint32_t max_instructions = 20000;
    // Branch points (an alternative, an optional iteration): each can add
    // a thread at every position, so a counted repeat with a large range
    // ({0,1000}) would cost the matcher that much per character, where
    // re's backtracking costs it only per start position that reaches it.
    std::uint32_t max_splits = 600;
    // Above this many instructions (and without a bit machine), searches
    // try backtracking first.
    std::uint32_t backtrack_above = 128;
    std::uint32_t max_nesting = 200;     // of the pattern's structure
    std::uint32_t max_empty_levels = 6;  // nested repeats whose body can match empty
    std::uint32_t max_slots = 1u << 17;
    // Closure tables: at most this many assertion kinds, threads per list,
    // and work to build them; beyond, the matcher works closures out.
    std::uint32_t max_table_assertions = 4;
    std::uint32_t max_table_list = 32;
    std::uint64_t max_table_work = 1u << 22;
};

struct compile_result {
    bool ok = false;
    program prog;
    std::string refusal;  // why not, when !ok
};

// The program of a pattern whose character nodes index `classes`;
// `start_class` (an index into them, or no_class) restricts where matches
// start (see program::start_class).
[[nodiscard]] compile_result compile(const node& pattern, std::vector<char_class> classes,
                                     const compile_limits& limits = {}, std::uint32_t start_class = no_class);

// The pattern without its leading part that can match the empty string
// and holds no assertion; false when there is none.
[[nodiscard]] bool strip_empty_lead(const node& pattern, node& out);

// The least number of characters a match of `n` consumes (saturating).
[[nodiscard]] std::uint32_t min_width(const node& n) noexcept;

}  // namespace tavrix::regex
