// Portable classifier of the structural index and the choice of variant.
#include "json/structural.hpp"

#include <atomic>

namespace zvl::json {

index_block_classes index_classify_portable(const char *block) {
    index_block_classes c{};
    for (uint32_t i = 0; i < 64; ++i) {
        auto b = static_cast<uint8_t>(block[i]);
        uint64_t bit = 1ull << i;
        switch (b) {
        case '"': c.quotes |= bit; break;
        case '\\': c.backslashes |= bit; break;
        case '{':
        case '}':
        case '[':
        case ']':
        case ',':
        case ':': c.operators |= bit; break;
        case 0x0C:
        case 0x1A:
            c.operators |= bit;
            c.controls |= bit;
            break;  // see index_block_classes
        case ' ': c.whitespace |= bit; break;
        case '\t':
        case '\n':
        case '\r':
            c.whitespace |= bit;
            c.controls |= bit;
            break;
        default:
            if (b < 0x20) c.controls |= bit;
            break;
        }
    }
    return c;
}

namespace {

// Writes the offsets of the set bits of one block.
inline uint32_t put_offsets(uint64_t bits, uint32_t base, uint16_t *out) {
    uint32_t n = 0;
    while (bits) {
        out[n++] = static_cast<uint16_t>(base + static_cast<uint32_t>(__builtin_ctzll(bits)));
        bits &= bits - 1;
    }
    return n;
}

bool always() { return true; }

}  // namespace

uint32_t index_fill_portable(index_state &s, const char *text, uint64_t len, uint16_t *out) {
    uint32_t n = 0;
    const uint64_t chunk = s.offset;
    for (uint32_t b = 0; b < index_chunk_blocks && s.offset < len; ++b) {
        const char *block = text + s.offset;
        char padded[64];
        uint64_t rest = len - s.offset;
        if (rest < 64) {
            for (uint64_t i = 0; i < 64; ++i) padded[i] = i < rest ? block[i] : ' ';
            block = padded;
        }
        for (uint32_t i = 0; i < 64; ++i)
            if (static_cast<uint8_t>(block[i]) >= 0x80) s.special = true;
        uint64_t bits = index_bits(s, index_classify_portable(block), index_prefix_xor);
        n += put_offsets(bits, static_cast<uint32_t>(s.offset - chunk), out + n);
        s.offset += rest < 64 ? rest : 64;
    }
    return n;
}

// Defined with the vector variants; null where the target has none.
const index_variant *index_variant_avx2();
const index_variant *index_variant_avx512();

std::span<const index_variant> index_variants() {
    static const auto all = [] {
        struct table {
            index_variant entries[4];
            size_t count;
        } t{};
        t.entries[t.count++] = {"portable", index_fill_portable, false, always};
        for (const index_variant *v : {index_variant_avx2(), index_variant_avx512()})
            if (v) t.entries[t.count++] = *v;
        return t;
    }();
    return {all.entries, all.count};
}

const index_variant *index_best() {
    // Published once; racing threads pick the same entry.
    static std::atomic<const index_variant *> chosen{nullptr};
    static std::atomic<bool> probed{false};
    if (probed.load(std::memory_order_acquire)) return chosen.load(std::memory_order_relaxed);
    const index_variant *best = nullptr;
    std::span<const index_variant> all = index_variants();
    for (size_t i = 1; i < all.size(); ++i)
        if (all[i].supported()) best = &all[i];  // later variants are faster
    chosen.store(best, std::memory_order_relaxed);
    probed.store(true, std::memory_order_release);
    return best;
}

}  // namespace zvl::json
