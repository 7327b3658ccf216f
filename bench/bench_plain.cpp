// Plain data output: plain JSON beside yyjson's writer and beside the
// library's YAML-flavoured JSON mode, and plain CBOR beside the node
// encoder, on the JSON benchmark files (documents without aliases, tags or
// merge keys, where all of them write the same values).
#if ZB_HAVE_YYJSON
#include "yyjson_write.hpp"
#endif
#include <string>
#include <vector>

#include "harness.hpp"
#include "inputs.hpp"

namespace {

using namespace zb;

void plain_cases(const std::vector<named_input> &inputs) {
    for (const auto &in : inputs) {
        const std::string &t = in.text;
        int32_t status = 0;
        zarvel_document *doc = zarvel_parse_json(t.data(), t.size(), &status);
        if (!doc) continue;
        uint64_t out_len = 0;
        char *probe = zarvel_plain_json(doc, &out_len, &status);
        zarvel_free(probe);
        if (!probe) {
            zarvel_document_free(doc);
            continue;
        }
        row &r = start_row("Plain JSON out", in.name, out_len, [&] {
            uint64_t n = 0;
            int32_t s = 0;
            char *out = zarvel_plain_json(doc, &n, &s);
            sink_value = n;
            zarvel_free(out);
            return out != nullptr;
        });
#if ZB_HAVE_YYJSON
        peer_yyjson_write(r, t);
#endif
        peer(r, "zarvel JSON mode", [&] {
            uint64_t n = 0;
            char *out = zarvel_serialize_json_ex(doc, &n, 1);
            sink_value = n;
            zarvel_free(out);
            return out != nullptr;
        });
        uint64_t cbor_len = 0;
        uint8_t *cbor_probe = zarvel_plain_cbor(doc, &cbor_len, &status);
        zarvel_free(cbor_probe);
        if (cbor_probe) {
            row &c = start_row("Plain CBOR out", in.name, cbor_len, [&] {
                uint64_t n = 0;
                int32_t s = 0;
                uint8_t *out = zarvel_plain_cbor(doc, &n, &s);
                sink_value = n;
                zarvel_free(out);
                return out != nullptr;
            });
            peer(c, "zarvel node encoder", [&] {
                uint64_t n = 0;
                uint8_t *out = zarvel_cbor_encode(doc, 0, &n);
                sink_value = n;
                zarvel_free(out);
                return out != nullptr;
            });
        }
        zarvel_document_free(doc);
    }
}

void run(const input_dirs &dirs) { plain_cases(json_inputs(dirs)); }

}  // namespace

ZB_FAMILY("plain", 35, run);
