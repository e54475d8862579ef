#include "literals.hpp"

#include <algorithm>
#include <optional>

#include "../support/recursion.hpp"

namespace tavrix::regex {

std::size_t required_literals::shortest() const noexcept {
    std::size_t least = strings.empty() ? 0 : strings.front().size();
    for (const literal& s : strings) least = std::min(least, s.size());
    return least;
}

namespace {

std::uint32_t add_widths(std::uint32_t a, std::uint32_t b) noexcept { return a > unbounded - b ? unbounded : a + b; }

std::uint32_t times(std::uint32_t count, std::uint32_t width) noexcept {
    if (count == 0 || width == 0) return 0;
    if (count == unbounded || width == unbounded) return unbounded;
    return width > unbounded / count ? unbounded : count * width;
}

// Whether the members of a class with this code are all ASCII or ASCII
// partners, so that testing those characters finds every member: exact
// literals and sets of them, ASCII ranges, byte maps, with or without
// case folding (a character whose lower or upper case is ASCII is one of
// those); categories, negations and wide sets can hold anything.
bool members_enumerable(const std::vector<std::uint32_t>& code) {
    if (code.empty()) return false;
    auto small = [](std::uint32_t c) {
        if (c < 128) return true;
        for (const auto& [partner, fold] : ascii_partners)
            if (c == partner) return true;
        return false;
    };
    switch (static_cast<class_op>(code[0])) {
        case class_op::literal:
        case class_op::literal_lower_ascii:
        case class_op::literal_lower: return code.size() == 2 && small(code[1]);
        case class_op::in:
        case class_op::in_lower_ascii:
        case class_op::in_lower: break;
        default: return false;
    }
    for (std::size_t i = 1; i < code.size();) {
        switch (static_cast<class_op>(code[i])) {
            case class_op::set_end: return i + 1 == code.size();
            case class_op::set_literal:
                if (i + 1 >= code.size() || !small(code[i + 1])) return false;
                i += 2;
                break;
            case class_op::set_range:
            case class_op::set_range_lower:
                if (i + 2 >= code.size() || code[i + 2] >= 128) return false;
                i += 3;
                break;
            case class_op::set_charset: i += 9; break;
            default: return false;
        }
    }
    return false;
}

// The folded values of the class's members, when they are known and few.
std::optional<std::vector<std::uint8_t>> class_folds(const char_class& cls, std::size_t max_folds) {
    if (!members_enumerable(cls.code())) return std::nullopt;
    bool present[128] = {};
    auto add = [&](code_point c) {
        const int f = fold_of(c);
        if (f < 0) return false;
        present[f] = true;
        return true;
    };
    for (code_point c = 0; c < 256; ++c)
        if (cls.contains(c) && !add(c)) return std::nullopt;
    for (const auto& [partner, fold] : ascii_partners)
        if (cls.contains(partner)) add(partner);
    std::vector<std::uint8_t> folds;
    for (std::uint8_t f = 0; f < 128; ++f)
        if (present[f]) folds.push_back(f);
    if (folds.empty() || folds.size() > max_folds) return std::nullopt;
    return folds;
}

struct candidate {
    std::vector<literal> strings;
    std::uint32_t lead_min = 0;
    std::uint32_t lead_max = 0;

