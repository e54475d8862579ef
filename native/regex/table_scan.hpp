// A whole table of programs over one text, in named stages:
//
//   build the scanner (table_scan.cpp): each program takes one path, the
//     literal pass (it has required literals, see literals.hpp), a grouped
//     pass (up to 64 programs with a prefix or gate filter share masks by
//     character), or a search of its own (it can match the empty string,
//     or starts only at the beginning);
//   the literal pass: one run of the literal searcher over the text
//     reports every occurrence of every such program's literals;
//   confirm an occurrence: against the literal's classes and its lead,
//     which gives a window of positions where its owner's matches start;
//   merge windows: an owner's windows sorted and joined, so that its
//     matcher covers each position once at most;
//   run windows: the owner's matcher from its windows only;
//   the grouped pass: for each position, the masks say which members it
//     can concern (by the first three characters of their matches, or by a
//     gate character; a one-byte text gets a vectorised first look, see
//     byte_filter.hpp); a member's matcher runs only from such positions,
//     and a watermark per member keeps it from text it has covered;
//   keep what a substitution can have changed (class rescan): on a text
//     made from the last one by replacements, the literal pass's
//     occurrences are carried over (moved by the replacements' change of
//     length) and searched for again only near the replacements; a program
//     that did not match there is run only near them.
//
// Whether a program matches is answered first (the bit machine where it
// fits); the leftmost match, when wanted, is then searched for from where
// no earlier match can start. A program none of whose literals occurs
// costs nothing beyond the literal pass.
//
// Worst case: the passes are linear in the text (the literal pass also in
// the occurrences it reports); each program's runs cover disjoint
// stretches, and the leftmost search runs once per program, so the total
// is linear in the text times the programs' sizes.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../support/checkpoint.hpp"
#include "byte_filter.hpp"
#include "literal_search.hpp"
#include "matcher.hpp"

