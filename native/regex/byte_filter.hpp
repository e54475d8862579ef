// A vectorised first look at one-byte text for the table scan: every
// program is put in one of eight buckets, and a position passes when its
// byte and the two after it fall in the first, second and third sets of
// some bucket. A bucket's set is held as two 16-entry tables, by low and
// by high half of the byte (a byte is in it when both halves are), so a
// set is widened to the product of its halves: the test lets through a
// superset, which the exact per-program test then narrows.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavrix::regex {

struct byte_filter {
    // [position in the prefix][half-byte] -> buckets
    std::uint8_t low[3][16] = {};
    std::uint8_t high[3][16] = {};

    // Adds byte `c` at `position` (0..2) to `bucket`'s sets.
    void add(int position, std::uint32_t c, int bucket) noexcept {
        low[position][c & 15] |= static_cast<std::uint8_t>(1u << bucket);
        high[position][c >> 4] |= static_cast<std::uint8_t>(1u << bucket);
    }

    // Bit i of masks[k] for each position from + 32 k + i that passes, for
    // k < blocks; the text must hold from + 32 * blocks + 2 bytes. With
    // the processor's best variant.
    void scan(const std::uint8_t* text, std::size_t from, std::size_t blocks, std::uint32_t* masks) const noexcept;

    // The variants, each giving the same masks: the checks run every one
    // this processor has against the portable one.
    enum class variant : std::uint8_t { portable, ssse3, avx2 };
    [[nodiscard]] static bool available(variant v) noexcept;
    void scan_as(variant v, const std::uint8_t* text, std::size_t from, std::size_t blocks,
                 std::uint32_t* masks) const noexcept;
};

}  // namespace tavrix::regex
