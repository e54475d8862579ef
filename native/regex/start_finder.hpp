// Where matches can start: a program's prefilter applied to a text.
#pragma once

#include <algorithm>
#include <vector>

#include "prefilter.hpp"
#include "text.hpp"

namespace tavrix::regex {

// Stretches of a text, first to last position inclusive, where matches
// can start: what the occurrences of a program's required literals allow
// (see literals.hpp), in order and disjoint.
struct window {
    std::size_t lo = 0;
    std::size_t hi = 0;
};
using window_list = std::vector<window>;

// Where matches can start: the prefilter applied to a text, within the
// windows when there are any. `test` must be called with positions that
// do not decrease (a new finder for a new sequence of positions).
template <class Char>
class start_finder {
public:
    start_finder(const program& prog, text_view<Char> text, const window_list* windows = nullptr)
        : prog_(prog), f_(prog.filter), text_(text) {
        if (windows) {
            allowed_ = windows->data();
            windows_end_ = windows->data() + windows->size();
        }
    }

    // Whether a match can start at `pos` (<= size), by its first character
    // (what a running search asks at every position).
    [[nodiscard]] bool test(std::size_t pos) {
        if (windows_end_ && !in_windows(pos)) return false;
        if (prog_.start_class != no_class && !start_class_ok(pos)) return false;
        switch (f_.type) {
            case prefilter::kind::anywhere: return true;
            case prefilter::kind::anchored: return pos == 0;
            case prefilter::kind::prefix: return first_ok(pos);
            case prefilter::kind::gate: return in_gate_reach(pos);
        }
        return true;
    }

    // The first position >= pos, and <= limit, where a match can start; or
    // else a position > limit before which none can (no_position: none
    // anywhere).
    [[nodiscard]] std::size_t next(std::size_t pos, std::size_t limit = no_position) {
        const std::size_t n = text_.size;
        if (pos > n) return no_position;
        if (windows_end_) {
            // The windows are narrow: within them `test` decides.
            if (!in_windows(pos) && allowed_ == windows_end_) return no_position;
            return std::max(pos, allowed_->lo);
        }
        switch (f_.type) {
            case prefilter::kind::anywhere: return pos;
            case prefilter::kind::anchored: return pos == 0 ? 0 : no_position;
            case prefilter::kind::prefix: {
                // Shift-and over the prefix sets: bit j of `state` says the
                // last j + 1 characters fit the first j + 1 sets.
                const std::size_t k = f_.prefix.size();
                if (n < k || pos > n - k) return no_position;
                const std::size_t stop = limit >= n - k ? n : limit + k;  // last character to read, exclusive
                const unsigned full = 1u << (k - 1);
                unsigned state = 0;
                for (std::size_t i = pos; i < stop; ++i) {
                    state = ((state << 1) | 1u) & mask_of(text_[i]);
                    if (state & full) return i + 1 - k;
                }
                return stop < n ? stop + 1 - k : no_position;
            }
            case prefilter::kind::gate:
                for (;;) {
                    if (!started_ || pos > gate_) find_gate(pos);
                    if (gate_ == no_gate) return no_position;
                    for (std::size_t p = std::max(pos, reach_); p <= gate_; ++p) {
                        if (p > limit) return p;
                        if (first_ok(p)) return p;
                    }
                    pos = gate_ + 1;
                }
        }
        return pos;
    }

    // For the table scan: `at` holds a gate character and every position
    // before `floor` has been dealt with; makes `at` the current gate.
    void seed_gate(std::size_t at, std::size_t floor) {
        started_ = true;
        gate_ = at;
        reach_ = at;
        while (reach_ > floor && set_contains(prog_, f_.before_gate, text_[reach_ - 1])) --reach_;
    }

