// The matcher: a simulation of the program over the text, one position at
// a time, with every live thread advanced together (a Pike VM). Threads are
// kept in priority order (the order a backtracking matcher would try them),
// so the first thread to reach the end of the program among those still
// running decides the match exactly as backtracking would. The closure
// tables give the threads after each step without working them out; for
// existence questions, where priorities do not matter, the bit machine
// advances all threads of a small program as one word.
//
// Worst case: at each position, each dedupe slot (instruction x the
// zero-width flags of the repeats around it, at most 2^6) is visited at
// most once, and each instruction holds at most one thread; so a search is
// linear in the text times the program size, whatever the pattern. Memory
// is proportional to the program, plus, for substitutions, one bit per
// instruction and position where a search ran on past its match.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "program.hpp"
#include "start_finder.hpp"

namespace tavrix::regex {

// Work counters for the checks of the stated bounds: counted in builds
// with assertions (the development and test builds), free in releases.
inline void count_work([[maybe_unused]] std::uint64_t& counter) noexcept {
#ifndef NDEBUG
    ++counter;
#endif
}

// Scratch space of the matcher, reused across searches and programs.
class workspace {
public:
    void prepare(const program& prog) {
        if (on_list_.size() < prog.insts.size()) on_list_.assign(prog.insts.size(), 0);
        if (seen_.size() < prog.slot_count) seen_.assign(prog.slot_count, 0);
        if (generation_ > 0xFFFF0000u) {
            std::fill(on_list_.begin(), on_list_.end(), 0);
            std::fill(seen_.begin(), seen_.end(), 0);
            generation_ = 0;
        }
        current_.clear();
        next_.clear();
    }

private:
    template <class>
    friend class matcher;

    struct thread {
        std::uint32_t pc;
        std::size_t start;
    };
    struct pending {
        std::uint32_t pc;
        std::uint32_t flags;
    };

    std::vector<thread> current_, next_;
    std::vector<std::uint32_t> on_list_;  // per instruction: the generation it was put on the list being built
    std::vector<std::uint32_t> seen_;     // per slot: the generation it was visited
    std::vector<pending> stack_;
    struct choice {
        std::uint32_t pc;
        std::uint32_t flags;
        std::size_t pos;
    };
    std::vector<choice> choices_;  // the backtracking attempt's alternatives not yet tried
    std::uint32_t generation_ = 0;

public:
    // Work done: threads put on a list, positions the bit machine advanced
    // over, backtracking steps; what the checks compare with the stated
    // bound (counted in builds with assertions only, see count_work).
    std::uint64_t work = 0;
};

// Instructions known to have no match ahead of them at given positions:
// what a search ran through after its match (every thread still running
// then had priority over the match, so none could reach the end). The next
// search of a substitution starts at that match's end and drops threads
// that arrive there. One bit per instruction and position, allocated by
// blocks of 64 positions only where needed (and the block index at the
// first one: a substitution that never records any, one decided by a
// strategy, does nothing proportional to the text).
class dead_ends {
public:
    void reset(std::size_t text_size, std::size_t instructions) {
        blocks_.clear();
        words_.clear();
        words_.push_back(0);  // block 0 of the pool means "none"
        text_size_ = text_size;
        width_ = instructions;
        last_ = 0;
        any_ = false;
    }
    [[nodiscard]] bool contains(std::uint32_t pc, std::size_t pos) const noexcept {
        if (!any_ || pos > last_) return false;
        const std::uint32_t block = blocks_[pos / 64];
        return block != 0 && ((words_[block + pc] >> (pos % 64)) & 1u);
    }
    void add(std::uint32_t pc, std::size_t pos) {
        if (blocks_.empty()) blocks_.assign(text_size_ / 64 + 1, 0);
        std::uint32_t& block = blocks_[pos / 64];
        if (block == 0) {
            block = static_cast<std::uint32_t>(words_.size());
            words_.resize(words_.size() + width_, 0);
        }
        words_[block + pc] |= std::uint64_t{1} << (pos % 64);
        any_ = true;
        last_ = std::max(last_, pos);
    }
private:
    std::vector<std::uint32_t> blocks_;
    std::vector<std::uint64_t> words_;
    std::size_t text_size_ = 0;
    std::size_t width_ = 0;
    std::size_t last_ = 0;
    bool any_ = false;
};

// Whether the text's characters from `start` (the literal fits there) are
// in the classes of `lit`, a literal of `prog`.
template <class Char>
[[nodiscard]] bool literal_fits(const program& prog, const literal& lit, text_view<Char> text, std::size_t start) {
    for (std::size_t j = 0; j < lit.size(); ++j)
        if (!prog.classes[lit[j].cls].contains(text[start + j])) return false;
    return true;
}

template <class Char>
class matcher {
public:
    // Matches start only within `windows`, when given (see start_finder).
    matcher(const program& prog, text_view<Char> text, workspace& ws, const window_list* windows = nullptr)
        : prog_(prog), text_(text), ws_(ws), windows_(windows) {
        ws_.prepare(prog_);
    }

