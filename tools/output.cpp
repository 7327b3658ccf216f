// Writers and the parse of any input, shared by the subcommands.
#include "output.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace zarvel_tool {

bool read_layout(arguments &args, text_layout &layout) {
    const char *indent = args.value("--indent");
    const char *style = args.value("--style");
    layout.compact = args.flag("--compact");
    layout.pretty = !layout.compact && (indent || isatty(1));
    if (indent) {
        char *end = nullptr;
        const long value = std::strtol(indent, &end, 10);
        if (!*indent || *end || value < 1 || value > 16) {
            usage_error("--indent takes a number from 1 to 16");
            return false;
        }
        layout.indent = uint32_t(value);
    }
    if (style) {
        if (std::strcmp(style, "block") == 0) layout.style = ZARVEL_STYLE_BLOCK;
        else if (std::strcmp(style, "flow") == 0) layout.style = ZARVEL_STYLE_FLOW;
        else if (std::strcmp(style, "keep") == 0) layout.style = ZARVEL_STYLE_KEEP;
        else {
            usage_error("--style must be flow, block or keep");
            return false;
        }
    }
    return true;
}

namespace {

int write_piece(void *, const char *bytes, uint64_t length) {
    return write_output(bytes, length) ? 0 : 1;
}

}  // namespace

bool write_yaml(zarvel_document *document, const text_layout &layout, bool explicit_start) {
    zarvel_serialize_options options{};
    options.size = sizeof options;
    options.explicit_start = explicit_start ? 1 : 0;
    options.indent = layout.indent;
    options.style = layout.style;
    if (zarvel_serialize_stream(document, &options, write_piece, nullptr) == 0 &&
        zarvel_document_count(document) != 0) {
        fail("the YAML output cannot be written (out of memory or a failed write)");
        return false;
    }
    return true;
}

bool write_json(zarvel_document *document, const text_layout &layout) {
    const uint32_t count = zarvel_document_count(document);
    for (uint32_t i = 0; i < count; ++i) {
        (void)layout;
        uint64_t length = 0;
        char *text = zarvel_serialize_json_ex(document, &length, layout.compact ? 1 : 0);
        if (!text) {
            fail("the JSON output cannot be written");
            return false;
        }
        if (length > 0 && text[length - 1] == '\n') --length;
        const bool ok = write_output(text, length) && write_output("\n", 1);
        zarvel_free(text);
        if (!ok) return false;
    }
    return true;
}

zarvel_document *parse_any(const input &in, data_format format, int32_t schema) {
    int32_t status = 0;
    zarvel_document *document = nullptr;
    const std::string_view bytes(in.bytes.data(), in.bytes.size());
    if (format == data_format::cbor) {
        document = zarvel_cbor_decode(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), 0, &status);
    } else if (format == data_format::json) {
        document = zarvel_parse_json(bytes.data(), bytes.size(), &status);
    } else {
        zarvel_parse_options options = {0, 0};
        options.schema = schema;
        document = zarvel_parse_ex(bytes.data(), bytes.size(), &options, &status);
    }
    if (document) return document;
    if (status == 0) {
        document = zarvel_document_new();  // an empty stream: no documents
        if (!document) fail("out of memory");
        return document;
    }
    fail_parse(in.name, bytes);
    return nullptr;
}

uint64_t expansion_budget(uint64_t input_size) {
    return std::max<uint64_t>(10 * input_size, 1000000);
}

}  // namespace zarvel_tool
