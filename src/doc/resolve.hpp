// Tag ids, tag texts and the two plain-scalar resolvers.
#pragma once

#include <cstdint>

#include "zarvel.h"

struct zarvel_resolver {
    // Text of an untagged plain scalar -> tag id. Context is ignored.
    uint8_t (*text)(void *context, const char *text, uint32_t length);
    // Number kind -> tag id; may be null (callers then use float 2, else 1).
    uint8_t (*number)(void *context, int is_float);
};

extern const zarvel_resolver zarvel_core_resolver;
extern const zarvel_resolver zarvel_yaml11_resolver;

// Whole tag text (e.g. "tag:yaml.org,2002:int") -> tag id, ZARVEL_TAG_NONE when
// it is none of the eleven.
uint8_t zarvel_tag_id_of(const char *text, uint64_t length);

// True when the resolver reads a leading 0 before more digits as octal (the
// YAML 1.1 schema); the core schema reads such a text as decimal.
inline bool zarvel_octal_zero(const zarvel_resolver *resolver) { return resolver == &zarvel_yaml11_resolver; }

namespace zvl {

// The integer of a text resolved as int, for every typed read: decimal,
// 0x hex, 0o octal, 0b binary and h:m[:s]; "_" and "," are ignored. With
// octal_zero (YAML 1.1) a leading 0 before more digits is octal, otherwise
// (core schema) decimal, so 0644 is 420 or 644. False when the text is not
// such an integer or does not fit 64 bits (out untouched).
bool read_int(const char *text, uint32_t length, bool octal_zero, int64_t &out);

}  // namespace zvl
