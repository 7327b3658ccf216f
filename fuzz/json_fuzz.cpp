// libFuzzer target over the JSON entries: the strict and the lenient tapes
// with their invariants, zvl_json_document (which must accept exactly what
// the strict tape accepts), and the JSON document parse, whose tree must
// survive serialising to JSON and parsing again.
#include <cstdint>
#include <initializer_list>
#include <string>

#define ZARVEL_JSON_TAPE_NO_ENTRY 1
#include "../tests/json_tape_fuzz.cpp"
#include "tree_compare.hpp"

namespace {

using fuzz_tree::mismatch;
using fuzz_tree::same_tree;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);
    json_fuzz::run_one(text, size);

    int32_t status = -1;
    zarvel_document *doc = zarvel_parse_json(text, size, &status);
    if (!doc) return 0;
    if (status != 0) mismatch();
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
