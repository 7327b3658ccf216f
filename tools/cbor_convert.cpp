// CBOR input and output for `zarvel convert`.
#include "cbor_convert.hpp"

#include <string>

#include "cbor/encode.hpp"

namespace zarvel_tool {

namespace {

const char *encode_reason(int32_t status) {
    switch (status) {
    case 2: return "out of memory";
    case 6: return "no root";
    case 7:
        return "holds a node CBOR cannot express (an alias, a non-numeric tag, or a number text "
               "that is not a JSON number)";
    default: return "internal length mismatch";
    }
}

struct sequence_walk {
    const std::function<bool(zarvel_document *, uint64_t)> *each;
    bool write_failed = false;
};

int32_t take_document(void *user, zarvel_document *document, uint64_t index) {
    auto &walk = *static_cast<sequence_walk *>(user);
    const bool ok = (*walk.each)(document, index);
    zarvel_document_free(document);
    if (!ok) walk.write_failed = true;
    return ok ? 0 : 1;
}

}  // namespace

int write_cbor(zarvel_document *document, bool canonical) {
    const uint32_t count = zarvel_document_count(document);
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t length = 0;
        int32_t status = 0;
        uint8_t *bytes = zvl::cbor::encode_root(document, i, canonical ? ZARVEL_CBOR_CANONICAL : 0, &length, &status);
        if (!bytes)
            return fail("document " + std::to_string(i) + " cannot be encoded as CBOR: " + encode_reason(status));
        const bool ok = write_output(bytes, length);
        zarvel_free(bytes);
        if (!ok) return exit_failure;
    }
    return exit_ok;
}

int read_cbor(const input &in, bool strict,
              const std::function<bool(zarvel_document *document, uint64_t index)> &each) {
    sequence_walk walk{&each};
    int32_t status = 0;
    const auto *data = reinterpret_cast<const uint8_t *>(in.bytes.data());
    const uint64_t index =
        zarvel_cbor_decode_sequence(data, in.bytes.size(), strict ? 1 : 0, take_document, &walk, &status);
    if (walk.write_failed) return exit_failure;  // the writer said why
    if (status != 0) {
        // The sequence message names the item; the decoder's own reason comes
        // from decoding that item alone.
        std::string message = zarvel_last_error(nullptr, nullptr);
        uint64_t offset = 0;
        for (uint64_t i = 0; i < index; ++i) {
            uint64_t consumed = 0;
            zvl_cbor_sink skip{};
            zvl_cbor_decode_gen(data + offset, in.bytes.size() - offset, strict, &consumed, &skip);
            offset += consumed;
        }
        uint64_t consumed = 0;
        zvl_cbor_sink skip{};
        if (zvl_cbor_decode_gen(data + offset, in.bytes.size() - offset, strict, &consumed, &skip) != 0)
            message += std::string(": ") + zarvel_last_error(nullptr, nullptr);
        return fail(in.name + ": " + message);
    }
    return exit_ok;
}

}  // namespace zarvel_tool
