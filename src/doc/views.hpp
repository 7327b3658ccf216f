// A node's view (zarvel_node_view) as one head word and the number reads
// behind its number: shared by the reads of built nodes (doc/read.cpp) and
// the JSON parse that writes views for a document read in order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/decimal_to_double.hpp"
#include "core/word.hpp"
#include "doc/store.hpp"
#include "zarvel.h"

namespace zvl::views {

static_assert(sizeof(zarvel_node_view) == 32);

// What zarvel_node_tag_id says of a record.
constexpr uint8_t record_tag_id(const zarvel_node_rec &rec) {
    // Scalars (nearly all calls) first.
    const uint8_t kind = rec.kind();
    if (kind == ZARVEL_KIND_SCALAR || kind == ZARVEL_KIND_ALIAS) [[likely]]
        return rec.tag_id;
    return kind == ZARVEL_KIND_SEQUENCE ? ZARVEL_TAG_SEQ : ZARVEL_TAG_MAP;
}

// A view's id, kind, tag id, number kind and style as one word, byte k
// of it the view's byte 24 + k on the usual hosts, where it is stored at
// once; others store the fields.
inline void put_head(zarvel_node_view &view, uint64_t head) {
    static_assert(offsetof(zarvel_node_view, id) == 24 && offsetof(zarvel_node_view, kind) == 28 &&
                  offsetof(zarvel_node_view, tag_id) == 29 && offsetof(zarvel_node_view, number_kind) == 30 &&
                  offsetof(zarvel_node_view, style) == 31);
    if constexpr (zvl::word::little_endian) {
        std::memcpy(reinterpret_cast<char *>(&view) + offsetof(zarvel_node_view, id), &head, sizeof head);
    } else {
        view.id = uint32_t(head);
        view.kind = uint8_t(head >> 32), view.tag_id = uint8_t(head >> 40);
        view.number_kind = uint8_t(head >> 48), view.style = uint8_t(head >> 56);
    }
}
constexpr int head_tag_shift = 40, head_number_shift = 48;
constexpr uint64_t head_tag_bits = uint64_t(0xFF) << head_tag_shift;

// The head of a record's view by its flags byte, less the id (and a
// scalar's or alias's tag id, which its record holds): kind and style,
// and a collection's tag id, whose byte is zero for the other kinds.
constexpr uint64_t flags_head(uint8_t flags) {
    zarvel_node_rec rec{};
    rec.flags = flags;
    const uint64_t tag = rec.is_collection() ? record_tag_id(rec) : 0;
    return uint64_t(rec.kind()) << 32 | tag << head_tag_shift | uint64_t(rec.style()) << 56;
}
constexpr auto flags_heads = [] {
    std::array<uint64_t, 256> heads{};
    for (unsigned flags = 0; flags < 256; ++flags) heads[flags] = flags_head(uint8_t(flags));
    return heads;
}();

// A kept number's kind is its record's tag id.
static_assert(ZARVEL_TAG_INT == 1 && ZARVEL_TAG_FLOAT == 2);

// Texts the decimal reader does not take: the general reader's forms (out
// of line, so that the common call needs no stack frame).
__attribute__((noinline)) inline bool general_float_text(const char *text, uint32_t length, double *out) {
    return zvl_num_f64(length ? text : nullptr, length, out) == 0;
}

// The double of a float text the build did not keep, as zarvel_node_float
// reads it: plain decimal texts, nearly all, without the general reader's
// checks. False when it is no number.
inline bool float_text(const char *text, uint32_t length, double *out) {
    if (zvl::decimal_to_double(text, length, *out)) [[likely]]
        return true;
    return general_float_text(text, length, out);
}

}  // namespace zvl::views
