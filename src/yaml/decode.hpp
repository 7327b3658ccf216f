// Input decoding: byte order marks, UTF-16/32 to UTF-8, the printable UTF-8
// check and the rewrite of NEL/LS/PS line breaks.
#pragma once

#include <cstdint>

#include "core/memory.hpp"

// Status 0 or 4 (recorded). On success *decoded/*decoded_length is the text to
// parse; *owned is null when that is the caller's buffer, else a buffer from
// zarvel_default_allocator the caller now owns.
int zarvel_decode_input(const char *text, uint64_t length, char **owned, const char **decoded,
                        uint64_t *decoded_length);

// True when well-formed (and printable, with printable set); otherwise false
// and *error_offset is the offending byte.
bool zarvel_validate_utf8(const char *text, uint64_t length, uint64_t *error_offset,
                          bool printable);

// Null when the text holds no NEL, LS or PS; otherwise a NUL-terminated copy
// (length + 1 bytes from allocator) with each replaced by one line feed.
// Null is also the answer when the copy cannot be allocated: out_of_memory
// (optional) tells the two apart, because parsing the unrewritten text would
// silently read those breaks as content.
char *zarvel_normalize_breaks(const zarvel_allocator *allocator, const char *text,
                              uint64_t length, uint64_t *new_length,
                              bool *out_of_memory = nullptr);
