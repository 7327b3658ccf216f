// Marshal output of `zarvel convert --to marshal`.
#include "marshal_output.hpp"

#include <string>

namespace zarvel_tool {

namespace {

// Reports a failed marshal call; status 1 carries the parser's position.
int report(const std::string &name, int32_t status) {
    uint32_t line = 0, column = 0;
    const char *message = zarvel_last_error(&line, &column);
    switch (status) {
    case 1: return fail(name + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + message);
    case 2: return fail("out of memory while writing the output");
    case 7: return fail(std::string(message) + " (status 7)");
    default: return fail("marshal failed (status " + std::to_string(status) + ")");
    }
}

int emit(char *bytes, uint64_t length) {
    const bool ok = write_output(bytes, length);
    zarvel_marshal_free(bytes);
    return ok ? exit_ok : exit_failure;
}

}  // namespace

int write_marshal(const input &in, int32_t schema, bool all) {
    char *bytes = nullptr;
    uint64_t length = 0;
    const int32_t status = zarvel_marshal(in.bytes.data(), in.bytes.size(), schema, all ? 0 : 1, &bytes, &length);
    if (status != 0) return report(in.name, status);
    return emit(bytes, length);
}

int write_marshal_document(zarvel_document *document) {
    zarvel_node *root = zarvel_document_root(document, 0);
    if (!root) return fail("no document to write");
    char *bytes = nullptr;
    uint64_t length = 0;
    const int32_t status = zarvel_marshal_node(root, &bytes, &length);
    if (status != 0) return report("-", status);
    return emit(bytes, length);
}

}  // namespace zarvel_tool
