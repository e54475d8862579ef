// difflib's matching blocks, found with a suffix automaton.
//
// difflib splits the pair of ranges (a[alo:ahi], b[blo:bhi]) at their longest
// common block, then splits the ranges on either side of it the same way.
// The block it takes is the longest, of those the one starting first in a,
// and of those the one starting first in b. Named by where it ends in a:
// with L(e) the length of the longest suffix of a[alo:e+1] that occurs
// inside b[blo:bhi], the block ends at the first e with the largest L(e).
//
// One suffix automaton of the whole of b, and one pass of a through it,
// give for every e the longest suffix of a[:e+1] that occurs anywhere in b.
// That is an upper bound U(e) on L(e) in every step whose a-range holds e.
// A step takes the first e with the largest bound (a tree over the bounds
// answers that), computes L(e) exactly, and is done when the bound was
// exact: every e before it has a smaller bound, every e after it one no
// larger. Otherwise U(e) becomes L(e), which is still a bound in every
// later step that holds e (their ranges lie inside this one), and the step
// tries again.
//
// L(e) exactly: the suffixes of a[:e+1] that occur in b are the strings on
// the suffix-link path from e's state to the root; going up, they get
// shorter and occur at more places, so the deepest state with a string
// inside the window is found with jump pointers (occurrence_index).
//
// A bound above e - alo + 1 is cut by the start of the a-range alone; it is
// lowered to that without looking at b.
//
// Cost, for n = len(a) and m = len(b): O(n + m) expected to build the
// automaton (hashed transitions) and scan a, O(m log m) for the occurrence
// index, then O(log n) per bound lowered by the a-range and O(log n +
// log^2 m) per bound computed. A step computes one bound, plus one for every
// bound it finds too high. A position's bound is found too high at most once
// per step holding it; between two such steps the bound strictly drops, and
// so, every second time, does the block length of the step; the blocks of
// nested steps are disjoint, so a position is found too high at most
// 2*sqrt(2n) + 2 times. A bound cut by the a-range is cut again only in a
// step further right, after the blocks in between: at most min(d, U(e))
// times, d the depth of the recursion. Worst case, for contrived input:
// O(n*sqrt(n)*log^2 m + n*d*log n).
// Ordinary text and the known hard shapes for this recursion (one repeated
// token, many equal-length ties, many small edits, blocks growing towards
// one end: where difflib itself is quadratic per step, or the recursion is
// as deep as there are blocks) find O(n) bounds too high in all:
// O((n + m) log^2 m), counted in the C++ checks. Memory O(n + m).
#include "sequence_diff.hpp"

#include <algorithm>
#include <new>
#include <optional>

#include "occurrence_index.hpp"

namespace tavrix::diff {

namespace {

constexpr std::uint32_t no_position = UINT32_MAX;

// The first position of the largest value in a range, under point updates.
class first_largest {
public:
    explicit first_largest(const std::vector<std::uint32_t>& values) : values_(values) {
        const auto n = static_cast<std::uint32_t>(values.size());
        while (leaves_ < n) leaves_ *= 2;
        tree_.assign(2 * static_cast<std::size_t>(leaves_), no_position);
        for (std::uint32_t i = 0; i < n; ++i) tree_[leaves_ + i] = i;
        for (std::uint32_t node = leaves_ - 1; node > 0; --node) tree_[node] = better(tree_[2 * node], tree_[2 * node + 1]);
    }

    // values[i] changed.
    void update(std::uint32_t i) noexcept {
        for (std::uint32_t node = (leaves_ + i) / 2; node > 0; node /= 2)
            tree_[node] = better(tree_[2 * node], tree_[2 * node + 1]);
    }

    // The first i in [lo, hi) with the largest values[i] (lo < hi).
    [[nodiscard]] std::uint32_t find(std::uint32_t lo, std::uint32_t hi) const noexcept {
        std::uint32_t left = no_position, right = no_position;
        for (lo += leaves_, hi += leaves_; lo < hi; lo /= 2, hi /= 2) {
            if (lo & 1) left = better(left, tree_[lo++]);
            if (hi & 1) right = better(tree_[--hi], right);
        }
        return better(left, right);
    }

private:
    // Of two positions, `first` lying before `second`, the one to keep.
    [[nodiscard]] std::uint32_t better(std::uint32_t first, std::uint32_t second) const noexcept {
        if (first == no_position) return second;
        if (second == no_position) return first;
        return values_[second] > values_[first] ? second : first;
    }

