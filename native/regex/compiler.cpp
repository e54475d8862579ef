// From a pattern's structure to the matcher's program.
//
// Counted repeats are unrolled (the program-size limit bounds them).
// Priorities follow backtracking: an alternation tries its branches in
// order, a greedy repeat tries one more iteration before leaving, a lazy
// one leaves first. A repeat whose body can match the empty string carries
// the interpreter's zero-width rule: an optional iteration may not start
// where the previous optional iteration of the same repeat started, i.e.
// right after an optional iteration that consumed nothing; the mandatory
// iterations are always attempted. The matcher tracks that as one flag per
// enclosing such repeat (`enter` clears it, `check` tests and sets it,
// consuming a character clears them all).
#include <algorithm>
#include <cassert>

#include "../support/recursion.hpp"
#include "literal_search.hpp"
#include "prefilter.hpp"
#include "program.hpp"

namespace tavrix::regex {

namespace {

std::uint32_t saturating_add(std::uint32_t a, std::uint32_t b) noexcept {
    return a > unbounded - b ? unbounded : a + b;
}

std::uint32_t saturating_mul(std::uint32_t a, std::uint32_t b) noexcept {
    if (a == 0 || b == 0) return 0;
    return a > unbounded / b ? unbounded : a * b;
}

// How deep the structure nests, counting no further than `limit` (nor
// than this thread's stack allows: the walks below recurse as deep).
std::uint32_t nesting(const node& n, std::uint32_t limit) noexcept {
    if (limit == 0 || stack::nearly_exhausted()) return limit + 1;
    std::uint32_t deepest = 0;
    for (const node& child : n.children) {
        deepest = std::max(deepest, nesting(child, limit - 1));
        if (deepest >= limit) break;
    }
    return deepest + 1;
}

struct too_large {
    const char* why;
};

class emitter {
public:
    emitter(program& prog, const compile_limits& limits) : prog_(prog), limits_(limits) {}

    void emit(const node& n) {
        if (stack::nearly_exhausted()) throw too_large{"the pattern nests too deeply for this thread's stack"};
        switch (n.type) {
            case node::kind::empty: return;
            case node::kind::character: {
                if (n.cls >= prog_.classes.size()) throw too_large{"a character class out of range"};
                const std::uint32_t pc = add(op::consume);
                prog_.insts[pc].cls = n.cls;
                prog_.insts[pc].next = pc + 1;
                return;
            }
            case node::kind::assert: {
                if (n.at >= assertion::count_) throw too_large{"an unknown assertion"};
                const std::uint32_t pc = add(op::assert_at, static_cast<std::uint8_t>(n.at));
                prog_.insts[pc].next = pc + 1;
                prog_.assertions_used |= 1u << static_cast<unsigned>(n.at);
                return;
            }
            case node::kind::concat:
                for (const node& child : n.children) emit(child);
                return;
            case node::kind::alternate: return emit_alternation(n);
            case node::kind::repeat: return emit_repeat(n);
        }
    }

private:
    std::uint32_t add(op code, std::uint8_t arg = 0) {
        if (prog_.insts.size() >= limits_.max_instructions) throw too_large{"the program would be too large"};
        if (code == op::split && ++splits_ > limits_.max_splits) throw too_large{"the program would branch too much"};
        const auto pc = static_cast<std::uint32_t>(prog_.insts.size());
        prog_.insts.push_back(instruction{.code = code, .arg = arg});
        prog_.level.push_back(static_cast<std::uint8_t>(level_));
        return pc;
    }

    std::uint32_t here() const noexcept { return static_cast<std::uint32_t>(prog_.insts.size()); }

    void emit_alternation(const node& n) {
        if (n.children.empty()) return;
        std::vector<std::uint32_t> ends;
        for (std::size_t i = 0; i + 1 < n.children.size(); ++i) {
            const std::uint32_t split = add(op::split);
            prog_.insts[split].next = split + 1;
            emit(n.children[i]);
            ends.push_back(add(op::jump));
            prog_.insts[split].alt = here();
        }
        emit(n.children.back());
        for (std::uint32_t jump : ends) prog_.insts[jump].next = here();
    }

