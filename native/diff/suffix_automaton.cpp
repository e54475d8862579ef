#include "suffix_automaton.hpp"

#include <bit>
#include <cassert>

namespace tavrix::diff {

namespace {

constexpr std::uint32_t end_of_list = UINT32_MAX;

std::uint64_t key_of(std::uint32_t state, token t) noexcept { return (std::uint64_t{state} << 32) | t; }

// A bijective mix of the key (the finaliser of splitmix64): the table takes
// the top bits of the result.
std::uint64_t mixed(std::uint64_t k) noexcept {
    k = (k ^ (k >> 30)) * 0xbf58476d1ce4e5b9ULL;
    k = (k ^ (k >> 27)) * 0x94d049bb133111ebULL;
    return k ^ (k >> 31);
}

}  // namespace

suffix_automaton::suffix_automaton(std::span<const token> text, checkpoint* poll) {
    assert(text.size() <= (std::size_t{1} << 30));
    const std::size_t states = 2 * text.size() + 1;
    length.reserve(states);
    link.reserve(states);
    prefix_end.reserve(states);
    first_listed_.reserve(states);
    first_symbol_.reserve(states);
    first_target_.reserve(states);
    // A text of n tokens has at most 3n transitions, at most 2n of them
    // first ones; the table starts for about n at most half full, and
    // doubles when it must.
    std::size_t slots = 16;
    while (slots < 2 * text.size()) slots *= 2;
    slots_.assign(slots, slot{empty_key, 0});
    shift_ = static_cast<unsigned>(64 - std::countr_zero(slots));
    listed_.reserve(text.size());

    new_state(0, no_state);
    for (std::size_t i = 0; i < text.size(); ++i) {
        extend(text[i], static_cast<std::uint32_t>(i));
        reached(poll);
    }
}

std::size_t suffix_automaton::find_slot(std::uint32_t state, token t) const noexcept {
    const std::uint64_t key = key_of(state, t);
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = static_cast<std::size_t>(mixed(key) >> shift_);
    while (slots_[i].key != key && slots_[i].key != empty_key) i = (i + 1) & mask;
    return i;
}

std::uint32_t suffix_automaton::target(std::uint32_t state, token t) const noexcept {
    if (first_symbol_[state] == t && first_target_[state] != no_state) return first_target_[state];
    if (first_listed_[state] == end_of_list) return no_state;
    const slot& s = slots_[find_slot(state, t)];
    return s.key == empty_key ? no_state : s.target;
}

void suffix_automaton::redirect(std::uint32_t state, token t, std::uint32_t to) noexcept {
    if (first_symbol_[state] == t && first_target_[state] != no_state)
        first_target_[state] = to;
    else
        slots_[find_slot(state, t)].target = to;
}

void suffix_automaton::add_transition(std::uint32_t state, token t, std::uint32_t to) {
    if (first_target_[state] == no_state) {
        first_symbol_[state] = t;
        first_target_[state] = to;
        return;
    }
    if (2 * (used_ + 1) > slots_.size()) grow();
    slot& s = slots_[find_slot(state, t)];
    assert(s.key == empty_key);
    s = slot{key_of(state, t), to};
    ++used_;
    listed_.push_back(listed{t, first_listed_[state]});
    first_listed_[state] = static_cast<std::uint32_t>(listed_.size() - 1);
}

void suffix_automaton::grow() {
    std::vector<slot> old(2 * slots_.size(), slot{empty_key, 0});
    old.swap(slots_);
    --shift_;
    const std::size_t mask = slots_.size() - 1;
    for (const slot& s : old) {
        if (s.key == empty_key) continue;
        std::size_t i = static_cast<std::size_t>(mixed(s.key) >> shift_);
        while (slots_[i].key != empty_key) i = (i + 1) & mask;
        slots_[i] = s;
    }
}

std::uint32_t suffix_automaton::new_state(std::uint32_t len, std::uint32_t end) {
    length.push_back(len);
    link.push_back(no_state);
    prefix_end.push_back(end);
    first_listed_.push_back(end_of_list);
    first_symbol_.push_back(0);
    first_target_.push_back(no_state);
    return static_cast<std::uint32_t>(length.size() - 1);
}

void suffix_automaton::extend(token t, std::uint32_t end) {
    const std::uint32_t current = new_state(length[last_] + 1, end);
    std::uint32_t p = last_;
    while (p != no_state && target(p, t) == no_state) {
        add_transition(p, t, current);
        p = link[p];
    }
    last_ = current;
    if (p == no_state) {
        link[current] = 0;
        return;
    }
    const std::uint32_t q = target(p, t);
    if (length[p] + 1 == length[q]) {
        link[current] = q;
        return;
    }
    // q holds strings longer than the one p reaches it with: split it.
    const std::uint32_t clone = new_state(length[p] + 1, no_state);
    if (first_target_[q] != no_state) add_transition(clone, first_symbol_[q], first_target_[q]);
    for (std::uint32_t l = first_listed_[q]; l != end_of_list; l = listed_[l].next)
        add_transition(clone, listed_[l].symbol, target(q, listed_[l].symbol));
    link[clone] = link[q];
    for (; p != no_state && target(p, t) == q; p = link[p]) redirect(p, t, clone);
    link[q] = clone;
    link[current] = clone;
}

void suffix_automaton::advance(cursor& at, token t) const noexcept {
    for (;;) {
        const std::uint32_t next = target(at.state, t);
        if (next != no_state) {
            at.state = next;
            ++at.length;
            return;
        }
        if (at.state == 0) {
            at.length = 0;
            return;
        }
        at.state = link[at.state];
        at.length = length[at.state];
    }
}

void suffix_automaton::drop_transitions() noexcept {
    slots_ = {};
    listed_ = {};
    first_listed_ = {};
    first_symbol_ = {};
    first_target_ = {};
    used_ = 0;
}

}  // namespace tavrix::diff