    [[nodiscard]] std::size_t shortest() const noexcept {
        std::size_t least = strings.empty() ? 0 : strings.front().size();
        for (const literal& s : strings) least = std::min(least, s.size());
        return least;
    }
};

// Which of two candidates narrows the search more, at the least cost to
// the literal pass: literals of three characters or more (rare enough),
// then a bounded lead (an unbounded one makes every occurrence a run from
// the text's start), then few literals (each costs the automaton states),
// then a shorter lead, then longer literals, then fewer of them.
int few(std::size_t count) noexcept { return count <= 8 ? 0 : count <= 64 ? 1 : 2; }

bool better(const candidate& a, const candidate& b) {
    const std::size_t la = std::min<std::size_t>(a.shortest(), 3), lb = std::min<std::size_t>(b.shortest(), 3);
    if (la != lb) return la > lb;
    const bool ba = a.lead_max != unbounded, bb = b.lead_max != unbounded;
    if (ba != bb) return ba;
    if (few(a.strings.size()) != few(b.strings.size())) return few(a.strings.size()) < few(b.strings.size());
    const std::uint32_t sa = a.lead_max - a.lead_min, sb = b.lead_max - b.lead_min;
    if (ba && sa != sb) return sa < sb;
    if (a.shortest() != b.shortest()) return a.shortest() > b.shortest();
    return a.strings.size() < b.strings.size();
}

void keep_better(std::optional<candidate>& best, candidate c) {
    if (c.strings.empty() || c.shortest() == 0) return;
    if (!best || better(c, *best)) best = std::move(c);
}

// What a node tells: its widths, the strings it matches when they are few
// and all literal (assertions aside), and its best required literals,
// placed relative to its start.
struct info {
    std::uint32_t min = 0;
    std::uint32_t max = 0;
    bool has_exact = false;
    std::vector<literal> exact;
    std::optional<candidate> best;
};

class analysis {
public:
    analysis(const std::vector<char_class>& classes, const literal_limits& limits)
        : classes_(classes), limits_(limits) {}

    info of(const node& n) {
        if (stack::nearly_exhausted()) return unknown();
        switch (n.type) {
            case node::kind::empty:
            case node::kind::assert: return empty_string();
            case node::kind::character: return character(n);
            case node::kind::concat: return concat(n);
            case node::kind::alternate: return alternate(n);
            case node::kind::repeat: return repeat(n);
        }
        return unknown();
    }

private:
    static info unknown() {
        info i;
        i.max = unbounded;
        return i;
    }
    static info empty_string() {
        info i;
        i.has_exact = true;
        i.exact.emplace_back();
        return i;
    }

    info character(const node& n) {
        info i;
        i.min = i.max = 1;
        if (n.cls >= classes_.size()) return i;
        const auto folds = class_folds(classes_[n.cls], limits_.max_class_folds);
        if (!folds) return i;
        i.has_exact = true;
        for (std::uint8_t f : *folds) i.exact.push_back(literal{literal_position{f, n.cls}});
        return i;
    }

    // Every string of `a` followed by every string of `b`, unless the
    // product would exceed the limits.
    std::optional<std::vector<literal>> product(const std::vector<literal>& a, const std::vector<literal>& b) const {
        if (a.size() * b.size() > limits_.max_product) return std::nullopt;
        std::vector<literal> out;
        out.reserve(a.size() * b.size());
        for (const literal& x : a)
            for (const literal& y : b) {
                if (x.size() + y.size() > limits_.max_length) return std::nullopt;
                literal joined = x;
                joined.insert(joined.end(), y.begin(), y.end());
                out.push_back(std::move(joined));
            }
        return out;
    }

    info concat(const node& n) {
        info out;
        std::uint32_t at_min = 0, at_max = 0;  // where the current child starts
        bool run_open = false;                 // a product of exact children is being built
        std::vector<literal> run;
        std::uint32_t run_min = 0, run_max = 0;
        bool all_exact = true;  // the whole concatenation is the run
        // The stretch of children that match one string each: a single
        // literal, often better than the run's many.
        literal plain;
        std::uint32_t plain_min = 0, plain_max = 0;
        auto close_run = [&] {
            if (run_open) keep_better(out.best, candidate{run, run_min, run_max});
            run_open = false;
        };
        auto close_plain = [&] {
            if (!plain.empty()) keep_better(out.best, candidate{{std::move(plain)}, plain_min, plain_max});
            plain.clear();
        };
        for (const node& child : n.children) {
            info c = of(child);
            if (c.has_exact && c.exact.size() == 1 && plain.size() + c.exact[0].size() <= limits_.max_length) {
                if (plain.empty()) {
                    plain_min = at_min;
                    plain_max = at_max;
                }
                plain.insert(plain.end(), c.exact[0].begin(), c.exact[0].end());
            } else {
                close_plain();
            }
            if (c.has_exact) {
                std::optional<std::vector<literal>> joined;
                if (run_open) joined = product(run, c.exact);
                if (joined) {
                    run = std::move(*joined);
                } else {
                    if (run_open) all_exact = false;
                    close_run();
                    run = std::move(c.exact);
                    run_min = at_min;
                    run_max = at_max;
                    run_open = true;
                }
            } else {
                all_exact = false;
                close_run();
            }
            if (c.best) {
                candidate shifted = std::move(*c.best);
                shifted.lead_min = add_widths(shifted.lead_min, at_min);
                shifted.lead_max = add_widths(shifted.lead_max, at_max);
                keep_better(out.best, std::move(shifted));
            }
            at_min = add_widths(at_min, c.min);
            at_max = add_widths(at_max, c.max);
        }
        close_plain();
        out.min = at_min;
        out.max = at_max;
        if (all_exact && run_open) {
            out.has_exact = true;
            out.exact = run;
        } else if (n.children.empty()) {
            return empty_string();
        }
        close_run();
        return out;
    }

