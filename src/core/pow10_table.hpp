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

// Hidden, so that the library reaches it without a load of its address.
extern const pow10_entry pow10_table[] __attribute__((visibility("hidden")));
// 10^j for j in [pow10_up_first, pow10_up_last] as 128-bit mantissas rounded
// up (exact for j in [0, 55]): the shortest-digit generator's factors, which
// need two powers beyond pow10_last for the subnormals.
inline constexpr int32_t pow10_up_first = -292;
inline constexpr int32_t pow10_up_last = 326;
struct pow10_up_table {
    constexpr pow10_up_table();
    pow10_entry entries[pow10_up_last - pow10_up_first + 1];
};
extern const pow10_up_table pow10_up __attribute__((visibility("hidden")));

// 10^n for n in [0, 19], every power a 64-bit word holds.
inline constexpr uint64_t pow10_u64_table[20] = {1u,
                                                 10u,
                                                 100u,
                                                 1000u,
                                                 10000u,
                                                 100000u,
                                                 1000000u,
                                                 10000000u,
                                                 100000000u,
                                                 1000000000u,
                                                 10000000000u,
                                                 100000000000u,
                                                 1000000000000u,
                                                 10000000000000u,
                                                 100000000000000u,
                                                 1000000000000000u,
                                                 10000000000000000u,
                                                 100000000000000000u,
                                                 1000000000000000000u,
                                                 10000000000000000000u};

// 10^n for n in [0, 22], every power a double holds exactly (5^22 < 2^53).
inline constexpr double pow10_doubles[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// floor(log2(10^j)) for |j| <= 1233.
constexpr int32_t floor_log2_pow10(int32_t j) { return (j * 1741647) >> 19; }
// floor(log10(2^b)) for |b| < 1650.
constexpr int32_t floor_log10_pow2(int32_t b) { return (b * 78913) >> 18; }
// floor(log10(3/4 x 2^b)) for b in [-2985, 2936].
constexpr int32_t floor_log10_three_quarters_pow2(int32_t b) { return (b * 631305 - 261663) >> 21; }

}  // namespace zvl
