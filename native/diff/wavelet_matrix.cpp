#include "wavelet_matrix.hpp"

#include <algorithm>
#include <bit>
#include <cassert>

namespace tavrix::diff {

std::uint32_t wavelet_matrix::plane::ones_before(std::uint32_t i) const noexcept {
    const std::uint32_t word = i / 64;
    const std::uint64_t below = (std::uint64_t{1} << (i % 64)) - 1;
    return ranks[word] + static_cast<std::uint32_t>(std::popcount(words[word] & below));
}

wavelet_matrix::wavelet_matrix(std::span<const std::uint32_t> values) {
    std::uint32_t largest = 0;
    for (std::uint32_t v : values) largest = std::max(largest, v);
    assert(largest < (std::uint32_t{1} << 31));
    bits_ = std::max(1u, static_cast<unsigned>(std::bit_width(largest)));
    const auto n = static_cast<std::uint32_t>(values.size());

    std::vector<std::uint32_t> order(values.begin(), values.end());
    std::vector<std::uint32_t> zeros, ones;
    zeros.reserve(n);
    ones.reserve(n);
    planes_.resize(bits_);
    for (unsigned level = 0; level < bits_; ++level) {
        const unsigned bit = bits_ - 1 - level;
        plane& p = planes_[level];
        // One spare word, so that ones_before(n) reads inside the vector.
        p.words.assign(n / 64 + 1, 0);
        p.ranks.assign(n / 64 + 1, 0);
        zeros.clear();
        ones.clear();
        for (std::uint32_t i = 0; i < n; ++i) {
            if ((order[i] >> bit) & 1u) {
                p.words[i / 64] |= std::uint64_t{1} << (i % 64);
                ones.push_back(order[i]);
            } else {
                zeros.push_back(order[i]);
            }
        }
        std::uint32_t running = 0;
        for (std::size_t w = 0; w < p.words.size(); ++w) {
            p.ranks[w] = running;
            running += static_cast<std::uint32_t>(std::popcount(p.words[w]));
        }
        p.zeros = static_cast<std::uint32_t>(zeros.size());
        std::copy(ones.begin(), ones.end(), std::copy(zeros.begin(), zeros.end(), order.begin()));
    }
}

wavelet_matrix::split wavelet_matrix::descend(const plane& p, std::uint32_t lo, std::uint32_t hi) const noexcept {
    const std::uint32_t ones_lo = p.ones_before(lo);
    const std::uint32_t ones_hi = p.ones_before(hi);
    return {lo - ones_lo, hi - ones_hi, p.zeros + ones_lo, p.zeros + ones_hi};
}

std::uint32_t wavelet_matrix::extreme(std::size_t from, std::uint32_t lo, std::uint32_t hi, std::uint32_t prefix,
                                      bool smallest) const noexcept {
    for (std::size_t level = from; level < bits_; ++level) {
        const split s = descend(planes_[level], lo, hi);
        const bool take_one = smallest ? s.lo0 == s.hi0 : s.lo1 < s.hi1;
        if (take_one) {
            lo = s.lo1;
            hi = s.hi1;
            prefix |= std::uint32_t{1} << (bits_ - 1 - level);
        } else {
            lo = s.lo0;
            hi = s.hi0;
        }
    }
    return prefix;
}

// Follows x's bits down while the stretch stays non-empty, remembering the
// deepest plane where the branch x does not take holds only values on the
// wanted side of x (above it when `upward`); when x itself is absent, the
// answer is the extreme value of that branch.
std::uint32_t wavelet_matrix::nearest(std::uint32_t lo, std::uint32_t hi, std::uint32_t x,
                                      bool upward) const noexcept {
    std::size_t fallback = bits_;
    std::uint32_t fallback_lo = 0, fallback_hi = 0, fallback_prefix = 0;
    std::uint32_t prefix = 0;
    for (std::size_t level = 0; level < bits_ && lo < hi; ++level) {
        const std::uint32_t bit = std::uint32_t{1} << (bits_ - 1 - level);
        const split s = descend(planes_[level], lo, hi);
        const bool one = (x & bit) != 0;
        // The other branch lies above x when x's bit is a zero, below when a one.
        if (one != upward) {
            const std::uint32_t other_lo = one ? s.lo0 : s.lo1, other_hi = one ? s.hi0 : s.hi1;
            if (other_lo < other_hi) {
                fallback = level;
                fallback_lo = other_lo;
                fallback_hi = other_hi;
                fallback_prefix = one ? prefix : prefix | bit;
            }
        }
        if (one) {
            lo = s.lo1;
            hi = s.hi1;
            prefix |= bit;
        } else {
            lo = s.lo0;
            hi = s.hi0;
        }
    }
    if (lo < hi) return x;
    if (fallback == bits_) return none;
    return extreme(fallback + 1, fallback_lo, fallback_hi, fallback_prefix, upward);
}

std::uint32_t wavelet_matrix::next_value(std::uint32_t lo, std::uint32_t hi, std::uint32_t x) const noexcept {
    if (lo >= hi || (bits_ < 32 && (x >> bits_) != 0)) return none;
    return nearest(lo, hi, x, true);
}

std::uint32_t wavelet_matrix::prev_value(std::uint32_t lo, std::uint32_t hi, std::uint32_t x) const noexcept {
    if (lo >= hi) return none;
    if (bits_ < 32 && (x >> bits_) != 0) return extreme(0, lo, hi, 0, false);
    return nearest(lo, hi, x, false);
}

}  // namespace tavrix::diff