namespace tavrix::regex {

enum class scan_mode : std::uint8_t {
    exists,        // whether each program matches
    first_match,   // the leftmost match of each program
    substitution,  // whether each matches, and the windows its substitution can be limited to
};

struct scan_result {
    bool found = false;
    std::optional<match_span> span;  // first_match mode
    std::size_t floor = 0;           // found: no match starts before this position
    // For a program searched through its literals: the only stretches
    // where its matches start in this text (what a substitution of it on
    // the same text can be limited to).
    std::shared_ptr<const window_list> windows;
    // Substitution mode, for a program of the literal pass: the
    // occurrences of its literals whose characters fit their classes, in
    // order of their starts (what the next scan after a substitution
    // carries over rather than searching the whole text again).
    std::vector<match_span> occurrences;
    // False for a program that answers only whether it matches (see
    // program::exists_only), asked for the first match: re answers.
    bool answered = true;
};

// What is known of the text a scanned text was made from by replacements
// (a substitution scan only): the results there (of the same scanner, in
// substitution mode, from program `first` on), where the replacements are
// in the new text (`changed`) and what they replaced in the old one
// (`replaced`), in order, one for one. See table_scanner::rescan.
struct rescan_hint {
    const std::vector<scan_result>* before = nullptr;
    std::size_t first = 0;
    const std::vector<match_span>* changed = nullptr;
    const std::vector<match_span>* replaced = nullptr;
};

// What a scan did, for the checks of its bound (counted in builds with
// assertions, see count_work): threads the matchers put
// on their lists (and positions their bit machines advanced over), and the
// occurrences the literal pass reported, and the characters it read
// (a scan after a substitution reads those near the replacements only) and
// the occurrences it carried over.
struct scan_work {
    std::uint64_t matcher = 0;
    std::uint64_t occurrences = 0;
    std::uint64_t characters = 0;
    std::uint64_t carried = 0;
};

inline void count_work_by([[maybe_unused]] std::uint64_t& counter, [[maybe_unused]] std::size_t n) noexcept {
#ifndef NDEBUG
    counter += n;
#endif
}

// ---- Merge windows ----------------------------------------------------
// Invariant of a merged window list: windows in order, disjoint after the
// merge (nor adjacent: one run goes through both), every match start
// inside one (each window is the union of windows that each held every
// start an occurrence allows). Linear after the sort.

// Whether `windows` holds the invariant's order: each window's bounds in
// order, and each window starting two positions or more after the last.
[[nodiscard]] inline bool windows_in_order(const window_list& windows) noexcept {
    for (std::size_t k = 0; k < windows.size(); ++k) {
        if (windows[k].lo > windows[k].hi) return false;
        if (k > 0 && windows[k].lo <= windows[k - 1].hi + 1) return false;
    }
    return true;
}

// Appends `w` to `windows`, whose windows all start at or before it:
// joined to the last one where they overlap or touch.
inline void append_window(window_list& windows, window w) {
    if (!windows.empty() && w.lo <= windows.back().hi + 1)
        windows.back().hi = std::max(windows.back().hi, w.hi);
    else
        windows.push_back(w);
}

// ---- Confirm an occurrence --------------------------------------------
// An occurrence of a folded literal that is one of `prog`'s literal
// (literal_fits, matcher.hpp) allows the window of match starts its lead
// reaches back to (none when the lead does not fit before it).
[[nodiscard]] inline std::optional<window> window_of(const required_literals& req, std::size_t start) {
    if (start < req.lead_min) return std::nullopt;
    const std::size_t lo = req.lead_max == unbounded || req.lead_max > start ? 0 : start - req.lead_max;
    return window{lo, start - req.lead_min};
}

// The merged windows of a program's occurrences (in order of their starts).
[[nodiscard]] inline window_list windows_of(const required_literals& req, const std::vector<match_span>& occurrences) {
    window_list windows;
    for (const match_span& o : occurrences)
        if (auto w = window_of(req, o.start)) append_window(windows, *w);
    assert(windows_in_order(windows));
    return windows;
}

// ---- Keep what a substitution can have changed ------------------------
// The windows of `windows` a change in `changed` (in order) can reach:
// those within the longest match (and the assertions' one character of
// context) of one, or whose matches could reach the text's end. Keeps the
// merge's invariant (it only drops windows).
inline void keep_near_changes(window_list& windows, const std::vector<match_span>& changed, std::uint32_t longest,
                              std::size_t size) {
    std::size_t k = 0;
    std::erase_if(windows, [&](const window& w) {
        const std::size_t reach = w.hi + longest + 2;
        if (reach >= size) return false;
        while (k < changed.size() && changed[k].end + 1 < w.lo) ++k;
        return !(k < changed.size() && changed[k].start <= reach);
    });
}

// ---- Run windows ------------------------------------------------------
// A program's answer from its matcher run only from `windows` (merged):
// whether it matches, and with `mode` first_match its leftmost match.
template <class Char>
[[nodiscard]] scan_result run_windows(const program& prog, text_view<Char> text, const window_list& windows,
                                      scan_mode mode, workspace& ws) {
    assert(windows_in_order(windows) && !windows.empty());
    matcher<Char> m(prog, text, ws, &windows);
    scan_result result;
    if (mode != scan_mode::first_match) {
        result.found = m.exists(0);
        result.floor = windows.front().lo;
    } else {
        result.span = m.search(0);
        result.found = result.span.has_value();
        if (result.span) result.floor = result.span->start;
    }
    return result;
}

// ---- The scanner ------------------------------------------------------
class table_scanner {
public:
    // Builds the scanner (see table_scan.cpp): linear in the programs'
    // prefilters and literals. A table of more than `grouped_at_most`
    // programs sends those with literals of two characters or more to the
    // literal pass (the checks lower it to reach that pass with small
    // tables).
    static constexpr std::size_t one_grouped_pass = 64;
    explicit table_scanner(std::vector<std::shared_ptr<const program>> programs,
                           std::size_t grouped_at_most = one_grouped_pass);

    // One result per program, in order, over a text's storage; the
    // programs before `first` are skipped (their results stay empty).
    // (engine.hpp scans a Python str.) `poll`, when given, is reached
    // between blocks of the passes (a unit for some 64 characters of a
    // pass, 16 for a program's run over its windows) and may abandon the
    // scan by throwing. Reads only the scanner and the text: any number of
    // threads may scan with one scanner at once.
    template <class Char>
    [[nodiscard]] std::vector<scan_result> scan(text_view<Char> text, scan_mode mode, std::size_t first = 0,
                                                const rescan_hint* hint = nullptr, scan_work* work = nullptr,
                                                checkpoint* poll = nullptr) const;

