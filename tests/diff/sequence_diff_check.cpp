// Checks of the token diff against a line-by-line port of difflib's
// find_longest_match / get_matching_blocks / get_opcodes (no junk, no
// popular elements), on random and hand-made sequences, and of the range
// queries of the wavelet matrix against brute force. Prints "ok" when all
// pass.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "../../native/diff/sequence_diff.hpp"
#include "../../native/diff/wavelet_matrix.hpp"

using namespace tavrix::diff;
using seq = std::vector<token>;

namespace {

int failures = 0;

void fail(const std::string& what) {
    if (failures < 20) std::fprintf(stderr, "FAILED: %s\n", what.c_str());
    ++failures;
}

// A random number below n.
std::uint32_t below(std::mt19937& rng, std::uint32_t n) { return static_cast<std::uint32_t>(rng() % n); }

std::string show(const seq& s) {
    std::string out;
    for (token t : s) out += std::to_string(t) + " ";
    return out;
}

// --- difflib, ported -----------------------------------------------------

struct reference_matcher {
    const seq& a;
    const seq& b;
    std::map<token, std::vector<std::uint32_t>> b2j;

    reference_matcher(const seq& a_, const seq& b_) : a(a_), b(b_) {
        for (std::uint32_t j = 0; j < b.size(); ++j) b2j[b[j]].push_back(j);
    }

    block find_longest_match(std::uint32_t alo, std::uint32_t ahi, std::uint32_t blo, std::uint32_t bhi) const {
        std::uint32_t besti = alo, bestj = blo, bestsize = 0;
        std::unordered_map<std::uint32_t, std::uint32_t> j2len, newj2len;
        for (std::uint32_t i = alo; i < ahi; ++i) {
            newj2len.clear();
            auto found = b2j.find(a[i]);
            if (found != b2j.end()) {
                for (std::uint32_t j : found->second) {
                    if (j < blo) continue;
                    if (j >= bhi) break;
                    auto prev = j2len.find(j - 1);
                    const std::uint32_t k = newj2len[j] = (prev == j2len.end() ? 0 : prev->second) + 1;
                    if (k > bestsize) {
                        besti = i - k + 1;
                        bestj = j - k + 1;
                        bestsize = k;
                    }
                }
            }
            std::swap(j2len, newj2len);
        }
        while (besti > alo && bestj > blo && a[besti - 1] == b[bestj - 1]) --besti, --bestj, ++bestsize;
        while (besti + bestsize < ahi && bestj + bestsize < bhi && a[besti + bestsize] == b[bestj + bestsize])
            ++bestsize;
        return {besti, bestj, bestsize};
    }

    std::vector<block> get_matching_blocks() const {
        const auto la = static_cast<std::uint32_t>(a.size()), lb = static_cast<std::uint32_t>(b.size());
        struct q {
            std::uint32_t alo, ahi, blo, bhi;
        };
        std::vector<q> queue{{0, la, 0, lb}};
        std::vector<block> blocks;
        while (!queue.empty()) {
            const q r = queue.back();
            queue.pop_back();
            const block x = find_longest_match(r.alo, r.ahi, r.blo, r.bhi);
            if (x.size) {
                blocks.push_back(x);
                if (r.alo < x.a && r.blo < x.b) queue.push_back({r.alo, x.a, r.blo, x.b});
                if (x.a + x.size < r.ahi && x.b + x.size < r.bhi)
                    queue.push_back({x.a + x.size, r.ahi, x.b + x.size, r.bhi});
            }
        }
        std::sort(blocks.begin(), blocks.end(), [](const block& x, const block& y) {
            return std::tie(x.a, x.b, x.size) < std::tie(y.a, y.b, y.size);
        });
        std::uint32_t i1 = 0, j1 = 0, k1 = 0;
        std::vector<block> non_adjacent;
        for (const block& x : blocks) {
            if (i1 + k1 == x.a && j1 + k1 == x.b) {
                k1 += x.size;
            } else {
                if (k1) non_adjacent.push_back({i1, j1, k1});
                i1 = x.a, j1 = x.b, k1 = x.size;
            }
        }
        if (k1) non_adjacent.push_back({i1, j1, k1});
        non_adjacent.push_back({la, lb, 0});
        return non_adjacent;
    }
};

// --- comparisons ----------------------------------------------------------

void compare(const seq& a, const seq& b, const char* what) {
    const std::vector<block> expected = reference_matcher(a, b).get_matching_blocks();
    const std::vector<block> got = matching_blocks(a, b);
    if (got != expected) {
        fail(std::string(what) + ": blocks differ for a = " + show(a) + "| b = " + show(b));
        return;
    }
    // The opcodes follow from the blocks; check their shape once here.
    const std::vector<opcode> ops = opcodes(a, b);
    std::uint32_t i = 0, j = 0;
    for (const opcode& op : ops) {
        const bool ok = op.i1 == i && op.j1 == j && op.i1 <= op.i2 && op.j1 <= op.j2 &&
                        (op.tag != edit::replace || (op.i1 < op.i2 && op.j1 < op.j2)) &&
                        (op.tag != edit::remove || (op.i1 < op.i2 && op.j1 == op.j2)) &&
                        (op.tag != edit::insert || (op.i1 == op.i2 && op.j1 < op.j2)) &&
                        (op.tag != edit::equal || std::equal(a.begin() + op.i1, a.begin() + op.i2, b.begin() + op.j1,
                                                             b.begin() + op.j2));
        if (!ok) fail(std::string(what) + ": malformed opcodes");
        i = op.i2, j = op.j2;
    }
    if (i != a.size() || j != b.size()) fail(std::string(what) + ": opcodes do not cover both sequences");
}

seq random_sequence(std::mt19937& rng, std::size_t length, token alphabet) {
    std::uniform_int_distribution<token> pick(0, alphabet - 1);
    seq s(length);
    for (token& t : s) t = pick(rng);
    return s;
}

// b made from a by a few replacements, insertions and deletions.
seq edited(std::mt19937& rng, const seq& a, token alphabet, int edits) {
    seq b = a;
    std::uniform_int_distribution<token> pick(0, alphabet + 3);  // sometimes tokens a lacks
    for (int k = 0; k < edits; ++k) {
        const std::size_t at = b.empty() ? 0 : rng() % (b.size() + 1);
        const std::size_t run = 1 + rng() % 3;
        switch (rng() % 3) {
            case 0:  // replace
                for (std::size_t r = 0; r < run && at + r < b.size(); ++r) b[at + r] = pick(rng);
                break;
            case 1:  // insert
                for (std::size_t r = 0; r < run; ++r) b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), pick(rng));
                break;
            default:  // delete
                b.erase(b.begin() + static_cast<std::ptrdiff_t>(std::min(at, b.size())),
                        b.begin() + static_cast<std::ptrdiff_t>(std::min(at + run, b.size())));
        }
    }
    return b;
}