    // Whether the program matches anywhere at or after `from`.
    [[nodiscard]] bool exists(std::size_t from) {
        if (const std::optional<lead_outcome> o = by_strategy(from, false, false)) {
            if (o->kind != lead_outcome::gave_up) return o->kind == lead_outcome::found;
            from = o->resume;
        }
        start_finder<Char> starts(prog_, text_, windows_);
        if (prog_.backtracks_first) {
            const attempt a = backtrack_first(from, false, starts);
            if (a.outcome != attempt::gave_up) return a.outcome == attempt::found;
            start_finder<Char> rest(prog_, text_, windows_);
            return run_exists(a.resume, rest, no_position).found;
        }
        return run_exists(from, starts, no_position).found;
    }

    // The leftmost match at or after `from`, chosen as backtracking chooses
    // it. With `must_advance`, an empty match at `from` does not count (the
    // rule a substitution follows right after an empty match).
    [[nodiscard]] std::optional<match_span> search(std::size_t from, bool must_advance = false) {
        return leftmost(from, must_advance, nullptr);
    }

    // The matches a substitution replaces: non-overlapping, left to right,
    // an empty match never right after another match at the same place.
    // (Starting at `from` when no match starts before it.)
    template <class Visit>
    void each_match(std::size_t from, Visit&& visit) {
        dead_ends dead;
        dead.reset(text_.size, prog_.insts.size());
        std::size_t pos = from;
        bool must_advance = false;
        while (pos <= text_.size) {
            const std::optional<match_span> span = leftmost(pos, must_advance, &dead);
            if (!span) return;
            visit(*span);
            must_advance = span->end == span->start;
            pos = span->end;
        }
    }

    // A run from `from` until a match is decided, or until no thread is
    // left and the next possible start lies beyond `limit` (the table
    // scan's trigger position; no_position: never stop early). Every
    // position before `stopped` has been considered as a start.
    struct run_result {
        bool found = false;
        std::optional<match_span> span;
        std::size_t stopped = 0;
        std::size_t floor = 0;  // found: no match starts before this position
        std::size_t reached = 0;  // run_leftmost: the last position its threads read up to
    };
    [[nodiscard]] run_result run_exists(std::size_t from, start_finder<Char>& starts, std::size_t limit);
    [[nodiscard]] run_result run_leftmost(std::size_t from, bool must_advance, start_finder<Char>& starts,
                                          std::size_t limit, dead_ends* dead);

private:
    using thread = workspace::thread;

    // One search of the leftmost match: the backtracking attempt first
    // where the program asks for it (and no attempt has given up in this
    // matcher yet), then the simulation.
    std::optional<match_span> leftmost(std::size_t from, bool must_advance, dead_ends* dead) {
        if (const std::optional<lead_outcome> o = by_strategy(from, must_advance, true)) {
            if (o->kind == lead_outcome::found) return o->span;
            if (o->kind == lead_outcome::none) return std::nullopt;
            from = o->resume;
            must_advance = false;
        }
        // A fresh finder each time: an earlier search may have looked past `from`.
        start_finder<Char> starts(prog_, text_, windows_);
        std::size_t at = from;
        if (prog_.backtracks_first && !gave_up_) {
            const attempt a = backtrack_first(from, must_advance, starts);
            if (a.outcome == attempt::found) return a.span;
            if (a.outcome == attempt::none) return std::nullopt;
            gave_up_ = true;
            at = a.resume;
        }
        start_finder<Char> rest(prog_, text_, windows_);
        return run_leftmost(at, must_advance && at == from, rest, no_position, dead).span;
    }

