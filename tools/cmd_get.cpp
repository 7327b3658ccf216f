// zarvel get: parse a YAML stream, walk from the first root by mapping keys
// and sequence indexes, and print the node reached.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "command.hpp"
#include "zarvel.h"

namespace {

const char *kind_name(int kind) {
    switch (kind) {
    case ZARVEL_NODE_SCALAR: return "scalar";
    case ZARVEL_NODE_SEQUENCE: return "sequence";
    case ZARVEL_NODE_MAPPING: return "mapping";
    default: return "alias";
    }
}

const char *style_name(int style) {
    static const char *const names[] = {"none", "plain", "single-quoted", "double-quoted", "literal", "folded"};
    return style >= 0 && style <= 5 ? names[style] : "none";
}

// An index is all decimal digits.
bool parse_index(const char *text, uint64_t *out) {
    if (!*text) return false;
    uint64_t value = 0;
    for (const char *p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        if (value > (UINT64_MAX - 9) / 10) return false;
        value = value * 10 + uint64_t(*p - '0');
    }
    *out = value;
    return true;
}

zarvel_node *follow_aliases(zarvel_node *node) {
    for (int hops = 0; node && zarvel_node_kind(node) == ZARVEL_NODE_ALIAS && hops < 1000; ++hops)
        node = zarvel_node_alias_target(node);
    return node;
}

void print_text(const char *label, const char *text, uint64_t length) {
    std::printf("%s: ", label);
    if (length) std::fwrite(text, 1, length, stdout);
    std::printf("\n");
}

void print_node(const zarvel_node *node) {
    int kind = zarvel_node_kind(node);
    std::printf("kind: %s\n", kind_name(kind));
    std::printf("tag_id: %d\n", zarvel_node_tag_id(node));
    std::printf("style: %s\n", style_name(zarvel_node_style(node)));
    uint64_t length = 0;
    const char *anchor = zarvel_node_anchor(node, &length);
    if (anchor) print_text("anchor", anchor, length);
    const char *tag = zarvel_node_tag(node, &length);
    if (tag) print_text("tag", tag, length);
    if (kind == ZARVEL_NODE_SEQUENCE) {
        std::printf("count: %llu\n", static_cast<unsigned long long>(zarvel_node_seq_count(node)));
    } else if (kind == ZARVEL_NODE_MAPPING) {
        std::printf("count: %llu\n", static_cast<unsigned long long>(zarvel_node_map_count(node)));
    } else {
        const char *text = zarvel_node_value(node, &length);
        print_text(kind == ZARVEL_NODE_ALIAS ? "alias" : "text", text, length);
    }
}

int run(int argc, char **argv) {
    zarvel_tool::arguments args(argc, argv);
    const char *schema = args.value("--schema");
    if (!args.finish(1, SIZE_MAX)) return zarvel_tool::exit_usage;
    zarvel_parse_options options = {0, 0};
    if (schema) {
        if (std::strcmp(schema, "yaml11") == 0)
            options.schema = 1;
        else if (std::strcmp(schema, "core") != 0)
            return zarvel_tool::usage_error("--schema must be core or yaml11");
    }
    zarvel_tool::input in;
    if (!zarvel_tool::read_input(args.positional(0), in)) return zarvel_tool::exit_failure;

    int32_t status = 0;
    zarvel_document *document = zarvel_parse_ex(in.bytes.data(), in.bytes.size(), &options, &status);
    if (!document) {
        if (status == 0) return zarvel_tool::fail(in.name + ": the stream holds no document");
        uint32_t line = 0, column = 0;
        const char *message = zarvel_last_error(&line, &column);
        return zarvel_tool::fail(in.name + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " +
                                 message + " (status " + std::to_string(status) + ")");
    }
    if (!zarvel_tool::document_built(in.name, document)) {
        zarvel_document_free(document);
        return zarvel_tool::exit_failure;
    }
    zarvel_node *node = zarvel_document_root(document, 0);
    std::string path;
    for (size_t i = 1; node && i < args.positional_count(); ++i) {
        const char *step = args.positional(i);
        path += std::string("/") + step;
        node = follow_aliases(node);
        int kind = zarvel_node_kind(node);
        if (kind == ZARVEL_NODE_MAPPING) {
            node = zarvel_node_map_get(node, step, int32_t(std::strlen(step)));
        } else if (kind == ZARVEL_NODE_SEQUENCE) {
            uint64_t index = 0;
            node = parse_index(step, &index) ? zarvel_node_seq_at(node, index) : nullptr;
        } else {
            node = nullptr;
        }
    }
    int code = zarvel_tool::exit_ok;
    if (!node)
        code = zarvel_tool::fail("no node at " + (path.empty() ? std::string("the root") : path));
    else
        print_node(node);
    zarvel_document_free(document);
    return code;
}

}  // namespace

ZARVEL_COMMAND("get", "print the node at a path of keys and indexes in a YAML document",
               "zarvel get [--schema core|yaml11] FILE|- [KEY|INDEX]...", run);
