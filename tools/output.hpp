// What the subcommands that write documents share: the layout flags
// (--indent, --compact, --style), the writers of YAML and JSON text, and the
// parse of an input of any format.
#pragma once

#include <cstdint>
#include <string>

#include "command.hpp"
#include "zarvel.h"

namespace zarvel_tool {

struct text_layout {
    uint32_t indent = 2;
    bool compact = false;       // JSON on one line
    bool indent_given = false;  // --indent named one: JSON is indented
    int32_t width = 0;          // flow wrapping column; 0: the writer's default
    uint32_t style = ZARVEL_STYLE_KEEP;
    bool style_given = false;  // --style named one
};

// Reads --indent N, --compact and --style flow|block|keep. False after a
// usage message.
bool read_layout(arguments &args, text_layout &layout);

// Every document of the stream as YAML text (canonical: typed flow YAML).
bool write_yaml(zarvel_document *document, const text_layout &layout, bool explicit_start = false,
                bool canonical = false);
// Hands a serialiser's pieces to write_output (a zarvel_write_fn).
int write_piece(void *, const char *bytes, uint64_t length);
// Plain JSON of the document as options select: indented when --indent
// was given or standard output is a terminal (as jq does), never with
// --compact. The library's status (its message says why).
int32_t write_json(zarvel_document *document, const text_layout &layout, const zarvel_plain_options &options);

class json_indenter {
  public:
    explicit json_indenter(uint32_t indent) : indent_(indent) {}
    bool feed(const char *bytes, uint64_t length);

  private:
    uint32_t indent_;
    int64_t depth_ = 0;
    bool in_string_ = false, escaped_ = false, pending_open_ = false;
};

// Parses the whole input; null after reporting why (an empty stream is a
// document with no roots, never null).
zarvel_document *parse_any(const input &in, data_format format, int32_t schema);

// How many nodes alias expansion may write for an input: ten for each byte,
// and never fewer than a million, so that only alias bombs are refused.
uint64_t expansion_budget(uint64_t input_size);

}  // namespace zarvel_tool
