// A whole table of programs over one text in one pass. For each position,
// masks by character say which programs it can concern: by the first three
// characters of their matches, or by a gate character (a one-byte text
// gets a vectorised first look, see byte_filter.hpp). Each program's
// matcher runs only from such positions, and a watermark per program keeps
// it from looking at text it has already covered. Programs the pass cannot
// filter (they can match the empty string, or start only at the beginning)
// are searched on their own. Whether a program matches is answered first
// (the bit machine where it fits); the leftmost match, when wanted, is then
// searched for from where no earlier match can start.
//
// Programs with required literals (literals.hpp) are not in those passes:
// one pass of a literal searcher over the text finds every occurrence of
// every such program's literals, each occurrence confirmed against the
// literal's classes gives a window of positions where that program's
// matches can start, and the program's matcher runs only from its
// windows (merged, so one run covers each position at most once). A
// program none of whose literals occurs costs nothing beyond that pass.
//
// Worst case: the passes are linear in the text (the literal pass also in
// the occurrences it reports); each program's runs cover disjoint
// stretches, and the leftmost search runs once per program, so the total
// is linear in the text times the programs' sizes.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <memory>
#include <optional>
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
    // False for a program that answers only whether it matches (see
    // program::exists_only), asked for the first match: re answers.
    bool answered = true;
};

// What is known of the text a scanned text was made from by replacements:
// the results there (of the same scanner, from program `first` on) and
// where the replacements are in the new text. A program that did not match
// there cannot match now but near a replacement (the longest its match can
// be away), so only those of its windows are run.
struct rescan_hint {
    const std::vector<scan_result>* before = nullptr;
    std::size_t first = 0;
    const std::vector<match_span>* changed = nullptr;  // in order
};

// What a scan did, for the checks of its bound (counted in builds with
// assertions, see count_work): threads the matchers put
// on their lists (and positions their bit machines advanced over), and the
// occurrences the literal pass reported.
struct scan_work {
    std::uint64_t matcher = 0;
    std::uint64_t occurrences = 0;
};

class table_scanner {
public:
    explicit table_scanner(std::vector<std::shared_ptr<const program>> programs);

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
    void scan_group(const group& g, text_view<Char> text, scan_mode mode, std::size_t first,
                    std::vector<scan_result>& out, workspace& ws, checkpoint* poll) const;
    template <class Char>
    void scan_literals(text_view<Char> text, scan_mode mode, std::size_t first, std::vector<scan_result>& out,
                       workspace& ws, const rescan_hint* hint, std::uint64_t& occurrences, checkpoint* poll) const;

    std::vector<std::shared_ptr<const program>> programs_;
    literal_searcher literals_;  // of the programs searched through their literals
    std::vector<std::uint8_t> literal_owner_;  // per program: whether it is one of those
    std::vector<group> groups_;
    std::vector<std::size_t> alone_;  // searched on their own
};

// How far past its trigger a run looks for the next start before it stops.
inline constexpr std::size_t run_ahead = 1024;