    // Whether the whole prefix fits at `pos` (the table scan's check of a
    // trigger before it runs the matcher).
    [[nodiscard]] bool verify(std::size_t pos) const noexcept {
        return f_.type != prefilter::kind::prefix || (prefix_at(pos) && along_a_path(pos));
    }

private:
    // Whether `pos` is in a window; moves past the windows before it.
    bool in_windows(std::size_t pos) noexcept {
        if (allowed_ != windows_end_ && allowed_->hi < pos) {
            ++allowed_;
            if (allowed_ != windows_end_ && allowed_->hi < pos)  // far ahead: a search of what is left
                allowed_ = std::partition_point(allowed_, windows_end_, [&](const window& w) { return w.hi < pos; });
        }
        return allowed_ != windows_end_ && allowed_->lo <= pos;
    }

    [[gnu::noinline]] bool start_class_ok(std::size_t pos) const noexcept {
        return pos < text_.size && prog_.classes[prog_.start_class].contains(text_[pos]);
    }

    [[gnu::noinline]] bool in_gate_reach(std::size_t pos) {
        if (!started_ || pos > gate_) find_gate(pos);
        return pos >= reach_ && pos <= gate_ && first_ok(pos);
    }

    unsigned mask_of(code_point c) const noexcept {
        if (c < 256) return f_.prefix_mask[c];
        unsigned mask = 0;
        for (std::size_t j = 0; j < f_.prefix.size(); ++j)
            if (set_contains(prog_, f_.prefix[j], c)) mask |= 1u << j;
        return mask;
    }

    // Whether the text at `pos` follows one of the opening paths (always,
    // when there are none).
    bool along_a_path(std::size_t pos) const noexcept {
        if (f_.paths.empty()) return true;
        return follows(0, pos, 0);
    }

    bool follows(std::uint32_t node, std::size_t pos, std::size_t depth) const noexcept {
        const auto& at = f_.paths[node];
        if (at.ends) return true;
        if (pos + depth >= text_.size) return false;
        const code_point c = text_[pos + depth];
        for (const auto& [cls, child] : at.edges)
            if (prog_.classes[cls].contains(c) && follows(child, pos, depth + 1)) return true;
        return false;
    }

    bool prefix_at(std::size_t pos) const noexcept {
        const std::size_t k = f_.prefix.size();
        if (text_.size < k || pos > text_.size - k) return false;
        return first_ok(pos) && prefix_rest(pos);
    }

    bool prefix_rest(std::size_t pos) const noexcept {
        for (std::size_t j = 1; j < f_.prefix.size(); ++j)
            if (!((mask_of(text_[pos + j]) >> j) & 1u)) return false;
        return true;
    }

    bool first_ok(std::size_t pos) const noexcept {
        if (pos >= text_.size) return f_.prefix.empty();
        const code_point c = text_[pos];
        if (c < 256) [[likely]]
            return f_.prefix.empty() || (f_.prefix_mask[c] & 1u) != 0;
        return f_.prefix.empty() || set_contains(prog_, f_.prefix[0], c);
    }

    // The next gate character at or after `from`, and its reach: the
    // positions before it that only characters allowed before the gate
    // separate from it (the reaches of successive gates never overlap). Past
    // the last gate, `gate_` stays `no_gate` and nothing is scanned again.
    void find_gate(std::size_t from) {
        if (started_ && gate_ == no_gate) return;
        const std::size_t n = text_.size;
        std::size_t g = from;
        while (g < n && !set_contains(prog_, f_.gate_set, text_[g])) ++g;
        if (g >= n) {
            started_ = true;
            gate_ = no_gate;
            reach_ = no_gate;
            return;
        }
        seed_gate(g, from);
    }

    static constexpr std::size_t no_gate = no_position;  // past the last gate

    const program& prog_;
    const prefilter& f_;
    text_view<Char> text_;
    const window* allowed_ = nullptr;      // the first window not yet left behind
    const window* windows_end_ = nullptr;  // null: no windows
    bool started_ = false;  // whether gate_ and reach_ hold anything yet
    std::size_t gate_ = 0;
    std::size_t reach_ = 0;  // the first position of the gate's reach
};

}  // namespace tavrix::regex
