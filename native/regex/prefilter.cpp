// Prefilters derived from the program's graph. Assertions and the
// zero-width flags are treated as always passing, so every set below is a
// superset of what a real match can use: a filter may let a position
// through in vain, never turn a real start away.
#include "prefilter.hpp"

#include <algorithm>
#include <bit>

#include "../support/recursion.hpp"

namespace tavrix::regex {

namespace {

// Every prefix set is tested on each candidate position: beyond this many
// members a set filters too little to pay for itself.
constexpr int max_useful_set = 128;
constexpr std::size_t max_prefix = 8;
// A prefix is used instead of a gate when its first two sets admit at most
// this many pairs of Latin-1 characters.
constexpr int max_selective_pairs = 256;
// The gate's character class is scanned for: only small ones are worth it.
constexpr int max_gate_latin1 = 3;

// The consuming instructions (and the match) reachable from `roots`
// without consuming, skipping `avoid`.
std::vector<std::uint32_t> closure(const program& prog, const std::vector<std::uint32_t>& roots,
                                   std::uint32_t avoid = UINT32_MAX) {
    std::vector<std::uint8_t> seen(prog.insts.size(), 0);
    std::vector<std::uint32_t> stack(roots.rbegin(), roots.rend());
    std::vector<std::uint32_t> out;
    while (!stack.empty()) {
        const std::uint32_t pc = stack.back();
        stack.pop_back();
        if (pc == avoid || seen[pc]) continue;
        seen[pc] = 1;
        const instruction& inst = prog.insts[pc];
        switch (inst.code) {
            case op::consume:
            case op::match: out.push_back(pc); break;
            case op::split:
                stack.push_back(inst.alt);
                stack.push_back(inst.next);
                break;
            default: stack.push_back(inst.next); break;
        }
    }
    return out;
}

void add_class(const program& prog, char_set& set, std::uint32_t cls) {
    const char_class& c = prog.classes[cls];
    for (int i = 0; i < 4; ++i) set.latin1[i] |= c.latin1()[static_cast<std::size_t>(i)];
    if (c.contains_all_wide()) {
        set.wide_all = true;
        set.wide_classes.clear();
    } else if (c.may_contain_wide() && !set.wide_all &&
               std::find(set.wide_classes.begin(), set.wide_classes.end(), cls) == set.wide_classes.end()) {
        set.wide_classes.push_back(cls);
    }
}

// The sets of characters the first, second, ... character of every match
// belongs to, as long as every match is that long and the sets are small.
std::vector<char_set> prefix_sets(const program& prog) {
    std::vector<char_set> sets;
    std::vector<std::uint32_t> states = closure(prog, {prog.start});
    while (sets.size() < max_prefix) {
        char_set set;
        std::vector<std::uint32_t> successors;
        for (std::uint32_t pc : states) {
            if (prog.insts[pc].code == op::match) return sets;
            add_class(prog, set, prog.insts[pc].cls);
            successors.push_back(prog.insts[pc].next);
        }
        if (states.empty() || set.latin1_count() > max_useful_set) return sets;
        sets.push_back(std::move(set));
        states = closure(prog, successors);
    }
    return sets;
}

// The opening paths of the program: its branches followed character by
// character from the start, each cut at a loop, at a large class, where
// the match may end, or at eight characters; none when there are more
// than `max_paths` of them.
constexpr std::size_t max_paths = 16;
constexpr int max_path_class = 64;
constexpr int max_walk_depth = 256;

std::vector<std::vector<std::uint32_t>> opening_paths(const program& prog) {
    struct walker {
        const program& prog;
        std::vector<std::vector<std::uint32_t>> done;
        std::vector<std::uint32_t> classes;
        std::vector<std::uint32_t> on_path;  // instructions passed since the last character
        bool overflow = false;
        int depth = 0;

        void finish() {
            if (done.size() == max_paths) {
                overflow = true;
                return;
            }
            done.push_back(classes);
        }

        void walk(std::uint32_t pc) {
            if (overflow) return;
            if (++depth > max_walk_depth || stack::nearly_exhausted()) {
                overflow = true;  // no trie then: the per-position sets still filter
                return;
            }
            struct leave {
                int& depth;
                ~leave() { --depth; }
            } on_return{depth};
            // A loop, or a long way between two characters: the path ends here.
            if (on_path.size() > 64 || std::find(on_path.begin(), on_path.end(), pc) != on_path.end()) return finish();
            const instruction& inst = prog.insts[pc];
            switch (inst.code) {
                case op::match: return finish();
                case op::consume: {
                    if (classes.size() == max_prefix || prog.classes[inst.cls].latin1_count() > max_path_class)
                        return finish();
                    classes.push_back(inst.cls);
                    std::vector<std::uint32_t> saved;
                    saved.swap(on_path);
                    on_path.push_back(pc);
                    walk(inst.next);
                    on_path.swap(saved);
                    classes.pop_back();
                    return;
                }
                case op::split:
                    on_path.push_back(pc);
                    walk(inst.next);
                    walk(inst.alt);
                    on_path.pop_back();
                    return;
                default:
                    on_path.push_back(pc);
                    walk(inst.next);
                    on_path.pop_back();
                    return;
            }
        }
    };
    walker w{prog, {}, {}, {}, false, 0};
    w.walk(prog.start);
    if (w.overflow) return {};
    return std::move(w.done);
}

bool disjoint_latin1(const char_set& a, const char_set& b) {
    for (int i = 0; i < 4; ++i)
        if (a.latin1[i] & b.latin1[i]) return false;
    return true;
}

// A consuming instruction every match passes through, of a small class
// that nothing before it can consume: the text's occurrences of that class
// then bound where matches can start.
//
// Each candidate costs a walk of the program, so only the first few are
// tried (a counted repeat of one character would otherwise make the walk
// quadratic in the pattern).
constexpr int max_gate_candidates = 16;

bool find_gate(const program& prog, prefilter& filter) {
    int best_count = max_gate_latin1 + 1;
    int candidates = 0;
    for (std::uint32_t g = 0; g < prog.insts.size() && candidates < max_gate_candidates; ++g) {
        const instruction& inst = prog.insts[g];
        if (inst.code != op::consume) continue;
        const char_class& cls = prog.classes[inst.cls];
        const int count = cls.latin1_count();
        if (count == 0 || count >= best_count || cls.contains_all_wide()) continue;
        ++candidates;
        // Reachable without passing g: if the match is, g is not required.
        std::vector<std::uint8_t> seen(prog.insts.size(), 0);
        std::vector<std::uint32_t> stack{prog.start};
        char_set before;
        bool required = true;
        while (!stack.empty() && required) {
            const std::uint32_t pc = stack.back();
            stack.pop_back();
            if (pc == g || seen[pc]) continue;
            seen[pc] = 1;
            const instruction& at = prog.insts[pc];
            switch (at.code) {
                case op::match: required = false; break;
                case op::consume:
                    add_class(prog, before, at.cls);
                    stack.push_back(at.next);
                    break;
                case op::split:
                    stack.push_back(at.alt);
                    stack.push_back(at.next);
                    break;
                default: stack.push_back(at.next); break;
            }
        }
        if (!required) continue;
        char_set gate;
        add_class(prog, gate, inst.cls);
        if (!disjoint_latin1(gate, before)) continue;
        best_count = count;
        filter.gate_set = std::move(gate);
        filter.before_gate = std::move(before);
    }
    return best_count <= max_gate_latin1;
}

bool anchored(const node& n) {
    switch (n.type) {
        case node::kind::assert: return n.at == assertion::beginning;
        case node::kind::concat:
            for (const node& child : n.children) {
                if (anchored(child)) return true;
                if (child.type != node::kind::empty) return false;
            }
            return false;
        default: return false;
    }
}

}  // namespace

int char_set::latin1_count() const noexcept {
    int n = 0;
    for (std::uint64_t word : latin1) n += std::popcount(word);
    return n;
}

namespace {

prefilter choose_prefilter(const program& prog, const node& pattern) {
    prefilter filter;
    if (anchored(pattern)) {
        filter.type = prefilter::kind::anchored;
        return filter;
    }
    if (prog.min_length == 0) return filter;  // an empty match can start anywhere
    std::vector<char_set> sets = prefix_sets(prog);
    if (sets.size() >= 2 && sets[0].latin1_count() * sets[1].latin1_count() <= max_selective_pairs) {
        filter.type = prefilter::kind::prefix;
        filter.prefix = std::move(sets);
        const auto paths = opening_paths(prog);
        if (!paths.empty()) filter.paths.emplace_back();
        for (const auto& path : paths) {
            std::uint32_t at = 0;
            for (std::uint32_t cls : path) {
                auto& edges = filter.paths[at].edges;
                auto edge = std::find_if(edges.begin(), edges.end(), [&](const auto& e) { return e.first == cls; });
                if (edge != edges.end()) {
                    at = edge->second;
                    continue;
                }
                const auto child = static_cast<std::uint32_t>(filter.paths.size());
                edges.emplace_back(cls, child);
                filter.paths.emplace_back();
                at = child;
            }
            filter.paths[at].ends = true;
        }
        return filter;
    }
    if (find_gate(prog, filter)) {
        filter.type = prefilter::kind::gate;
        if (!sets.empty()) filter.prefix.push_back(std::move(sets[0]));
        return filter;
    }
    if (!sets.empty()) {
        filter.type = prefilter::kind::prefix;
        filter.prefix = std::move(sets);
    }
    return filter;
}

}  // namespace

prefilter derive_prefilter(const program& prog, const node& pattern) {
    prefilter filter = choose_prefilter(prog, pattern);
    for (std::size_t j = 0; j < filter.prefix.size(); ++j)
        for (std::uint32_t c = 0; c < 256; ++c)
            if (filter.prefix[j].has_latin1(c)) filter.prefix_mask[c] |= static_cast<std::uint8_t>(1u << j);
    return filter;
}

}  // namespace tavrix::regex
