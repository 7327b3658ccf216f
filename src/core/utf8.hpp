// UTF-8 validation: well-formedness (the standard table: no overlong forms,
// no surrogates, nothing above U+10FFFF, no cut sequence) and, on request,
// the YAML printable set (tab, LF, CR, 0x20-0x7E, U+0085, U+00A0 up to
// U+10FFFF without surrogates, U+FFFE and U+FFFF).
#pragma once

#include <cstdint>
#include <span>

namespace zvl {

// Offset of the first character that is ill-formed (or, with printable,
// not printable); length when there is none. Runs the fastest variant the
// processor supports, chosen once.
uint64_t first_invalid_utf8(const uint8_t *text, uint64_t length, bool printable);

struct utf8_variant {
    const char *name;
    uint64_t (*first_invalid)(const uint8_t *text, uint64_t length, bool printable);
    bool (*supported)();  // whether this processor runs it
};

// Every variant built for this target: the portable one first, then the
// vector ones, slowest first. All give the same offset for every input.
std::span<const utf8_variant> utf8_variants();

}  // namespace zvl
