// Powers of ten 10^j for j in [pow10_first, pow10_last] as 128-bit mantissas
// rounded down: value = (high x 2^64 + low) x 2^(floor(log2 10^j) - 127).
#pragma once

#include <cstdint>

namespace zvl {

struct pow10_entry {
    uint64_t high;
    uint64_t low;
};

inline constexpr int32_t pow10_first = -342;
inline constexpr int32_t pow10_last = 324;

extern const pow10_entry pow10_table[];

// floor(log2(10^j)) for |j| <= 1233.
constexpr int32_t floor_log2_pow10(int32_t j) { return (j * 1741647) >> 19; }
// floor(log10(2^b)) for |b| < 1650.
constexpr int32_t floor_log10_pow2(int32_t b) { return (b * 78913) >> 18; }
// floor(log10(3/4 x 2^b)) for b in [-2985, 2936].
constexpr int32_t floor_log10_three_quarters_pow2(int32_t b) { return (b * 631305 - 261663) >> 21; }

}  // namespace zvl
