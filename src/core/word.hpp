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

// Eight bytes from p, the first one lowest on the usual (little-endian) hosts.
inline uint64_t load(const void *p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// Top bit set in every byte of w below b (b from 1 to 0x80), every zero
// byte, or every byte equal to c; exact: each byte is compared on its seven
// low bits, its top bit apart, so no carry crosses a byte.
inline constexpr uint64_t below_bytes(uint64_t w, uint8_t b) { return ~(((w & lows) + repeat(0x80 - b)) | w) & highs; }
inline constexpr uint64_t zero_bytes(uint64_t w) { return ~(((w & lows) + lows) | w) & highs; }
inline constexpr uint64_t equal_bytes(uint64_t w, uint8_t c) { return zero_bytes(w ^ repeat(c)); }

// Top bit set in every byte of w that is not an ASCII digit, exactly: a
// byte is a digit when (byte xor '0') < 10, and adding 0x76 to the low seven
// bits of that sets the top bit exactly for 10 and above.
inline constexpr uint64_t non_digits(uint64_t w) {
    const uint64_t x = w ^ repeat('0');
    return (((x & lows) + repeat(0x76)) | x) & highs;
}

// Nonzero when some byte of w is below b (b at most 0x80), or equals b.
// Cheaper, and exact only for the lowest byte found: false positives occur
// only in bytes above a true one, which is all a scan needs.
inline constexpr uint64_t first_below(uint64_t w, uint8_t b) { return (w - repeat(b)) & ~w & highs; }
inline constexpr uint64_t first_equal(uint64_t w, uint8_t b) { return first_below(w ^ repeat(b), 1); }

// Bit k set for each byte k of w that holds 0x80 and nothing else (the
// masks above).
inline constexpr uint64_t gather_highs(uint64_t mask) { return ((mask >> 7) * 0x0102040810204080ull) >> 56; }

// Index of the lowest byte whose top bit is set in a nonzero mask.
inline unsigned first_byte(uint64_t mask) { return static_cast<unsigned>(__builtin_ctzll(mask)) / 8; }

// The number written by eight digit values 0-9, one per byte of w, the
// most significant in the lowest byte (the first in the text): pairs by one
// multiply-and-shift, then the four pairs by two multiplies.
inline constexpr uint64_t digits_value(uint64_t w) {
    w = (w * 10) + (w >> 8);  // each even byte: two digits
    return (((w & 0x000000FF000000FFull) * (100 + (1000000ull << 32))) +
            (((w >> 16) & 0x000000FF000000FFull) * (1 + (10000ull << 32)))) >>
           32;
}
inline constexpr uint64_t zero_digits = repeat('0');

}  // namespace zvl::word
