// zarvel columns: walks a column plan over a YAML or JSON text and prints the
// result as CSV (a header of column names, an empty field for no value).
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <string>

#include "command.hpp"
#include "emit/format_double.hpp"
#include "zarvel.h"

namespace {

void csv_field(std::string &out, const char *text, uint64_t length) {
    std::string_view s(text ? text : "", length);
    if (s.find_first_of(",\"\r\n") == std::string_view::npos) {
        out.append(s);
        return;
    }
    out += '"';
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

void number_field(std::string &out, double d) {
    char buffer[32];
    int32_t n = zarvel_format_double(buffer, d);
    if (n > 0)
        out.append(buffer, size_t(n));
    else
        out += std::isnan(d) ? "nan" : d < 0 ? "-inf" : "inf";
}

int run(int argc, char **argv) {
    zarvel_tool::arguments args(argc, argv);
    if (!args.finish(2, 2)) return zarvel_tool::exit_usage;
    zarvel_tool::input plan_in, in;
    if (!zarvel_tool::read_input(args.positional(0), plan_in)) return zarvel_tool::exit_failure;
    if (!zarvel_tool::read_input(args.positional(1), in)) return zarvel_tool::exit_failure;

    int32_t status = 0;
    zarvel_plan *plan = zarvel_plan_compile(plan_in.bytes.data(), plan_in.bytes.size(), &status);
    if (!plan) return zarvel_tool::fail("not a column plan (status " + std::to_string(status) + ")");
    const char *text = in.bytes.data();
    const uint64_t len = in.bytes.size();
    zarvel_document *doc = zarvel_parse_json(text, len, &status);
    if (!doc) doc = zarvel_parse(text, len, &status);
    if (!doc) {
        zarvel_plan_free(plan);
        return zarvel_tool::fail(status == 0 ? "no document" : zarvel_last_error(nullptr, nullptr));
    }
    zarvel_plan_result *result = zarvel_document_plan_walk(doc, plan, &status);
    if (!result) {
        zarvel_document_free(doc);
        zarvel_plan_free(plan);
        return zarvel_tool::fail(status == 1 ? "the plan's path leads to no sequence or mapping"
                                             : "walk failed (status " + std::to_string(status) + ")");
    }
    // The plan text names the columns; re-read them from its JSON document.
    std::string out;
    zarvel_document *plan_doc = zarvel_parse_json(plan_in.bytes.data(), plan_in.bytes.size(), nullptr);
    zarvel_node *children = zarvel_node_map_get(zarvel_document_root(plan_doc, 0), "children", 8);
    const uint64_t columns = zarvel_plan_column_count(plan);
    for (uint64_t c = 0; c < columns; ++c) {
        uint64_t n = 0;
        const char *name = zarvel_node_value(zarvel_node_map_get(zarvel_node_seq_at(children, c), "name", 4), &n);
        if (c) out += ',';
        csv_field(out, name, n);
    }
    out += '\n';
    zarvel_document_free(plan_doc);
    char number[32];
    for (uint64_t r = 0; r < zarvel_plan_result_rows(result); ++r) {
        for (uint64_t c = 0; c < columns; ++c) {
            if (c) out += ',';
            if (zarvel_plan_result_nulls(result, c)[r]) continue;
            switch (zarvel_plan_result_kind(result, c)) {
            case ZARVEL_PLAN_INT:
                std::snprintf(number, sizeof number, "%" PRId64, zarvel_plan_result_ints(result, c)[r]);
                out += number;
                break;
            case ZARVEL_PLAN_BOOL: out += zarvel_plan_result_ints(result, c)[r] ? "true" : "false"; break;
            case ZARVEL_PLAN_FLOAT: number_field(out, zarvel_plan_result_floats(result, c)[r]); break;
            default: {
                const zarvel_plan_str s = zarvel_plan_result_strs(result, c)[r];
                csv_field(out, s.ptr, s.len);
            }
            }
        }
        out += '\n';
    }
    zarvel_plan_result_free(result);
    zarvel_document_free(doc);
    zarvel_plan_free(plan);
    return zarvel_tool::write_output(out.data(), out.size()) ? zarvel_tool::exit_ok : zarvel_tool::exit_failure;
}

}  // namespace

ZARVEL_COMMAND("columns", "print a column plan's result over a text as CSV", "zarvel columns PLAN.json FILE|-",
               "PLAN.json holds a column plan (see docs/API.md, column plans); FILE is a JSON or\n"
               "YAML text. Each row of the result is one CSV line, empty fields for nulls.\n"
               "\nexamples:\n"
               "  zarvel columns plan.json users.json\n"
               "  zarvel columns plan.json - < users.yaml\n",
               run);
