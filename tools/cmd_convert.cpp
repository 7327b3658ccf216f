// zarvel convert: read YAML, JSON or CBOR, write YAML (block or canonical),
// JSON or CBOR. JSON and CBOR are plain data by default (aliases expanded,
// merge keys applied, scalars by type); --keep-properties writes the
// YAML-flavoured JSON (tags, anchors and aliases in flow form) and the node
// encoder's CBOR instead. A stream of several documents converted to JSON
// gives one JSON text per document, one per line; to CBOR, one data item per
// document (a CBOR sequence); --all gives one array of every document. A
// CBOR sequence on input gives one document per item. Marshal output (Ruby
// Marshal 4.8) holds the first document, or with --all an array of every
// document.
#include <cstring>
#include <string>
#include <string_view>

#include "cbor_convert.hpp"
#include "command.hpp"
#include "marshal_output.hpp"
#include "emit/serialize.hpp"
#include "zarvel.h"

namespace {

enum class format { yaml, json, canonical, cbor, marshal };

bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Writes a text allocated by the serialiser and frees it.
bool emit(char *text, uint64_t length) {
    if (!text) return false;
    bool ok = zarvel_tool::write_output(text, length);
    zarvel_free(text);
    return ok;
}

int write_chunk(void *, const char *bytes, uint64_t length) {
    return zarvel_tool::write_output(bytes, length) ? 0 : 1;
}

// Reads the plain-mode flags into options; false after a usage error.
bool plain_options(zarvel_tool::arguments &args, zarvel_plain_options &options) {
    options = {sizeof options, 0, ZARVEL_PLAIN_NON_FINITE_FAIL, 0, 0};
    if (args.flag("--keep-merge-keys")) options.flags |= ZARVEL_PLAIN_KEEP_MERGE_KEYS;
    if (const char *budget = args.value("--budget")) {
        char *end = nullptr;
        const unsigned long long value = std::strtoull(budget, &end, 10);
        if (!*budget || *end || *budget == '-' || value == 0) {
            zarvel_tool::usage_error("--budget must be a positive number of nodes");
            return false;
        }
        options.budget = value;
    }
    if (const char *non_finite = args.value("--non-finite")) {
        if (std::strcmp(non_finite, "null") == 0)
            options.non_finite = ZARVEL_PLAIN_NON_FINITE_NULL;
        else if (std::strcmp(non_finite, "string") == 0)
            options.non_finite = ZARVEL_PLAIN_NON_FINITE_STRING;
        else if (std::strcmp(non_finite, "fail") != 0) {
            zarvel_tool::usage_error("--non-finite must be fail, null or string");
            return false;
        }
    }
    if (const char *duplicates = args.value("--duplicate-keys")) {
        if (std::strcmp(duplicates, "fail") == 0)
            options.flags |= ZARVEL_PLAIN_DUPLICATE_KEYS_FAIL;
        else if (std::strcmp(duplicates, "last") != 0) {
            zarvel_tool::usage_error("--duplicate-keys must be last or fail");
            return false;
        }
    }
    return true;
}

int run(int argc, char **argv) {
    zarvel_tool::arguments args(argc, argv);
    const char *from = args.value("--from");
    const char *to = args.value("--to");
    const bool compact = args.flag("--compact");
    const char *width_text = args.value("--width");
    const bool explicit_start = args.flag("--explicit-start");
    const char *schema = args.value("--schema");
    const bool canonical_keys = args.flag("--canonical");
    const bool strict_cbor = args.flag("--strict");
    const bool all_documents = args.flag("--all");
    const bool keep_properties = args.flag("--keep-properties");
    zarvel_plain_options plain;
    if (!plain_options(args, plain)) return zarvel_tool::exit_usage;
    if (!args.finish(0, 1)) return zarvel_tool::exit_usage;

    const char *path = args.positional_count() ? args.positional(0) : "-";
    format input_format = ends_with(path, ".json")   ? format::json
                          : ends_with(path, ".cbor") ? format::cbor
                                                     : format::yaml;
    if (from) {
        if (std::strcmp(from, "json") == 0)
            input_format = format::json;
        else if (std::strcmp(from, "yaml") == 0)
            input_format = format::yaml;
        else if (std::strcmp(from, "cbor") == 0)
            input_format = format::cbor;
        else
            return zarvel_tool::usage_error("--from must be yaml, json or cbor");
    }
    format output = format::yaml;
    if (to) {
        if (std::strcmp(to, "json") == 0)
            output = format::json;
        else if (std::strcmp(to, "canonical") == 0)
            output = format::canonical;
        else if (std::strcmp(to, "cbor") == 0)
            output = format::cbor;
        else if (std::strcmp(to, "marshal") == 0)
            output = format::marshal;
        else if (std::strcmp(to, "yaml") != 0)
            return zarvel_tool::usage_error("--to must be yaml, json, canonical, cbor or marshal");
    }
    const bool plain_output = !keep_properties && (output == format::json || output == format::cbor);
    if (all_documents && output != format::marshal && !plain_output)
        return zarvel_tool::usage_error("--all goes with --to marshal, json or cbor");
    if (all_documents && input_format == format::cbor)
        return zarvel_tool::usage_error("--all reads YAML or JSON input");
    plain.flags |= all_documents ? ZARVEL_PLAIN_ALL : ZARVEL_PLAIN_SEQUENCE;
    int32_t width = 0;
    if (width_text) {
        char *end = nullptr;
        long value = std::strtol(width_text, &end, 10);
        if (!*width_text || *end || value < 0 || value > INT32_MAX)
            return zarvel_tool::usage_error("--width must be a number");
        width = int32_t(value);
    }
    zarvel_parse_options parse_options = {0, 0};
    if (schema) {
        if (std::strcmp(schema, "yaml11") == 0)
            parse_options.schema = 1;
        else if (std::strcmp(schema, "core") != 0)
            return zarvel_tool::usage_error("--schema must be core or yaml11");
    }

    zarvel_tool::input in;
    if (!zarvel_tool::read_input(path, in)) return zarvel_tool::exit_failure;
    if (output == format::marshal && input_format != format::cbor)
        return zarvel_tool::write_marshal(in, parse_options.schema, all_documents);

    // Writes one document (its whole stream); `later` marks the documents of
    // a CBOR sequence after the first, which YAML output starts with "---".
    auto write_document = [&](zarvel_document *document, bool later) {
        bool ok = true;
        if (plain_output) {
            const int32_t status =
                output == format::json
                    ? zarvel_plain_json_stream(document, &plain, write_chunk, nullptr, nullptr)
                    : zarvel_plain_cbor_stream(document, &plain, write_chunk, nullptr, nullptr);
            // One JSON text (--all) ends with a line feed like each of a stream.
            if (status == 0)
                return !all_documents || output != format::json || zarvel_tool::write_output("\n", 1);
            // The message names the place (path, and line and column when known).
            zarvel_tool::fail(in.name + ": " + zarvel_last_error(nullptr, nullptr));
            return false;
        }
        if (output == format::cbor) return zarvel_tool::write_cbor(document, canonical_keys) == 0;
        // Marshal output of CBOR input: the first item only.
        if (output == format::marshal)
            return later || zarvel_tool::write_marshal_document(document) == 0;
        if (output == format::json) {
            const uint32_t count = zarvel_document_count(document);
            for (uint32_t i = 0; ok && i < count; ++i) {
                uint64_t length = 0;
                char *text = zvl::serialize_document_json(document, i, compact, &length);
                ok = text != nullptr;
                if (ok && length > 0 && text[length - 1] == '\n') --length;
                ok = ok && emit(text, length) && zarvel_tool::write_output("\n", 1);
            }
        } else {
            zarvel_serialize_options options = {sizeof options, output == format::canonical ? 1u : 0u,
                                                width, explicit_start || later ? 1u : 0u, 0, 0};
            uint64_t length = 0;
            char *text = zarvel_serialize_ex(document, &options, &length);
            ok = text != nullptr && emit(text, length);
        }
        if (!ok) zarvel_tool::fail("out of memory while writing the output");
        return ok;
    };
    if (input_format == format::cbor)
        return zarvel_tool::read_cbor(in, strict_cbor, [&](zarvel_document *document, uint64_t index) {
            return write_document(document, index > 0);
        });

    int32_t status = 0;
    zarvel_document *document =
        input_format == format::json
            ? zarvel_parse_json(in.bytes.data(), in.bytes.size(), &status)
            : zarvel_parse_ex(in.bytes.data(), in.bytes.size(), &parse_options, &status);
    if (!document) {
        if (status == 0) return zarvel_tool::exit_ok;  // no documents: no output
        uint32_t line = 0, column = 0;
        const char *message = zarvel_last_error(&line, &column);
        return zarvel_tool::fail(in.name + ":" + std::to_string(line) + ":" +
                                 std::to_string(column) + ": " + message);
    }

    if (!zarvel_tool::document_built(in.name, document)) {
        zarvel_document_free(document);
        return zarvel_tool::exit_failure;
    }
    const bool ok = write_document(document, false);
    zarvel_document_free(document);
    return ok ? zarvel_tool::exit_ok : zarvel_tool::exit_failure;
}

}  // namespace

ZARVEL_COMMAND("convert",
               "convert YAML, JSON or CBOR to YAML, canonical YAML, JSON, CBOR or Ruby Marshal "
               "(JSON and CBOR as plain data unless --keep-properties; --all: an array of all)",
               "zarvel convert [--from yaml|json|cbor] [--to yaml|json|canonical|cbor|marshal] "
               "[--all] [--keep-properties] [--budget NODES] [--keep-merge-keys] "
               "[--non-finite fail|null|string] [--duplicate-keys last|fail] [--compact] "
               "[--width N] [--explicit-start] [--schema core|yaml11] [--canonical] [--strict] "
               "[FILE|-]",
               "", run);
