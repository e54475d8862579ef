#include "byte_filter.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TAVRIX_X86 1
#endif

namespace tavrix::regex {

namespace {

void scan_portable(const byte_filter& f, const std::uint8_t* text, std::size_t from, std::size_t blocks,
                   std::uint32_t* masks) noexcept {
    for (std::size_t k = 0; k < blocks; ++k) {
        std::uint32_t mask = 0;
        const std::uint8_t* at = text + from + 32 * k;
        for (std::uint32_t i = 0; i < 32; ++i) {
            std::uint8_t buckets = 0xFF;
            for (int j = 0; j < 3; ++j) {
                const std::uint8_t c = at[i + static_cast<std::uint32_t>(j)];
                buckets &= f.low[j][c & 15] & f.high[j][c >> 4];
            }
            if (buckets) mask |= 1u << i;
        }
        masks[k] = mask;
    }
}

#ifdef TAVRIX_X86

[[gnu::target("avx2")]] void scan_avx2(const byte_filter& f, const std::uint8_t* text, std::size_t from,
                                       std::size_t blocks, std::uint32_t* masks) noexcept {
    __m256i low[3], high[3];
    for (int j = 0; j < 3; ++j) {
        low[j] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(f.low[j])));
        high[j] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(f.high[j])));
    }
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i zero = _mm256_setzero_si256();
    for (std::size_t k = 0; k < blocks; ++k) {
        const std::uint8_t* at = text + from + 32 * k;
        __m256i buckets = _mm256_set1_epi8(-1);
        for (int j = 0; j < 3; ++j) {
            const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + j));
            const __m256i lo = _mm256_shuffle_epi8(low[j], _mm256_and_si256(bytes, nibble));
            const __m256i hi = _mm256_shuffle_epi8(high[j], _mm256_and_si256(_mm256_srli_epi16(bytes, 4), nibble));
            buckets = _mm256_and_si256(buckets, _mm256_and_si256(lo, hi));
        }
        masks[k] = ~static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(buckets, zero)));
    }
}

[[gnu::target("ssse3")]] void scan_ssse3(const byte_filter& f, const std::uint8_t* text, std::size_t from,
                                         std::size_t blocks, std::uint32_t* masks) noexcept {
    __m128i low[3], high[3];
    for (int j = 0; j < 3; ++j) {
        low[j] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(f.low[j]));
        high[j] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(f.high[j]));
    }
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i zero = _mm_setzero_si128();
    for (std::size_t k = 0; k < blocks; ++k) {
        std::uint32_t mask = 0;
        for (int half = 0; half < 2; ++half) {
            const std::uint8_t* at = text + from + 32 * k + 16 * static_cast<std::size_t>(half);
            __m128i buckets = _mm_set1_epi8(-1);
            for (int j = 0; j < 3; ++j) {
                const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + j));
                const __m128i lo = _mm_shuffle_epi8(low[j], _mm_and_si128(bytes, nibble));
                const __m128i hi = _mm_shuffle_epi8(high[j], _mm_and_si128(_mm_srli_epi16(bytes, 4), nibble));
                buckets = _mm_and_si128(buckets, _mm_and_si128(lo, hi));
            }
            const auto passing = ~static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(buckets, zero))) & 0xFFFFu;
            mask |= passing << (16 * half);
        }
        masks[k] = mask;
    }
}

using scan_function = void (*)(const byte_filter&, const std::uint8_t*, std::size_t, std::size_t, std::uint32_t*) noexcept;

scan_function best_scan() noexcept {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return scan_avx2;
    if (__builtin_cpu_supports("ssse3")) return scan_ssse3;
    return scan_portable;
}

#endif

}  // namespace

void byte_filter::scan(const std::uint8_t* text, std::size_t from, std::size_t blocks,
                       std::uint32_t* masks) const noexcept {
#ifdef TAVRIX_X86
    // The processor's features do not change while the process runs.
    static const scan_function chosen = best_scan();
    chosen(*this, text, from, blocks, masks);
#else
    scan_portable(*this, text, from, blocks, masks);
#endif
}

bool byte_filter::available(variant v) noexcept {
#ifdef TAVRIX_X86
    __builtin_cpu_init();
    switch (v) {
        case variant::portable: return true;
        case variant::ssse3: return __builtin_cpu_supports("ssse3");
        case variant::avx2: return __builtin_cpu_supports("avx2");
    }
    return false;
#else
    return v == variant::portable;
#endif
}

void byte_filter::scan_as([[maybe_unused]] variant v, const std::uint8_t* text, std::size_t from, std::size_t blocks,
                          std::uint32_t* masks) const noexcept {
#ifdef TAVRIX_X86
    if (v == variant::avx2 && available(v)) return scan_avx2(*this, text, from, blocks, masks);
    if (v == variant::ssse3 && available(v)) return scan_ssse3(*this, text, from, blocks, masks);
#endif
    scan_portable(*this, text, from, blocks, masks);
}

}  // namespace tavrix::regex
