// The reverse-suffix strategy: a pattern `lead rest` whose lead repeats
// one class (`C{min,max}`, greedy or lazy) and whose rest begins with one
// literal, the head (see lead_split in program.hpp). Instead of running
// the whole program from every start, the search finds the head, reads
// the lead backwards from it to the first start that can reach it, and
// confirms the rest forwards from the head alone.
//
// Why the answer is the core search's. Let T be the positions where the
// rest matches (each begins with the head), and for p in T let L(p) be
// the leftmost start from which the lead reaches p: the beginning of the
// stretch of class characters ending at p, no further back than `max`
// characters, nor than where the search started. A position s starts a
// match exactly when some p in T has L(p) <= s, p - s >= min (and, for a
// bounded lead, the stretch [s, p) within `max`). L never decreases as p
// grows (a stretch that reaches a later head also covers an earlier one
// inside it), so the leftmost match starts at L(p) for the first p in T
// with p - L(p) >= min; and no match starts before the L of any head
// already looked at (the watermark). Where it ends is backtracking's
// choice from that start: a lazy lead takes the first such p (any earlier
// head in T would have been accepted first), a greedy lead the last head
// in T that the class stretch from the start reaches, tried from the far
// end down. The rest's own end there is the core search's end, since the
// rest's program is the pattern's after the lead.
//
// Windows (the table scan's promise that every match starts in one) only
// narrow which heads are looked at: those a start in a window can reach.
// The answer is the same, since the match the search would find starts in
// a window.
//
// A lead whose class holds every character but at most one (`.`, `(?s).`)
// and has no upper bound goes by stretches instead: every head in a
// stretch between two of that character shares one start, so the heads
// are looked for from the stretch's far end (for a greedy lead), and a
// text that ends in the head is answered without reading the rest of it.
//
// Worst case: the text before a head is read backwards once (the
// stretches read never overlap), the head search is linear, and every
// read (head search, stretch, the rest's runs) is charged to a budget of
// eight reads a character of the text per matcher; past it the core search
// takes over from the watermark. So a search, and all the searches of a
// substitution together, stay linear in the text times the program size.
#pragma once

#include <cstring>

#include "matcher.hpp"

