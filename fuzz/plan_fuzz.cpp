// libFuzzer target over column plans. An even first byte: the input is a plan
// text, compiled and walked over a fixed small document (YAML and JSON) and
// its tape. An odd first byte: the rest is a JSON text walked by fixed plans.
//
// Differential check: for a JSON text without escapes, the document walk and
// the tape walk find the same rows, and the values that both store agree
// (ints, bools and strings exactly, floats by value).
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "zarvel.h"

namespace {

[[noreturn]] void mismatch() { __builtin_trap(); }

const char fixed_json[] =
    "{\"rows\": [{\"id\": 1, \"name\": \"a\", \"x\": 1.5, \"ok\": true}, {\"id\": -2, \"x\": 3, \"ok\": false},"
    " {\"name\": \"\", \"id\": 12345678901234567890, \"x\": null}, 7, {\"id\": \"s\"}],"
    " \"by\": {\"k\": {\"id\": 3, \"name\": \"k\"}, \"j\": [1]}, \"deep\": {\"er\": [{\"v\": 1}]}}";
const char fixed_yaml[] =
    "rows:\n- {id: 1, name: a, x: 1.5, ok: true}\n- &r {id: 0x10, x: .inf, ok: no}\n- *r\n"
    "by:\n  k: {id: 3, name: k}\n  j: [1]\ndeep: {er: [{v: 1}]}\n";

const char *fixed_plans[] = {
    "{\"kind\":\"seq\",\"path\":\"rows\",\"children\":[{\"name\":\"id\",\"kind\":\"int\"},{\"name\":\"name\",\"kind\":"
    "\"str\"},{\"name\":\"x\",\"kind\":\"float\"},{\"name\":\"ok\",\"kind\":\"bool\"}]}",
    "{\"kind\":\"map\",\"path\":[\"by\"],\"children\":[{\"name\":\"id\",\"kind\":\"float\"},{\"name\":\"name\",\"kind\":"
    "\"str\"}]}",
    "{\"kind\":\"seq\",\"path\":\"\",\"children\":[{\"name\":\"a\",\"kind\":\"str\"},{\"name\":\"b\",\"kind\":\"int\"}]}",
    "{\"kind\":\"seq\",\"path\":[\"deep\",\"er\"],\"children\":[{\"name\":\"v\",\"kind\":\"int\"}]}",
};

// Reads every array of a result within its row count.
void touch(const zarvel_plan_result *result, const zarvel_plan *plan, const char *text, uint64_t length, bool tape) {
    uint64_t rows = zarvel_plan_result_rows(result);
    volatile uint64_t sink = 0;
    for (uint64_t c = 0; c < zarvel_plan_column_count(plan); ++c) {
        uint32_t kind = zarvel_plan_result_kind(result, c);
        if (kind > ZARVEL_PLAN_BOOL) mismatch();
        const uint8_t *nulls = zarvel_plan_result_nulls(result, c);
        if (rows && !nulls) mismatch();
        for (uint64_t r = 0; r < rows; ++r) {
            if (nulls[r] > 1) mismatch();
            if (nulls[r]) continue;
            if (kind == ZARVEL_PLAN_INT || kind == ZARVEL_PLAN_BOOL)
                sink = sink + uint64_t(zarvel_plan_result_ints(result, c)[r]);
            if (kind == ZARVEL_PLAN_FLOAT) sink = sink + uint64_t(zarvel_plan_result_floats(result, c)[r] != 0);
            if (kind == ZARVEL_PLAN_STR && tape) {
                uint32_t off = zarvel_plan_result_str_offs(result, c)[r],
                         len = zarvel_plan_result_str_lens(result, c)[r];
                if (uint64_t(off) + len > length) mismatch();
                if (len) sink = sink + uint8_t(text[off + len - 1]);
            }
            if (kind == ZARVEL_PLAN_STR && !tape) {
                const zarvel_plan_str &s = zarvel_plan_result_strs(result, c)[r];
                if (s.len) sink = sink + uint8_t(s.ptr[s.len - 1]);
            }
        }
    }
}

void same_results(const zarvel_plan_result *d, const zarvel_plan_result *t, const zarvel_plan *plan, const char *text) {
    uint64_t rows = zarvel_plan_result_rows(d);
    if (rows != zarvel_plan_result_rows(t)) mismatch();
    for (uint64_t c = 0; c < zarvel_plan_column_count(plan); ++c) {
        uint32_t kind = zarvel_plan_result_kind(d, c);
        if (kind != zarvel_plan_result_kind(t, c)) mismatch();
        const uint8_t *dn = zarvel_plan_result_nulls(d, c), *tn = zarvel_plan_result_nulls(t, c);
        for (uint64_t r = 0; r < rows; ++r) {
            // Ints and floats of the two walks differ on numbers outside 64
            // bits; compare where both stored a value.
            if (dn[r] || tn[r]) {
                if ((kind == ZARVEL_PLAN_STR || kind == ZARVEL_PLAN_BOOL) && dn[r] != tn[r]) mismatch();
                continue;
            }
            if ((kind == ZARVEL_PLAN_INT || kind == ZARVEL_PLAN_BOOL) &&
                zarvel_plan_result_ints(d, c)[r] != zarvel_plan_result_ints(t, c)[r])
                mismatch();
            if (kind == ZARVEL_PLAN_FLOAT) {
                double x = zarvel_plan_result_floats(d, c)[r], y = zarvel_plan_result_floats(t, c)[r];
                if (x != y && !(std::isnan(x) && std::isnan(y))) mismatch();
            }
            if (kind == ZARVEL_PLAN_STR) {
                const zarvel_plan_str &s = zarvel_plan_result_strs(d, c)[r];
                uint32_t off = zarvel_plan_result_str_offs(t, c)[r], len = zarvel_plan_result_str_lens(t, c)[r];
                if (s.len != len || (len && std::memcmp(s.ptr, text + off, len) != 0)) mismatch();
            }
        }
    }
}

// Walks one plan over one JSON or YAML text through every road.
void walk(const zarvel_plan *plan, const char *text, uint64_t length, bool json) {
    int32_t status = -1;
    zarvel_document *doc = json ? zarvel_parse_json(text, length, &status) : zarvel_parse(text, length, &status);
    zarvel_plan_result *from_doc = doc ? zarvel_document_plan_walk(doc, plan, &status) : nullptr;
    if (from_doc) touch(from_doc, plan, text, length, false);
    if (doc && !from_doc && (status < 1 || status > 6)) mismatch();
    if (json) {
        zarvel_tape tape{};
        if (zarvel_parse_json_tape(text, length, &tape) == 0) {
            zarvel_plan_result *from_tape = zarvel_tape_plan_walk(&tape, plan, &status);
            if (from_tape) touch(from_tape, plan, text, length, true);
            if (from_doc && from_tape && !std::memchr(text, '\\', length))
                same_results(from_doc, from_tape, plan, text);
            zarvel_plan_result_free(from_tape);
        }
        zarvel_tape_free(&tape);
        if (zarvel_parse_json_tape_lenient(text, length, &tape) == 0) {
            zarvel_plan_result *from_tape = zarvel_tape_plan_walk(&tape, plan, &status);
            if (from_tape) touch(from_tape, plan, text, length, true);
            zarvel_plan_result_free(from_tape);
        }
        zarvel_tape_free(&tape);
    }
    zarvel_plan_result_free(from_doc);
    zarvel_document_free(doc);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const char *text = reinterpret_cast<const char *>(data) + 1;
    uint64_t length = size - 1;
    if (data[0] % 2 == 0) {
        int32_t status = -1;
        zarvel_plan *plan = zarvel_plan_compile(text, length, &status);
        if (!plan) {
            if (status == 0) mismatch();
            return 0;
        }
        if (status != 0 || zarvel_plan_column_count(plan) == 0) mismatch();
        walk(plan, fixed_json, sizeof fixed_json - 1, true);
        walk(plan, fixed_yaml, sizeof fixed_yaml - 1, false);
        zarvel_plan_free(plan);
    } else {
        for (const char *plan_text : fixed_plans) {
            zarvel_plan *plan = zarvel_plan_compile(plan_text, std::strlen(plan_text), nullptr);
            if (!plan) mismatch();
            walk(plan, text, length, true);
            walk(plan, text, length, false);
            zarvel_plan_free(plan);
        }
    }
    return 0;
}
