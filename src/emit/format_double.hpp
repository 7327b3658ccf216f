// Shortest round-trip decimal text of a double.
//
// Free-format shortest digits: the fewest digits that read back as the value,
// the closest such digits to it, ties to even. One generator on a 128-bit
// table of powers of ten gives them for every value (emit/shortest_fast.hpp);
// a layout step turns digits and point position into text that always shows
// a decimal point or an exponent.
#pragma once

#include <cstdint>

#include "zarvel.h"

namespace zvl {

// value = 0.d1 d2 ... dk x 10^point
struct digit_record {
    // Whole 8-byte chunks of leading zeros may be stored ahead of the
    // digits (up to 23 bytes); the bytes after them may be read in 16-byte
    // blocks that pass the digits.
    char room[24];
    char digits[24];
    int32_t count;
    int32_t point;
};

// Input of the digit generator: the positive value f x 2^e with its margin
// rules.
struct binary_value {
    uint64_t f;
    int32_t e;
    bool unequal_margins;  // f is a power of two above the subnormals
};

// Most digits ever produced; binary64 never needs more.
inline constexpr int32_t max_shortest_digits = 17;
// Longest text zarvel_format_double writes (callers give at least 32 bytes).
inline constexpr int32_t max_formatted_length = 24;

// Digits of f x 10^exponent10 (f > 0, below 10^19) without trailing zeros.
void digits_from_integer(uint64_t f, int32_t exponent10, digit_record &out);

// Writes the fixed layout of the digits (a "-" first when negative); returns
// the number of characters.
int32_t layout_digits(char *buffer, bool negative, const digit_record &digits);
// layout_digits of the digits of f x 10^exponent10; out of line for the
// inline writers' uncommon layouts.
__attribute__((noinline)) int32_t layout_integer(char *buffer, bool negative, uint64_t f, int32_t exponent10);
// zarvel_format_double of a buffer, out of line: for writers that format
// few values among other work (loops over many take the inline one).
__attribute__((noinline)) int32_t format_double_value(char *buffer, double value);
// zarvel_format_double of any value, out of the inline writer's way: it
// takes zeros, powers of two, subnormals, NaN, the infinities and the values
// whose digits need the generator's settling steps.
__attribute__((noinline)) int32_t write_double_rare(char *buffer, double value);

}  // namespace zvl

// Shortest decimal text of a finite double that reads back as the same
// double, always with a decimal point or an exponent ("1.0", "0.0001",
// "1.0e-05", "1.0e+16"). Writes at most 24 characters into a buffer of at
// least 32 bytes, no NUL; returns the count. NaN and infinities write nothing
// and return 0. Internal: the serialisers, Marshal, CBOR and the tool share it.
int32_t zarvel_format_double(char *buffer, double value);
