// zarvel convert: read YAML, JSON or CBOR files, write YAML (block or
// canonical), JSON, CBOR or Ruby Marshal. JSON and CBOR are plain data by
// default (aliases expanded, merge keys applied, scalars by type);
// --keep-properties writes the YAML-flavoured JSON (tags, anchors and
// aliases in flow form) and the node encoder's CBOR instead. Each document
// of a stream gives one JSON text per line, one CBOR data item (a CBOR
// sequence) or one YAML document; --all gives one array of every document.
// YAML streams are read and converted a document at a time.
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cbor_convert.hpp"
#include "command.hpp"
#include "document_reader.hpp"
#include "emit/serialize.hpp"
#include "marshal_output.hpp"
#include "output.hpp"
#include "zarvel.h"

namespace {

using namespace zarvel_tool;

enum class target { yaml, json, canonical, cbor, marshal };

// Reads the plain-mode flags into options; false after a usage error.
bool plain_options(arguments &args, zarvel_plain_options &options) {
    options = {sizeof options, 0, ZARVEL_PLAIN_NON_FINITE_FAIL, 0, 0};
    if (args.flag("--keep-merge-keys")) options.flags |= ZARVEL_PLAIN_KEEP_MERGE_KEYS;
    if (const char *budget = args.value("--budget")) {
        char *end = nullptr;
        const unsigned long long value = std::strtoull(budget, &end, 10);
        if (!*budget || *end || *budget == '-' || value == 0) {
            usage_error("--budget must be a positive number of nodes");
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
            usage_error("--non-finite must be fail, null or string");
            return false;
        }
    }
    if (const char *duplicates = args.value("--duplicate-keys")) {
        if (std::strcmp(duplicates, "fail") == 0)
            options.flags |= ZARVEL_PLAIN_DUPLICATE_KEYS_FAIL;
        else if (std::strcmp(duplicates, "last") != 0) {
            usage_error("--duplicate-keys must be last or fail");
            return false;
        }
    }
    return true;
}

bool target_named(const char *name, target &t) {
    static const struct {
        const char *name;
        target value;
    } names[] = {{"yaml", target::yaml},
                 {"json", target::json},
                 {"canonical", target::canonical},
                 {"cbor", target::cbor},
                 {"marshal", target::marshal}};
    for (const auto &n : names)
        if (std::strcmp(name, n.name) == 0) {
            t = n.value;
            return true;
        }
    return false;
}

// The head of a CBOR array of count items (major type 4).
std::string cbor_array_head(uint64_t count) {
    std::string head;
    auto put = [&](uint8_t first, int bytes) {
        head += char(first);
        for (int i = bytes - 1; i >= 0; --i) head += char(uint8_t(count >> (8 * i)));
    };
    if (count < 24)
        head += char(0x80 | count);
    else if (count <= 0xFF)
        put(0x98, 1);
    else if (count <= 0xFFFF)
        put(0x99, 2);
    else if (count <= 0xFFFFFFFFu)
        put(0x9A, 4);
    else
        put(0x9B, 8);
    return head;
}

struct converter {
    target to = target::yaml;
    text_layout layout;
    bool explicit_start = false, canonical_keys = false, strict_cbor = false, all = false;
    bool keep_properties = false;
    zarvel_plain_options plain{};
    int32_t schema = 0;

    uint64_t written = 0;   // documents written so far, over every input
    std::string collected;  // --all to CBOR: the items, written at the end
    std::string input_name;

    bool plain_output() const { return !keep_properties && (to == target::json || to == target::cbor); }