template <class Char>
void table_scanner::scan_group(const group& g, text_view<Char> text, scan_mode mode, std::size_t first,
                               std::vector<scan_result>& out, workspace& ws, checkpoint* poll) const {
    const std::size_t n = text.size;
    const std::size_t count = g.members.size();
    std::uint64_t live = 0;
    for (std::size_t q = 0; q < count; ++q)
        if (g.members[q] >= first) live |= std::uint64_t{1} << q;
    std::array<std::size_t, 64> watermark{};
    std::vector<start_finder<Char>> finders;
    finders.reserve(count);
    for (std::size_t member : g.members) finders.emplace_back(*programs_[member], text);

    // Runs member `q` from the trigger at `pos`.
    auto trigger = [&](std::size_t q, std::size_t pos) {
        const program& prog = *programs_[g.members[q]];
        start_finder<Char>& starts = finders[q];
        std::size_t from = pos;
        if (!((g.gates >> q) & 1u)) {
            if (!starts.verify(pos)) return;  // the first characters fit, the rest of the prefix not
        } else {
            if (!set_contains(prog, prog.filter.gate_set, text[pos])) return;
            starts.seed_gate(pos, watermark[q]);
            from = starts.next(watermark[q], pos);
            if (from > pos) {
                watermark[q] = std::min(from, n + 1);
                return;
            }
        }
        // A run goes on through candidates close ahead rather than going
        // idle and being triggered again right away.
        const std::size_t limit = pos + run_ahead;
        matcher<Char> m(prog, text, ws);
        auto r = m.run_exists(from, starts, limit);
        if (r.found) {
            // Whether it matches is known; which match comes first is then
            // the leftmost search's, from where no match can start earlier.
            scan_result& result = out[g.members[q]];
            result = scan_result{true, std::nullopt, r.floor};
            if (mode == scan_mode::first_match) {
                result.span = matcher<Char>(prog, text, ws).search(r.floor);
                result.floor = result.span->start;
            }
            live &= ~(std::uint64_t{1} << q);
        } else {
            watermark[q] = r.stopped;
            if (r.stopped > n) live &= ~(std::uint64_t{1} << q);
        }
    };

    // Below the lowest watermark of the live programs nothing can be
    // triggered: the pass jumps there (what keeps dense stretches cheap).
    std::size_t lowest = 0;
    auto dispatch = [&](std::uint64_t m, std::size_t pos) {
        bool moved = false;
        while (m) {
            const auto q = static_cast<std::size_t>(std::countr_zero(m));
            m &= m - 1;
            if (pos >= watermark[q]) {
                trigger(q, pos);
                moved = true;
            }
        }
        if (moved) {
            lowest = no_position;
            for (std::uint64_t rest = live; rest; rest &= rest - 1)
                lowest = std::min(lowest, watermark[static_cast<std::size_t>(std::countr_zero(rest))]);
        }
    };
    // The programs position `pos` can concern, whatever its characters
    // (characters above Latin-1, or the end of the text, near it).
    auto wide_mask = [&](std::size_t pos) {
        const code_point c = text[pos];
        if (c >= 256) return g.wide_first & ~(pos + 1 < n ? 0 : g.paired);
        std::uint64_t m = g.single[c];
        if (pos + 1 < n) {
            const code_point d = text[pos + 1];
            m |= g.first[c] & (d < 256 ? g.second[d] : g.wide_second);
        }
        return m;
    };
    if (n == 0) return;
    std::size_t pos = 0;
    auto exact = [&](std::size_t at) {
        return (g.single[text[at]] | (g.first[text[at]] & g.second[text[at + 1]] & g.third[text[at + 2]])) & live;
    };
    if constexpr (sizeof(Char) == 1) {
        // Blocks of 32 positions through the byte filter, then the exact
        // test where it lets a position through.
        constexpr std::size_t blocks_per_call = 32;
        std::uint32_t masks[blocks_per_call];
        while (live && pos + 32 + 2 <= n) {
            pos = std::max(pos, lowest);
            if (pos + 32 + 2 > n) break;
            const std::size_t blocks = std::min(blocks_per_call, (n - 2 - pos) / 32);
            g.bytes.scan(text.data, pos, blocks, masks);
            for (std::size_t k = 0; k < blocks && live; ++k) {
                const std::size_t base = pos + 32 * k;
                std::uint32_t bits = masks[k];
                if (base < lowest) bits = base + 32 <= lowest ? 0 : bits & (~0u << (lowest - base));
                for (; bits && live; bits &= bits - 1) {
                    const std::size_t at = base + static_cast<std::size_t>(std::countr_zero(bits));
                    if (at < lowest) continue;  // raised by a trigger in this block
                    if (const std::uint64_t m = exact(at)) dispatch(m, at);
                }
            }
            pos += 32 * blocks;
            reached(poll, blocks / 2 + 1);
        }
    }
    // Three characters at a time while there are three; then the tail,
    // with the third character unknown.
    for (; pos + 2 < n && live; ++pos) {
        if (pos < lowest) {
            pos = lowest - 1;
            continue;
        }
        if ((pos & 1023) == 0) reached(poll, 16);
        const code_point c = text[pos];
        const code_point d = text[pos + 1];
        const code_point e = text[pos + 2];
        if constexpr (sizeof(Char) > 1) {
            if ((c | d | e) >= 256) {
                if (const std::uint64_t m = wide_mask(pos) & live) dispatch(m, pos);
                continue;
            }
        }
        if (const std::uint64_t m = (g.single[c] | (g.first[c] & g.second[d] & g.third[e])) & live) [[unlikely]]
            dispatch(m, pos);
    }
    for (pos = std::max(pos, lowest); pos < n && live; ++pos)
        if (const std::uint64_t m = wide_mask(pos) & live) dispatch(m, pos);
}

// The windows of `windows` a change in `changed` (in order) can reach:
// those within the longest match (and the assertions' one character of
// context) of one, or whose matches could reach the text's end.
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