namespace tavrix::regex {

template <class Char>
bool matcher<Char>::literal_at(const literal& l, std::size_t q) const noexcept {
    return text_.size >= l.size() && q <= text_.size - l.size() && literal_fits(prog_, l, text_, q);
}

template <class Char>
bool matcher<Char>::head_at(std::size_t q) const noexcept {
    return literal_at(prog_.lead.head, q);
}

// The first occurrence of `l` at a position in [from, last], or
// no_position; `first_byte` as lead_split's.
template <class Char>
std::size_t matcher<Char>::next_literal(const literal& l, int first_byte, std::size_t from, std::size_t last) {
    const std::size_t width = l.size();
    if (text_.size < width) return no_position;
    last = std::min(last, text_.size - width);
    const char_class& first = prog_.classes[l[0].cls];
    std::size_t q = from;
    while (q <= last) {
        if constexpr (sizeof(Char) == 1) {
            if (first_byte >= 0) {
                const void* at = std::memchr(text_.data + q, first_byte, last - q + 1);
                if (!at) break;
                q = static_cast<std::size_t>(static_cast<const Char*>(at) - text_.data);
            }
        }
        if (first.contains(text_[q]) && literal_at(l, q)) {
            spend(q - from + width);
            return q;
        }
        ++q;
    }
    spend(last + 1 - std::min(from, last + 1));
    return no_position;
}

// The first head at a position in [from, last], or no_position.
template <class Char>
std::size_t matcher<Char>::next_head(std::size_t from, std::size_t last) {
    return next_literal(prog_.lead.head, prog_.lead.first_byte, from, last);
}

// The last head at a position in [first, last], or no_position.
template <class Char>
std::size_t matcher<Char>::last_head(std::size_t first, std::size_t last) {
    const std::size_t width = prog_.lead.head.size();
    if (text_.size < width || first > text_.size - width) return no_position;
    last = std::min(last, text_.size - width);
    if (last == no_position || first > last) return no_position;
    const char_class& first_class = prog_.classes[prog_.lead.head[0].cls];
    std::size_t q = last + 1;  // candidates below q
    while (q > first) {
        if constexpr (sizeof(Char) == 1) {
            if (prog_.lead.first_byte >= 0) {
                const void* at = memrchr(text_.data + first, prog_.lead.first_byte, q - first);
                if (!at) break;
                q = static_cast<std::size_t>(static_cast<const Char*>(at) - text_.data) + 1;
            }
        }
        --q;
        if (first_class.contains(text_[q]) && head_at(q)) {
            spend(last + 1 - q + width);
            return q;
        }
    }
    spend(last + 1 - first);
    return no_position;
}

// The end of the rest's match from exactly `at`, as the core search of
// the rest chooses it.
template <class Char>
std::optional<std::size_t> matcher<Char>::rest_end(std::size_t at) {
    return anchored_end(*prog_.lead.rest, at, false);
}

// The end of `prog`'s match from exactly `at`, as its core search chooses
// it; what it read is charged to the budget.
template <class Char>
std::optional<std::size_t> matcher<Char>::anchored_end(const program& prog, std::size_t at, bool must_advance) {
    one_start_.assign(1, window{at, at});
    matcher<Char> m(prog, text_, rest_ws_, &one_start_);
    start_finder<Char> starts(prog, text_, &one_start_);
    const run_result r = m.run_leftmost(at, must_advance, starts, no_position, nullptr);
    spend(r.reached - std::min(r.reached, at) + 1);
    if (!r.span) return std::nullopt;
    return r.span->end;
}

template <class Char>
auto matcher<Char>::lead_search(std::size_t from, bool want_end) -> lead_outcome {
    const lead_split& lead = prog_.lead;
    const std::size_t n = text_.size;
    if (from > n) return {};
    if (!lead.prefix.empty()) return lead_search_prefixed(from, want_end);
    if (lead.nearly_all && lead.max == unbounded) return lead_search_stretches(from);
    // [run_lo, run_hi) holds class characters only, and run_lo is where
    // the stretch ending at run_hi begins (or the watermark).
    std::size_t run_lo = from, run_hi = from;
    std::size_t q = from;
    // With windows (every match starts in one), only the heads a start in
    // a window can reach are looked at: those in [lo + min, hi + max].
    const window* w = windows_ ? windows_->data() : nullptr;
    const window* w_end = windows_ ? w + windows_->size() : nullptr;
    auto reach_of = [&](const window& x) { return lead.max == unbounded || x.hi > n ? no_position : x.hi + lead.max; };
    for (;;) {
        std::size_t p = no_position;
        if (!w) {
            p = next_head(q, no_position);
        } else {
            for (; w != w_end; ++w) {
                const std::size_t last = reach_of(*w);
                if (last < q) continue;
                p = next_head(std::max(q, w->lo + lead.min), last);
                if (p != no_position) break;
                if (last == no_position) break;
                q = last + 1;
            }
        }
        if (p == no_position) return {};
        std::size_t s = p;
        while (s > run_hi && in_lead(s - 1)) --s;
        spend(p - s + 1);
        if (s == run_hi) s = run_lo;
        run_lo = s;
        run_hi = p;
        std::size_t start = s;
        if (lead.max != unbounded && p - start > lead.max) start = p - lead.max;
        if (lead_budget_ == 0) return {lead_outcome::gave_up, {}, start};
        if (p - start >= lead.min) {
            const std::optional<std::size_t> end = rest_end(p);
            if (lead_budget_ == 0) return {lead_outcome::gave_up, {}, start};
            if (end) {
                if (!want_end || !lead.greedy) return {lead_outcome::found, {start, *end}, 0};
                // The greedy lead's longest reach from `start`, then the
                // heads in it from the far end down.
                std::size_t reach = p;
                while (reach < n && (lead.max == unbounded || reach - start < lead.max) && in_lead(reach)) ++reach;
                spend(reach - p);
                for (std::size_t at = last_head(p + 1, reach); at != no_position; at = last_head(p + 1, at - 1)) {
                    const std::optional<std::size_t> later = rest_end(at);
                    if (lead_budget_ == 0) return {lead_outcome::gave_up, {}, start};
                    if (later) return {lead_outcome::found, {start, *later}, 0};
                }
                if (lead_budget_ == 0) return {lead_outcome::gave_up, {}, start};
                return {lead_outcome::found, {start, *end}, 0};
            }
        }
        q = p + 1;
    }
}

template <class Char>
auto matcher<Char>::lead_search_stretches(std::size_t from) -> lead_outcome {
    const lead_split& lead = prog_.lead;
    const std::size_t n = text_.size;
    for (std::size_t s = from; s <= n;) {
        // The stretch [s, e): class characters only; e is the stop
        // character or the end.
        std::size_t e = n;
        if (lead.stop >= 0) {
            e = s;
            if constexpr (sizeof(Char) == 1) {
                const void* at = std::memchr(text_.data + s, lead.stop, n - s);
                e = at ? static_cast<std::size_t>(static_cast<const Char*>(at) - text_.data) : n;
            } else {
                while (e < n && text_[e] != static_cast<code_point>(lead.stop)) ++e;
            }
            spend(e - s + 1);
        }
        // Heads at s + min .. e, each reached from s.
        if (s + lead.min <= e) {
            const std::size_t lo = s + lead.min;
            // Any head of T answers whether there is a match: from the
            // far end too, where a greedy lead's match would end.
            if (lead.greedy) {
                for (std::size_t at = last_head(lo, e); at != no_position; at = at > lo ? last_head(lo, at - 1)
                                                                                        : no_position) {
                    const std::optional<std::size_t> end = rest_end(at);
                    if (lead_budget_ == 0) return {lead_outcome::gave_up, {}, s};
                    if (end) return {lead_outcome::found, {s, *end}, 0};
                }
            } else {
                for (std::size_t at = next_head(lo, e); at != no_position; at = next_head(at + 1, e)) {
                    const std::optional<std::size_t> end = rest_end(at);
                    if (lead_budget_ == 0) return {lead_outcome::gave_up, {}, s};
                    if (end) return {lead_outcome::found, {s, *end}, 0};
                }
            }
        }
        if (lead_budget_ == 0) return {lead_outcome::gave_up, {}, s};
        s = e + 1;
    }
    return {};
}

// `prefix lead rest`, the lead bounded: every match starts with the
// prefix. From a prefix at s the lead's stretch begins at t = s + |prefix|
// and reaches r = min(end of the stretch of class characters from t,
// t + max); backtracking then tries the rest from every head in
// [t + min, r], from r down for a greedy lead (from t + min up for a lazy
// one), and the first that matches decides the end. The leftmost match
// starts at the first prefix where one does.
//
// Both ends of [t + min, r] only grow from one prefix to the next (t
// grows; r is t's stretch end, the same for every t inside one stretch,
// or t + max), so the heads are found once, kept in order while they are
// in reach (heads_), and the rest asked once from each: the text is read
// once for the prefixes, once for the stretches and once for the heads,
// whatever the counts, plus the rest's runs from the heads, all charged to
// the budget.
template <class Char>
auto matcher<Char>::lead_search_prefixed(std::size_t from, bool want_end) -> lead_outcome {
    const lead_split& lead = prog_.lead;
    const std::size_t n = text_.size;
    const std::size_t width = lead.prefix.size();
    // The memo serves starts that do not decrease (a substitution's).
    if (from < prefixed_from_) {
        heads_.clear();
        heads_first_ = 0;
        heads_scanned_ = 0;
        run_lo_ = run_hi_ = no_position;
    }
    const window* w = windows_ ? windows_->data() : nullptr;
    const window* w_end = windows_ ? w + windows_->size() : nullptr;
    std::size_t q = from;
    for (;;) {
        std::size_t s = no_position;
        if (!w) {
            s = next_literal(lead.prefix, lead.prefix_first_byte, q, no_position);
        } else {
            for (; w != w_end; ++w) {
                if (w->hi < q) continue;
                s = next_literal(lead.prefix, lead.prefix_first_byte, std::max(q, w->lo), w->hi);
                if (s != no_position) break;
                if (w->hi >= n) break;
                q = w->hi + 1;
            }
        }
        if (s == no_position) return {};
        if (lead_budget_ == 0) return {lead_outcome::gave_up, {}, s};
        prefixed_from_ = s;
        const std::size_t t = s + width;
        if (run_lo_ == no_position || t < run_lo_ || t > run_hi_) {
            std::size_t e = t;
            while (e < n && in_lead(e)) ++e;
            spend(e - t + 1);
            run_lo_ = t;
            run_hi_ = e;
        }
        const std::size_t reach = std::min<std::size_t>(run_hi_, t + lead.max);
        const std::size_t lo = t + lead.min;
        if (lo <= reach) {
            // The heads in [lo, reach]: those already known, then the new.
            if (heads_scanned_ < lo) heads_scanned_ = lo;
            while (heads_scanned_ <= reach) {
                const std::size_t h = next_head(heads_scanned_, reach);
                if (h == no_position) {
                    heads_scanned_ = reach + 1;
                    break;
                }
                heads_.push_back(known_head{h, false, std::nullopt});
                heads_scanned_ = h + 1;
            }
            while (heads_first_ < heads_.size() && heads_[heads_first_].at < lo) ++heads_first_;
            if (lead_budget_ == 0) return {lead_outcome::gave_up, {}, s};
            auto try_head = [&](known_head& k) -> bool {
                if (!k.asked) {
                    k.end = rest_end(k.at);
                    k.asked = true;
                }
                return k.end.has_value();
            };
            const std::size_t count = heads_.size();
            for (std::size_t i = heads_first_; i < count; ++i) {
                known_head& k = heads_[lead.greedy && want_end ? count - 1 - (i - heads_first_) : i];
                assert(k.at <= reach);  // heads are stored up to heads_scanned_ - 1 <= reach
                const bool matched = try_head(k);
                if (lead_budget_ == 0) return {lead_outcome::gave_up, {}, s};
                if (matched) return {lead_outcome::found, {s, *k.end}, 0};
            }
        }
        q = s + 1;
    }
}

}  // namespace tavrix::regex