    bool write_plain(zarvel_document *document) {
        const uint32_t count = zarvel_document_count(document);
        zarvel_plain_options options = plain;
        int32_t status = 0;
        if (to == target::json) {
            // One text per document; with --all they become the items of
            // one array, which may span several inputs.
            for (uint32_t i = 0; status == 0 && i < count; ++i) {
                if (all && !(written + i == 0 ? write_output("[", 1) : write_output(",", 1))) return false;
                options.document = i;
                status = write_json(document, layout, options);
                if (status == 0 && !all && !write_output("\n", 1)) return false;
            }
        } else {
            for (uint32_t i = 0; status == 0 && i < count; ++i) {
                options.document = i;
                if (all) {
                    uint64_t length = 0;
                    uint8_t *bytes = zarvel_plain_cbor_ex(document, &options, &length, &status);
                    if (bytes) collected.append(reinterpret_cast<char *>(bytes), length);
                    zarvel_free(bytes);
                } else {
                    status = zarvel_plain_cbor_stream(document, &options, write_piece, nullptr, nullptr);
                }
            }
        }
        written += count;
        if (status == 0) return true;
        // The message names the place (path, and line and column when known).
        fail(input_name + ": " + zarvel_last_error(nullptr, nullptr));
        return false;
    }

    bool write(zarvel_document *document) {
        if (plain_output()) return write_plain(document);
        bool ok = true;
        const uint32_t count = zarvel_document_count(document);
        if (to == target::cbor) {
            ok = write_cbor(document, canonical_keys) == 0;
        } else if (to == target::marshal) {
            ok = written > 0 || write_marshal_document(document) == 0;  // the first document only
        } else if (to == target::json) {
            for (uint32_t i = 0; ok && i < count; ++i) {
                uint64_t length = 0;
                char *text = zvl::serialize_document_json(document, i, layout.compact, &length);
                ok = text != nullptr;
                if (ok && length > 0 && text[length - 1] == '\n') --length;
                ok = ok && write_output(text, length) && write_output("\n", 1);
                zarvel_free(text);
            }
            if (!ok) fail("out of memory while writing the output");
        } else {
            ok = write_yaml(document, layout, explicit_start || written > 0, to == target::canonical);
        }
        written += count;
        return ok;
    }

    // One input file: CBOR and JSON whole, YAML a document at a time.
    bool convert(const char *path, const char *from) {
        document_reader reader;
        if (!reader.open(path, true)) return false;
        input_name = reader.name();
        data_format format = data_format::yaml;
        if (!from || !format_named(from, format)) format = detect_format(path, reader.head());
        if (!layout.style_given) layout.style = format == data_format::yaml ? ZARVEL_STYLE_KEEP : ZARVEL_STYLE_BLOCK;

        // Marshal is made from the whole text, JSON and CBOR are one piece.
        if (format != data_format::yaml || to == target::marshal) {
            reader.read_whole();
            input in;
            in.name = reader.name();
            std::string_view whole;
            uint64_t lines = 0;
            if (reader.next(whole, lines)) in.bytes.assign(whole.begin(), whole.end());
            if (reader.failed()) return false;
            if (to == target::marshal && format != data_format::cbor) {
                written = 1;
                return write_marshal(in, schema, all) == exit_ok;
            }
            if (format == data_format::cbor)
                return read_cbor(in, strict_cbor,
                                 [&](zarvel_document *document, uint64_t) { return write(document); }) == exit_ok;
            zarvel_document *document = parse_any(in, format, schema);
            if (!document) return false;
            const bool ok = write(document);
            zarvel_document_free(document);
            return ok;
        }

        progress shown(reader.size());
        std::string_view piece;
        uint64_t lines_before = 0;
        zarvel_parse_options options = {schema, 0};
        while (reader.next(piece, lines_before)) {
            int32_t status = 0;
            zarvel_document *document = zarvel_parse_ex(piece.data(), piece.size(), &options, &status);
            if (!document && status != 0) {
                fail_parse(reader.name(), piece, lines_before);
                return false;
            }
            if (document && !document_built(reader.name(), document)) {
                zarvel_document_free(document);
                return false;
            }
            const bool ok = !document || write(document);
            zarvel_document_free(document);
            if (!ok) return false;
            shown.update(reader.bytes_read());
        }
        return !reader.failed();
    }