    [[nodiscard]] const std::vector<std::shared_ptr<const program>>& programs() const noexcept { return programs_; }

    // The path each program takes, one line each ("3 literal pass: ...",
    // "5 grouped pass 0: prefix 3", "7 searched alone: anywhere"), with the
    // literals and leads of those of the literal pass.
    [[nodiscard]] std::string dump() const;

private:
    // Up to 64 filtered programs share one set of masks.
    struct group {
        std::vector<std::size_t> members;       // indexes into programs_
        // By Latin-1 character: the programs a position can concern by its
        // character alone (`single`), or as the first, second and third
        // character of a match (the `paired` programs; `third` admits
        // everything for those whose prefix is two characters long).
        std::array<std::uint64_t, 256> single{};
        std::array<std::uint64_t, 256> first{};
        std::array<std::uint64_t, 256> second{};
        std::array<std::uint64_t, 256> third{};
        std::uint64_t paired = 0;
        std::uint64_t gates = 0;                // programs triggered by their gate character
        std::uint64_t wide_first = 0;           // programs a character above Latin-1 can concern
        std::uint64_t wide_second = 0;          // paired programs whose second set has such characters
        byte_filter bytes;                      // the first look at one-byte text
    };

    template <class Char>
    class grouped_pass;
    template <class Char>
    class literal_pass;
    template <class Char>
    class rescan;

    // Building (table_scan.cpp): a filtered program into the last group
    // (a new one when it is full), with the halves of its first three
    // sets that the group's byte filter is then made from.
    struct halves;
    void add_to_group(std::size_t index, std::vector<std::vector<halves>>& group_halves);
    static void build_byte_filter(group& g, const std::vector<halves>& member_halves);

    std::vector<std::shared_ptr<const program>> programs_;
    literal_searcher literals_;  // of the programs searched through their literals
    std::vector<std::uint8_t> literal_owner_;  // per program: whether it is one of those
    std::size_t longest_literal_ = 0;          // the longest of their literals
    std::vector<group> groups_;
    std::vector<std::size_t> alone_;  // searched on their own
};

// How far past its trigger a run looks for the next start before it stops.
inline constexpr std::size_t run_ahead = 1024;

// ---- The grouped pass -------------------------------------------------
// One group's members over one text. Invariant: `live` holds the members
// still undecided; no member is triggered below its watermark (the text
// before it is covered), and `lowest` is the lowest watermark of the live
// members, so the pass skips to it.
template <class Char>
class table_scanner::grouped_pass {
public:
    // Members before `first`, and those `settled` marks (when given), are
    // left as they are.
    grouped_pass(const table_scanner& scanner, const group& g, text_view<Char> text, scan_mode mode,
                 std::size_t first, std::vector<scan_result>& out, workspace& ws,
                 const std::vector<std::uint8_t>* settled = nullptr)
        : scanner_(scanner), g_(g), text_(text), mode_(mode), out_(out), ws_(ws) {
        for (std::size_t q = 0; q < g.members.size(); ++q)
            if (g.members[q] >= first && !(settled && (*settled)[g.members[q]])) live_ |= std::uint64_t{1} << q;
        finders_.reserve(g.members.size());
        for (std::size_t member : g.members) finders_.emplace_back(*scanner.programs_[member], text);
    }

