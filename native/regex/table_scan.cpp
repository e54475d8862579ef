#include "table_scan.hpp"

#include <bit>


namespace tavrix::regex {

namespace {

template <class Visit>
void each_latin1(const char_set& set, Visit&& visit) {
    for (std::uint32_t c = 0; c < 256; ++c)
        if (set.has_latin1(c)) visit(c);
}

// A program's first three sets as the byte filter sees them: the halves
// of their bytes (every half where a position admits any byte).
struct halves {
    std::uint16_t low[3] = {0xFFFF, 0xFFFF, 0xFFFF};
    std::uint16_t high[3] = {0xFFFF, 0xFFFF, 0xFFFF};

    void set(int position, const char_set& set) {
        low[position] = high[position] = 0;
        each_latin1(set, [&](std::uint32_t c) {
            low[position] = static_cast<std::uint16_t>(low[position] | (1u << (c & 15)));
            high[position] = static_cast<std::uint16_t>(high[position] | (1u << (c >> 4)));
        });
    }
    void merge(const halves& other) {
        for (int j = 0; j < 3; ++j) {
            low[j] = static_cast<std::uint16_t>(low[j] | other.low[j]);
            high[j] = static_cast<std::uint16_t>(high[j] | other.high[j]);
        }
    }
    // The share of byte triples let through.
    double admits() const {
        double share = 1;
        for (int j = 0; j < 3; ++j) share *= std::popcount(low[j]) * std::popcount(high[j]) / 256.0;
        return share;
    }
};

// Whether a program is searched through its literals rather than in the
// filtered passes: where its prefilter cannot narrow anything, or where
// the table is too large for one filtered pass (64 programs a pass), with
// literals of two characters or more.
constexpr std::size_t one_pass = 64;

bool by_literals(const program& prog, std::size_t table_size) {
    const std::size_t shortest = prog.literal.shortest();
    if (!prog.literal.known() || prog.filter.type == prefilter::kind::anchored) return false;
    if (prog.filter.type == prefilter::kind::anywhere) return true;
    return shortest >= 2 && table_size > one_pass;
}

}  // namespace

table_scanner::table_scanner(std::vector<std::shared_ptr<const program>> programs) : programs_(std::move(programs)) {
    std::vector<std::vector<halves>> member_halves;
    literal_owner_.assign(programs_.size(), 0);
    for (std::size_t i = 0; i < programs_.size(); ++i) {
        // In a table of one pass, a program with a strategy of its own
        // finds its literal itself, faster than the shared pass would.
        if (programs_[i]->strategy != strategy_kind::core && programs_.size() <= one_pass) {
            alone_.push_back(i);
            continue;
        }
        if (by_literals(*programs_[i], programs_.size()) &&
            literals_.add(static_cast<std::uint32_t>(i), programs_[i]->literal.strings)) {
            literal_owner_[i] = 1;
            continue;
        }
        const prefilter& f = programs_[i]->filter;
        const bool filtered = f.type == prefilter::kind::prefix || f.type == prefilter::kind::gate;
        if (!filtered) {
            alone_.push_back(i);
            continue;
        }
        if (groups_.empty() || groups_.back().members.size() == 64) {
            groups_.emplace_back();
            member_halves.emplace_back();
        }
        group& g = groups_.back();
        const std::uint64_t bit = std::uint64_t{1} << g.members.size();
        g.members.push_back(i);
        halves& h = member_halves.back().emplace_back();
        if (f.type == prefilter::kind::gate) {
            h.set(0, f.gate_set);
            g.gates |= bit;
            each_latin1(f.gate_set, [&](std::uint32_t c) { g.single[c] |= bit; });
            if (f.gate_set.may_contain_wide()) g.wide_first |= bit;
            continue;
        }
        const char_set& first = f.prefix[0];
        h.set(0, first);
        if (first.may_contain_wide()) g.wide_first |= bit;
        if (f.prefix.size() >= 2) {
            h.set(1, f.prefix[1]);
            if (f.prefix.size() >= 3 && !f.prefix[2].may_contain_wide()) h.set(2, f.prefix[2]);
            g.paired |= bit;
            if (f.prefix[1].may_contain_wide()) g.wide_second |= bit;
            each_latin1(first, [&](std::uint32_t c) { g.first[c] |= bit; });
            each_latin1(f.prefix[1], [&](std::uint32_t c) { g.second[c] |= bit; });
            // A third character only narrows the test where it is Latin-1.
            if (f.prefix.size() >= 3 && !f.prefix[2].may_contain_wide())
                each_latin1(f.prefix[2], [&](std::uint32_t c) { g.third[c] |= bit; });
            else
                for (std::uint64_t& admits : g.third) admits |= bit;
        } else {
            each_latin1(first, [&](std::uint32_t c) { g.single[c] |= bit; });
        }
    }
    literals_.build();
    // Eight buckets per group: each program goes where it widens the
    // bucket's sets the least.
    for (std::size_t k = 0; k < groups_.size(); ++k) {
        std::vector<halves> buckets;
        for (const halves& h : member_halves[k]) {
            std::size_t best = buckets.size();
            double cost = h.admits();
            for (std::size_t b = 0; b < buckets.size(); ++b) {
                halves merged = buckets[b];
                merged.merge(h);
                const double added = merged.admits() - buckets[b].admits();
                if (buckets.size() == 8 ? (best == buckets.size() || added < cost) : added < cost) {
                    best = b;
                    cost = added;
                }
            }
            if (best == buckets.size()) {
                buckets.push_back(h);
            } else {
                buckets[best].merge(h);
            }
        }
        byte_filter& f = groups_[k].bytes;
        for (std::size_t b = 0; b < buckets.size(); ++b)
            for (int j = 0; j < 3; ++j)
                for (std::uint32_t c = 0; c < 256; ++c)
                    if (((buckets[b].low[j] >> (c & 15)) & 1u) && ((buckets[b].high[j] >> (c >> 4)) & 1u))
                        f.add(j, c, static_cast<int>(b));
    }
}

}  // namespace tavrix::regex
