// CBOR heads and floats in preferred serialisation, written to any output
// with put(byte) and put(bytes, n): shared by the node encoder and the
// plain data writer. Internal to each file that includes it (static), so
// that each keeps the inlining its own hot loop had with private copies.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/utf8.hpp"

namespace zvl::cbor_heads {

constexpr uint8_t major_unsigned = 0;
constexpr uint8_t major_negative = 1;
constexpr uint8_t major_bytes = 2;
constexpr uint8_t major_text = 3;
constexpr uint8_t major_array = 4;
constexpr uint8_t major_map = 5;
constexpr uint8_t major_tag = 6;

constexpr uint8_t cbor_false = 0xF4;
constexpr uint8_t cbor_true = 0xF5;
constexpr uint8_t cbor_null = 0xF6;
constexpr uint8_t cbor_undefined = 0xF7;
constexpr uint8_t cbor_simple_byte = 0xF8;
constexpr uint8_t cbor_half = 0xF9;
constexpr uint8_t cbor_single = 0xFA;
constexpr uint8_t cbor_double = 0xFB;
constexpr uint16_t half_nan = 0x7E00;
constexpr uint16_t half_infinity = 0x7C00;
constexpr uint16_t half_sign = 0x8000;

// Shortest head at `at`: the argument in the initial byte below 24, else
// 1, 2, 4 or 8 big-endian bytes, written with one store of eight (so nine
// bytes of room are needed). Returns the byte after the head.
inline __attribute__((always_inline)) uint8_t *put_head_at(uint8_t *at, uint8_t major, uint64_t argument) {
    const uint8_t initial = uint8_t(major << 5);
    if (argument < 24) {
        *at = uint8_t(initial | argument);
        return at + 1;
    }
    uint32_t width;
    uint8_t info;
    if (argument < 0x100) {
        info = 24, width = 1;
    } else if (argument < 0x10000) {
        info = 25, width = 2;
    } else if (argument < 0x100000000ull) {
        info = 26, width = 4;
    } else {
        info = 27, width = 8;
    }
    at[0] = uint8_t(initial | info);
    const uint64_t bytes = __builtin_bswap64(argument << (64 - 8 * width));
    std::memcpy(at + 1, &bytes, 8);
    return at + 1 + width;
}

// The same to any output.
template <typename Out>
static void put_head(Out &out, uint8_t major, uint64_t argument) {
    if (argument < 24) {
        out.put(uint8_t(major << 5 | argument));
        return;
    }
    uint8_t head[9];
    out.put(head, uint32_t(put_head_at(head, major, argument) - head));
}

template <typename Out>
static void put_half(Out &out, uint16_t bits) {
    const uint8_t bytes[3] = {cbor_half, uint8_t(bits >> 8), uint8_t(bits)};
    out.put(bytes, 3);
}

// ---- floats -------------------------------------------------------------------

// The binary16 bits of d when d is exactly a binary16 value (the case in
// which rounding to nearest even gives it back unchanged), read from the
// double's bits: exponent in range and no mantissa bits below binary16's.
static bool exact_half(double d, uint16_t &bits) {
    uint64_t b;
    std::memcpy(&b, &d, 8);
    const uint16_t sign = uint16_t(b >> 48) & half_sign;
    const uint32_t biased = uint32_t(b >> 52) & 0x7FF;
    const uint64_t mantissa = b & ((uint64_t{1} << 52) - 1);
    if (biased == 0) {  // zero, or a double subnormal (far below binary16)
        bits = sign;
        return mantissa == 0;
    }
    if (biased == 0x7FF) {  // infinities (NaNs are written before this)
        bits = sign | half_infinity;
        return mantissa == 0;
    }
    const int exponent = int(biased) - 1023;
    if (exponent > 15 || exponent < -24) return false;
    if (exponent >= -14) {  // normal binary16: 10 mantissa bits
        if (mantissa & ((uint64_t{1} << 42) - 1)) return false;
        bits = sign | uint16_t((exponent + 15) << 10) | uint16_t(mantissa >> 42);
        return true;
    }
    // Subnormal binary16: a whole number of units of 2^-24.
    const uint64_t full = (uint64_t{1} << 52) | mantissa;
    const int shift = 28 - exponent;  // 43 to 52
    if (full & ((uint64_t{1} << shift) - 1)) return false;
    bits = sign | uint16_t(full >> shift);
    return true;
}

template <typename Out>
static void put_float(Out &out, double d) {
    if (std::isnan(d)) {
        put_half(out, half_nan);
        return;
    }
    uint16_t half;
    if (exact_half(d, half)) {
        put_half(out, half);
        return;
    }
    // The value bytes as one big-endian word: built byte by byte, they
    // were read back as a word before the stores had landed.
    if (std::fabs(d) <= 3.4028234663852886e38) {
        const float f = float(d);
        if (double(f) == d) {
            uint32_t bits;
            std::memcpy(&bits, &f, 4);
            const uint32_t big = __builtin_bswap32(bits);
            out.put(cbor_single);
            out.put(&big, 4);
            return;
        }
    }
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    const uint64_t big = __builtin_bswap64(bits);
    out.put(cbor_double);
    out.put(&big, 8);
}

// The major type of a scalar's text: a text string, unless it was decoded
// into string storage (escapes can make any bytes) and is not well-formed
// UTF-8. Short ASCII texts are well-formed without a call to the validator.
static uint8_t text_major(bool stored, std::string_view value) {
    if (!stored) return major_text;
    if (value.size() <= 32) {
        uint8_t any = 0;
        for (char c : value) any |= uint8_t(c);
        if (any < 0x80) return major_text;
    }
    return zarvel_validate_utf8(value.data(), value.size(), nullptr, false) ? major_text : major_bytes;
}

}  // namespace zvl::cbor_heads