    void run(checkpoint* poll) {
        const std::size_t n = text_.size;
        if (n == 0) return;
        std::size_t pos = 0;
        if constexpr (sizeof(Char) == 1) pos = run_bytes(poll);
        // Three characters at a time while there are three; then the tail,
        // with the third character unknown.
        for (; pos + 2 < n && live_; ++pos) {
            if (pos < lowest_) {
                pos = lowest_ - 1;
                continue;
            }
            if ((pos & 1023) == 0) reached(poll, 16);
            const code_point c = text_[pos];
            const code_point d = text_[pos + 1];
            const code_point e = text_[pos + 2];
            if constexpr (sizeof(Char) > 1) {
                if ((c | d | e) >= 256) {
                    if (const std::uint64_t m = wide_mask(pos) & live_) dispatch(m, pos);
                    continue;
                }
            }
            if (const std::uint64_t m = (g_.single[c] | (g_.first[c] & g_.second[d] & g_.third[e])) & live_)
                [[unlikely]]
                dispatch(m, pos);
        }
        for (pos = std::max(pos, lowest_); pos < n && live_; ++pos)
            if (const std::uint64_t m = wide_mask(pos) & live_) dispatch(m, pos);
    }

private:
    // Blocks of 32 positions through the byte filter, then the exact test
    // where it lets a position through; returns where the rest goes on.
    std::size_t run_bytes(checkpoint* poll) {
        const std::size_t n = text_.size;
        constexpr std::size_t blocks_per_call = 32;
        std::uint32_t masks[blocks_per_call];
        std::size_t pos = 0;
        while (live_ && pos + 32 + 2 <= n) {
            pos = std::max(pos, lowest_);
            if (pos + 32 + 2 > n) break;
            const std::size_t blocks = std::min(blocks_per_call, (n - 2 - pos) / 32);
            g_.bytes.scan(text_.data, pos, blocks, masks);
            for (std::size_t k = 0; k < blocks && live_; ++k) {
                const std::size_t base = pos + 32 * k;
                std::uint32_t bits = masks[k];
                if (base < lowest_) bits = base + 32 <= lowest_ ? 0 : bits & (~0u << (lowest_ - base));
                for (; bits && live_; bits &= bits - 1) {
                    const std::size_t at = base + static_cast<std::size_t>(std::countr_zero(bits));
                    if (at < lowest_) continue;  // raised by a trigger in this block
                    if (const std::uint64_t m = exact_mask(at)) dispatch(m, at);
                }
            }
            pos += 32 * blocks;
            reached(poll, blocks / 2 + 1);
        }
        return pos;
    }

    // The live members position `at` concerns, three characters known.
    std::uint64_t exact_mask(std::size_t at) const {
        return (g_.single[text_[at]] | (g_.first[text_[at]] & g_.second[text_[at + 1]] & g_.third[text_[at + 2]])) &
               live_;
    }

    // The members position `pos` can concern, whatever its characters
    // (characters above Latin-1, or the end of the text, near it).
    std::uint64_t wide_mask(std::size_t pos) const {
        const std::size_t n = text_.size;
        const code_point c = text_[pos];
        if (c >= 256) return g_.wide_first & ~(pos + 1 < n ? 0 : g_.paired);
        std::uint64_t m = g_.single[c];
        if (pos + 1 < n) {
            const code_point d = text_[pos + 1];
            m |= g_.first[c] & (d < 256 ? g_.second[d] : g_.wide_second);
        }
        return m;
    }

    // Triggers the members of `m` at `pos` whose watermark it reached.
    void dispatch(std::uint64_t m, std::size_t pos) {
        bool moved = false;
        while (m) {
            const auto q = static_cast<std::size_t>(std::countr_zero(m));
            m &= m - 1;
            if (pos >= watermark_[q]) {
                trigger(q, pos);
                moved = true;
            }
        }
        if (moved) {
            lowest_ = no_position;
            for (std::uint64_t rest = live_; rest; rest &= rest - 1)
                lowest_ = std::min(lowest_, watermark_[static_cast<std::size_t>(std::countr_zero(rest))]);
        }
    }

    // Runs member `q` from the trigger at `pos`.
    void trigger(std::size_t q, std::size_t pos) {
        const std::size_t n = text_.size;
        const program& prog = *scanner_.programs_[g_.members[q]];
        start_finder<Char>& starts = finders_[q];
        std::size_t from = pos;
        if (!((g_.gates >> q) & 1u)) {
            if (!starts.verify(pos)) return;  // the first characters fit, the rest of the prefix not
        } else {
            if (!set_contains(prog, prog.filter.gate_set, text_[pos])) return;
            starts.seed_gate(pos, watermark_[q]);
            from = starts.next(watermark_[q], pos);
            if (from > pos) {
                watermark_[q] = std::min(from, n + 1);
                return;
            }
        }
        // A run goes on through candidates close ahead rather than going
        // idle and being triggered again right away.
        const std::size_t limit = pos + run_ahead;
        matcher<Char> m(prog, text_, ws_);
        auto r = m.run_exists(from, starts, limit);
        if (r.found) {
            // Whether it matches is known; which match comes first is then
            // the leftmost search's, from where no match can start earlier.
            scan_result& result = out_[g_.members[q]];
            result = scan_result{true, std::nullopt, r.floor};
            if (mode_ == scan_mode::first_match) {
                result.span = matcher<Char>(prog, text_, ws_).search(r.floor);
                result.floor = result.span->start;
            }
            live_ &= ~(std::uint64_t{1} << q);
        } else {
            watermark_[q] = r.stopped;
            if (r.stopped > n) live_ &= ~(std::uint64_t{1} << q);
        }
    }

