#include "table_scan.hpp"

#include <bit>

#include "engine.hpp"

namespace tavrix::regex {

namespace {

// Beyond this many Latin-1 pairs the pair masks would fill up and filter
// nothing; such programs are tested on their first character only.
constexpr int max_pairs = 4096;

template <class Visit>
void each_latin1(const char_set& set, Visit&& visit) {
    for (std::uint32_t c = 0; c < 256; ++c)
        if (set.has_latin1(c)) visit(c);
}

}  // namespace

table_scanner::table_scanner(std::vector<std::shared_ptr<const program>> programs) : programs_(std::move(programs)) {
    for (std::size_t i = 0; i < programs_.size(); ++i) {
        const prefilter& f = programs_[i]->filter;
        const bool filtered = f.type == prefilter::kind::prefix || f.type == prefilter::kind::gate;
        if (!filtered) {
            alone_.push_back(i);
            continue;
        }
        if (groups_.empty() || groups_.back().members.size() == 64) {
            groups_.emplace_back();
            groups_.back().pairs.assign(4096, 0);
        }
        group& g = groups_.back();
        const std::uint64_t bit = std::uint64_t{1} << g.members.size();
        g.members.push_back(i);
        if (f.type == prefilter::kind::gate) {
            g.gates |= bit;
            each_latin1(f.gate_set, [&](std::uint32_t c) { g.first[c] |= bit; });
            if (f.gate_set.may_contain_wide()) g.wide_first |= bit;
            continue;
        }
        const char_set& first = f.prefix[0];
        each_latin1(first, [&](std::uint32_t c) { g.first[c] |= bit; });
        if (first.may_contain_wide()) g.wide_first |= bit;
        if (f.prefix.size() >= 2 && first.latin1_count() * f.prefix[1].latin1_count() <= max_pairs) {
            const char_set& second = f.prefix[1];
            g.paired |= bit;
            if (second.may_contain_wide()) g.wide_second |= bit;
            each_latin1(first, [&](std::uint32_t a) {
                each_latin1(second, [&](std::uint32_t b) { g.pairs[pair_bucket(a, b)] |= bit; });
            });
        }
    }
}

template <class Char>
void table_scanner::scan_group(const group& g, text_view<Char> text, scan_mode mode, std::vector<scan_result>& out,
                               workspace& ws) const {
    const std::size_t n = text.size;
    const std::size_t count = g.members.size();
    std::uint64_t live = count == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
    std::array<std::size_t, 64> watermark{};
    std::vector<start_finder<Char>> finders;
    finders.reserve(count);
    for (std::size_t member : g.members) finders.emplace_back(*programs_[member], text);

    // Runs member `q` from the trigger at `pos`.
    auto trigger = [&](std::size_t q, std::size_t pos) {
        const program& prog = *programs_[g.members[q]];
        start_finder<Char>& starts = finders[q];
        std::size_t from = pos;
        if ((g.gates >> q) & 1u) {
            if (!set_contains(prog, prog.filter.gate_set, text[pos])) return;
            starts.seed_gate(pos, watermark[q]);
            from = starts.next(watermark[q], pos);
            if (from > pos) {
                watermark[q] = std::min(from, n + 1);
                return;
            }
        }
        matcher<Char> m(prog, text, ws);
        auto r = mode == scan_mode::exists ? m.run_exists(from, starts, pos)
                                           : m.run_leftmost(from, false, starts, pos, nullptr);
        if (r.found) {
            out[g.members[q]] = scan_result{true, r.span};
            live &= ~(std::uint64_t{1} << q);
        } else {
            watermark[q] = r.stopped;
            if (r.stopped > n) live &= ~(std::uint64_t{1} << q);
        }
    };

    for (std::size_t pos = 0; pos < n && live; ++pos) {
        const code_point c = text[pos];
        std::uint64_t m;
        if (c < 256) {
            m = g.first[c] & live;
            if (!m) continue;
            if (const std::uint64_t paired = m & g.paired) {
                std::uint64_t pass = 0;
                if (pos + 1 < n) {
                    const code_point d = text[pos + 1];
                    pass = d < 256 ? g.pairs[pair_bucket(c, d)] : g.wide_second;
                }
                m = (m & ~g.paired) | (paired & pass);
                if (!m) continue;
            }
        } else {
            m = g.wide_first & live;
        }
        while (m) {
            const auto q = static_cast<std::size_t>(std::countr_zero(m));
            m &= m - 1;
            if (pos >= watermark[q]) trigger(q, pos);
        }
    }
}

std::vector<scan_result> table_scanner::scan(PyObject* text, scan_mode mode) const {
    std::vector<scan_result> out(programs_.size());
    workspace ws;
    with_text(text, [&](auto view) {
        for (std::size_t i : alone_) {
            matcher m(*programs_[i], view, ws);
            if (mode == scan_mode::exists) {
                out[i].found = m.exists(0);
            } else {
                out[i].span = m.search(0);
                out[i].found = out[i].span.has_value();
            }
        }
        for (const group& g : groups_) scan_group(g, view, mode, out, ws);
    });
    return out;
}

}  // namespace tavrix::regex
