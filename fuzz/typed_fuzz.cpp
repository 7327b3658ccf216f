// libFuzzer target over the typed entries: the value drain (records and
// columns, both schemas) and Marshal of a text. Records and columns of one
// text must agree, and every record's text must lie inside the pool.
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "zarvel.h"

namespace {

[[noreturn]] void mismatch() { __builtin_trap(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);
    for (int32_t schema : {0, 1}) {
        zarvel_value *values = nullptr;
        char *pool = nullptr;
        uint64_t count = 0, pool_len = 0;
        int32_t status = zarvel_value_drain(text, size, schema, &values, &count, &pool, &pool_len);
        zarvel_value_columns columns{};
        int32_t column_status = zarvel_value_drain_columns(text, size, schema, &columns);
        if (status != column_status && status != 2 && column_status != 2) mismatch();
        if (status == 0) {
            for (uint64_t i = 0; i < count; ++i)
                if (uint64_t(values[i].offset) + values[i].length > pool_len) mismatch();
        }
        if (status == 0 && column_status == 0) {
            if (columns.count != count || columns.pool_length != pool_len) mismatch();
            for (uint64_t i = 0; i < count; ++i) {
                if (columns.kind[i] != values[i].kind || columns.tag[i] != values[i].tag ||
                    columns.is_key[i] != values[i].is_key || columns.flag[i] != values[i].flag ||
                    columns.offset[i] != values[i].offset || columns.length[i] != values[i].length ||
                    columns.payload[i] != values[i].payload.bits)
                    mismatch();
            }
            if (pool_len && std::memcmp(columns.pool, pool, pool_len) != 0) mismatch();
        }
        zarvel_value_free(values, pool);
        zarvel_value_free_columns(&columns);

        for (uint32_t single : {0u, 1u}) {
            char *bytes = nullptr;
            uint64_t length = 0;
            int32_t marshal_status = zarvel_marshal(text, size, schema, single, &bytes, &length);
            if (marshal_status == 8) mismatch();  // the writer's two passes disagreed
            zarvel_marshal_free(bytes);
        }
    }
    return 0;
}