    const table_scanner& scanner_;
    const group& g_;
    text_view<Char> text_;
    scan_mode mode_;
    std::vector<scan_result>& out_;
    workspace& ws_;
    std::uint64_t live_ = 0;
    std::array<std::size_t, 64> watermark_{};
    std::size_t lowest_ = 0;
    std::vector<start_finder<Char>> finders_;
};

// ---- The literal pass -------------------------------------------------
// The programs with required literals over one text. Invariant: every
// occurrence the searcher reported for an undecided owner at or after
// `first` is confirmed into `hits_` (or dropped as impossible); an owner is
// decided once a match is found, or once all its windows have been run.
template <class Char>
class table_scanner::literal_pass {
public:
    literal_pass(const table_scanner& scanner, text_view<Char> text, scan_mode mode, std::size_t first,
                 std::vector<scan_result>& out, workspace& ws)
        : scanner_(scanner), text_(text), mode_(mode), first_(first), out_(out), ws_(ws),
          decided_(scanner.programs_.size(), 0) {}

    // Whether each program matches can often be told from the text's
    // beginning (when its windows are not wanted): where few programs go
    // by their literals, those are asked at checkpoints 16 times apart
    // (from 1,024 characters), and the pass stops once all have matched
    // (the asking costs at most a few times what one run would).
    void run(scan_work& work, checkpoint* poll) {
        std::size_t undecided = 0;
        for (std::size_t i = first_; i < scanner_.programs_.size(); ++i) undecided += scanner_.literal_owner_[i];
        const bool early = mode_ == scan_mode::exists && undecided <= 4;
        std::size_t pos = 0;
        std::uint32_t state = 0;
        // The pass goes in stretches of 64 KB, between which the scan can be
        // stopped.
        constexpr std::size_t stretch = std::size_t{1} << 16;
        for (std::size_t until = early ? 1024 : text_.size;; until *= 16) {
            const std::size_t to = std::min(text_.size, until);
            while (pos < to) {
                const std::size_t next = std::min(to, pos + stretch);
                state = scanner_.literals_.scan(text_, pos, next, state,
                                                [&](std::size_t end, const literal_searcher::entry& e) {
                                                    count_work(work.occurrences);
                                                    collect(end, e);
                                                });
                reached(poll, (next - pos) / 64);
                count_work_by(work.characters, next - pos);
                pos = next;
            }
            if (pos >= text_.size) break;
            settle(false, poll);
            std::size_t left = 0;
            for (std::size_t i = first_; i < scanner_.programs_.size(); ++i)
                left += scanner_.literal_owner_[i] && !decided_[i];
            if (left == 0) return;
        }
        settle(true, poll);
    }

private:
    struct hit {
        std::uint32_t owner;
        match_span at;  // the occurrence
    };

    // Confirms the occurrence ending at `end` into a hit of its owner.
    void collect(std::size_t end, const literal_searcher::entry& e) {
        if (e.owner < first_ || decided_[e.owner]) return;
        const program& prog = *scanner_.programs_[e.owner];
        const literal& lit = prog.literal.strings[e.literal];
        const std::size_t start = end - lit.size();
        if (literal_fits(prog, lit, text_, start)) hits_.push_back({e.owner, {start, end}});
    }

