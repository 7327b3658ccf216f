// CBOR decode and encode, beside libcbor.
#if ZB_HAVE_LIBCBOR
#include <cbor.h>
#endif
#include <string>
#include <vector>

#include "harness.hpp"

namespace {

using namespace zb;

void cbor_cases(const std::vector<named_input> &inputs) {
    for (const auto &in : inputs) {
        const auto *data = reinterpret_cast<const uint8_t *>(in.text.data());
        const uint64_t len = in.text.size();
        row &r = start_row("CBOR decode", in.name, len, [&] {
            int32_t status = 0;
            zarvel_document *doc = zarvel_cbor_decode(data, len, 0, &status);
            if (!doc) return false;
            zarvel_document_free(doc);
            return true;
        });
#if ZB_HAVE_LIBCBOR
        peer(r, "libcbor", [&] {
            cbor_load_result result;
            cbor_item_t *item = cbor_load(data, len, &result);
            if (!item) return false;
            cbor_decref(&item);
            return true;
        });
#endif
        (void)r;
        int32_t status = 0;
        zarvel_document *doc = zarvel_cbor_decode(data, len, 0, &status);
        if (!doc) continue;
        row &e = start_row("CBOR encode", in.name, len,
                           timed_output([&](uint64_t &n) { return zarvel_cbor_encode(doc, 0, &n); }));
#if ZB_HAVE_LIBCBOR
        cbor_load_result result;
        cbor_item_t *item = cbor_load(data, len, &result);
        if (item) {
            // Both sides write one fresh buffer in one serialisation. libcbor
            // has no size query, and cbor_serialize_alloc serialises the
            // whole item again after every doubling of its buffer (about
            // five times here): it gets a buffer of its known size instead.
            unsigned char *first = nullptr;
            size_t capacity = 0;
            const size_t size = cbor_serialize_alloc(item, &first, &capacity);
            free(first);
            peer(e, "libcbor", [&] {
                auto *out = static_cast<unsigned char *>(malloc(size));
                const size_t n = out ? cbor_serialize(item, out, size) : 0;
                free(out);
                return n == size && n > 0;
            });
            cbor_decref(&item);
        }
#endif
        (void)e;
        zarvel_document_free(doc);
    }
}

// The JSON files as CBOR, written by this library's encoder from their JSON
// documents, so that the rows cover deep real-world trees, number-heavy
// arrays and long strings besides the generated records.
std::vector<named_input> from_json(const std::vector<named_input> &json) {
    std::vector<named_input> out;
    for (const auto &in : json) {
        int32_t status = 0;
        zarvel_document *doc = zarvel_parse_json(in.text.data(), in.text.size(), &status);
        if (!doc) continue;
        uint64_t n = 0;
        uint8_t *bytes = zarvel_cbor_encode(doc, 0, &n);
        if (bytes) {
            std::string name = in.name.substr(0, in.name.rfind('.')) + ".cbor";
            out.push_back({name, std::string(reinterpret_cast<const char *>(bytes), n)});
            zarvel_free(bytes);
        }
        zarvel_document_free(doc);
    }
    return out;
}

void run(const input_dirs &dirs) {
    cbor_cases(load(dirs.generated, {"block.cbor"}));
    cbor_cases(from_json(load(dirs.shared, {"twitter.json", "citm_catalog.json", "canada.json", "gsoc-2018.json"})));
}

}  // namespace

ZB_FAMILY("cbor", 70, run);