    // A backtracking search in the priority order, from each start the
    // finder allows in turn: for a large program (many threads alive at
    // once in the simulation, such as a wide counted repeat's), a match is
    // usually found from the first start or two in a few steps a
    // character, as re finds it. Its steps are bounded, an eighth of the
    // program's size (at least four) a character of the text, and four an
    // instruction: past them it gives up at the start it was trying, where
    // the simulation takes over, so the worst case stays within an eighth
    // more than the simulation's (which costs up to the program's size a
    // character). What it answers is the simulation's answer:
    // the same steps (empty_step), tried in the same order.
    struct attempt {
        enum kind : std::uint8_t { found, none, gave_up } outcome = none;
        match_span span;
        std::size_t resume = 0;
    };
    attempt backtrack_first(std::size_t from, bool must_advance, start_finder<Char>& starts);
    // From `start`: 1 a match (its end in `end`), 0 none, -1 out of steps.
    int backtrack(std::size_t start, bool no_empty, std::uint64_t& budget, std::size_t& end);

    // A new mark for the lists being built. Marks are compared for equality
    // only, so after 2^32 of them (a long enough text) the marks left in
    // the tables could be taken for the current one: they are cleared
    // before the counter comes round.
    void new_generation() noexcept {
        if (++ws_.generation_ == 0xFFFFFFFFu) [[unlikely]] {
            std::fill(ws_.on_list_.begin(), ws_.on_list_.end(), 0);
            std::fill(ws_.seen_.begin(), ws_.seen_.end(), 0);
            ws_.generation_ = 1;
        }
    }

    // Adds the threads reachable from `root` at `pos` without consuming, in
    // priority order, after those already on the list (a thread already
    // there keeps its place); tells whether the end of the program is among
    // them. From the closure tables when the program has them.
    bool add(std::vector<thread>& list, std::uint32_t root, std::size_t pos, std::size_t start, const dead_ends* dead);

    // Which of the program's assertions hold at `pos`, as a closure-table
    // context: inline for no assertion and for \b alone, the usual cases.
    std::size_t context_at(std::size_t pos) noexcept {
        if (pos == context_pos_) return context_;
        const auto& kinds = prog_.closures.kinds;
        std::size_t context;
        if (kinds.empty()) {
            context = 0;
        } else if (kinds.size() == 1 && kinds[0] == assertion::uni_boundary) {
            context = text_.size != 0 && word_before(pos, true) != word_after(pos, true);
        } else {
            context = context_of(pos);
        }
        context_pos_ = pos;
        context_ = context;
        return context;
    }
    std::size_t context_of(std::size_t pos) noexcept;

    bool word_before(std::size_t pos, bool unicode) const noexcept { return pos > 0 && word_at(pos - 1, unicode); }
    bool word_after(std::size_t pos, bool unicode) const noexcept { return pos < text_.size && word_at(pos, unicode); }
    bool word_at(std::size_t pos, bool unicode) const noexcept {
        const code_point c = text_[pos];
        if (c < 128) return ascii_word(c);
        return unicode && unicode_word(c);
    }

    // The reverse-suffix strategy (lead_search.hpp): a match found from
    // `from`, none, or a position from which the core search must go on
    // (its reading budget ran out; no match starts before that position).
    struct lead_outcome {
        enum kind_t : std::uint8_t { found, none, gave_up } kind = none;
        match_span span;
        std::size_t resume = 0;
    };
    lead_outcome lead_search(std::size_t from, bool want_end);
    lead_outcome lead_search_stretches(std::size_t from);
    lead_outcome lead_search_prefixed(std::size_t from, bool want_end);
    [[nodiscard]] bool literal_at(const literal& l, std::size_t q) const noexcept;
    std::size_t next_literal(const literal& l, int first_byte, std::size_t from, std::size_t last);
    // The literal-alternation strategy (alternation_search.hpp), the same
    // three outcomes.
    lead_outcome alternation_search(std::size_t from, bool must_advance);
    // The program's own strategy from `from`, where it has one that applies
    // and has not given up in this matcher (after which the core search
    // answers for good, from where it gave up); none: the core search
    // answers. With windows (the table scan's), the core search runs from
    // the literals' occurrences already, so the literal alternation is not
    // used. A reverse suffix's matches are never empty: `must_advance`
    // changes nothing for it.
    std::optional<lead_outcome> by_strategy(std::size_t from, bool must_advance, bool want_end) {
        if (lead_gave_up_) return std::nullopt;
        lead_outcome o;
        if (prog_.strategy == strategy_kind::reverse_suffix)
            o = lead_search(from, want_end);
        else if (prog_.strategy == strategy_kind::literal_alternation && !windows_)
            o = alternation_search(from, must_advance);
        else
            return std::nullopt;
        if (o.kind == lead_outcome::gave_up) lead_gave_up_ = true;
        return o;
    }
    std::optional<std::size_t> anchored_end(const program& prog, std::size_t at, bool must_advance);
    [[nodiscard]] bool head_at(std::size_t q) const noexcept;
    std::size_t next_head(std::size_t from, std::size_t last);
    std::size_t last_head(std::size_t first, std::size_t last);
    std::optional<std::size_t> rest_end(std::size_t at);
    [[nodiscard]] bool in_lead(std::size_t i) const noexcept {
        return prog_.classes[prog_.lead.lead_class].contains(text_[i]);
    }
    // Characters the strategy may still read, shared by the searches of
    // one matcher (a substitution's): a few times the text, past which
    // the core search takes over, so that the whole stays linear.
    bool spend(std::size_t reads) noexcept {
        if (reads > lead_budget_) {
            lead_budget_ = 0;
            return false;
        }
        lead_budget_ -= reads;
        return true;
    }

