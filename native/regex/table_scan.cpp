#include "table_scan.hpp"

#include "engine.hpp"

namespace tavrix::regex {

namespace {

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
        }
        group& g = groups_.back();
        const std::uint64_t bit = std::uint64_t{1} << g.members.size();
        g.members.push_back(i);
        if (f.type == prefilter::kind::gate) {
            g.gates |= bit;
            each_latin1(f.gate_set, [&](std::uint32_t c) { g.single[c] |= bit; });
            if (f.gate_set.may_contain_wide()) g.wide_first |= bit;
            continue;
        }
        const char_set& first = f.prefix[0];
        if (first.may_contain_wide()) g.wide_first |= bit;
        if (f.prefix.size() >= 2) {
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
}

std::vector<scan_result> table_scanner::scan(PyObject* text, scan_mode mode, std::size_t first) const {
    return with_text(text, [&](auto view) { return scan(view, mode, first); });
}

}  // namespace tavrix::regex
