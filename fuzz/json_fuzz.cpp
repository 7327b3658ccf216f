// libFuzzer target over the JSON entries: the strict and the lenient tapes
// with their invariants, zvl_json_document (which must accept exactly what
// the strict tape accepts), and the JSON document parse, whose tree must
// survive serialising to JSON and parsing again. An input that is a decimal
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);
    json_fuzz::run_one(text, size);
    check_decimal(text, size);

    int32_t status = -1;
    zarvel_document *doc = zarvel_parse_json(text, size, &status);
    if (!doc) return 0;
    if (status != 0) mismatch();
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