void random_pairs() {
    std::mt19937 rng(20240611);
    const token alphabets[] = {1, 2, 3, 5, 12};
    for (int round = 0; round < 10000; ++round) {
        const token alphabet = alphabets[round % 5];
        const seq a = random_sequence(rng, rng() % 40, alphabet);
        const seq b = round % 3 == 0 ? random_sequence(rng, rng() % 40, alphabet)
                                     : edited(rng, a, alphabet, 1 + static_cast<int>(rng() % 6));
        compare(a, b, "random");
        compare(b, a, "random, swapped");
    }
    // Longer sequences: word-like tokens with a frequent separator.
    for (int round = 0; round < 16; ++round) {
        seq a;
        const std::size_t words = 100 + rng() % 300;
        for (std::size_t w = 0; w < words; ++w) {
            a.push_back(2 + static_cast<token>(rng() % (round % 2 ? 8 : 300)));
            a.push_back(rng() % 9 == 0 ? 1 : 0);
        }
        compare(a, edited(rng, a, 40, 1 + static_cast<int>(rng() % 30)), "word-like");
    }
}

void hand_made() {
    compare({}, {}, "both empty");
    compare({}, {1, 2}, "a empty");
    compare({1, 2}, {}, "b empty");
    compare({7}, {7}, "one equal token");
    compare({7}, {8}, "one different token");
    compare({0, 1, 2, 3}, {1, 2, 3, 0}, "rotation");
    compare({1, 2, 9, 3, 4}, {1, 2, 3, 4}, "abxcd");        // difflib's own example
    compare({9, 0, 1, 9, 2, 3}, {0, 1, 8, 2, 3, 7}, "qabxcd");  // and its opcodes example
    compare({5, 0, 1, 2, 3}, {0, 1, 2, 3, 5, 0, 1, 2, 3}, "tie by b");
    compare({0, 1}, {0, 2, 0, 1}, "no prefix stripping");
    // A match cut by the left edge of a window, and an occurrence just past
    // its right edge.
    compare({0, 3, 3, 1, 2, 4, 1, 1, 2, 1, 4, 5, 2, 4, 0}, {0, 3, 1, 2, 4, 1, 2, 1, 2, 4, 0}, "window edges");
    // Ties: equal-length blocks everywhere.
    seq alternating, shifted;
    for (int k = 0; k < 60; ++k) alternating.push_back(static_cast<token>(k % 2)), shifted.push_back(static_cast<token>((k + 1) % 2));
    compare(alternating, shifted, "alternating");
    compare(seq(50, 3), seq(30, 3), "repeated token");
    compare(seq(30, 3), seq(50, 3), "repeated token, longer b");
}

