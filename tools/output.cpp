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
    layout.indent_given = indent != nullptr;
    if (indent) {
        char *end = nullptr;
        const long value = std::strtol(indent, &end, 10);
        if (!*indent || *end || value < 1 || value > 16) {
            usage_error("--indent takes a number from 1 to 16");
            return false;
        }
        layout.indent = uint32_t(value);
    }
    layout.style_given = style != nullptr;
    if (style) {
        if (std::strcmp(style, "block") == 0)
            layout.style = ZARVEL_STYLE_BLOCK;
        else if (std::strcmp(style, "flow") == 0)
            layout.style = ZARVEL_STYLE_FLOW;
        else if (std::strcmp(style, "keep") == 0)
            layout.style = ZARVEL_STYLE_KEEP;
        else {
            usage_error("--style must be flow, block or keep");
            return false;
        }
    }
    return true;
}

int write_piece(void *, const char *bytes, uint64_t length) { return write_output(bytes, length) ? 0 : 1; }

// Compact JSON in pieces to indented JSON: a line per item, "key": value,
// empty collections kept as [] and {}. The state survives piece boundaries.
bool json_indenter::feed(const char *bytes, uint64_t length) {
    std::string out;
    out.reserve(length + length / 2);
    auto newline = [&] {
        out += '\n';
        out.append(size_t(depth_) * indent_, ' ');
    };
    for (uint64_t i = 0; i < length; ++i) {
        const char c = bytes[i];
        if (pending_open_) {
            pending_open_ = false;
            if (c == ']' || c == '}') {
                out += c;
                --depth_;
                continue;
            }
            newline();
        }
        if (in_string_) {
            out += c;
            if (escaped_)
                escaped_ = false;
            else if (c == '\\')
                escaped_ = true;
            else if (c == '"')
                in_string_ = false;
            continue;
        }
        switch (c) {
        case '"':
            in_string_ = true;
            out += c;
            break;
        case '[':
        case '{':
            out += c;
            ++depth_;
            pending_open_ = true;
            break;
        case ']':
        case '}':
            --depth_;
            newline();
            out += c;
            break;
        case ',':
            out += c;
            newline();
            break;
        case ':': out += ": "; break;
        default: out += c;
        }
    }
    return write_output(out.data(), out.size());
}

namespace {

int write_indented(void *user, const char *bytes, uint64_t length) {
    return static_cast<json_indenter *>(user)->feed(bytes, length) ? 0 : 1;
}

}  // namespace

bool write_yaml(zarvel_document *document, const text_layout &layout, bool explicit_start, bool canonical) {
    zarvel_serialize_options options{};
    options.size = sizeof options;
    options.canonical = canonical ? 1 : 0;
    options.width = layout.width;
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

int32_t write_json(zarvel_document *document, const text_layout &layout, const zarvel_plain_options &options) {
    // Asked here, after -o FILE has taken standard output's place.
    const bool pretty = !layout.compact && (layout.indent_given || isatty(1));
    json_indenter indenter(layout.indent);
    return pretty ? zarvel_plain_json_stream(document, &options, write_indented, &indenter, nullptr)
                  : zarvel_plain_json_stream(document, &options, write_piece, nullptr, nullptr);
}

zarvel_document *parse_any(const input &in, data_format format, int32_t schema) {
    int32_t status = 0;
    zarvel_document *document = nullptr;
    const std::string_view bytes(in.bytes.data(), in.bytes.size());
    if (format == data_format::cbor) {
        document = zarvel_cbor_decode(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), 0, &status);
    } else if (format == data_format::json) {
        document = zarvel_parse_json(bytes.data(), bytes.size(), &status);
    } else if (format == data_format::json_or_yaml) {
        document = zarvel_parse_json(bytes.data(), bytes.size(), &status);
        if (!document && status == 1) {
            zarvel_parse_options options = {schema, 0};
            document = zarvel_parse_ex(bytes.data(), bytes.size(), &options, &status);
            // Neither: the text looked like JSON, so its JSON reason is the one to give.
            if (!document && status != 0) zarvel_parse_json(bytes.data(), bytes.size(), &status);
        }
    } else {
        zarvel_parse_options options = {0, 0};
        options.schema = schema;
        document = zarvel_parse_ex(bytes.data(), bytes.size(), &options, &status);
    }
    if (document) {
        if (document_built(in.name, document)) return document;
        zarvel_document_free(document);
        return nullptr;
    }
    if (status == 0) {
        document = zarvel_document_new();  // an empty stream: no documents
        if (!document) fail("out of memory");
        return document;
    }
    fail_parse(in.name, bytes);
    return nullptr;
}

uint64_t expansion_budget(uint64_t input_size) { return std::max<uint64_t>(10 * input_size, 1000000); }

}  // namespace zarvel_tool
