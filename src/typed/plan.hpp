// Column plans: a compiled list of typed fields to pull out of every record
// of one container, and the one-block result of a walk.
#pragma once

#include <cstdint>

#include "zarvel.h"

struct zarvel_plan_column {
    char *name;  // copied, NUL-terminated
    uint64_t name_len;
    uint32_t kind;  // ZARVEL_PLAN_INT .. ZARVEL_PLAN_BOOL
};

struct zarvel_plan {
    zarvel_plan_column *columns;
    uint64_t column_count;
    char *path;  // the keys one after another
    uint64_t *key_offs;
    uint64_t *key_lens;
    uint64_t key_count;
};

// One column of a result; 56 bytes, as the sizing rule counts them.
struct zarvel_plan_result_column {
    uint64_t kind;
    int64_t *ints;
    double *floats;
    uint32_t *str_offs;
    uint32_t *str_lens;
    zarvel_plan_str *strs;
    uint8_t *nulls;
};
static_assert(sizeof(zarvel_plan_result_column) == 56);

struct zarvel_plan_result {
    uint64_t rows;
    uint64_t column_count;
    zarvel_plan_result_column *columns;
};

namespace zvl {

// The walk's result for rows x the plan's columns in one allocation, every
// null byte 1; null (status 2) when it cannot be sized or allocated.
zarvel_plan_result *plan_result_new(const zarvel_plan *plan, uint64_t rows, bool tape);

}  // namespace zvl