    // run_exists with the bit machine.
    run_result run_exists_bits(std::size_t from, start_finder<Char>& starts, std::size_t limit);
    [[nodiscard]] std::uint64_t wide_accepts(code_point c) const noexcept;

    const program& prog_;
    text_view<Char> text_;
    workspace& ws_;
    const window_list* windows_;
    bool gave_up_ = false;  // a backtracking attempt ran out of steps: the simulation only, from then on
    bool lead_gave_up_ = false;  // the strategy ran out of budget: the core only, from then on
    std::size_t lead_budget_ = 8 * text_.size + 4096;
    workspace rest_ws_;  // the reverse-suffix strategy's runs of the rest
    window_list one_start_;  // one window, made at the first run of the rest (so no allocation before)
    // lead_search_prefixed's memo, kept across the searches of one
    // substitution: the heads found in [heads_first_, heads_scanned_) with
    // the rest's end from each once asked, and the stretch of lead
    // characters [run_lo_, run_hi_) last read (run_hi_ its end).
    struct known_head {
        std::size_t at = 0;
        bool asked = false;
        std::optional<std::size_t> end;
    };
    std::vector<known_head> heads_;
    std::size_t heads_first_ = 0;  // heads_ before it lie behind every later start
    std::size_t heads_scanned_ = 0;
    std::size_t run_lo_ = no_position, run_hi_ = no_position;
    std::size_t prefixed_from_ = 0;
    std::vector<std::size_t> pending_starts_;  // the literal-alternation strategy's starts not yet decided
    std::size_t context_pos_ = no_position;
    std::size_t context_ = 0;
};

template <class Char>
std::size_t matcher<Char>::context_of(std::size_t pos) noexcept {
    const auto& kinds = prog_.closures.kinds;
    std::size_t context = 0;
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        bool holds;
        switch (kinds[i]) {
            case assertion::uni_boundary:
            case assertion::uni_non_boundary:
            case assertion::boundary:
            case assertion::non_boundary: {
                const bool unicode = kinds[i] == assertion::uni_boundary || kinds[i] == assertion::uni_non_boundary;
                const bool boundary = kinds[i] == assertion::uni_boundary || kinds[i] == assertion::boundary;
                holds = word_assertion_holds(boundary, word_before(pos, unicode), word_after(pos, unicode),
                                             text_.size == 0);
                break;
            }
            default: holds = assertion_holds(kinds[i], text_, pos); break;
        }
        if (holds) context |= std::size_t{1} << i;
    }
    return context;
}