    info alternate(const node& n) {
        if (n.children.empty()) return empty_string();
        info out;
        out.min = unbounded;
        out.has_exact = true;
        candidate joined;
        joined.lead_min = unbounded;
        bool all_required = true;
        for (const node& child : n.children) {
            info c = of(child);
            out.min = std::min(out.min, c.min);
            out.max = std::max(out.max, c.max);
            std::optional<candidate> own = std::move(c.best);
            if (c.has_exact) keep_better(own, candidate{c.exact, 0, 0});
            if (out.has_exact && c.has_exact && out.exact.size() + c.exact.size() <= limits_.max_alternatives) {
                out.exact.insert(out.exact.end(), std::make_move_iterator(c.exact.begin()),
                                 std::make_move_iterator(c.exact.end()));
            } else {
                out.has_exact = false;
                out.exact.clear();
            }
            if (!all_required || !own || joined.strings.size() + own->strings.size() > limits_.max_alternatives) {
                all_required = false;
                continue;
            }
            joined.lead_min = std::min(joined.lead_min, own->lead_min);
            joined.lead_max = std::max(joined.lead_max, own->lead_max);
            joined.strings.insert(joined.strings.end(), std::make_move_iterator(own->strings.begin()),
                                  std::make_move_iterator(own->strings.end()));
        }
        if (all_required) keep_better(out.best, std::move(joined));
        return out;
    }

    info repeat(const node& n) {
        info body = of(n.children.at(0));
        info out;
        out.min = times(n.min, body.min);
        out.max = n.max == 0 ? 0 : times(n.max, body.max);
        if (body.has_exact && n.max != unbounded && n.max <= 8) {
            // Every count from min to max: the body's strings that many times.
            std::vector<literal> power{literal{}};
            std::vector<literal> all;
            bool fits = true;
            for (std::uint32_t k = 0; k <= n.max && fits; ++k) {
                if (k >= n.min) {
                    if (all.size() + power.size() > limits_.max_alternatives) {
                        fits = false;
                        break;
                    }
                    all.insert(all.end(), power.begin(), power.end());
                }
                if (k == n.max) break;
                auto next = product(power, body.exact);
                if (!next) fits = false;
                else power = std::move(*next);
            }
            if (fits) {
                out.has_exact = true;
                out.exact = std::move(all);
            }
        }
        if (n.min >= 1) {
            // The first iteration's literals are required, where they are in it.
            out.best = std::move(body.best);
            if (body.has_exact) keep_better(out.best, candidate{std::move(body.exact), 0, 0});
        }
        return out;
    }

    const std::vector<char_class>& classes_;
    const literal_limits& limits_;
};

}  // namespace

required_literals find_required_literals(const node& pattern, const std::vector<char_class>& classes,
                                         const literal_limits& limits) {
    analysis a(classes, limits);
    info root = a.of(pattern);
    std::optional<candidate> best = std::move(root.best);
    if (root.has_exact) keep_better(best, candidate{std::move(root.exact), 0, 0});
    required_literals out;
    out.longest = root.max;
    if (!best) return out;
    out.strings = std::move(best->strings);
    out.lead_min = best->lead_min;
    out.lead_max = best->lead_max;
    return out;
}

}  // namespace tavrix::regex
