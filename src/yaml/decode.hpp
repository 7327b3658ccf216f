// Input decoding: byte order marks, UTF-16/32 to UTF-8, the printable UTF-8
// check and the rewrite of NEL/LS/PS line breaks.
#pragma once

#include <cstdint>

#include "core/memory.hpp"
#include "core/utf8.hpp"

// Status 0 or 4 (recorded). On success *decoded/*decoded_length is the text to
// parse; *owned is null when that is the caller's buffer, else a buffer from
// zarvel_default_allocator the caller now owns. NEL, LS and PS are content
// under YAML 1.2 and JSON; unicode_breaks rewrites them to line feeds, as
// YAML 1.1 reads them.
int zarvel_decode_input(const char *text, uint64_t length, char **owned, const char **decoded, uint64_t *decoded_length,
                        bool unicode_breaks = false);

namespace zvl {

enum class input_encoding : uint8_t { unknown, utf8, utf16_le, utf16_be, utf32_le, utf32_be };

// Decoding of a text that arrives in pieces (the recorder's feeds): every
// piece is turned into UTF-8 as zarvel_decode_input turns the whole text, a
// mark, character or UTF-16/32 unit cut between pieces being held until the
// rest arrives. Faults are reported with the same messages and offsets; when
// a text holds several, the first one in the text is reported.
struct stream_decoder {
    input_encoding encoding;  // unknown until the first four bytes (or the end)
    uint8_t held[4];          // undecided mark bytes, or a cut character or unit
    uint8_t held_length;
    uint32_t high;  // a UTF-16 high surrogate waiting for its low half
    uint64_t high_offset;
    uint64_t source_offset;  // source bytes after the mark taken, held bytes included
    uint64_t output_offset;  // UTF-8 bytes handed on
};

// The encoding a text's byte order mark names (UTF-8 without one) and the
// mark's length.
input_encoding detect_encoding(const char *text, uint64_t length, uint64_t *mark_length);
// Status 0, or 4 when the UTF-8 text is ill-formed or not printable (recorded
// with the offset counted from base).
int check_utf8(const char *text, uint64_t length, uint64_t base);

// Most UTF-8 bytes the next step over length source bytes can write.
uint64_t stream_decoder_bound(const stream_decoder &decoder, uint64_t length);
// Decodes data[0..length) to out, which has room for stream_decoder_bound
// bytes, and sets *written. final: no more input follows, so nothing may be
// held. Status 0 or 4 (recorded with line 0 and column 0).
int stream_decoder_step(stream_decoder &decoder, const char *data, uint64_t length, bool final, char *out,
                        uint64_t *written);

}  // namespace zvl

// Null when the text holds no NEL, LS or PS; otherwise a NUL-terminated copy
// (length + 1 bytes from allocator) with each replaced by one line feed.
// Null is also the answer when the copy cannot be allocated: out_of_memory
// (optional) tells the two apart, because parsing the unrewritten text would
// silently read those breaks as content.
char *zarvel_normalize_breaks(const zarvel_allocator *allocator, const char *text, uint64_t length,
                              uint64_t *new_length, bool *out_of_memory = nullptr);