template <class Char>
bool matcher<Char>::add(std::vector<thread>& list, std::uint32_t root, std::size_t pos, std::size_t start,
                        const dead_ends* dead) {
    const std::uint32_t gen = ws_.generation_;
    const closure_table& table = prog_.closures;
    if (table.available) {
        const std::size_t at = table.root_of[root] * table.contexts() + context_at(pos);
        for (std::uint32_t i = table.begin[at], end = table.begin[at + 1]; i < end; ++i) {
            const std::uint32_t pc = table.threads[i];
            if (ws_.on_list_[pc] == gen || (dead && dead->contains(pc, pos))) continue;
            ws_.on_list_[pc] = gen;
            list.push_back({pc, start});
            count_work(ws_.work);
        }
        return table.has_match[at] != 0;
    }
    auto& stack = ws_.stack_;
    bool reached_match = false;
    stack.push_back({root, 0});
    while (!stack.empty()) {
        auto [pc, flags] = stack.back();
        stack.pop_back();
        for (;;) {
            std::uint32_t& seen = ws_.seen_[prog_.slot(pc, flags)];
            if (seen == gen) break;
            seen = gen;
            const instruction& inst = prog_.insts[pc];
            if (inst.code == op::consume || inst.code == op::match) {
                if (ws_.on_list_[pc] != gen && !(dead && dead->contains(pc, pos))) {
                    ws_.on_list_[pc] = gen;
                    list.push_back({pc, start});
                    count_work(ws_.work);
                    reached_match = reached_match || inst.code == op::match;
                }
                break;
            }
            const bool goes_on = empty_step(
                inst, flags, [&](assertion a) { return assertion_holds(a, text_, pos); },
                [&](std::uint32_t alt, std::uint32_t f) { stack.push_back({alt, f}); });
            if (!goes_on) break;
            pc = inst.next;
        }
    }
    return reached_match;
}

template <class Char>
auto matcher<Char>::run_exists(std::size_t from, start_finder<Char>& starts, std::size_t limit) -> run_result {
    if (prog_.bits.available) return run_exists_bits(from, starts, limit);
    const std::size_t n = text_.size;
    auto& current = ws_.current_;
    auto& next = ws_.next_;
    current.clear();
    std::size_t pos = from;
    new_generation();
    for (;;) {
        if (pos <= n && starts.test(pos) && add(current, prog_.start, pos, pos, nullptr))
            return {.found = true, .stopped = pos, .floor = from};
        if (current.empty()) {
            if (pos >= n) return {.stopped = n + 1};
            if (pos + 1 <= limit && starts.test(pos + 1)) {  // the common case in a dense stretch
                ++pos;
                new_generation();
                continue;
            }
            const std::size_t resume = starts.next(pos + 1, limit);
            if (resume > n) return {.stopped = n + 1};
            if (resume > limit) return {.stopped = resume};
            pos = resume;
            new_generation();
            continue;
        }
        if (pos >= n) return {.stopped = n + 1};
        const code_point c = text_[pos];
        new_generation();
        next.clear();
        for (const thread& t : current) {
            const instruction& inst = prog_.insts[t.pc];
            if (inst.code == op::consume && prog_.classes[inst.cls].contains(c) &&
                add(next, inst.next, pos + 1, t.start, nullptr))
                return {.found = true, .stopped = pos + 1, .floor = from};
        }
        current.swap(next);
        ++pos;
    }
}

template <class Char>
auto matcher<Char>::run_exists_bits(std::size_t from, start_finder<Char>& starts, std::size_t limit) -> run_result {
    const bit_machine& machine = prog_.bits;
    const std::size_t contexts = prog_.closures.contexts();
    const std::size_t n = text_.size;
    std::uint64_t state = 0;
    std::size_t pos = from;
    for (;;) {
        if (pos <= n && starts.test(pos)) state |= machine.start[context_at(pos)];
        if (state & machine.match) return {.found = true, .stopped = pos, .floor = from};
        if (state == 0) {
            if (pos >= n) return {.stopped = n + 1};
            if (pos + 1 <= limit && starts.test(pos + 1)) {
                ++pos;
                continue;
            }
            const std::size_t resume = starts.next(pos + 1, limit);
            if (resume > n) return {.stopped = n + 1};
            if (resume > limit) return {.stopped = resume};
            pos = resume;
            continue;
        }
        if (pos >= n) return {.stopped = n + 1};
        count_work(ws_.work);
        const code_point c = text_[pos];
        std::uint64_t take = state & (c < 256 ? machine.accepts[c] : wide_accepts(c));
        std::uint64_t after = 0;
        if (take) {
            const std::size_t context = context_at(pos + 1);
            do {
                after |= machine.follow[static_cast<std::size_t>(std::countr_zero(take)) * contexts + context];
                take &= take - 1;
            } while (take);
        }
        state = after;
        ++pos;
    }
}

template <class Char>
std::uint64_t matcher<Char>::wide_accepts(code_point c) const noexcept {
    const bit_machine& machine = prog_.bits;
    std::uint64_t accepts = 0;
    for (std::uint64_t bits = machine.wide; bits; bits &= bits - 1) {
        const auto bit = static_cast<std::size_t>(std::countr_zero(bits));
        if (prog_.classes[prog_.insts[machine.pcs[bit]].cls].contains(c)) accepts |= std::uint64_t{1} << bit;
    }
    return accepts;
}