    // The split before an optional iteration whose body starts at `body`:
    // greedy tries the body first.
    void aim(std::uint32_t split, std::uint32_t body, std::uint32_t exit, bool greedy) {
        prog_.insts[split].next = greedy ? body : exit;
        prog_.insts[split].alt = greedy ? exit : body;
    }

    void emit_repeat(const node& n) {
        const node& body = n.children.at(0);
        if (n.max != unbounded && n.min > n.max) throw too_large{"a repeat with min above max"};
        for (std::uint32_t i = 0; i < n.min; ++i) emit(body);
        if (n.max == n.min) return;

        const bool empty_body = min_width(body) == 0;
        const std::uint32_t lvl = level_;
        if (empty_body) {
            if (lvl >= limits_.max_empty_levels) throw too_large{"too many nested repeats of empty-matching bodies"};
            const std::uint32_t enter = add(op::enter, static_cast<std::uint8_t>(lvl));
            prog_.insts[enter].next = enter + 1;
            ++level_;
        }
        auto optional_iteration = [&](std::uint32_t split) {
            prog_.insts[split].next = split + 1;  // placeholder until the exit is known
            if (empty_body) {
                const std::uint32_t check = add(op::check, static_cast<std::uint8_t>(lvl));
                prog_.insts[check].next = check + 1;
            }
            emit(body);
        };
        if (n.max == unbounded) {
            const std::uint32_t loop = add(op::split);
            optional_iteration(loop);
            const std::uint32_t back = add(op::jump);
            prog_.insts[back].next = loop;
            aim(loop, loop + 1, here(), n.greedy);
        } else {
            std::vector<std::uint32_t> splits;
            for (std::uint32_t i = n.min; i < n.max; ++i) {
                const std::uint32_t split = add(op::split);
                splits.push_back(split);
                optional_iteration(split);
            }
            for (std::uint32_t split : splits) aim(split, split + 1, here(), n.greedy);
        }
        if (empty_body) --level_;
    }

