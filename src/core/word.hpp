// Word-at-a-time byte tests: eight bytes of text in one 64-bit word, each
// test leaving the top bit of the bytes it finds.
#pragma once

#include <cstdint>
#include <cstring>

namespace zvl::word {

inline constexpr uint64_t ones = 0x0101010101010101ull;   // 0x01 in every byte
inline constexpr uint64_t highs = 0x8080808080808080ull;  // top bit of every byte
inline constexpr uint64_t lows = 0x7F7F7F7F7F7F7F7Full;   // all but the top bit

inline constexpr uint64_t repeat(uint8_t byte) { return ones * byte; }

inline uint64_t load(const char *p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// Top bit set in every zero byte of w, or every byte equal to c; exact (no
// carry crosses a byte).
inline constexpr uint64_t zero_bytes(uint64_t w) { return ~(((w & lows) + lows) | w) & highs; }
inline constexpr uint64_t equal_bytes(uint64_t w, uint8_t c) { return zero_bytes(w ^ repeat(c)); }

// Nonzero when some byte of w is below b (b at most 0x80), or equals b.
// Cheaper, and exact only for the lowest byte found: false positives occur
// only in bytes above a true one, which is all a scan needs.
inline constexpr uint64_t first_below(uint64_t w, uint8_t b) { return (w - repeat(b)) & ~w & highs; }
inline constexpr uint64_t first_equal(uint64_t w, uint8_t b) { return first_below(w ^ repeat(b), 1); }

// Index of the lowest byte whose top bit is set in a nonzero mask.
inline unsigned first_byte(uint64_t mask) { return static_cast<unsigned>(__builtin_ctzll(mask)) / 8; }

}  // namespace zvl::word
