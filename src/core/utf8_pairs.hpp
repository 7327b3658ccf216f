// The UTF-8 pair tables shared by the vector validators (core/utf8.cpp) and
// the JSON structural classifiers, so that every variant checks the same
// rules.
#pragma once

#include <cstdint>

namespace zvl::utf8_pairs {

// The pair check. Every fault shows in a byte together with the byte
// before it, except a missing or extra third or fourth byte. Each fault
// class below is a product of three sets of nibbles: the high and the low
// nibble of the earlier byte and the high nibble of the later one. Three
// table lookups, one per nibble, give the classes each nibble allows; their
// intersection is the set of classes the pair is in.
constexpr uint8_t too_short = 1 << 0;            // a lead, then no continuation
constexpr uint8_t too_long = 1 << 1;             // ASCII, then a continuation
constexpr uint8_t overlong_3 = 1 << 2;           // E0 80-9F
constexpr uint8_t too_large = 1 << 3;            // F4-FF 90-BF
constexpr uint8_t surrogate = 1 << 4;            // ED A0-BF
constexpr uint8_t overlong_2 = 1 << 5;           // C0-C1 80-BF
constexpr uint8_t large_or_overlong_4 = 1 << 6;  // F0 80-8F, F5-FF 80-8F
constexpr uint8_t two_continuations = 1 << 7;    // a fault unless a third or fourth byte is due

// Nibbles from..to as a set (bit k for nibble k).
constexpr uint16_t nibbles(unsigned from, unsigned to) {
    return static_cast<uint16_t>(((2u << to) - 1) & ~((1u << from) - 1));
}
constexpr uint16_t any = 0xFFFF, continuations = nibbles(8, 11);

struct rule {
    uint8_t fault;
    uint16_t first_high, first_low, second_high;
};
constexpr rule rules[] = {
    {too_short, nibbles(12, 15), any, static_cast<uint16_t>(nibbles(0, 7) | nibbles(12, 15))},
    {too_long, nibbles(0, 7), any, continuations},
    {overlong_3, nibbles(14, 14), nibbles(0, 0), nibbles(8, 9)},
    {too_large, nibbles(15, 15), nibbles(4, 15), nibbles(9, 11)},
    {surrogate, nibbles(14, 14), nibbles(13, 13), nibbles(10, 11)},
    {overlong_2, nibbles(12, 12), nibbles(0, 1), continuations},
    {large_or_overlong_4, nibbles(15, 15), static_cast<uint16_t>(nibbles(0, 0) | nibbles(5, 15)), nibbles(8, 8)},
    {two_continuations, continuations, any, continuations},
};

struct tables {
    alignas(16) uint8_t first_high[16];
    alignas(16) uint8_t first_low[16];
    alignas(16) uint8_t second_high[16];
};
constexpr tables build() {
    tables t{};
    for (const rule &r : rules)
        for (unsigned k = 0; k < 16; ++k) {
            if (r.first_high >> k & 1) t.first_high[k] |= r.fault;
            if (r.first_low >> k & 1) t.first_low[k] |= r.fault;
            if (r.second_high >> k & 1) t.second_high[k] |= r.fault;
        }
    return t;
}
inline constexpr tables table = build();

}  // namespace zvl::utf8_pairs