    // Runs each owner's windows from the hits so far; with `final` false,
    // only a match settles an owner (its windows so far are not all there
    // are), and the hits of those settled are dropped.
    void settle(bool final, checkpoint* poll) {
        std::sort(hits_.begin(), hits_.end(), [](const hit& a, const hit& b) {
            return a.owner != b.owner ? a.owner < b.owner : a.at.start < b.at.start;
        });
        std::vector<match_span> occurrences;
        for (std::size_t i = 0; i < hits_.size();) {
            const std::uint32_t owner = hits_[i].owner;
            occurrences.clear();
            for (; i < hits_.size() && hits_[i].owner == owner; ++i) occurrences.push_back(hits_[i].at);
            if (decided_[owner]) continue;
            const program& prog = *scanner_.programs_[owner];
            auto windows = std::make_shared<window_list>(windows_of(prog.literal, occurrences));
            if (final && mode_ == scan_mode::substitution) out_[owner].occurrences = occurrences;
            if (windows->empty()) {
                if (final) decided_[owner] = 1;
                continue;
            }
            reached(poll, 16);
            scan_result& result = out_[owner];
            std::vector<match_span> kept = std::move(result.occurrences);
            result = run_windows(prog, text_, *windows, mode_, ws_);
            result.occurrences = std::move(kept);
            if (result.found || final) {
                // Found early, the windows so far are not all the text's:
                // no limit is handed on (the floor still holds).
                if (final) result.windows = std::move(windows);
                decided_[owner] = 1;
            }
        }
        if (!final) std::erase_if(hits_, [&](const hit& h) { return decided_[h.owner] != 0; });
    }

    const table_scanner& scanner_;
    text_view<Char> text_;
    scan_mode mode_;
    std::size_t first_;
    std::vector<scan_result>& out_;
    workspace& ws_;
    std::vector<hit> hits_;
    std::vector<std::uint8_t> decided_;
};

// ---- Keep what a substitution can have changed --------------------------
// A substitution scan of a text made from the last one scanned by
// replacements (see rescan_hint) carries over what no replacement can
// reach:
// - the literal pass's occurrences: those overlapping no replaced stretch
//   move by the length the replacements before them added or took; the
//   literal searcher reads again only the stretches within a literal's
//   length of a replacement (for the occurrences overlapping one);
// - a program that matched there is taken to match now (what a
//   substitution needs: it runs the program over its windows, and leaves
//   the text as it is where nothing matches), its windows those of its
//   occurrences now (none outside the literal pass: the whole text);
// - a program that did not match there can match now only near a
//   replacement (within its longest match, and a character of context for
//   the assertions, or near the text's end): it is run there only. One
//   whose matches have no bound, or whose stretches near the replacements
//   would cover much of the text, is scanned as in a first scan.
// Invariant: a program answered false does not match the new text (as
// after a first scan); one answered true may not; every match start lies
// in its windows, when it has windows. Cost: linear in the occurrences
// carried, the stretches read again (merged, so at most the text) and the
// runs near the replacements, not in the text.
template <class Char>
class table_scanner::rescan {
public:
    rescan(const table_scanner& scanner, text_view<Char> text, std::size_t first, const rescan_hint& hint,
           std::vector<scan_result>& out, workspace& ws)
        : scanner_(scanner), text_(text), first_(first), before_(*hint.before), changed_(*hint.changed),
          replaced_(*hint.replaced), out_(out), ws_(ws) {
        assert(changed_.size() == replaced_.size());
        moved_by_.reserve(replaced_.size() + 1);
        moved_by_.push_back(0);
        for (std::size_t k = 0; k < replaced_.size(); ++k)
            moved_by_.push_back(moved_by_.back() + (changed_[k].end - changed_[k].start) -
                                (replaced_[k].end - replaced_[k].start));
    }

