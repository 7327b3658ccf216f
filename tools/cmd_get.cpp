// zarvel get: query documents with a jq-style path and print what it
// reaches: scalars raw, collections as YAML (or JSON), "null" for nothing.
// Aliases and merge keys are followed as a loader follows them.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "command.hpp"
#include "loaded_tree.hpp"
#include "output.hpp"
#include "zarvel.h"

namespace {

using namespace zarvel_tool;

enum class output_form { yaml, json, raw };

// The older form "get FILE key 0 key": each word one step, digits an index.
std::vector<path_step> word_steps(const arguments &args) {
    std::vector<path_step> steps;
    for (size_t i = 1; i < args.positional_count(); ++i) {
        const std::string word = args.positional(i);
        const bool digits = !word.empty() && word.find_first_not_of("0123456789") == std::string::npos;
        path_step step{digits ? path_step::index : path_step::key, word};
        if (digits) step.number = std::strtoll(word.c_str(), nullptr, 10);
        steps.push_back(step);
    }
    return steps;
}

bool is_null(zarvel_node *node) {
    return !node || (zarvel_node_kind(node) == ZARVEL_NODE_SCALAR && zarvel_node_tag_id(node) == ZARVEL_TAG_NULL);
}

// One result on its own line(s).
bool print_result(zarvel_node *node, output_form form, const text_layout &layout, uint64_t budget) {
    const bool scalar = node && zarvel_node_kind(node) == ZARVEL_NODE_SCALAR;
    if (form != output_form::json && (!node || scalar)) {
        uint64_t length = 0;
        const char *text = node ? zarvel_node_value(node, &length) : nullptr;
        if (!node || (length == 0 && is_null(node))) return write_output("null\n", 5);
        return write_output(text, length) && write_output("\n", 1);
    }
    std::string error;
    zarvel_document *copy = copy_loaded(node, budget, error);
    if (!copy) {
        fail(error);
        return false;
    }
    text_layout this_layout = layout;
    if (form == output_form::raw) this_layout.compact = true;
    // Infinities become strings: a query should show them, not fail.
    const zarvel_plain_options options{sizeof options, ZARVEL_PLAIN_SEQUENCE, ZARVEL_PLAIN_NON_FINITE_STRING, 0, 0};
    bool ok = true;
    if (form == output_form::yaml)
        ok = write_yaml(copy, this_layout);
    else if (write_json(copy, this_layout, options) != 0)
        ok = fail(zarvel_last_error(nullptr, nullptr)) == exit_ok;
    zarvel_document_free(copy);
    return ok;
}

int run(int argc, char **argv) {
    arguments args(argc, argv);
    const char *schema_text = args.value("--schema");
    const char *form_text = args.value("-o");
    const char *doc_text = args.value("--doc");
    const bool exit_status = args.flag("-e");
    text_layout layout;
    if (!read_layout(args, layout)) return exit_usage;
    if (!args.finish(1, SIZE_MAX)) return exit_usage;
    int32_t schema = 0;
    if (!parse_schema(schema_text, schema)) return exit_usage;
    output_form form = output_form::yaml;
    if (form_text) {
        if (std::strcmp(form_text, "json") == 0)
            form = output_form::json;
        else if (std::strcmp(form_text, "raw") == 0)
            form = output_form::raw;
        else if (std::strcmp(form_text, "yaml") != 0)
            return usage_error("-o must be yaml, json or raw");
    }
    long long only_document = -1;
    if (doc_text) {
        char *end = nullptr;
        only_document = std::strtoll(doc_text, &end, 10);
        if (!*doc_text || *end || only_document < 0) return usage_error("--doc takes a document number from 0");
    }
    std::vector<path_step> steps;
    if (args.positional_count() >= 2 && args.positional(1)[0] == '.') {
        std::string error;
        if (args.positional_count() > 2) return usage_error("one PATH (quote it for the shell)");
        if (!parse_path(args.positional(1), steps, error)) return usage_error(error);
    } else {
        steps = word_steps(args);
    }

    input in;
    if (!read_input(args.positional(0), in)) return exit_failure;
    const std::string_view bytes(in.bytes.data(), in.bytes.size());
    zarvel_document *document = parse_any(in, detect_format(in.name.c_str(), bytes), schema);
    if (!document) return exit_failure;  // parse_any reported why
    const uint32_t count = zarvel_document_count(document);
    if (only_document >= 0 && uint64_t(only_document) >= count) {
        zarvel_document_free(document);
        return fail(in.name + " holds " + std::to_string(count) + " document(s); --doc counts from 0");
    }
    const uint64_t budget = expansion_budget(bytes.size());
    bool ok = true, all_present = true;
    std::vector<zarvel_node *> results;
    for (uint32_t i = 0; ok && i < count; ++i) {
        if (only_document >= 0 && i != uint64_t(only_document)) continue;
        std::string error;
        if (!evaluate_path(zarvel_document_root(document, i), steps, results, error)) {
            ok = fail(in.name + ": " + error) == exit_ok;
            break;
        }
        for (zarvel_node *node : results) {
            if (is_null(node)) all_present = false;
            if (!(ok = print_result(node, form, layout, budget))) break;
        }
    }
    zarvel_document_free(document);
    if (!ok) return exit_failure;
    return exit_status && !all_present ? exit_failure : exit_ok;
}

}  // namespace

ZARVEL_COMMAND("get", "print what a jq-style path reaches in each document (YAML, JSON or CBOR)",
               "zarvel get [-o yaml|json|raw] [--doc N] [-e] [--indent N] [--compact] "
               "[--schema core|yaml11] FILE|- PATH",
               "  -o yaml      scalars raw, collections as block YAML (the default)\n"
               "  -o json      every result as JSON (aliases expanded, merge keys applied)\n"
               "  -o raw       scalars raw, collections as one-line JSON\n"
               "  --doc N      query only document N of a stream (from 0); default: every document\n"
               "  -e           exit 1 when a result is missing or null\n"
               "  --indent N   blanks per level of YAML and JSON output (default 2)\n"
               "  --compact    JSON on one line\n"
               "  --schema S   core (YAML 1.2, the default) or yaml11 (YAML 1.1 types)\n"
               "PATH: . (the document), .a.b, .a[0], .a[-1] (last), .[\"key.with dots\"],\n"
               ".a[] (each item or value), .a[].name; a missing path prints null.\n"
               "YAML output does not keep comments; it is for reading, not for editing files.\n"
               "\nexamples:\n"
               "  zarvel get deploy.yaml .spec.template.spec.containers[0].image\n"
               "  zarvel get -o json config.yaml .services\n"
               "  kubectl get pods -o yaml | zarvel get - '.items[].metadata.name'\n",
               run);
