// The per-thread error record, its default texts, and the two exported
// frame functions.
#include "core/error.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char *default_texts[] = {
    "no error",                                         // 0
    "unexpected parser state",                          // 1
    "out of memory",                                    // 2
    "nesting depth exceeds the limit",                  // 3
    "ill-formed or unsupported character encoding",     // 4
    "tab character used as indentation",                // 5
    "unterminated quoted scalar",                       // 6
    "inconsistent indentation",                         // 7
    "simple key exceeds 1024 characters",               // 8
    "alias references an undefined anchor",             // 9
    "invalid escape sequence in double-quoted scalar",  // 10
    "invalid or unsupported directive",                 // 11
    "internal invariant violation",                     // 12
    "required descriptor node missing",                 // 13
};
constexpr uint32_t default_text_count = sizeof(default_texts) / sizeof(default_texts[0]);

// Zero-initialised for each thread on first touch; never freed.
thread_local zarvel_error thread_record{};

constexpr const char version_text[] = "0.6.32";

}  // namespace

const char *zvl::error_default_text(uint32_t code) {
    return code < default_text_count ? default_texts[code] : "unknown error code";
}

void zvl::error_at_byte(uint32_t code, uint64_t offset, const char *format) {
    zarvel_error_set(&thread_record, code, 0, 0, offset, format, static_cast<size_t>(offset));
}

zarvel_error *zarvel_error_current() { return &thread_record; }

void zarvel_error_clear(zarvel_error *record) {
    if (!record) return;
    record->code = 0;
    record->line = 0;
    record->column = 0;
    record->offset = 0;
    record->message[0] = '\0';
}

void zarvel_error_set(zarvel_error *record, uint32_t code, uint32_t line, uint32_t column, uint64_t offset,
                      const char *format, ...) {
    if (!record) return;
    record->code = code;
    record->line = line;
    record->column = column;
    record->offset = offset;
    if (!format) {
        std::snprintf(record->message, sizeof record->message, "%s", zvl::error_default_text(code));
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(record->message, sizeof record->message, format, arguments);
    va_end(arguments);
}

const char *zarvel_version(void) { return version_text; }

uint64_t zarvel_last_error_offset(void) { return zarvel_error_current()->offset; }

const char *zarvel_last_error(uint32_t *line, uint32_t *column) {
    const zarvel_error *record = zarvel_error_current();
    if (line) *line = record->line;
    if (column) *column = record->column;
    return record->message;
}