    void carry_literals(scan_work& work, checkpoint* poll) {
        const std::vector<match_span> reread = stretches_to_reread();
        // The occurrences in those stretches, by owner and start.
        std::vector<std::pair<std::uint32_t, match_span>> fresh;
        for (const match_span& r : reread) {
            scanner_.literals_.scan(text_, r.start, r.end, 0, [&](std::size_t end, const literal_searcher::entry& e) {
                count_work(work.occurrences);
                if (e.owner < first_) return;
                const program& prog = *scanner_.programs_[e.owner];
                const literal& lit = prog.literal.strings[e.literal];
                const std::size_t start = end - lit.size();
                if (literal_fits(prog, lit, text_, start)) fresh.push_back({e.owner, {start, end}});
            });
            count_work_by(work.characters, r.end - r.start);
            reached(poll, (r.end - r.start) / 64 + 1);
        }
        std::sort(fresh.begin(), fresh.end(), [](const auto& a, const auto& b) {
            return a.first != b.first ? a.first < b.first : a.second.start < b.second.start;
        });
        auto next_fresh = fresh.begin();
        std::vector<match_span> carried, own;  // reused for each owner
        for (std::size_t owner = first_; owner < scanner_.programs_.size(); ++owner) {
            if (!scanner_.literal_owner_[owner]) continue;
            carried.clear();
            carry_occurrences(before_[owner].occurrences, reread, carried);
            count_work_by(work.carried, carried.size());
            scan_result& result = out_[owner];
            const auto own_end = std::find_if(next_fresh, fresh.end(), [&](const auto& f) { return f.first != owner; });
            result.occurrences.reserve(carried.size() + static_cast<std::size_t>(own_end - next_fresh));
            auto by_start = [](const match_span& a, const match_span& b) { return a.start < b.start; };
            own.clear();
            for (; next_fresh != own_end; ++next_fresh) own.push_back(next_fresh->second);
            std::merge(carried.begin(), carried.end(), own.begin(), own.end(),
                       std::back_inserter(result.occurrences), by_start);
            decide(owner, windows_of(scanner_.programs_[owner]->literal, result.occurrences), poll);
        }
    }

    // The other programs: those decided from what was found before are
    // marked in `settled` (the passes leave them).
    void carry_others(std::vector<std::uint8_t>& settled, checkpoint* poll) {
        settled.assign(scanner_.programs_.size(), 0);
        std::uint32_t near_for = unbounded;  // the bound `near` was made for
        window_list near;
        bool near_is_narrow = false;
        for (std::size_t i = first_; i < scanner_.programs_.size(); ++i) {
            if (scanner_.literal_owner_[i]) continue;
            const std::uint32_t longest = scanner_.programs_[i]->literal.longest;
            if (!before_[i].found && longest != unbounded && longest != near_for) {
                near = near_changes(longest);
                near_is_narrow = narrow(near);
                near_for = longest;
            }
            if (before_[i].found) {
                out_[i] = scan_result{true, std::nullopt, 0};
            } else if (longest != unbounded && near_is_narrow) {
                reached(poll, 16);
                out_[i] = run_windows(*scanner_.programs_[i], text_, near, scan_mode::substitution, ws_);
                out_[i].floor = 0;
            } else {
                continue;
            }
            settled[i] = 1;
        }
    }

private:
    // Decides a program of the literal pass from its windows now.
    void decide(std::size_t owner, window_list windows, checkpoint* poll) {
        scan_result& result = out_[owner];
        const program& prog = *scanner_.programs_[owner];
        if (windows.empty()) return;
        if (before_[owner].found) {
            result.found = true;
            result.floor = windows.front().lo;
            result.windows = std::make_shared<const window_list>(std::move(windows));
            return;
        }
        if (prog.literal.longest != unbounded) {
            keep_near_changes(windows, changed_, prog.literal.longest, text_.size);
            if (windows.empty()) return;
        }
        reached(poll, 16);
        std::vector<match_span> occurrences = std::move(result.occurrences);
        result = run_windows(prog, text_, windows, scan_mode::substitution, ws_);
        result.occurrences = std::move(occurrences);
        result.windows = std::make_shared<const window_list>(std::move(windows));
    }

    // The stretches [start, end) of the new text within the longest
    // literal of a replacement, merged: those an occurrence overlapping a
    // replacement lies in.
    std::vector<match_span> stretches_to_reread() const {
        const std::size_t reach = scanner_.longest_literal_ > 0 ? scanner_.longest_literal_ - 1 : 0;
        std::vector<match_span> out;
        for (const match_span& c : changed_) {
            const match_span r{c.start > reach ? c.start - reach : 0, std::min(text_.size, c.end + reach)};
            if (!out.empty() && r.start <= out.back().end)
                out.back().end = std::max(out.back().end, r.end);
            else
                out.push_back(r);
        }
        return out;
    }

