// Per-thread error record and the table of default texts.
#pragma once

#include <cstdint>

#include "zarvel.h"

struct zarvel_error {
    uint32_t code;
    uint32_t line;
    uint32_t column;
    uint64_t offset;
    char message[192];  // NUL-terminated, at most 191 characters
};

// The calling thread's record, zero-filled on first use.
zarvel_error *zarvel_error_current();
void zarvel_error_clear(zarvel_error *record);
// format may be null: the message is then the default text of code.
// Supports the printf conversions; output is cut at 191 characters.
void zarvel_error_set(zarvel_error *record, uint32_t code, uint32_t line, uint32_t column, uint64_t offset,
                      const char *format, ...) __attribute__((format(printf, 6, 7)));

namespace zvl {
// "no error", "out of memory", ...; "unknown error code" outside 0..13.
const char *error_default_text(uint32_t code);
// Records code at a byte offset in the calling thread's record; format may
// name the offset by one %zu (the attribute checks the format's syntax).
void error_at_byte(uint32_t code, uint64_t offset, const char *format) __attribute__((format(printf, 3, 0)));
}  // namespace zvl
