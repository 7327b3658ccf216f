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
