#include "table_scan.hpp"

#include <bit>
#include <initializer_list>
#include <string_view>

namespace tavrix::regex {

namespace {

template <class Visit>
void each_latin1(const char_set& set, Visit&& visit) {
    for (std::uint32_t c = 0; c < 256; ++c)
        if (set.has_latin1(c)) visit(c);
}

// Whether a program is searched through its literals rather than in the
// filtered passes: where its prefilter cannot narrow anything, or where
// the table is too large for one filtered pass (64 programs a pass), with
// literals of two characters or more.
bool by_literals(const program& prog, std::size_t table_size, std::size_t grouped_at_most) {
    const std::size_t shortest = prog.literal.shortest();
    if (!prog.literal.known() || prog.filter.type == prefilter::kind::anchored) return false;
    if (prog.filter.type == prefilter::kind::anywhere) return true;
    return shortest >= 2 && table_size > grouped_at_most;
}

}  // namespace

// A program's first three sets as the byte filter sees them: the halves
// of their bytes (every half where a position admits any byte).
struct table_scanner::halves {
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

// Each program takes one path: the literal pass, a group, or alone.
table_scanner::table_scanner(std::vector<std::shared_ptr<const program>> programs, std::size_t grouped_at_most)
    : programs_(std::move(programs)) {
    std::vector<std::vector<halves>> group_halves;
    literal_owner_.assign(programs_.size(), 0);
    for (std::size_t i = 0; i < programs_.size(); ++i) {
        // In a table of one pass, a program with a strategy of its own
        // finds its literal itself, faster than the shared pass would.
        if (programs_[i]->strategy != strategy_kind::core && programs_.size() <= grouped_at_most) {
            alone_.push_back(i);
            continue;
        }
        if (by_literals(*programs_[i], programs_.size(), grouped_at_most) &&
            literals_.add(static_cast<std::uint32_t>(i), programs_[i]->literal.strings)) {
            literal_owner_[i] = 1;
            for (const literal& l : programs_[i]->literal.strings) longest_literal_ = std::max(longest_literal_, l.size());
            continue;
        }
        const prefilter& f = programs_[i]->filter;
        if (f.type == prefilter::kind::prefix || f.type == prefilter::kind::gate)
            add_to_group(i, group_halves);
        else
            alone_.push_back(i);
    }
    literals_.build();
    for (std::size_t k = 0; k < groups_.size(); ++k) build_byte_filter(groups_[k], group_halves[k]);
}

void table_scanner::add_to_group(std::size_t index, std::vector<std::vector<halves>>& group_halves) {
    if (groups_.empty() || groups_.back().members.size() == 64) {
        groups_.emplace_back();
        group_halves.emplace_back();
    }
    group& g = groups_.back();
    const prefilter& f = programs_[index]->filter;
    const std::uint64_t bit = std::uint64_t{1} << g.members.size();
    g.members.push_back(index);
    halves& h = group_halves.back().emplace_back();
    if (f.type == prefilter::kind::gate) {
        h.set(0, f.gate_set);
        g.gates |= bit;
        each_latin1(f.gate_set, [&](std::uint32_t c) { g.single[c] |= bit; });
        if (f.gate_set.may_contain_wide()) g.wide_first |= bit;
        return;
    }
    const char_set& first = f.prefix[0];
    h.set(0, first);
    if (first.may_contain_wide()) g.wide_first |= bit;
    if (f.prefix.size() < 2) {
        each_latin1(first, [&](std::uint32_t c) { g.single[c] |= bit; });
        return;
    }
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
}

// Eight buckets per group: each member goes where it widens the bucket's
// sets the least.
void table_scanner::build_byte_filter(group& g, const std::vector<halves>& member_halves) {
    std::vector<halves> buckets;
    for (const halves& h : member_halves) {
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
    for (std::size_t b = 0; b < buckets.size(); ++b)
        for (int j = 0; j < 3; ++j)
            for (std::uint32_t c = 0; c < 256; ++c)
                if (((buckets[b].low[j] >> (c & 15)) & 1u) && ((buckets[b].high[j] >> (c >> 4)) & 1u))
                    g.bytes.add(j, c, static_cast<int>(b));
}

std::string table_scanner::dump() const {
    // Appended piece by piece (GCC 12 warns wrongly about chained '+').
    std::string out;
    auto put = [&](std::initializer_list<std::string_view> pieces) {
        for (std::string_view p : pieces) out.append(p);
    };
    auto num = [](std::size_t v) { return std::to_string(v); };
    std::vector<std::string> path(programs_.size());
    for (std::size_t k = 0; k < groups_.size(); ++k)
        for (std::size_t member : groups_[k].members) {
            const prefilter& f = programs_[member]->filter;
            path[member] = "grouped pass " + num(k) + ": " +
                           (f.type == prefilter::kind::gate ? std::string("gate")
                                                            : "prefix " + num(f.prefix.size()));
        }
    static constexpr const char* kinds[] = {"anywhere", "anchored", "prefix", "gate"};
    for (std::size_t i : alone_) path[i] = std::string("searched alone: ") + kinds[static_cast<int>(programs_[i]->filter.type)];
    // A program with a strategy other than the core search says which.
    auto strategy = [&](std::size_t i) {
        return programs_[i]->strategy == strategy_kind::core ? std::string()
                                                              : std::string(" strategy ") + strategy_name(*programs_[i]);
    };
    for (std::size_t i = 0; i < programs_.size(); ++i) {
        put({num(i), " "});
        if (!literal_owner_[i]) {
            put({path[i], strategy(i), "\n"});
            continue;
        }
        const required_literals& req = programs_[i]->literal;
        out += "literal pass:";
        for (const literal& l : req.strings) {
            out += ' ';
            for (const literal_position& p : l) out += static_cast<char>(p.fold);
        }
        put({" lead ", num(req.lead_min), "..", req.lead_max == unbounded ? "inf" : num(req.lead_max), strategy(i), "\n"});
    }
    return out;
}

}  // namespace tavrix::regex
