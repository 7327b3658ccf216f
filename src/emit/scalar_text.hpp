// Text forms of scalars and properties: quoting, escaping, percent-encoding,
// literal block scalars. Each writes straight into the writer.
#pragma once

#include <cstdint>
#include <string_view>

#include "emit/writer.hpp"

namespace zvl {

// 'text' with every quote doubled.
void write_single_quoted(zarvel_writer &w, std::string_view text);
// "text" with the YAML escapes (controls, quote, backslash, C1 controls,
// U+2028, U+2029, U+FEFF, U+FFFE, U+FFFF).
void write_double_quoted(zarvel_writer &w, std::string_view text);
// "text" with the JSON escapes; bytes of 0x7F and above are copied.
void write_json_string(zarvel_writer &w, std::string_view text);
// The same JSON string written straight to `out`, which has room for
// json_string_room(text.size()) bytes; returns the end of what it wrote.
inline constexpr uint64_t json_string_room(uint64_t length) { return 6 * length + 2 + 8; }
char *write_json_string_raw(char *out, std::string_view text);
// Literal block scalar whose lines stand at indent + 2; header "|" with its
// chomping and indentation indicators.
void write_literal(zarvel_writer &w, std::string_view text, uint64_t indent);
// Tag bytes outside the URI character set as %XX (upper-case hex).
void write_percent_encoded(zarvel_writer &w, std::string_view text);
// Decimal number.
void write_decimal(zarvel_writer &w, uint64_t value);

}  // namespace zvl
