// Flat typed records of a stream and their string pool: the common input of
// the value drain, its columns variant and the Marshal writer.
#pragma once

#include <cstdint>

#include "core/memory.hpp"
#include "zarvel.h"

namespace zvl::typed {

inline constexpr uint8_t kind_document = 0, kind_null = 1, kind_bool = 2, kind_int = 3, kind_float = 4, kind_string = 5,
                         kind_timestamp = 6, kind_seq = 7, kind_map = 8, kind_end = 9, kind_alias = 10,
                         kind_anchor = 11;

inline constexpr uint32_t key_toggle_depths = 1024;

// Builds the record array with the key toggle of each depth.
class value_list {
  public:
    value_list() = default;

    // Appends a record whose text is copied into the pool; false on
    // allocation failure (or a pool beyond 32-bit offsets).
    bool add(uint8_t kind, uint8_t tag, uint8_t flag, const char *text, uint64_t length, uint64_t payload_bits);
    // Scalar record from its text and tag id (integers, floats, bools read;
    // octal_zero: the YAML 1.1 reading of a leading zero).
    bool add_scalar(uint8_t tag, uint8_t plain_implicit, const char *text, uint64_t length, bool octal_zero);
    bool ensure_pool();

    buffer<zarvel_value, 256> values;
    buffer<char, 256> pool;

  private:
    uint32_t depth_ = 0;
    uint8_t toggles_[key_toggle_depths + 1] = {};
};

enum class walk { ok, tagged, memory };
// Appends the records of a node and everything below it; with refuse_tags a
// node with an explicit tag ends the walk (tagged).
walk records_of(const zarvel_node *node, value_list &list, bool refuse_tags);

// Drains the text into list: status 0, 1 (recorded), 2 or 6.
int32_t drain_text(const char *text, uint64_t length, int32_t schema, value_list &list);

}  // namespace zvl::typed
