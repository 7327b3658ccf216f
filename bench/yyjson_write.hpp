// yyjson's writer as a peer row: reads the text once, then times the write.
#pragma once

#include <yyjson.h>

#include <cstdlib>
#include <string>

#include "harness.hpp"

namespace zb {

inline void peer_yyjson_write(row &r, const std::string &text) {
    yyjson_doc *y = yyjson_read(text.data(), text.size(), 0);
    if (!y) return;
    peer(r, "yyjson write", [&] {
        size_t n = 0;
        char *out = yyjson_write(y, 0, &n);
        sink_value = n;
        free(out);
        return out != nullptr;
    });
    yyjson_doc_free(y);
}

}  // namespace zb