    const std::vector<std::uint32_t>& values_;
    std::uint32_t leaves_ = 1;
    std::vector<std::uint32_t> tree_;  // per node, the position it keeps
};

struct ranges {
    std::uint32_t alo, ahi, blo, bhi;
};

// find_longest_match over all steps of one diff.
class longest_blocks {
public:
    longest_blocks(std::span<const token> a, std::span<const token> b, diff_stats& stats, checkpoint* poll)
        : automaton_(b, poll), bound_(a.size()), state_of_(a.size()), stats_(stats), poll_(poll) {
        suffix_automaton::cursor at;
        for (std::size_t e = 0; e < a.size(); ++e) {
            automaton_.advance(at, a[e]);
            bound_[e] = at.length;
            state_of_[e] = at.state;
            reached(poll);
        }
        automaton_.drop_transitions();
        index_.emplace(automaton_);
        largest_.emplace(bound_);
    }

    // The longest common block of a[alo:ahi] and b[blo:bhi], non-empty
    // ranges, as difflib chooses it; size 0 when there is none.
    [[nodiscard]] block find(const ranges& r) {
        ++stats_.steps;
        for (;;) {
            reached(poll_);
            const std::uint32_t e = largest_->find(r.alo, r.ahi);
            const std::uint32_t bound = bound_[e];
            if (bound == 0) return {r.alo, r.blo, 0};
            if (e - r.alo + 1 < bound) {
                // Cut by the start of the a-range, here and in every step
                // inside this one: lowered without a look at b.
                bound_[e] = e - r.alo + 1;
                largest_->update(e);
                continue;
            }
            ++stats_.bound_tests;
            const auto [length, state] = index_->longest_within(state_of_[e], bound, r.blo, r.bhi);
            if (length == bound) {
                const std::uint32_t b_end = index_->first_end_from(state, r.blo + length - 1);
                return {e + 1 - length, b_end + 1 - length, length};
            }
            bound_[e] = length;
            state_of_[e] = state;
            largest_->update(e);
        }
    }

private:
    suffix_automaton automaton_;
    std::vector<std::uint32_t> bound_;     // U(e)
    std::vector<std::uint32_t> state_of_;  // a state holding the suffix of a[:e+1] of length U(e)
    std::optional<occurrence_index> index_;
    std::optional<first_largest> largest_;
    diff_stats& stats_;
    checkpoint* poll_;
};

}  // namespace

std::vector<block> matching_blocks(std::span<const token> a, std::span<const token> b, diff_stats* stats,
                                   checkpoint* poll) {
    if (a.size() > max_tokens || b.size() > max_tokens) throw std::bad_alloc();
    diff_stats local;
    diff_stats& counts = stats ? *stats : local;
    const auto la = static_cast<std::uint32_t>(a.size());
    const auto lb = static_cast<std::uint32_t>(b.size());

    std::vector<block> found;
    if (la > 0 && lb > 0) {
        longest_blocks longest(a, b, counts, poll);
        // The ranges still to split, as difflib's queue.
        std::vector<ranges> queue{{0, la, 0, lb}};
        while (!queue.empty()) {
            const ranges r = queue.back();
            queue.pop_back();
            const block x = longest.find(r);
            if (x.size == 0) continue;
            found.push_back(x);
            if (r.alo < x.a && r.blo < x.b) queue.push_back({r.alo, x.a, r.blo, x.b});
            if (x.a + x.size < r.ahi && x.b + x.size < r.bhi)
                queue.push_back({x.a + x.size, r.ahi, x.b + x.size, r.bhi});
        }
        // Blocks never share a position in a.
        std::sort(found.begin(), found.end(), [](const block& x, const block& y) { return x.a < y.a; });
    }

    // Adjacent blocks merged into one.
    std::vector<block> merged;
    block pending{0, 0, 0};
    for (const block& x : found) {
        if (pending.a + pending.size == x.a && pending.b + pending.size == x.b) {
            pending.size += x.size;
        } else {
            if (pending.size) merged.push_back(pending);
            pending = x;
        }
    }
    if (pending.size) merged.push_back(pending);
    merged.push_back({la, lb, 0});
    return merged;
}

std::vector<opcode> opcodes(std::span<const token> a, std::span<const token> b, diff_stats* stats,
                            checkpoint* poll) {
    std::vector<opcode> out;
    std::uint32_t i = 0, j = 0;
    for (const block& x : matching_blocks(a, b, stats, poll)) {
        if (i < x.a && j < x.b)
            out.push_back({edit::replace, i, x.a, j, x.b});
        else if (i < x.a)
            out.push_back({edit::remove, i, x.a, j, x.b});
        else if (j < x.b)
            out.push_back({edit::insert, i, x.a, j, x.b});
        i = x.a + x.size;
        j = x.b + x.size;
        if (x.size) out.push_back({edit::equal, x.a, i, x.b, j});
    }
    return out;
}

}  // namespace tavrix::diff
