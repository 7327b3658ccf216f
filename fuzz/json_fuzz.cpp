// libFuzzer target over the JSON entries: the strict and the lenient tapes
// with their invariants, zvl_json_document (which must accept exactly what
// the strict tape accepts), and the JSON document parse, whose tree must
// survive serialising to JSON and parsing again.
#include <cstdint>
#include <initializer_list>
#include <string>

#define ZARVEL_JSON_TAPE_NO_ENTRY 1
#include "../tests/json_tape_fuzz.cpp"

namespace {

[[noreturn]] void mismatch() { __builtin_trap(); }

std::string span(const char *p, uint64_t n) { return p && n ? std::string(p, n) : std::string(); }

// Numbers may be written in another spelling of the same value.
bool same_scalar(int32_t tag, const zarvel_node *a, const zarvel_node *b) {
    if (tag == ZARVEL_TAG_INT) {
        int64_t x = 0, y = 0;
        return zarvel_node_int(a, &x) == 0 && zarvel_node_int(b, &y) == 0 && x == y;
    }
    if (tag == ZARVEL_TAG_FLOAT) {
        double x = 0, y = 0;
        // Long float texts are refused by the read API (reported); the
        // spelling then differs after a round trip.
        uint64_t la = 0;
        zarvel_node_value(a, &la);
        if (la > 64 && zarvel_node_float(a, &x) != 0) return true;
        return zarvel_node_float(a, &x) == 0 && zarvel_node_float(b, &y) == 0 &&
               (x == y || (x != x && y != y));
    }
    if (tag == ZARVEL_TAG_NULL || tag == ZARVEL_TAG_BOOL) return true;
    return false;
}

void same_tree(const zarvel_node *a, const zarvel_node *b, int depth) {
    if (!a || !b) {
        if (a != b) mismatch();
        return;
    }
    int32_t kind = zarvel_node_kind(a);
    if (kind != zarvel_node_kind(b) || depth > 1100) mismatch();
    if (kind == ZARVEL_NODE_SCALAR) {
        uint64_t la = 0, lb = 0;
        const char *va = zarvel_node_value(a, &la);
        const char *vb = zarvel_node_value(b, &lb);
        int32_t tag = zarvel_node_tag_id(a);
        if (tag != zarvel_node_tag_id(b)) mismatch();
        if (!same_scalar(tag, a, b) && span(va, la) != span(vb, lb)) mismatch();
    } else if (kind == ZARVEL_NODE_SEQUENCE) {
        uint64_t n = zarvel_node_seq_count(a);
        if (n != zarvel_node_seq_count(b)) mismatch();
        for (uint64_t i = 0; i < n; ++i)
            same_tree(zarvel_node_seq_at(a, i), zarvel_node_seq_at(b, i), depth + 1);
    } else if (kind == ZARVEL_NODE_MAPPING) {
        uint64_t n = zarvel_node_map_count(a);
        if (n != zarvel_node_map_count(b)) mismatch();
        for (uint64_t i = 0; i < n; ++i) {
            zarvel_node *ka = nullptr, *xa = nullptr, *kb = nullptr, *xb = nullptr;
            zarvel_node_map_at(a, i, &ka, &xa);
            zarvel_node_map_at(b, i, &kb, &xb);
            same_tree(ka, kb, depth + 1);
            same_tree(xa, xb, depth + 1);
        }
    }
}

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
        // Open fault, tolerated so that the run finds the others: infinite
        // and NaN numbers are written as ".inf"/".nan", which is no JSON.
        if (!again && std::string(json, length).find(".inf") == std::string::npos &&
            std::string(json, length).find(".nan") == std::string::npos)
            mismatch();
        if (!again) {
            zarvel_free(json);
            continue;
        }
        same_tree(zarvel_document_root(doc, 0), zarvel_document_root(again, 0), 0);
        zarvel_document_free(again);
        zarvel_free(json);
    }
    zarvel_document_free(doc);
    return 0;
}