// The shapes that make the recursion deep or difflib quadratic: the diff
// must do O(n) work on them, counted in bounds computed.
void hard_shapes() {
    const std::uint32_t n = 20000;
    struct shape {
        const char* name;
        seq a, b;
    };
    std::vector<shape> shapes;
    shapes.push_back({"one repeated token", seq(n, 1), seq(n / 2, 1)});
    {
        seq a, b;  // every word replaced, separators kept
        for (std::uint32_t k = 0; k < n / 2; ++k) a.push_back(10 + k), a.push_back(0), b.push_back(5), b.push_back(0);
        shapes.push_back({"many small edits", a, b});
    }
    {
        seq a, b;  // equal-length blocks of the same two tokens, every third token edited
        for (std::uint32_t k = 0; k < n; ++k) {
            a.push_back(k % 3 == 2 ? 7 : k % 2);
            b.push_back(k % 3 == 2 ? 8 : k % 2);
        }
        shapes.push_back({"equal-length ties", a, b});
    }
    {
        seq a, b;  // blocks growing to the right, so each step splits off its right end
        std::uint32_t next = 100;
        for (std::uint32_t run = 1; a.size() < n; ++run) {
            for (std::uint32_t r = 0; r < run; ++r) a.push_back(next), b.push_back(next++);
            a.push_back(1), b.push_back(2);
        }
        shapes.push_back({"growing blocks", a, b});
    }
    for (const shape& s : shapes) {
        diff_stats stats;
        const std::vector<block> blocks = matching_blocks(s.a, s.b, &stats);
        const std::size_t limit = 2 * (s.a.size() + s.b.size());
        if (stats.bound_tests > limit)
            fail(std::string(s.name) + ": " + std::to_string(stats.bound_tests) + " bounds computed for " +
                 std::to_string(s.a.size()) + " tokens");
        if (s.a.size() <= 4000 && blocks != reference_matcher(s.a, s.b).get_matching_blocks())
            fail(std::string(s.name) + ": blocks differ");
    }
    // Smaller copies of the same shapes against difflib.
    seq a, b;
    for (std::uint32_t k = 0; k < 200; ++k) a.push_back(10 + k), a.push_back(0), b.push_back(5), b.push_back(0);
    compare(a, b, "many small edits, small");
}

// The checkpoint: reached at least once a stride of the tokens read,
// changing no answer; a hook that throws abandons the diff.
void checkpoints() {
    std::mt19937 rng(7);
    seq a, b;
    for (std::uint32_t k = 0; k < 100000; ++k) {
        a.push_back(below(rng, 50));
        b.push_back(k % 97 == 0 ? 99 : a.back());
    }
    int calls = 0;
    tavrix::checkpoint counted([](void* n) { ++*static_cast<int*>(n); }, &calls);
    if (matching_blocks(a, b, nullptr, &counted) != matching_blocks(a, b)) fail("checkpoint: blocks differ");
    if (calls < static_cast<int>((a.size() + b.size()) / tavrix::checkpoint::stride))
        fail("checkpoint: reached " + std::to_string(calls) + " times");
    struct stop {};
    int left = 3;
    tavrix::checkpoint stopping(
        [](void* n) {
            if (--*static_cast<int*>(n) == 0) throw stop{};
        },
        &left);
    bool stopped = false;
    try {
        (void)matching_blocks(a, b, nullptr, &stopping);
    } catch (const stop&) {
        stopped = true;
    }
    if (!stopped || left != 0) fail("checkpoint: a hook that throws does not abandon the diff");
}

void wavelet_queries() {
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        const std::uint32_t n = 1 + below(rng, 200);
        const std::uint32_t top = 1 + below(rng, round % 2 ? 8 : 5000);
        std::vector<std::uint32_t> values(n);
        for (auto& v : values) v = below(rng, top);
        const wavelet_matrix w(values);
        for (int q = 0; q < 50; ++q) {
            std::uint32_t lo = below(rng, n + 1), hi = below(rng, n + 1);
            if (lo > hi) std::swap(lo, hi);
            const std::uint32_t x = below(rng, top + 3);
            std::uint32_t next = wavelet_matrix::none, prev = wavelet_matrix::none;
            for (std::uint32_t i = lo; i < hi; ++i) {
                if (values[i] >= x && (next == wavelet_matrix::none || values[i] < next)) next = values[i];
                if (values[i] <= x && (prev == wavelet_matrix::none || values[i] > prev)) prev = values[i];
            }
            if (w.next_value(lo, hi, x) != next) fail("wavelet next_value");
            if (w.prev_value(lo, hi, x) != prev) fail("wavelet prev_value");
        }
    }
}

}  // namespace

int main() {
    hand_made();
    random_pairs();
    hard_shapes();
    checkpoints();
    wavelet_queries();
    if (failures) {
        std::fprintf(stderr, "%d failure(s)\n", failures);
        return 1;
    }
    std::puts("ok");
    return 0;
}
