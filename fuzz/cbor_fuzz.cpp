// libFuzzer target: CBOR decoding (single item and sequence), and for every
// input that decodes, decode -> encode -> decode -> encode must reach a fixed
// point in both key orders.
//
// Build (clang, from the project root, after building the static library
// with the same sanitizers):
//   cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
//         -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" -DZARVEL_BUILD_TESTS=OFF
//   cmake --build build-fuzz --target zarvel_static -j2
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Iinclude fuzz/cbor_fuzz.cpp \
//           build-fuzz/libzarvel.a -o build-fuzz/cbor_fuzz
//   ./build-fuzz/cbor_fuzz -max_total_time=60 -max_len=4096
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "zarvel.h"

namespace {

struct encoding {
    uint8_t *bytes = nullptr;
    uint64_t length = 0;
    ~encoding() { zarvel_free(bytes); }
};

// Decodes and encodes; false when the input does not decode. An item that
// decodes but does not encode is a fault.
bool reencode(const uint8_t *data, size_t size, uint32_t flags, encoding &out) {
    int32_t status = -1;
    zarvel_document *doc = zarvel_cbor_decode(data, size, 0, &status);
    if (!doc) {
        if (status < 1 || status > 4) std::abort();
        return false;
    }
    out.bytes = zarvel_cbor_encode(doc, flags, &out.length);
    zarvel_document_free(doc);
    if (!out.bytes) std::abort();
    return true;
}

int32_t drop(void *, zarvel_document *document, uint64_t) {
    zarvel_document_free(document);
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int32_t status = -1;
    zarvel_cbor_decode_sequence(data, size, 0, drop, nullptr, &status);
    zarvel_cbor_decode_sequence(data, size, 1, drop, nullptr, &status);
    zarvel_document_free(zarvel_cbor_decode(data, size, 1, &status));
    for (uint32_t flags : {0u, 2u}) {
        encoding once, twice;
        if (!reencode(data, size, flags, once)) return 0;
        if (!reencode(once.bytes, once.length, flags, twice)) std::abort();
        if (once.length != twice.length || std::memcmp(once.bytes, twice.bytes, once.length) != 0) std::abort();
    }
    return 0;
}
