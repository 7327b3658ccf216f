// CBOR benchmark: decode to a document and encode from it, side by side with
// libcbor's decoder (cbor_load) and encoder (cbor_serialize_alloc).
//
// Input: a CBOR file, or a YAML file whose documents are gathered into one
// array and repeated until the encoding reaches about 20 MB (the CBOR twin
// of the block-YAML benchmark data).
//
// Build (Debian libcbor-dev), from the project root:
//   cmake -S . -B build-rel -DCMAKE_BUILD_TYPE=Release && cmake --build build-rel --target zarvel_static -j2
//   g++ -std=c++20 -O2 -Iinclude -Isrc bench/cbor_bench.cpp build-rel/libzarvel.a -lcbor -o build-rel/cbor_bench
//   ./build-rel/cbor_bench ../shared/bench-data/k8s-argocd-install.yaml
#include <cbor.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "doc/store.hpp"
#include "zarvel.h"

namespace {

using clock_type = std::chrono::steady_clock;

// Best of several runs, in seconds; `after` runs outside the clock (frees
// what the run made).
double best_of(int runs, const std::function<void()> &body, const std::function<void()> &after = [] {}) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const auto start = clock_type::now();
        body();
        const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
        best = std::min(best, seconds);
        if (i + 1 < runs) after();
    }
    return best;
}

std::vector<uint8_t> read_file(const char *path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// YAML stream -> one CBOR array of its documents, repeated to ~20 MB.
std::vector<uint8_t> cbor_twin(const std::vector<uint8_t> &yaml) {
    int32_t status = -1;
    zarvel_document *stream = zarvel_parse(reinterpret_cast<const char *>(yaml.data()), yaml.size(), &status);
    if (!stream) return {};
    const uint32_t count = zarvel_document_count(stream);
    zarvel_node_store *store = stream->store;
    std::vector<uint8_t> items;
    uint32_t encoded = 0;
    for (uint32_t i = 0; i < count; ++i) {
        // The encoder takes a document's first root: show it each root in turn.
        std::swap(store->roots[0], store->roots[i]);
        uint64_t n = 0;
        uint8_t *bytes = zarvel_cbor_encode(stream, 0, &n);
        std::swap(store->roots[0], store->roots[i]);
        if (!bytes) continue;  // e.g. a document with YAML tags
        items.insert(items.end(), bytes, bytes + n);
        zarvel_free(bytes);
        ++encoded;
    }
    zarvel_document_free(stream);
    if (items.empty()) return {};
    const uint64_t copies = (20u << 20) / items.size() + 1;
    std::vector<uint8_t> out;
    const uint64_t total = copies * encoded;
    out.push_back(0x9A);  // array with a 4-byte count
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(total >> shift));
    for (uint64_t i = 0; i < copies; ++i) out.insert(out.end(), items.begin(), items.end());
    return out;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: cbor_bench FILE.cbor|FILE.yaml [runs]\n");
        return 2;
    }
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    std::vector<uint8_t> data = read_file(argv[1]);
    const std::string path = argv[1];
    if (path.size() > 5 && path.substr(path.size() - 5) == ".yaml") data = cbor_twin(data);
    if (data.empty()) {
        std::fprintf(stderr, "no input\n");
        return 1;
    }
    const double mb = double(data.size()) / (1024.0 * 1024.0);
    std::printf("input: %.1f MB of CBOR\n", mb);

    // zarvel
    zarvel_document *doc = nullptr;
    const double z_decode = best_of(
        runs,
        [&] {
            int32_t status = -1;
            doc = zarvel_cbor_decode(data.data(), data.size(), 0, &status);
            if (!doc) std::fprintf(stderr, "zarvel decode failed: %s\n", zarvel_last_error(nullptr, nullptr));
        },
        [&] { doc = zarvel_document_free(doc); });
    uint64_t z_size = 0;
    uint8_t *z_out = nullptr;
    const double z_encode = best_of(
        runs,
        [&] {
            z_out = zarvel_cbor_encode(doc, 0, &z_size);
            if (!z_out) std::fprintf(stderr, "zarvel encode failed: %s\n", zarvel_last_error(nullptr, nullptr));
        },
        [&] {
            zarvel_free(z_out);
            z_out = nullptr;
        });
    zarvel_free(z_out);
    zarvel_document_free(doc);

    // libcbor
    cbor_item_t *item = nullptr;
    const double c_decode = best_of(
        runs,
        [&] {
            cbor_load_result result;
            item = cbor_load(data.data(), data.size(), &result);
            if (!item) std::fprintf(stderr, "libcbor decode failed\n");
        },
        [&] { cbor_decref(&item); });
    size_t c_size = 0;
    unsigned char *c_out = nullptr;
    const double c_encode = best_of(
        runs,
        [&] {
            size_t capacity = 0;
            c_size = cbor_serialize_alloc(item, &c_out, &capacity);
        },
        [&] {
            free(c_out);
            c_out = nullptr;
        });
    free(c_out);
    if (item) cbor_decref(&item);

    std::printf("%-8s %12s %12s\n", "", "decode MB/s", "encode MB/s");
    std::printf("%-8s %12.1f %12.1f\n", "zarvel", mb / z_decode, mb / z_encode);
    std::printf("%-8s %12.1f %12.1f\n", "libcbor", mb / c_decode, mb / c_encode);
    std::printf("ratio    %12.2fx %11.2fx\n", c_decode / z_decode, c_encode / z_encode);
    std::printf("encoded sizes: zarvel %llu, libcbor %zu bytes\n", (unsigned long long)z_size, c_size);
    return 0;
}
