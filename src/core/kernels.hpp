// The table of byte-scanning kernels, chosen once at first use: the one
// place where the processor decides which vector code runs.
#pragma once

#include <cstdint>

#include "zarvel.h"

// Slot 9: one pass of character counts.
struct zarvel_census {
    uint64_t line_feeds;
    uint64_t commas;
    uint64_t hyphens;
    uint64_t colons;
    uint64_t open_brackets;
    uint64_t open_braces;
    uint64_t double_quotes;
    uint64_t single_quotes;
    uint64_t bars;
    uint64_t ampersands;
    uint64_t number_signs;
    uint32_t non_ascii;  // 1 when any byte is 0x80 or above
    uint32_t controls;   // 0x00-0x08, 0x0B, 0x0C, 0x0E-0x1F, 0x7F
};

// Slot 12 output; every offset is absolute.
struct zarvel_line_info {
    uint32_t line_end;       // first LF or CR
    uint32_t first_content;  // first non-space before line_end, else line_end
    uint32_t first_mark;     // first ':' or '#' at/after first_content, else line_end
    uint32_t mark_found;
};

// Slot 13 output: bit i for byte i of a block of at most 32 bytes.
struct zarvel_json_block_classes {
    uint32_t quotes;
    uint32_t backslashes;
    uint32_t structurals;    // { } [ ] , :
    uint32_t scalar_starts;  // - 0-9 t f n
    uint32_t controls;       // below 0x20
    uint32_t present;        // bytes that exist
};

namespace zvl::json {
struct index_variant;
}

inline constexpr uint64_t zarvel_no_limit = ~uint64_t{0};

struct zarvel_kernels {
    int (*contains)(const char *data, uint64_t length, uint8_t byte);                         // 0
    int64_t (*find)(const char *data, uint64_t length, uint8_t byte);                         // 1
    int64_t (*find3)(const char *data, uint64_t length, uint8_t b0, uint8_t b1, uint8_t b2);  // 2
    uint64_t (*count)(const char *data, uint64_t length, uint8_t byte);                       // 3
    void (*count3)(const char *data, uint64_t length, uint8_t b0, uint8_t b1, uint8_t b2, uint64_t *c0, uint64_t *c1,
                   uint64_t *c2);  // 4
    void (*copy_count3)(char *destination, const char *source, uint64_t length, uint8_t b0, uint8_t b1, uint8_t b2,
                        uint64_t *c0, uint64_t *c1, uint64_t *c2);                               // 5
    int64_t (*find_not)(const char *data, uint64_t length, uint8_t byte);                        // 6
    int64_t (*find_in_set)(const uint8_t set[32], const char *data, uint64_t length);            // 7
    int64_t (*find_quote)(const char *data, uint64_t length, uint8_t quote, uint32_t *escaped);  // 8
    void (*census)(const char *data, uint64_t length, zarvel_census *out);                       // 9
    int64_t (*find_json_special)(const char *data, uint64_t length);                             // 10
    int (*has_special)(const char *data, uint64_t length);                                       // 11
    int (*line_scan)(const char *data, uint64_t length, uint64_t start, uint64_t limit,
                     zarvel_line_info *out);                                                   // 12
    void (*json_classify)(const char *data, uint64_t length, zarvel_json_block_classes *out);  // 13
    int32_t (*json_stage1)(const char *text, uint64_t len, uint32_t *positions, uint64_t *count,
                           int32_t *flags);  // 14
    int32_t (*json_stage1_masks)(const char *text, uint64_t len, zvl_json_stage1_block *blocks, uint64_t *block_count,
                                 int32_t *flags);  // 15
    // 16: the stage-1 variant of slots 14 and 15, for the structural index
    // (core/stage1.hpp); null where none beats the byte-at-a-time builders.
    const zvl::json::index_variant *json_index;
    uint64_t (*first_invalid_utf8)(const uint8_t *text, uint64_t length, bool printable);  // 17 (core/utf8.hpp)
    // 18: copies source up to its first `byte` (all of it when there is
    // none) and returns how many bytes that is; the destination's bytes
    // after those, up to length, may be written too.
    uint64_t (*copy_until)(char *destination, const char *source, uint64_t length, uint8_t byte);
};

const zarvel_kernels *zarvel_kernels_get();

namespace zvl {
// The portable table, for tests that compare faster kernels against it.
const zarvel_kernels &portable_kernels();
}  // namespace zvl