    program& prog_;
    const compile_limits& limits_;
    std::uint32_t level_ = 0;
    std::uint32_t splits_ = 0;
};

// Works out the closure tables, unless they would be too large.
void build_closures(program& prog, const compile_limits& limits) {
    closure_table& table = prog.closures;
    int bit_of[static_cast<int>(assertion::count_)];
    for (int a = 0; a < static_cast<int>(assertion::count_); ++a) {
        bit_of[a] = -1;
        if (prog.assertions_used & (1u << a)) {
            bit_of[a] = static_cast<int>(table.kinds.size());
            table.kinds.push_back(static_cast<assertion>(a));
        }
    }
    if (table.kinds.size() > limits.max_table_assertions) return;
    const std::size_t contexts = table.contexts();
    const std::size_t size = prog.insts.size();
    table.root_of.assign(size, closure_table::none);
    std::vector<std::uint32_t> roots;
    auto add_root = [&](std::uint32_t pc) {
        if (table.root_of[pc] != closure_table::none) return;
        table.root_of[pc] = static_cast<std::uint32_t>(roots.size());
        roots.push_back(pc);
    };
    add_root(prog.start);
    for (const instruction& inst : prog.insts)
        if (inst.code == op::consume) add_root(inst.next);

    std::vector<std::uint32_t> seen(prog.slot_count, 0), listed(size, 0);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> stack;
    std::uint32_t generation = 0;
    std::uint64_t work = 0;
    auto give_up = [&] { table = closure_table{}; };
    for (std::uint32_t root : roots) {
        for (std::size_t context = 0; context < contexts; ++context) {
            ++generation;
            const std::size_t first = table.threads.size();
            table.begin.push_back(static_cast<std::uint32_t>(first));
            bool match = false;
            stack.assign(1, {root, 0});
            while (!stack.empty()) {
                auto [pc, flags] = stack.back();
                stack.pop_back();
                for (;;) {
                    if (++work > limits.max_table_work) return give_up();
                    std::uint32_t& visited = seen[prog.slot(pc, flags)];
                    if (visited == generation) break;
                    visited = generation;
                    const instruction& inst = prog.insts[pc];
                    if (inst.code == op::consume || inst.code == op::match) {
                        if (listed[pc] != generation) {
                            listed[pc] = generation;
                            table.threads.push_back(pc);
                            match = match || inst.code == op::match;
                        }
                        break;
                    }
                    const bool goes_on = empty_step(
                        inst, flags,
                        [&](assertion a) { return ((context >> bit_of[static_cast<std::size_t>(a)]) & 1u) != 0; },
                        [&](std::uint32_t alt, std::uint32_t f) { stack.emplace_back(alt, f); });
                    if (!goes_on) break;
                    pc = inst.next;
                }
            }
            if (table.threads.size() - first > limits.max_table_list) return give_up();
            table.has_match.push_back(match ? 1 : 0);
        }
    }
    table.begin.push_back(static_cast<std::uint32_t>(table.threads.size()));
    table.available = true;
}

// The bit machine, from the closure tables, when the program has at most
// 64 threads.
void build_bit_machine(program& prog) {
    const closure_table& table = prog.closures;
    bit_machine& machine = prog.bits;
    if (!table.available) return;
    std::vector<int> bit_of(prog.insts.size(), -1);
    for (std::uint32_t pc = 0; pc < prog.insts.size(); ++pc) {
        const op code = prog.insts[pc].code;
        if (code != op::consume && code != op::match) continue;
        if (machine.pcs.size() == 64) {
            machine = bit_machine{};
            return;
        }
        bit_of[pc] = static_cast<int>(machine.pcs.size());
        machine.pcs.push_back(pc);
    }
    const std::size_t contexts = table.contexts();
    auto mask_of = [&](std::uint32_t root, std::size_t context) {
        const std::size_t at = table.root_of[root] * contexts + context;
        std::uint64_t mask = 0;
        for (std::uint32_t i = table.begin[at]; i < table.begin[at + 1]; ++i)
            mask |= std::uint64_t{1} << bit_of[table.threads[i]];
        return mask;
    };
    machine.follow.assign(machine.pcs.size() * contexts, 0);
    machine.accepts.assign(256, 0);
    for (std::size_t bit = 0; bit < machine.pcs.size(); ++bit) {
        const instruction& inst = prog.insts[machine.pcs[bit]];
        if (inst.code == op::match) {
            machine.match = std::uint64_t{1} << bit;
            continue;
        }
        const char_class& cls = prog.classes[inst.cls];
        for (std::uint32_t c = 0; c < 256; ++c)
            if (cls.contains(c)) machine.accepts[c] |= std::uint64_t{1} << bit;
        if (cls.may_contain_wide()) machine.wide |= std::uint64_t{1} << bit;
        for (std::size_t context = 0; context < contexts; ++context)
            machine.follow[bit * contexts + context] = mask_of(inst.next, context);
    }
    for (std::size_t context = 0; context < contexts; ++context) machine.start.push_back(mask_of(prog.start, context));
    machine.available = true;
}

}  // namespace

namespace {

bool has_assertion(const node& n) noexcept {
    if (n.type == node::kind::assert) return true;
    for (const node& child : n.children)
        if (has_assertion(child)) return true;
    return false;
}

}  // namespace

namespace {

// The reverse-suffix split of `pattern`, when it has the shape: a repeat
// of one character class with a choice of counts, then a run of single
// characters that the literal analysis turns into exactly one literal (the
// head), then anything. The rest is compiled on its own (with the core
// strategy: it is only ever run from one start). A start class (re's
// global-flag start set) keeps the core strategy: it would constrain the
// lead's first character.
// Where many literals (at least this many) start every match, the literal
// automaton finds the starts: fewer are served as well by the prefilter.
constexpr std::size_t alternation_from = 16;

void choose_literal_alternation(program& prog) {
    const required_literals& r = prog.literal;
    if (prog.start_class != no_class || r.strings.size() < alternation_from || r.lead_min != 0 || r.lead_max != 0)
        return;
    auto searcher = std::make_shared<literal_searcher>();
    if (!searcher->add(0, r.strings)) return;
    searcher->build();
    std::size_t longest = 0;
    for (const literal& l : r.strings) longest = std::max(longest, l.size());
    prog.starts = std::move(searcher);
    prog.longest_start = static_cast<std::uint32_t>(longest);
    prog.strategy = strategy_kind::literal_alternation;
}

// The items of `n` in order, its sequences (and theirs) opened: a group
// around the literal leaves no trace in the matches. (The pattern's
// nesting is checked before it is compiled.)
void open_sequences(const node& n, std::vector<node>& items) {
    if (n.type != node::kind::concat) {
        items.push_back(n);
        return;
    }
    for (const node& child : n.children) open_sequences(child, items);
}

// Prefixes and heads of at most this many characters; a lead after a
// prefix repeats its class at least this many more times than its least.
constexpr std::size_t max_prefix = 32;
constexpr std::uint32_t wide_count = 16;

// The classes of a sequence of character nodes, as a literal tested by
// its classes alone (folds 0).
literal classes_of(const node& chars) {
    literal out;
    for (const node& c : chars.children) out.push_back(literal_position{0, c.cls});
    return out;
}

// The one Latin-1 character a class holds, or -1.
int only_byte(const char_class& cls) {
    int members = 0;
    int byte = -1;
    for (code_point c = 0; c < 256; ++c)
        if (cls.contains(c)) {
            ++members;
            byte = static_cast<int>(c);
        }
    return members == 1 ? byte : -1;
}

void choose_strategy(program& prog, const node& pattern, const compile_limits& limits) {
    choose_literal_alternation(prog);
    if (prog.start_class != no_class || pattern.type != node::kind::concat) return;
    std::vector<node> items;
    open_sequences(pattern, items);
    // Single characters before the lead: the prefix.
    std::size_t prefix = 0;
    while (prefix < items.size() && prefix < max_prefix && items[prefix].type == node::kind::character) ++prefix;
    if (items.size() < prefix + 2) return;
    const node& lead = items[prefix];
    if (lead.type != node::kind::repeat || lead.min == lead.max || lead.children.size() != 1 ||
        lead.children[0].type != node::kind::character)
        return;
    // After a prefix, only a wide counted repeat: the simulation would
    // carry a thread per count, and backtracking would try the rest at
    // every count from every prefix.
    if (prefix > 0 && (lead.max == unbounded || lead.max - lead.min < wide_count)) return;
    node rest = node::sequence(
        node::kind::concat, std::vector<node>(items.begin() + static_cast<std::ptrdiff_t>(prefix) + 1, items.end()));
    std::size_t chars = 0;
    while (chars < rest.children.size() && chars < max_prefix && rest.children[chars].type == node::kind::character)
        ++chars;
    if (chars == 0) return;
    const node head_chars = node::sequence(
        node::kind::concat,
        std::vector<node>(rest.children.begin(), rest.children.begin() + static_cast<std::ptrdiff_t>(chars)));
    required_literals head = find_required_literals(head_chars, prog.classes);
    // No single literal: the head's characters tested by their classes.
    // (Only after a wide counted repeat: an unbounded lead before a class
    // is served as well by the core search.)
    const bool by_class = head.strings.size() != 1 || head.lead_min != 0 || head.lead_max != 0;
    if (by_class && (lead.max == unbounded || lead.max - lead.min < wide_count)) return;
    if (by_class) head.strings.assign(1, classes_of(head_chars));
    compile_result compiled = compile(rest, prog.classes, limits);
    if (!compiled.ok) return;
    lead_split split;
    split.head_by_class = by_class;
    if (prefix > 0) {
        split.prefix = classes_of(node::sequence(
            node::kind::concat, std::vector<node>(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(prefix))));
        split.prefix_first_byte = only_byte(prog.classes[split.prefix[0].cls]);
    }
    split.lead_class = lead.children[0].cls;
    split.min = lead.min;
    split.max = lead.max;
    split.greedy = lead.greedy;
    const char_class& cls = prog.classes[split.lead_class];
    if (cls.contains_all_wide()) {
        int missing = 0;
        for (code_point c = 0; c < 256; ++c)
            if (!cls.contains(c)) {
                ++missing;
                split.stop = static_cast<int>(c);
            }
        split.nearly_all = missing <= 1;
        if (missing == 0) split.stop = -1;
    }
    split.head = std::move(head.strings[0]);
    split.first_byte = only_byte(prog.classes[split.head[0].cls]);
    // The rest runs by the core search from each head: a strategy chosen
    // for it on its own is dropped, with what it built.
    compiled.prog.strategy = strategy_kind::core;
    compiled.prog.starts.reset();
    compiled.prog.lead = {};
    split.rest = std::make_shared<const program>(std::move(compiled.prog));
    prog.lead = std::move(split);
    prog.strategy = strategy_kind::reverse_suffix;
    prog.starts.reset();
}

}  // namespace

bool strip_empty_lead(const node& pattern, node& out) {
    auto droppable = [](const node& n) { return min_width(n) == 0 && !has_assertion(n); };
    if (pattern.type != node::kind::concat) {
        if (!droppable(pattern) || pattern.type == node::kind::empty) return false;
        out = node{};
        return true;
    }
    std::size_t lead = 0;
    while (lead < pattern.children.size() && droppable(pattern.children[lead])) ++lead;
    if (lead == 0) return false;
    out = node::sequence(node::kind::concat,
                         std::vector<node>(pattern.children.begin() + static_cast<std::ptrdiff_t>(lead),
                                           pattern.children.end()));
    return true;
}

std::uint32_t min_width(const node& n) noexcept {
    switch (n.type) {
        case node::kind::empty:
        case node::kind::assert: return 0;
        case node::kind::character: return 1;
        case node::kind::concat: {
            std::uint32_t sum = 0;
            for (const node& child : n.children) sum = saturating_add(sum, min_width(child));
            return sum;
        }
        case node::kind::alternate: {
            std::uint32_t least = n.children.empty() ? 0 : unbounded;
            for (const node& child : n.children) least = std::min(least, min_width(child));
            return least;
        }
        case node::kind::repeat: return saturating_mul(n.min, min_width(n.children.at(0)));
    }
    return 0;
}

compile_result compile(const node& pattern, std::vector<char_class> classes, const compile_limits& limits,
                       std::uint32_t start_class) {
    compile_result result;
    if (nesting(pattern, limits.max_nesting + 1) > limits.max_nesting) {
        result.refusal = "the pattern nests too deeply";
        return result;
    }
    program& prog = result.prog;
    prog.classes = std::move(classes);
    try {
        emitter(prog, limits).emit(pattern);
    } catch (const too_large& e) {
        result.refusal = e.why;
        return result;
    }
    prog.insts.push_back(instruction{.code = op::match});
    prog.level.push_back(0);

    prog.slot_base.resize(prog.insts.size());
    std::uint64_t slots = 0;
    for (std::size_t pc = 0; pc < prog.insts.size(); ++pc) {
        prog.slot_base[pc] = static_cast<std::uint32_t>(slots);
        slots += std::uint64_t{1} << prog.level[pc];
    }
    if (slots > limits.max_slots) {
        result.refusal = "the program would need too many states";
        return result;
    }
    prog.slot_count = static_cast<std::uint32_t>(slots);
    prog.start = 0;
    if (start_class != no_class && start_class >= prog.classes.size()) {
        result.refusal = "a start class out of range";
        return result;
    }
    prog.start_class = start_class;
    prog.min_length = min_width(pattern);
    prog.filter = derive_prefilter(prog, pattern);
    prog.literal = find_required_literals(pattern, prog.classes);
    build_closures(prog, limits);
    build_bit_machine(prog);
    const bool literal_start =
        prog.literal.known() && prog.literal.lead_max == 0 && prog.literal.strings.size() == 1;
    prog.backtracks_first = (!prog.bits.available && prog.insts.size() > limits.backtrack_above) || literal_start;
    choose_strategy(prog, pattern, limits);
    if (prog.strategy == strategy_kind::core && literal_start && prog.insts.size() > limits.backtrack_above)
        prog.strategy = strategy_kind::literal_backtrack;
    assert(well_formed(prog));
    result.ok = true;
    return result;
}

}  // namespace tavrix::regex
