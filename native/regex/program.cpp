#include "program.hpp"

#include "literal_search.hpp"

#include <initializer_list>
#include <string>
#include <string_view>

namespace tavrix::regex {

namespace {

const char* assertion_name(std::uint8_t a) {
    static constexpr const char* names[] = {"beginning", "beginning_line", "end", "end_line", "end_string",
                                            "boundary", "non_boundary", "uni_boundary", "uni_non_boundary"};
    return a < static_cast<std::uint8_t>(assertion::count_) ? names[a] : "?";
}

std::string literal_text(const literal& l) {
    std::string out;
    for (const literal_position& p : l) out += static_cast<char>(p.fold);
    return out;
}

// A literal tested by its classes alone, as `<c3><c7>`.
std::string class_text(const literal& l) {
    std::string out;
    for (const literal_position& p : l) {
        out += "<c";
        out += std::to_string(p.cls);
        out += '>';
    }
    return out;
}

}  // namespace

std::string dump(const program& prog) {
    // Appended piece by piece (GCC 12 warns wrongly about chained '+').
    std::string out;
    auto put = [&](std::initializer_list<std::string_view> pieces) {
        for (std::string_view p : pieces) out.append(p);
    };
    auto num = [](std::size_t v) { return std::to_string(v); };
    for (std::uint32_t pc = 0; pc < prog.insts.size(); ++pc) {
        const instruction& in = prog.insts[pc];
        const std::string at = num(pc), next = num(in.next);
        switch (in.code) {
            case op::consume: put({at, " consume c", num(in.cls), " -> ", next}); break;
            case op::assert_at: put({at, " assert ", assertion_name(in.arg), " -> ", next}); break;
            case op::split: put({at, " split -> ", next, ", ", num(in.alt)}); break;
            case op::jump: put({at, " jump -> ", next}); break;
            case op::enter: put({at, " enter ", num(in.arg), " -> ", next}); break;
            case op::check: put({at, " check ", num(in.arg), " -> ", next}); break;
            case op::match: put({at, " match"}); break;
        }
        out += '\n';
    }
    static constexpr const char* kinds[] = {"anywhere", "anchored", "prefix", "gate"};
    put({"filter ", kinds[static_cast<int>(prog.filter.type)]});
    if (prog.filter.type == prefilter::kind::prefix) put({" ", num(prog.filter.prefix.size())});
    out += "\nliterals";
    if (!prog.literal.known()) out += " none";
    for (const literal& l : prog.literal.strings) put({" ", literal_text(l)});
    if (prog.literal.known()) {
        const std::string lead_max = prog.literal.lead_max == unbounded ? "inf" : num(prog.literal.lead_max);
        put({" @", num(prog.literal.lead_min), "..", lead_max});
    }
    out += '\n';
    if (prog.strategy != strategy_kind::core) {
        put({"strategy ", strategy_name(prog)});
        if (prog.strategy == strategy_kind::reverse_suffix) {
            const lead_split& l = prog.lead;
            const std::string max = l.max == unbounded ? "inf" : num(l.max);
            if (!l.prefix.empty()) put({" prefix ", class_text(l.prefix)});
            put({" lead c", num(l.lead_class), "{", num(l.min), ",", max, "}", l.greedy ? "" : "?", " head ",
                 l.head_by_class ? class_text(l.head) : literal_text(l.head)});
        } else if (prog.strategy == strategy_kind::literal_alternation) {
            put({" of ", num(prog.literal.strings.size()), " literals"});
        }
        out += '\n';
    }
    return out;
}

const char* strategy_name(const program& prog) noexcept {
    switch (prog.strategy) {
        case strategy_kind::core: return "core";
        case strategy_kind::reverse_suffix: return "reverse_suffix";
        case strategy_kind::literal_alternation: return "literal_alternation";
        case strategy_kind::literal_backtrack: return "literal_backtrack";
    }
    return "?";
}

bool well_formed(const program& prog) {
    const std::size_t n = prog.insts.size();
    if (n == 0 || prog.insts.back().code != op::match || prog.start >= n) return false;
    if (prog.level.size() != n || prog.slot_base.size() != n) return false;
    std::uint64_t slots = 0;
    for (std::size_t pc = 0; pc < n; ++pc) {
        const instruction& in = prog.insts[pc];
        if (in.code != op::match && in.next >= n) return false;
        if (in.code == op::split && in.alt >= n) return false;
        if (in.code == op::consume && in.cls >= prog.classes.size()) return false;
        if (in.code == op::assert_at && in.arg >= static_cast<std::uint8_t>(assertion::count_)) return false;
        if ((in.code == op::enter || in.code == op::check) && in.arg >= prog.level[pc] + 1u) return false;
        if (in.code == op::match && pc + 1 != n) return false;
        if (prog.slot_base[pc] != slots) return false;
        slots += std::uint64_t{1} << prog.level[pc];
    }
    if (slots != prog.slot_count) return false;
    if (prog.start_class != no_class && prog.start_class >= prog.classes.size()) return false;
    // Each literal position's fold is that of a member of its class.
    auto folds_a_member = [&](const literal_position& p) {
        const char_class& c = prog.classes[p.cls];
        if (c.contains(p.fold) || (p.fold >= 'a' && p.fold <= 'z' && c.contains(p.fold - 32u))) return true;
        for (const auto& [partner, fold] : ascii_partners)
            if (fold == p.fold && c.contains(partner)) return true;
        return false;
    };
    for (const literal& l : prog.literal.strings) {
        if (l.empty()) return false;
        for (const literal_position& p : l)
            if (p.cls >= prog.classes.size() || p.fold >= 128 || !folds_a_member(p)) return false;
    }
    if (prog.literal.known() && prog.literal.lead_min > prog.literal.lead_max) return false;
    const closure_table& t = prog.closures;
    if (t.available) {
        const std::size_t lists = t.begin.size();
        if (lists == 0 || t.begin.back() != t.threads.size() || t.root_of.size() != n) return false;
        for (std::size_t i = 1; i < lists; ++i)
            if (t.begin[i] < t.begin[i - 1]) return false;
        for (std::uint32_t pc : t.threads)
            if (pc >= n || (prog.insts[pc].code != op::consume && prog.insts[pc].code != op::match)) return false;
    }
    const bit_machine& b = prog.bits;
    if (b.available && (b.pcs.size() > 64 || b.accepts.size() != 256 || !t.available)) return false;
    if (prog.strategy == strategy_kind::reverse_suffix) {
        // The rest is searched on its own, from the head's occurrences.
        const lead_split& l = prog.lead;
        if (!l.rest || l.rest->strategy != strategy_kind::core || !well_formed(*l.rest)) return false;
        if (l.rest->classes.size() != prog.classes.size() || prog.exists_only || l.lead_class >= prog.classes.size())
            return false;
        if (l.head.empty() || l.min > l.max || (l.nearly_all && l.stop >= 256)) return false;
        for (const literal_position& p : l.head)
            if (p.cls >= prog.classes.size() || (l.head_by_class ? p.fold != 0 : p.fold >= 128 || !folds_a_member(p)))
                return false;
        // A prefix comes before a bounded lead only (its reach is what
        // keeps the memo of heads in lead_search_prefixed a sliding one).
        if (!l.prefix.empty() && l.max == unbounded) return false;
        for (const literal_position& p : l.prefix)
            if (p.cls >= prog.classes.size() || p.fold != 0) return false;
    }
    if (prog.strategy == strategy_kind::literal_alternation) {
        // Every match starts with one of the literals, the longest given.
        const required_literals& r = prog.literal;
        if (!prog.starts || prog.starts->empty() || !r.known() || r.lead_min != 0 || r.lead_max != 0) return false;
        std::size_t longest = 0;
        for (const literal& l : r.strings) longest = std::max(longest, l.size());
        if (longest != prog.longest_start || prog.exists_only) return false;
    }
    if (prog.strategy == strategy_kind::literal_backtrack && !prog.backtracks_first) return false;
    return true;
}

}  // namespace tavrix::regex
