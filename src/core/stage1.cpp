// The portable stage-1 classifier, the exported portable kernels and the
// list of variants.
#include "core/stage1.hpp"

namespace zvl::json {

index_block_classes index_classify_portable(const char *block) {
    index_block_classes c{};
    for (uint32_t i = 0; i < 64; ++i) {
        auto b = static_cast<uint8_t>(block[i]);
        uint64_t bit = 1ull << i;
        switch (b) {
        case '"':
            c.quotes |= bit;
            c.separators |= bit;
            break;
        case '\\': c.backslashes |= bit; break;
        case '{':
        case '}':
        case '[':
        case ']':
        case ',':
        case ':':
            c.operators |= bit;
            c.separators |= bit;
            break;
        case 0x0C:
        case 0x1A:
            c.operators |= bit;
            c.separators |= bit;
            c.controls |= bit;
            break;  // see index_block_classes
        case ' ': c.separators |= bit; break;
        case '\t':
        case '\n':
        case '\r':
            c.separators |= bit;
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

// Writes the offsets of the set bits of one block and their bytes.
inline uint32_t put_offsets(uint64_t bits, uint32_t base, const char *block, uint16_t *offsets, uint8_t *bytes) {
    uint32_t n = 0;
    while (bits) {
        auto at = static_cast<uint32_t>(__builtin_ctzll(bits));
        offsets[n] = static_cast<uint16_t>(base + at);
        bytes[n++] = static_cast<uint8_t>(block[at]);
        bits &= bits - 1;
    }
    return n;
}

bool always() { return true; }

}  // namespace

uint32_t index_fill_portable(index_state &s, const char *text, uint64_t len, uint16_t *offsets, uint8_t *bytes) {
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
        uint64_t bits = index_bits(s, index_classify_portable(block), prefix_xor_portable);
        n += put_offsets(bits, static_cast<uint32_t>(s.offset - chunk), block, offsets + n, bytes + n);
        s.offset += rest < 64 ? rest : 64;
    }
    return n;
}

std::span<const index_variant> index_variants() {
    static const auto all = [] {
        struct table {
            index_variant entries[3];
            size_t count;
        } t{};
        t.entries[t.count++] = {"portable", index_fill_portable,    false,
                                always,     zvl_json_stage1_scalar, zvl_json_stage1_masks_scalar};
        for (const index_variant *v : {index_variant_avx2(), index_variant_avx512()})
            if (v) t.entries[t.count++] = *v;
        return t;
    }();
    return {all.entries, all.count};
}

}  // namespace zvl::json

using namespace zvl::json;

int32_t zvl_json_stage1_masks_scalar(const char *text, uint64_t len, zvl_json_stage1_block *blocks,
                                     uint64_t *block_count, int32_t *flags) {
    return stage1_masks_with(text, len, blocks, block_count, flags, index_classify_portable, prefix_xor_portable);
}

int32_t zvl_json_stage1_scalar(const char *text, uint64_t len, uint32_t *positions, uint64_t *count, int32_t *flags) {
    return stage1_positions_with(text, len, positions, count, flags, index_classify_portable, prefix_xor_portable);
}
