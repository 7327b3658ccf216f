// AVX2 stage-1 classifier (x86-64): the raw classes of a block in a few
// vector steps, the prefix XOR by carry-less multiplication, and for the
// structural index a UTF-8 check in the same pass. The masks come from the
// shared code of stage1.hpp, so they equal the portable classifier's.
//
// UTF-8 check: every byte is judged together with the byte before it through
// three nibble lookups (high and low nibble of the previous byte, high nibble
// of this one), each giving the error kinds that nibble allows; a kind that
// all three allow is an error. Continuations are then matched against the
// lead bytes two and three places back.
#include "core/stage1.hpp"
#include "core/utf8_pairs.hpp"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace zvl::json {

#if defined(__x86_64__)

namespace {

#define ZVL_AVX2 __attribute__((target("avx2,bmi,bmi2,pclmul,popcnt")))

#define ZVL_TABLE16(...) _mm256_setr_epi8(__VA_ARGS__, __VA_ARGS__)

// A 16-byte table in both lanes (byte shuffles look up within their lane).
ZVL_AVX2 inline __m256i table16(const uint8_t *t) {
    return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i *>(t)));
}

ZVL_AVX2 inline __m256i lookup(__m256i table, __m256i nibbles) { return _mm256_shuffle_epi8(table, nibbles); }

ZVL_AVX2 inline __m256i high_nibbles(__m256i v) {
    return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
}

// The 32 bytes ending n bytes before the end of cur (n = 1..3), continuing
// from prev.
template <int n>
ZVL_AVX2 inline __m256i shifted(__m256i cur, __m256i prev) {
    return _mm256_alignr_epi8(cur, _mm256_permute2x128_si256(prev, cur, 0x21), 16 - n);
}

ZVL_AVX2 inline __m256i utf8_errors(__m256i cur, __m256i prev) {
    namespace pairs = zvl::utf8_pairs;
    const __m256i prev_high_table = table16(pairs::table.first_high);
    const __m256i prev_low_table = table16(pairs::table.first_low);
    const __m256i cur_high_table = table16(pairs::table.second_high);
    __m256i prev1 = shifted<1>(cur, prev);
    __m256i kinds =
        _mm256_and_si256(_mm256_and_si256(lookup(prev_high_table, high_nibbles(prev1)),
                                          lookup(prev_low_table, _mm256_and_si256(prev1, _mm256_set1_epi8(0x0F)))),
                         lookup(cur_high_table, high_nibbles(cur)));
    // Third byte of a three- or four-byte sequence, fourth of a four-byte one.
    __m256i third = _mm256_subs_epu8(shifted<2>(cur, prev), _mm256_set1_epi8(char(0xE0 - 1)));
    __m256i fourth = _mm256_subs_epu8(shifted<3>(cur, prev), _mm256_set1_epi8(char(0xF0 - 1)));
    __m256i wanted = _mm256_and_si256(_mm256_cmpgt_epi8(_mm256_or_si256(third, fourth), _mm256_setzero_si256()),
                                      _mm256_set1_epi8(char(0x80)));
    return _mm256_xor_si256(kinds, wanted);
}

// Nonzero when the last bytes of v begin a sequence that v does not finish.
ZVL_AVX2 inline __m256i unfinished(__m256i v) {
    const __m256i limits = _mm256_setr_epi8(
        char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF),
        char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF),
        char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF),
        char(0xFF), char(0xFF), char(0xF0 - 1), char(0xE0 - 1), char(0xC0 - 1));
    return _mm256_subs_epu8(v, limits);
}

ZVL_AVX2 inline uint32_t equal_bits(__m256i v, char c) {
    return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(c))));
}

constexpr char filler(int nibble) { return static_cast<char>(nibble ^ 1); }

// Operators and whitespace by low-nibble lookups: a byte is in the class
// when it equals the byte its low nibble looks up. Nibbles without a member
// look up a byte with another low nibble, which nothing equals. "[" and "]"
// are "{" and "}" without bit 5, so operators are looked up with bit 5 set;
// this also takes the control bytes 0x0C and 0x1A (as "," and ":"), which the
// classes define as operators too: no JSON text holds them outside strings,
// where the walk refuses them as it refuses any byte it does not expect.
ZVL_AVX2 inline uint32_t operator_bits(__m256i v, __m256i low) {
    const __m256i table = ZVL_TABLE16(filler(0), filler(1), filler(2), filler(3), filler(4), filler(5), filler(6),
                                      filler(7), filler(8), filler(9), ':', '{', ',', '}', filler(14), filler(15));
    __m256i folded = _mm256_or_si256(v, _mm256_set1_epi8(0x20));
    return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(folded, _mm256_shuffle_epi8(table, low))));
}

ZVL_AVX2 inline uint32_t whitespace_bits(__m256i v, __m256i low) {
    const __m256i table = ZVL_TABLE16(' ', filler(1), filler(2), filler(3), filler(4), filler(5), filler(6), filler(7),
                                      filler(8), '\t', '\n', filler(11), filler(12), '\r', filler(14), filler(15));
    return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_shuffle_epi8(table, low))));
}

ZVL_AVX2 inline uint32_t control_bits(__m256i v) {
    const __m256i limit = _mm256_set1_epi8(0x1F);
    return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(v, limit), limit)));
}

ZVL_AVX2 inline uint64_t join(uint32_t low, uint32_t high) { return low | (static_cast<uint64_t>(high) << 32); }

