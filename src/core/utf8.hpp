// UTF-8 validation: well-formedness (the standard table: no overlong forms,
// no surrogates, nothing above U+10FFFF, no cut sequence) and, on request,
// the YAML printable set (tab, LF, CR, 0x20-0x7E, U+0085, U+00A0 up to
// U+10FFFF without surrogates, U+FFFE and U+FFFF).
#pragma once

#include <cstdint>
#include <span>

namespace zvl {

// Offset of the first character that is ill-formed (or, with printable,
// not printable); length when there is none. Runs the variant of the kernel
// table (core/kernels.hpp).
uint64_t first_invalid_utf8(const uint8_t *text, uint64_t length, bool printable);
uint64_t first_invalid_utf8_portable(const uint8_t *text, uint64_t length, bool printable);

struct utf8_variant {
    const char *name;
    uint64_t (*first_invalid)(const uint8_t *text, uint64_t length, bool printable);
    bool (*supported)();  // whether this processor runs it
};

// Every variant built for this target: the portable one first, then the
// vector ones, slowest first. All give the same offset for every input.
std::span<const utf8_variant> utf8_variants();

// Writes the code point (at most U+10FFFF) as UTF-8; returns the byte count.
inline uint32_t encode_utf8(uint32_t cp, char *out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

}  // namespace zvl

// True when well-formed (and printable, with printable set); otherwise false
// and *error_offset is the offending byte.
bool zarvel_validate_utf8(const char *text, uint64_t length, uint64_t *error_offset, bool printable);
