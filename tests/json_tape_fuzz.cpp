// libFuzzer target over the strict and the lenient JSON tape parse.
//
// Build and run (from the project root):
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Iinclude -Isrc
//       -DZARVEL_BUILDING tests/json_tape_fuzz.cpp
//       src/json/*.cpp
//       src/core/*.cpp src/yaml/decode.cpp src/doc/resolve.cpp -o json_tape_fuzz   (one line)
//   ./json_tape_fuzz -max_total_time=60 ../shared/conformance/json-test-suite
//
// tests/json_fuzz_test.cpp includes this file and drives the same checks over
// a bounded set of mutated inputs in every test run.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/kernels.hpp"
#include "zarvel.h"

namespace json_fuzz {

// Aborts (so that the fuzzer reports the input) when a tape breaks one of
// its invariants: spans inside the text, partners that point at each other,
// brackets balanced, entry 0 the document.
// Returns the deepest nesting of the tape.
inline uint64_t check_tape(const zarvel_tape &tape, const char *text, uint64_t len) {
    if (tape.count < 2 || tape.types[0] != ZARVEL_TAPE_DOCUMENT || tape.text != text || tape.text_len != len)
        std::abort();
    uint64_t depth = 0, deepest = 0;
    for (uint64_t i = 1; i < tape.count; ++i) {
        uint8_t type = tape.types[i];
        uint32_t start = tape.starts[i];
        switch (type) {
        case ZARVEL_TAPE_ARRAY:
        case ZARVEL_TAPE_OBJECT:
            if (start <= i || start >= tape.count || tape.types[start] != ZARVEL_TAPE_CLOSE ||
                tape.starts[start] != i || tape.lens[i] != 0)
                std::abort();
            if (++depth > deepest) deepest = depth;
            break;
        case ZARVEL_TAPE_CLOSE:
            if (depth == 0 || start >= i) std::abort();
            --depth;
            break;
        case ZARVEL_TAPE_NULL:
        case ZARVEL_TAPE_TRUE:
        case ZARVEL_TAPE_FALSE:
        case ZARVEL_TAPE_INT:
        case ZARVEL_TAPE_FLOAT:
        case ZARVEL_TAPE_STRING:
        case ZARVEL_TAPE_RAW:
            if (start > len || tape.lens[i] > len - start) std::abort();
            if (type == ZARVEL_TAPE_STRING && (start == 0 || text[start - 1] != '"' || start + tape.lens[i] >= len ||
                                               text[start + tape.lens[i]] != '"'))
                std::abort();
            break;
        default: std::abort();
        }
    }
    if (depth != 0) std::abort();
    return deepest;
}

inline bool all_zero(const zarvel_tape &tape) {
    zarvel_tape zero{};
    return std::memcmp(&tape, &zero, sizeof tape) == 0;
}

inline void run_one(const char *text, uint64_t len) {
    zarvel_tape strict{};
    int32_t status = zarvel_parse_json_tape(text, len, &strict);
    uint64_t offset = 0;
    int32_t valid = zvl_json_document(text, len, &offset);
    if (status == 0) {
        uint64_t deepest = check_tape(strict, text, len);
        // Only the builders' extra 256th level is taken without validation.
        if (!valid && deepest != 256) std::abort();
        double scratch_d[64];
        int64_t scratch_i[64];
        uint64_t last = strict.count < 64 ? strict.count : 64;
        if (zarvel_tape_convert(&strict, 0, last, scratch_i, scratch_d) < 0) std::abort();
    } else {
        if (status != 1 && status != 3 && status != 4) std::abort();
        if (!all_zero(strict)) std::abort();
        if (status == 1 && valid) std::abort();
        // Too deep: the validator stops at the same bracket.
        if (status == 3 && (valid || offset >= len || (text[offset] != '[' && text[offset] != '{'))) std::abort();
        if (status == 4 && !valid) std::abort();
        if (!valid && offset > len) std::abort();
    }
    zarvel_tape_free(&strict);

    zarvel_tape lenient{};
    int32_t lenient_status = zarvel_parse_json_tape_lenient(text, len, &lenient);
    if (lenient_status == 0) {
        zarvel_tape_columns(&lenient);
        check_tape(lenient, text, len);
        zarvel_tape_convert(&lenient, 0, lenient.count, nullptr, nullptr);
    } else {
        if (lenient_status != 1 && lenient_status != 3 && lenient_status != 4) std::abort();
        if (!all_zero(lenient)) std::abort();
        // Strict JSON is always lenient JSON.
        if (status == 0) std::abort();
    }
    zarvel_tape_free(&lenient);
}

}  // namespace json_fuzz

// fuzz/json_fuzz.cpp adds its own checks around run_one.
#ifndef ZARVEL_JSON_TAPE_NO_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    json_fuzz::run_one(reinterpret_cast<const char *>(data), size);
    return 0;
}
#endif
