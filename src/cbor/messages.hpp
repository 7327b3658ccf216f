// The texts of the CBOR decoder's and encoders' failures, in one place so
// the wording stays uniform. Callers and tests compare them: change a text
// only on purpose.
#pragma once

namespace zvl::cbor::message {

// Ill-formed items: "<text> at byte <offset>".
inline constexpr char at_byte[] = "%s at byte %zu";
inline constexpr char truncated_head[] = "truncated head";
inline constexpr char reserved_28_30[] = "reserved additional information (28-30)";
inline constexpr char non_minimal[] = "non-minimal length argument";
inline constexpr char chunk_kind[] = "indefinite-length string chunk must be definite, same major type";
inline constexpr char truncated_chunk[] = "truncated string chunk";
inline constexpr char unterminated[] = "unterminated indefinite-length string";
inline constexpr char string_key[] = "string key required";
inline constexpr char structure_key[] = "structure as map key";
inline constexpr char info_31[] = "additional information 31 with major type 0, 1, 6, or as an item";
inline constexpr char truncated_string[] = "truncated string";
inline constexpr char array_overrun[] = "array overruns the input";
inline constexpr char map_overrun[] = "map overruns the input";
inline constexpr char truncated_simple[] = "truncated simple value";
inline constexpr char simple_below_32[] = "two-byte simple value below 32";
inline constexpr char truncated_half[] = "truncated half float";
inline constexpr char truncated_single[] = "truncated single float";
inline constexpr char truncated_double[] = "truncated double float";
inline constexpr char reserved[] = "reserved additional information";
inline constexpr char trailing[] = "trailing bytes after the data item";
inline constexpr char odd_break[] = "break in a map value position (odd item count)";

// Other decoding failures, with their own formats.
inline constexpr char ill_formed_utf8[] = "ill-formed UTF-8 in text string at byte %zu";
inline constexpr char too_deep[] = "CBOR nesting exceeds the depth guard at byte %zu";
inline constexpr char long_tag_chain[] = "semantic-tag chain exceeds %u bytes at byte %zu";
inline constexpr char bad_sequence_item[] = "CBOR sequence item %zu at byte %zu is not well-formed";

// Encoding.
inline constexpr char encode_failed[] = "cbor encode failed (status %d)";
inline constexpr char encode_no_memory[] = "cbor encode: out of memory";

}  // namespace zvl::cbor::message
