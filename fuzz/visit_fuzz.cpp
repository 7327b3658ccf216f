// libFuzzer target over the visitors: zarvel_visit (both schemas),
// zarvel_visit_json and zarvel_visit_node over the parsed document, with
// callbacks that stop the walk at a point chosen by the input.
//
// Differential check: when zarvel_visit_json and zarvel_visit both take the
// same text, they report the same shape (collection starts and ends, keys,
// one scalar callback per scalar) in the same order; so does zarvel_visit_node
// over the JSON document of that text.
#include <cstdint>
#include <string>

#include "zarvel.h"

namespace {

[[noreturn]] void mismatch() { __builtin_trap(); }

struct trace {
    std::string shape;     // one letter per callback
    uint64_t stop_at = 0;  // callback number that stops the walk (0: never)
    uint64_t calls = 0;
    int32_t step(char c) {
        shape += c;
        return ++calls == stop_at;
    }
};

trace &of(void *user) { return *static_cast<trace *>(user); }

int32_t text_ok(const char *text, uint64_t length) {
    // Texts must be readable in full during the call.
    volatile char last = 0;
    if (length) last = text[length - 1];
    (void)last;
    return 0;
}

zarvel_visitor make_visitor(bool with_keys) {
    zarvel_visitor v{};
    v.on_null = [](void *u) { return of(u).step('v'); };
    v.on_bool = [](void *u, int32_t) { return of(u).step('v'); };
    v.on_int = [](void *u, int64_t) { return of(u).step('v'); };
    v.on_double = [](void *u, double) { return of(u).step('v'); };
    v.on_string = [](void *u, const char *t, uint64_t n) { return text_ok(t, n) | of(u).step('v'); };
    v.on_seq_start = [](void *u) { return of(u).step('['); };
    v.on_seq_end = [](void *u) { return of(u).step(']'); };
    v.on_map_start = [](void *u) { return of(u).step('{'); };
    v.on_map_end = [](void *u) { return of(u).step('}'); };
    if (with_keys) v.on_key = [](void *u, const char *t, uint64_t n) { return text_ok(t, n) | of(u).step('k'); };
    v.on_document = [](void *u) { return of(u).step('d'); };
    v.on_anchor = [](void *u, const char *t, uint64_t n) { return text_ok(t, n) | of(u).step('&'); };
    v.on_alias = [](void *u, const char *t, uint64_t n) { return text_ok(t, n) | of(u).step('*'); };
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);
    uint64_t stop = size ? data[size - 1] % 64 : 0;
    const zarvel_visitor keyed = make_visitor(true), unkeyed = make_visitor(false);

    // Stopped walks: any callback may end the walk.
    for (int32_t schema : {0, 1}) {
        trace t;
        t.stop_at = stop;
        int32_t status = zarvel_visit(text, size, schema, schema ? &unkeyed : &keyed, &t);
        if (status != 0 && status != 1 && status != 2 && status != 8) mismatch();
        if (status == 8 && (stop == 0 || t.calls != stop)) mismatch();
    }
    trace stopped;
    stopped.stop_at = stop;
    int32_t json_status = zarvel_visit_json(text, size, &keyed, &stopped);
    if (json_status != 0 && json_status != 1 && json_status != 2 && json_status != 3) mismatch();

    // Full walks and their shapes.
    trace json, yaml;
    json_status = zarvel_visit_json(text, size, &keyed, &json);
    int32_t yaml_status = zarvel_visit(text, size, 0, &keyed, &yaml);
    if (json_status == 0 && yaml_status == 0) {
        // zarvel_visit adds a document callback before the value.
        if (yaml.shape != "d" + json.shape) mismatch();
    }
    int32_t status = -1;
    zarvel_document *doc =
        json_status == 0 ? zarvel_parse_json(text, size, &status) : zarvel_parse(text, size, &status);
    if (doc) {
        uint32_t count = zarvel_document_count(doc);
        for (uint32_t d = 0; d < count && d < 8; ++d) {
            trace node;
            int32_t s = zarvel_visit_node(zarvel_document_root(doc, d), &keyed, &node);
            if (s != 0 && s != 8) mismatch();
            if (json_status == 0 && s == 0 && node.shape != json.shape) mismatch();
            trace cut;
            cut.stop_at = stop;
            zarvel_visit_node(zarvel_document_root(doc, d), &unkeyed, &cut);
        }
        zarvel_document_free(doc);
    }
    return 0;
}