    // The occurrences of the old text (in order of their starts) that
    // overlap no replaced stretch, moved to the new text, without those a
    // stretch read again holds whole (found there again).
    // Logarithmic in the replacements an occurrence.
    void carry_occurrences(const std::vector<match_span>& old, const std::vector<match_span>& reread,
                           std::vector<match_span>& out) const {
        for (const match_span& o : old) {
            // The first replaced stretch ending after the occurrence starts:
            // those before it moved the occurrence by moved_by_[k].
            const auto k = static_cast<std::size_t>(
                std::partition_point(replaced_.begin(), replaced_.end(),
                                     [&](const match_span& r) { return r.end <= o.start; }) -
                replaced_.begin());
            if (k < replaced_.size() && replaced_[k].start < o.end) continue;  // overlaps a replaced stretch
            const match_span moved{o.start + moved_by_[k], o.end + moved_by_[k]};
            auto r = std::lower_bound(reread.begin(), reread.end(), moved.end,
                                      [](const match_span& s, std::size_t end) { return s.end < end; });
            if (r != reread.end() && r->start <= moved.start) continue;  // found again
            out.push_back(moved);
        }
    }

    // Where a match of at most `longest` characters that the old text did
    // not have can start: near a replacement, or near the end.
    window_list near_changes(std::uint32_t longest) const {
        const std::size_t before = std::size_t{longest} + 2;
        const std::size_t n = text_.size;
        window_list near;
        for (const match_span& c : changed_)
            append_window(near, {c.start > before ? c.start - before : 0, std::min(n, c.end + 1)});
        append_window(near, {n > before ? n - before : 0, n});
        assert(windows_in_order(near));
        return near;
    }

    // Whether runs from `near` cover little enough of the text to beat a
    // pass over it.
    bool narrow(const window_list& near) const {
        std::size_t covered = 0;
        for (const window& w : near) covered += w.hi - w.lo + 1;
        return covered * 4 <= text_.size;
    }

    const table_scanner& scanner_;
    text_view<Char> text_;
    std::size_t first_;
    const std::vector<scan_result>& before_;
    const std::vector<match_span>& changed_;
    const std::vector<match_span>& replaced_;
    std::vector<scan_result>& out_;
    workspace& ws_;
    // By replacement: what those before it added to the text's length
    // (modulo 2**64: a sum that shrinks the text wraps round, and adding
    // it to a position past them gives the moved position).
    std::vector<std::size_t> moved_by_;
};

template <class Char>
std::vector<scan_result> table_scanner::scan(text_view<Char> text, scan_mode mode, std::size_t first,
                                             const rescan_hint* hint, scan_work* work, checkpoint* poll) const {
    std::vector<scan_result> out(programs_.size());
    workspace ws;
    scan_work counted;
    // What was found before helps a substitution scan only, of the same
    // programs, from at least as far.
    if (hint && (mode != scan_mode::substitution || hint->first > first || !hint->before || !hint->replaced ||
                 !hint->changed || hint->changed->size() != hint->replaced->size() ||
                 hint->before->size() != programs_.size()))
        hint = nullptr;
    std::vector<std::uint8_t> settled;  // by program: decided from before (a scan after a substitution)
    if (hint) {
        rescan<Char> carry(*this, text, first, *hint, out, ws);
        if (!literals_.empty()) carry.carry_literals(counted, poll);
        carry.carry_others(settled, poll);
    } else if (!literals_.empty()) {
        literal_pass<Char>(*this, text, mode, first, out, ws).run(counted, poll);
    }
    for (std::size_t i : alone_) {
        if (i < first || (!settled.empty() && settled[i])) continue;
        reached(poll, text.size / 64 + 1);
        matcher m(*programs_[i], text, ws);
        if (mode != scan_mode::first_match) {
            out[i].found = m.exists(0);
        } else {
            out[i].span = m.search(0);
            out[i].found = out[i].span.has_value();
        }
    }
    for (const group& g : groups_)
        grouped_pass<Char>(*this, g, text, mode, first, out, ws, settled.empty() ? nullptr : &settled).run(poll);
    // A program that only tells whether the pattern matches says nothing
    // of where: no floor, no windows, no first match.
    for (std::size_t i = first; i < programs_.size(); ++i) {
        if (!programs_[i]->exists_only) continue;
        if (mode == scan_mode::first_match) {
            out[i] = scan_result{};
            out[i].answered = false;
        } else {
            out[i].floor = 0;
            out[i].windows.reset();
        }
    }
    if (work) {
        work->matcher += ws.work;
        work->occurrences += counted.occurrences;
        work->characters += counted.characters;
        work->carried += counted.carried;
    }
    return out;
}

}  // namespace tavrix::regex
