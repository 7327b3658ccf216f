// What the Python and Ruby packages share. They compile the library's
// sources in but call it through the public header only, as this file does.
#pragma once

#include <cstdint>
#include <cstring>

#include "zarvel.h"

namespace zvl::host {

// A plain scalar under an application's own tag (!Ref x, !port 80) gives the
// value it would have untagged: its text is parsed again, alone, under the
// same schema. The root of that parse when it is one untagged plain scalar
// of the same text, else null; *document is to be freed either way.
inline zarvel_node *untagged_root(const char *text, uint64_t length, int32_t schema, zarvel_document **document) {
    zarvel_parse_options options{schema, 0};
    int32_t status = 0;
    *document = zarvel_parse_ex(text, length, &options, &status);
    zarvel_node *root =
        *document && zarvel_document_count(*document) == 1 ? zarvel_document_root(*document, 0) : nullptr;
    uint64_t again_length = 0;
    if (!root || zarvel_node_kind(root) != ZARVEL_NODE_SCALAR || zarvel_node_style(root) != ZARVEL_NODE_STYLE_PLAIN ||
        zarvel_node_tag(root, &again_length))
        return nullptr;
    const char *again = zarvel_node_value(root, &again_length);
    return again_length == length && std::memcmp(again, text, length) == 0 ? root : nullptr;
}

// The hash of a mapping key's text for the packages' key caches; its low and
// its high bits are both well mixed. Eight bytes at a time: keys are short,
// and a byte loop costs as much as the rest of a lookup.
inline uint64_t key_hash(const char *text, uint64_t length) {
    uint64_t h = 1469598103934665603ull ^ length;
    uint64_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t w;
        std::memcpy(&w, text + i, 8);
        h = (h ^ w) * 0x9E3779B97F4A7C15ull;
        h ^= h >> 32;
    }
    if (i < length) {
        uint64_t w = 0;
        std::memcpy(&w, text + i, length - i);
        h = (h ^ w) * 0x9E3779B97F4A7C15ull;
    }
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 32);
}

}  // namespace zvl::host