template <class Char>
void table_scanner::scan_literals(text_view<Char> text, scan_mode mode, std::size_t first,
                                  std::vector<scan_result>& out, workspace& ws, const rescan_hint* hint,
                                  std::uint64_t& occurrences, checkpoint* poll) const {
    struct hit {
        std::uint32_t owner;
        window w;
    };
    std::vector<hit> hits;
    std::vector<std::uint8_t> decided(programs_.size(), 0);
    auto collect = [&](std::size_t end, const literal_searcher::entry& e) {
        count_work(occurrences);
        if (e.owner < first || decided[e.owner]) return;
        const program& prog = *programs_[e.owner];
        const literal& lit = prog.literal.strings[e.literal];
        const std::size_t start = end - lit.size();
        for (std::size_t j = 0; j < lit.size(); ++j)
            if (!prog.classes[lit[j].cls].contains(text[start + j])) return;
        const required_literals& req = prog.literal;
        if (start < req.lead_min) return;
        const std::size_t lo = req.lead_max == unbounded || req.lead_max > start ? 0 : start - req.lead_max;
        hits.push_back({e.owner, {lo, start - req.lead_min}});
    };
    // Runs each program with occurrences from its windows; with `final`
    // false, only those few asked whether they match, and only a match
    // settles a program (its windows so far are not all there are).
    auto run = [&](bool final) {
        std::sort(hits.begin(), hits.end(), [](const hit& a, const hit& b) {
            return a.owner != b.owner ? a.owner < b.owner : a.w.lo < b.w.lo;
        });
        for (std::size_t i = 0; i < hits.size();) {
            const std::uint32_t owner = hits[i].owner;
            auto windows = std::make_shared<window_list>();
            for (; i < hits.size() && hits[i].owner == owner; ++i) {
                const window w = hits[i].w;
                if (!windows->empty() && w.lo <= windows->back().hi + 1)
                    windows->back().hi = std::max(windows->back().hi, w.hi);
                else
                    windows->push_back(w);
            }
            if (decided[owner]) continue;
            const program& prog = *programs_[owner];
            if (hint && owner >= hint->first && !(*hint->before)[owner].found && prog.literal.longest != unbounded) {
                keep_near_changes(*windows, *hint->changed, prog.literal.longest, text.size);
                if (windows->empty()) {
                    if (final) decided[owner] = 1;
                    continue;
                }
            }
            reached(poll, 16);
            matcher<Char> m(prog, text, ws, windows.get());
            scan_result& result = out[owner];
            if (mode != scan_mode::first_match) {
                result.found = m.exists(0);
                result.floor = windows->front().lo;
            } else {
                result.span = m.search(0);
                result.found = result.span.has_value();
                if (result.span) result.floor = result.span->start;
            }
            if (result.found || final) {
                // Found early, the windows so far are not all the text's:
                // no limit is handed on (the floor still holds).
                if (final) result.windows = std::move(windows);
                decided[owner] = 1;
            }
        }
        if (!final) std::erase_if(hits, [&](const hit& h) { return decided[h.owner] != 0; });
    };
    // Whether each program matches can often be told from the text's
    // beginning (when its windows are not wanted): where few programs go
    // by their literals, those are asked
    // at checkpoints 16 times apart (from 1,024 characters), and the pass stops once all have
    // matched (the asking costs at most a few times what one run would).
    std::size_t undecided = 0;
    for (std::size_t i = first; i < programs_.size(); ++i) undecided += literal_owner_[i];
    const bool early = mode == scan_mode::exists && undecided <= 4;
    std::size_t pos = 0;
    std::uint32_t state = 0;
    // The pass goes in stretches of 64 KB, between which the scan can be
    // stopped.
    constexpr std::size_t stretch = std::size_t{1} << 16;
    for (std::size_t until = early ? 1024 : text.size;; until *= 16) {
        const std::size_t to = std::min(text.size, until);
        while (pos < to) {
            const std::size_t next = std::min(to, pos + stretch);
            state = literals_.scan(text, pos, next, state, collect);
            reached(poll, (next - pos) / 64);
            pos = next;
        }
        if (pos >= text.size) break;
        run(false);
        std::size_t left = 0;
        for (std::size_t i = first; i < programs_.size(); ++i) left += literal_owner_[i] && !decided[i];
        if (left == 0) return;
    }
    run(true);
}

template <class Char>
std::vector<scan_result> table_scanner::scan(text_view<Char> text, scan_mode mode, std::size_t first,
                                             const rescan_hint* hint, scan_work* work, checkpoint* poll) const {
    std::vector<scan_result> out(programs_.size());
    workspace ws;
    std::uint64_t occurrences = 0;
    if (hint && (hint->first > first || mode == scan_mode::first_match)) hint = nullptr;
    if (!literals_.empty()) scan_literals(text, mode, first, out, ws, hint, occurrences, poll);
    for (std::size_t i : alone_) {
        if (i < first) continue;
        reached(poll, text.size / 64 + 1);
        matcher m(*programs_[i], text, ws);
        if (mode != scan_mode::first_match) {
            out[i].found = m.exists(0);
        } else {
            out[i].span = m.search(0);
            out[i].found = out[i].span.has_value();
        }
    }
    for (const group& g : groups_) scan_group(g, text, mode, first, out, ws, poll);
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
        work->occurrences += occurrences;
    }
    return out;
}

}  // namespace tavrix::regex