ZVL_AVX2 inline index_block_classes classify(__m256i lo, __m256i hi) {
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    __m256i lo_low = _mm256_and_si256(lo, nibble);
    __m256i hi_low = _mm256_and_si256(hi, nibble);
    index_block_classes c;
    c.quotes = join(equal_bits(lo, '"'), equal_bits(hi, '"'));
    c.backslashes = join(equal_bits(lo, '\\'), equal_bits(hi, '\\'));
    c.operators = join(operator_bits(lo, lo_low), operator_bits(hi, hi_low));
    c.separators = join(whitespace_bits(lo, lo_low), whitespace_bits(hi, hi_low)) | c.operators | c.quotes;
    c.controls = join(control_bits(lo), control_bits(hi));
    return c;
}

struct prefix_xor_clmul {
    ZVL_AVX2 uint64_t operator()(uint64_t x) const {
        __m128i product = _mm_clmulepi64_si128(_mm_set_epi64x(0, static_cast<long long>(x)),
                                               _mm_set1_epi8(static_cast<char>(0xFF)), 0);
        return static_cast<uint64_t>(_mm_cvtsi128_si64(product));
    }
};

// Writes the offsets of the set bits and their bytes, eight at a time
// without a test per bit (the writes past the count land in the chunk's
// slack and are not read; their reads stay within the block).
ZVL_AVX2 inline void put_offset(uint64_t &bits, uint32_t base, const char *block, uint16_t *offset, uint8_t *byte) {
    auto at = static_cast<uint32_t>(_tzcnt_u64(bits)) & 63;
    *offset = static_cast<uint16_t>(base + at);
    *byte = static_cast<uint8_t>(block[at]);
    bits = _blsr_u64(bits);
}

ZVL_AVX2 inline uint32_t put_offsets(uint64_t bits, uint32_t base, const char *block, uint16_t *offsets,
                                     uint8_t *bytes) {
    if (!bits) return 0;
    auto count = static_cast<uint32_t>(_mm_popcnt_u64(bits));
    for (uint32_t i = 0; i < 8; ++i) put_offset(bits, base, block, offsets + i, bytes + i);
    if (count > 8) {
        for (uint32_t i = 8; i < 16; ++i) put_offset(bits, base, block, offsets + i, bytes + i);
        for (uint32_t i = 16; bits; ++i) put_offset(bits, base, block, offsets + i, bytes + i);
    }
    return count;
}

// One block: its UTF-8 errors into errors, its offsets into offsets and bytes.
ZVL_AVX2 inline uint32_t fill_block(index_state &s, const char *block, uint32_t base, __m256i &prev, __m256i &errors,
                                    bool &high, uint16_t *offsets, uint8_t *bytes) {
    __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(block));
    __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(block + 32));
    if (_mm256_movemask_epi8(_mm256_or_si256(lo, hi)) == 0) {
        errors = _mm256_or_si256(errors, unfinished(prev));
    } else {
        high = true;
        errors = _mm256_or_si256(errors, utf8_errors(lo, prev));
        errors = _mm256_or_si256(errors, utf8_errors(hi, lo));
    }
    prev = hi;
    return put_offsets(index_bits(s, classify(lo, hi), prefix_xor_clmul{}), base, block, offsets, bytes);
}

ZVL_AVX2 uint32_t fill_avx2(index_state &s, const char *text, uint64_t len, uint16_t *offsets, uint8_t *bytes) {
    uint32_t n = 0;
    const uint64_t chunk = s.offset;
    __m256i prev = _mm256_load_si256(reinterpret_cast<const __m256i *>(s.tail));
    __m256i errors = _mm256_setzero_si256();
    bool high = false;
    uint64_t full = (len - s.offset) / 64;
    if (full > index_chunk_blocks) full = index_chunk_blocks;
    for (uint64_t b = 0; b < full; ++b, s.offset += 64)
        n += fill_block(s, text + s.offset, static_cast<uint32_t>(s.offset - chunk), prev, errors, high, offsets + n,
                        bytes + n);
    if (full < index_chunk_blocks && s.offset < len) {
        // The last, shorter block, padded with spaces (which also finish
        // nothing, so a sequence cut by the end shows as an error).
        alignas(32) char padded[64];
        uint64_t rest = len - s.offset;
        std::memset(padded, ' ', sizeof padded);
        std::memcpy(padded, text + s.offset, rest);
        n += fill_block(s, padded, static_cast<uint32_t>(s.offset - chunk), prev, errors, high, offsets + n, bytes + n);
        s.offset = len;
    } else if (s.offset >= len) {
        // A text that ends on a block boundary must not end inside a sequence.
        errors = _mm256_or_si256(errors, unfinished(prev));
    }
    _mm256_store_si256(reinterpret_cast<__m256i *>(s.tail), prev);
    if (!_mm256_testz_si256(errors, errors)) s.bad_utf8 = true;
    if (high) s.special = true;
    return n;
}

// The stage-1 records through the same classifier.
struct classify_block {
    ZVL_AVX2 index_block_classes operator()(const char *block) const {
        return classify(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(block)),
                        _mm256_loadu_si256(reinterpret_cast<const __m256i *>(block + 32)));
    }
};

ZVL_AVX2 int32_t positions_avx2(const char *text, uint64_t len, uint32_t *positions, uint64_t *count, int32_t *flags) {
    return stage1_positions_with(text, len, positions, count, flags, classify_block{}, prefix_xor_clmul{});
}

ZVL_AVX2 int32_t masks_avx2(const char *text, uint64_t len, zvl_json_stage1_block *blocks, uint64_t *block_count,
                            int32_t *flags) {
    return stage1_masks_with(text, len, blocks, block_count, flags, classify_block{}, prefix_xor_clmul{});
}

bool has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("bmi") &&
           __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
}

constexpr index_variant avx2_variant = {"avx2", fill_avx2, true, has_avx2, positions_avx2, masks_avx2};

}  // namespace

const index_variant *index_variant_avx2() { return &avx2_variant; }

#else

const index_variant *index_variant_avx2() { return nullptr; }

#endif

}  // namespace zvl::json
