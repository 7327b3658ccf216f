// libFuzzer target over the JSON entries: the strict and the lenient tapes
// with their invariants, zvl_json_document (which must accept exactly what
// the strict tape accepts), and the JSON document parse, whose tree must
// survive serialising to JSON and parsing again, and whose views a parse for
// reading in order must give as they are. An input that is a decimal
// number text must convert to strtod's double, bit for bit.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "core/decimal_to_double.hpp"

#define ZARVEL_JSON_TAPE_NO_ENTRY 1
#include "../tests/json_tape_fuzz.cpp"
#include "tree_compare.hpp"

namespace {

using fuzz_tree::mismatch;
using fuzz_tree::same_tree;

void check_decimal(const char *text, size_t size) {
    double ours;
    if (!zvl::decimal_to_double(text, size, ours)) return;
    const std::string copy(text, size);
    char *end = nullptr;
    const double want = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + size || std::memcmp(&want, &ours, sizeof want) != 0) mismatch();
}

// The same text parsed to be read in order gives, before its nodes are
// made, the views of the nodes of `doc`.
void same_views_in_order(const char *text, size_t size, zarvel_document *doc) {
    const zarvel_json_options in_order{sizeof in_order, ZARVEL_JSON_IN_ORDER};
    zarvel_document *ordered = zarvel_parse_json_ex(text, size, &in_order, nullptr);
    if (!ordered) mismatch();
    constexpr uint64_t window = 5;
    zarvel_node_view got[window], want[window];
    uint64_t count = 0, wanted = 0;
    for (uint64_t first = 0;; first += window) {
        if (zarvel_document_views(ordered, 0, first, ZARVEL_VIEW_NUMBERS, got, window, &count) != 0 ||
            zarvel_document_views(doc, 0, first, ZARVEL_VIEW_NUMBERS, want, window, &wanted) != 0 || count != wanted)
            mismatch();
        for (uint64_t k = 0; k < window && first + k < count; ++k) {
            const zarvel_node_view &a = got[k], &b = want[k];
            if (a.id != b.id || a.kind != b.kind || a.tag_id != b.tag_id || a.style != b.style ||
                a.number_kind != b.number_kind || a.number.integer != b.number.integer || a.length != b.length ||
                !a.text != !b.text || (a.text && std::memcmp(a.text, b.text, a.length) != 0))
                mismatch();
        }
        if (first + window >= count) break;
    }
    zarvel_document_free(ordered);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);
    json_fuzz::run_one(text, size);
    check_decimal(text, size);

    int32_t status = -1;
    zarvel_document *doc = zarvel_parse_json(text, size, &status);
    if (!doc) return 0;
    if (status != 0) mismatch();
    same_views_in_order(text, size, doc);
    fuzz_tree::same_order(doc);
    for (int32_t compact : {0, 1}) {
        uint64_t length = 0;
        char *json = zarvel_serialize_json_ex(doc, &length, compact);
        if (!json) continue;
        int32_t again_status = -1;
        zarvel_document *again = zarvel_parse_json(json, length, &again_status);
        if (!again) mismatch();  // the JSON writer's output is always JSON
        same_tree(zarvel_document_root(doc, 0), zarvel_document_root(again, 0), 0);
        zarvel_document_free(again);
        zarvel_free(json);
    }
    zarvel_document_free(doc);
    return 0;
}
