// Copies of short runs without a call: most output items (keys, values,
// separators, CBOR heads) are a few bytes, where a memcpy call costs more
// than the move itself.
#pragma once

#include <cstdint>
#include <cstring>

namespace zvl {

// Fixed-size moves, two overlapping ones for 4 to 16 bytes; reads stay
// within the source.
inline void copy_run(void *destination, const void *source, uint64_t n) {
    auto *to = static_cast<unsigned char *>(destination);
    const auto *from = static_cast<const unsigned char *>(source);
    if (n > 16) {
        std::memcpy(to, from, n);
    } else if (n >= 8) {
        uint64_t a, b;
        std::memcpy(&a, from, 8);
        std::memcpy(&b, from + n - 8, 8);
        std::memcpy(to, &a, 8);
        std::memcpy(to + n - 8, &b, 8);
    } else if (n >= 4) {
        uint32_t a, b;
        std::memcpy(&a, from, 4);
        std::memcpy(&b, from + n - 4, 4);
        std::memcpy(to, &a, 4);
        std::memcpy(to + n - 4, &b, 4);
    } else if (n > 0) {
        to[0] = from[0];
        to[n / 2] = from[n / 2];
        to[n - 1] = from[n - 1];
    }
}

}  // namespace zvl