template <class Char>
auto matcher<Char>::run_leftmost(std::size_t from, bool must_advance, start_finder<Char>& starts, std::size_t limit,
                                 dead_ends* dead) -> run_result {
    const std::size_t n = text_.size;
    auto& current = ws_.current_;
    auto& next = ws_.next_;
    current.clear();
    run_result result;
    std::size_t pos = from;
    new_generation();
    for (;;) {
        if (!result.span && pos <= n && starts.test(pos)) add(current, prog_.start, pos, pos, dead);
        if (current.empty()) {
            if (result.span) break;
            if (pos < n && pos + 1 <= limit && starts.test(pos + 1)) {
                ++pos;
                new_generation();
                continue;
            }
            const std::size_t resume = pos >= n ? no_position : starts.next(pos + 1, limit);
            if (resume > n || resume > limit) {
                result.stopped = std::min(resume, n + 1);
                result.reached = pos;
                return result;
            }
            pos = resume;
            new_generation();
            continue;
        }
        new_generation();
        next.clear();
        const code_point c = pos < n ? text_[pos] : 0;
        for (const thread& t : current) {
            const instruction& inst = prog_.insts[t.pc];
            if (inst.code == op::match) {
                if (must_advance && pos == from) continue;
                result.span = match_span{t.start, pos};
                break;  // every thread after this one has lower priority
            }
            if (pos < n && prog_.classes[inst.cls].contains(c)) add(next, inst.next, pos + 1, t.start, dead);
        }
        // The threads still running past the best match so far are dead ends
        // unless one of them later makes a longer match; but then the next
        // search starts at that match's end, past every position recorded
        // here, so they can be recorded as each position is left: memory
        // stays one bit per instruction and position.
        if (dead && result.span && result.span->end < pos)
            for (const thread& t : current) dead->add(t.pc, pos);
        current.swap(next);
        if (pos >= n) {
            current.clear();
            break;
        }
        ++pos;
    }
    result.found = result.span.has_value();
    result.stopped = pos + 1;
    result.reached = pos;
    return result;
}

template <class Char>
auto matcher<Char>::backtrack_first(std::size_t from, bool must_advance, start_finder<Char>& starts) -> attempt {
    const std::size_t n = text_.size;
    const std::uint64_t m = prog_.insts.size();
    std::uint64_t budget = (n - std::min(from, n)) * std::max<std::uint64_t>(4, m / 8) + 4 * m + 256;
    std::size_t pos = from;
    while (pos <= n) {
        const std::size_t s = starts.next(pos);
        if (s > n) break;
        if (starts.test(s)) {
            std::size_t end = 0;
            const int r = backtrack(s, must_advance && s == from, budget, end);
            if (r > 0) return {attempt::found, {s, end}, 0};
            if (r < 0) return {attempt::gave_up, {}, s};
        }
        pos = s + 1;
    }
    return {};
}

template <class Char>
int matcher<Char>::backtrack(std::size_t start, bool no_empty, std::uint64_t& budget, std::size_t& end) {
    auto& stack = ws_.choices_;
    stack.clear();
    stack.push_back({prog_.start, 0, start});
    const std::size_t n = text_.size;
    while (!stack.empty()) {
        // Plain variables (the lambdas below capture them).
        std::uint32_t pc = stack.back().pc;
        std::uint32_t flags = stack.back().flags;
        std::size_t pos = stack.back().pos;
        stack.pop_back();
        for (;;) {
            if (budget == 0) return -1;
            --budget;
            count_work(ws_.work);
            const instruction& inst = prog_.insts[pc];
            if (inst.code == op::match) {
                if (no_empty && pos == start) break;
                end = pos;
                return 1;
            }
            if (inst.code == op::consume) {
                if (pos >= n || !prog_.classes[inst.cls].contains(text_[pos])) break;
                ++pos;
                flags = 0;  // consuming clears the zero-width flags, as in the simulation
                pc = inst.next;
                continue;
            }
            const bool goes_on = empty_step(
                inst, flags, [&](assertion a) { return assertion_holds(a, text_, pos); },
                [&](std::uint32_t alt, std::uint32_t f) { stack.push_back({alt, f, pos}); });
            if (!goes_on) break;
            pc = inst.next;
        }
    }
    return 0;
}

}  // namespace tavrix::regex

#include "alternation_search.hpp"
#include "lead_search.hpp"
