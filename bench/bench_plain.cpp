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
        const output_call plain_json = [&](uint64_t &n) { return zarvel_plain_json(doc, &n, &status); };
        uint64_t out_len = 0;
        if (!output_length(plain_json, out_len)) {
            zarvel_document_free(doc);
            continue;
        }
        row &r = start_row("Plain JSON out", in.name, out_len, timed_output(plain_json));
#if ZB_HAVE_YYJSON
        peer_yyjson_write(r, t);
#endif
        peer(r, "zarvel JSON mode", timed_output([&](uint64_t &n) { return zarvel_serialize_json_ex(doc, &n, 1); }));
        const output_call plain_cbor = [&](uint64_t &n) { return zarvel_plain_cbor(doc, &n, &status); };
        uint64_t cbor_len = 0;
        if (output_length(plain_cbor, cbor_len)) {
            row &c = start_row("Plain CBOR out", in.name, cbor_len, timed_output(plain_cbor));
            peer(c, "zarvel node encoder", timed_output([&](uint64_t &n) { return zarvel_cbor_encode(doc, 0, &n); }));
        }
        zarvel_document_free(doc);
    }
}

void run(const input_dirs &dirs) { plain_cases(json_inputs(dirs)); }

}  // namespace

ZB_FAMILY("plain", 35, run);