    bool finish() {
        if (!all) return true;
        if (to == target::json) return (written ? write_output("]\n", 2) : write_output("[]\n", 3));
        if (to == target::cbor) {
            const std::string head = cbor_array_head(written);
            return write_output(head.data(), head.size()) && write_output(collected.data(), collected.size());
        }
        return true;
    }
};

int run(int argc, char **argv) {
    arguments args(argc, argv);
    converter c;
    const char *from = args.value("--from");
    const char *to = args.value("--to");
    const char *output_path = args.value("-o");
    const char *width_text = args.value("--width");
    const char *schema_text = args.value("--schema");
    c.explicit_start = args.flag("--explicit-start");
    c.canonical_keys = args.flag("--canonical");
    c.strict_cbor = args.flag("--strict");
    c.all = args.flag("--all");
    c.keep_properties = args.flag("--keep-properties");
    if (!read_layout(args, c.layout) || !plain_options(args, c.plain)) return exit_usage;
    if (!args.finish(0, SIZE_MAX)) return exit_usage;
    data_format ignored;
    if (from && !format_named(from, ignored)) return usage_error("--from must be yaml, json or cbor");
    if (to && !target_named(to, c.to)) return usage_error("--to must be yaml, json, canonical, cbor or marshal");
    if (!parse_schema(schema_text, c.schema)) return exit_usage;
    if (c.all && c.to != target::marshal && !c.plain_output())
        return usage_error("--all goes with --to marshal, json or cbor");
    if (c.to == target::marshal && args.positional_count() > 1) return usage_error("--to marshal reads one input");
    if (width_text) {
        char *end = nullptr;
        const long value = std::strtol(width_text, &end, 10);
        if (!*width_text || *end || value < 0 || value > INT32_MAX) return usage_error("--width must be a number");
        c.layout.width = int32_t(value);
    }
    if (output_path && !redirect_output(output_path)) return exit_failure;

    const size_t inputs = args.positional_count();
    for (size_t i = 0; i < (inputs ? inputs : 1); ++i)
        if (!c.convert(inputs ? args.positional(i) : "-", from)) return exit_failure;
    return c.finish() ? exit_ok : exit_failure;
}

}  // namespace

ZARVEL_COMMAND("convert", "convert YAML, JSON or CBOR to YAML, canonical YAML, JSON, CBOR or Ruby Marshal",
               "zarvel convert [--from yaml|json|cbor] [--to yaml|json|canonical|cbor|marshal] "
               "[-o FILE] [--all] [--indent N] [--compact] [--style flow|block|keep] "
               "[--keep-properties] [--budget NODES] [--keep-merge-keys] "
               "[--non-finite fail|null|string] [--duplicate-keys last|fail] [--width N] "
               "[--explicit-start] [--schema core|yaml11] [--canonical] [--strict] [FILE|-]...",
               "  --from F              input format; default: the file extension, else the content\n"
               "  --to T                yaml (default), canonical (typed flow YAML), json, cbor, marshal\n"
               "  -o FILE               write to FILE instead of standard output\n"
               "  --all                 json/cbor: one array of every document; marshal: all documents\n"
               "  --indent N            blanks per level of YAML and JSON (default 2)\n"
               "  --compact             JSON on one line (the default unless output is a terminal)\n"
               "  --style S             YAML collections: block (default for JSON input), flow, keep\n"
               "  --keep-properties     json/cbor: keep tags, anchors and aliases (YAML-flavoured)\n"
               "  --budget NODES        most nodes alias expansion may write (default: 10 x the\n"
               "                        document's nodes, at least 1,000,000)\n"
               "  --keep-merge-keys     write << as an ordinary key instead of merging\n"
               "  --non-finite M        JSON .inf/.nan: fail (default), null or string\n"
               "  --duplicate-keys M    last (default: the last value wins) or fail\n"
               "  --width N             wrap flow collections at column N (default 80)\n"
               "  --explicit-start      write --- before every YAML document\n"
               "  --schema S            core (YAML 1.2, default) or yaml11 (YAML 1.1 types)\n"
               "  --canonical           CBOR (--keep-properties): map keys sorted by encoded bytes\n"
               "  --strict              CBOR input: refuse what is not well-formed strict CBOR\n"
               "Several inputs are converted one after another into one output. Comments are\n"
               "not kept in YAML output, so do not write the output over its own input.\n"
               "\nexamples:\n"
               "  zarvel convert --to json config.yaml\n"
               "  zarvel convert --to json --all a.yaml b.yaml -o all.json\n"
               "  curl -s https://example.org/api | zarvel convert -   # JSON in, block YAML out\n",
               run);
