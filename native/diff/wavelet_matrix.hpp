// A static array of small unsigned values that answers, for any stretch
// of it, the nearest value at or above (or at or below) a given one.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tavrix::diff {

// One bit plane per bit of the largest value, each a bit vector with
// ranks; values are stably partitioned by each bit from the top one down.
// Space: about 1.5 bits per element and plane (n·⌈log2 max⌉·1.5 bits);
// each query takes O(log2 max) rank steps.
class wavelet_matrix {
public:
    static constexpr std::uint32_t none = UINT32_MAX;

    // Every value must be below 2^31.
    explicit wavelet_matrix(std::span<const std::uint32_t> values);

    // The smallest value >= x among values[lo:hi], or `none`.
    [[nodiscard]] std::uint32_t next_value(std::uint32_t lo, std::uint32_t hi, std::uint32_t x) const noexcept;
    // The largest value <= x among values[lo:hi], or `none`.
    [[nodiscard]] std::uint32_t prev_value(std::uint32_t lo, std::uint32_t hi, std::uint32_t x) const noexcept;

private:
    struct plane {
        std::vector<std::uint64_t> words;  // bit i of the reordered values at this plane
        std::vector<std::uint32_t> ranks;  // ones in the words before each word
        std::uint32_t zeros = 0;           // where the values with a one start next plane

        [[nodiscard]] std::uint32_t ones_before(std::uint32_t i) const noexcept;
    };

    // Where values[lo:hi] go at the next plane, for a zero and a one here.
    struct split {
        std::uint32_t lo0, hi0, lo1, hi1;
    };
    [[nodiscard]] split descend(const plane& p, std::uint32_t lo, std::uint32_t hi) const noexcept;

    // The smallest (or largest) value in a stretch of plane `from` whose
    // bits above it are `prefix`.
    [[nodiscard]] std::uint32_t extreme(std::size_t from, std::uint32_t lo, std::uint32_t hi, std::uint32_t prefix,
                                        bool smallest) const noexcept;

    // next_value (upward) or prev_value on a non-empty stretch, x within range.
    [[nodiscard]] std::uint32_t nearest(std::uint32_t lo, std::uint32_t hi, std::uint32_t x,
                                        bool upward) const noexcept;

    std::vector<plane> planes_;  // the top bit's plane first
    unsigned bits_ = 0;
};

}  // namespace tavrix::diff
