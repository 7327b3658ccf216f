// AVX-512 stage-1 classifier (x86-64 with BW and VBMI2): a whole 64-byte
// block per register, so every class is one compare straight into a bit
// mask; the index's offsets are flattened by compressing a vector of byte
// positions with the block's indexed bits. The masks come from the shared
// code of stage1.hpp, so they equal the portable classifier's.
//
// UTF-8 check: the same three nibble lookups as the AVX2 classifier (see
// there), over 64 bytes at once; the bytes one to three places back come from
// a two-register byte permutation across the previous block and this one.
#include "core/stage1.hpp"
#include "core/utf8_pairs.hpp"

#include <cstring>
#include <initializer_list>

#if defined(__x86_64__)
// GCC 12's AVX-512 headers build some results from deliberately undefined
// registers and then warn about them wherever they are inlined.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#endif

namespace zvl::json {

#if defined(__x86_64__)

namespace {

#define ZVL_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,bmi,bmi2,pclmul,popcnt")))

// A 16-entry table repeated in each of the four 128-bit lanes (byte shuffles
// look up within their lane).
ZVL_AVX512 inline __m512i table64(const uint8_t *t) {
    return _mm512_broadcast_i32x4(_mm_load_si128(reinterpret_cast<const __m128i *>(t)));
}

// The permutation that gives the 64 bytes ending n bytes before the end of
// cur, continuing from prev: byte i is byte 64 + i - n of prev followed by cur.
template <int n>
ZVL_AVX512 inline __m512i shift_positions() {
    alignas(64) static constexpr uint8_t positions[64] = {
#define ZVL_AT(i) static_cast<uint8_t>(64 + (i)-n)
#define ZVL_AT8(i) \
    ZVL_AT(i), ZVL_AT(i + 1), ZVL_AT(i + 2), ZVL_AT(i + 3), ZVL_AT(i + 4), ZVL_AT(i + 5), ZVL_AT(i + 6), ZVL_AT(i + 7)
        ZVL_AT8(0),  ZVL_AT8(8),  ZVL_AT8(16), ZVL_AT8(24), ZVL_AT8(32),
        ZVL_AT8(40), ZVL_AT8(48), ZVL_AT8(56)
#undef ZVL_AT8
#undef ZVL_AT
    };
    return _mm512_load_si512(positions);
}

// A table for a one-instruction class test: byte i is the member whose low
// six bits are i (the members of each class differ there), or i ^ 1 where
// there is none, which no byte with those low bits equals. A byte is in the
// class when it equals the entry its own low six bits pick.
struct class_table {
    alignas(64) uint8_t bytes[64];
};
constexpr class_table make_class_table(std::initializer_list<uint8_t> members) {
    class_table t{};
    for (int i = 0; i < 64; ++i) t.bytes[i] = static_cast<uint8_t>(i ^ 1);
    for (uint8_t m : members) t.bytes[m & 63] = m;
    return t;
}
// The operators, with the control bytes 0x0C and 0x1A that the other
// classifiers find among them (see index_block_classes).
constexpr class_table operator_members = make_class_table({'{', '}', '[', ']', ',', ':', 0x0C, 0x1A});
constexpr class_table separator_members =
    make_class_table({'{', '}', '[', ']', ',', ':', 0x0C, 0x1A, ' ', '\t', '\n', '\r', '"'});

// Every vector constant of the block loop, loaded once per chunk and hidden
// from the compiler (see pin), which would otherwise rebuild some of them
// with a move and a broadcast in every block.
struct block_constants {
    __m512i operator_table, separator_table;
    __m512i low_nibble, quote, backslash, control_limit;
    __m512i prev_high_table, prev_low_table, cur_high_table;
    __m512i shift1, shift2, shift3;
    __m512i third_floor, fourth_floor, continuation, unfinished_limits;
    __m512i positions;
};

ZVL_AVX512 inline void pin_one(__m512i &v) { asm("" : "+v"(v)); }
template <typename... vectors>
ZVL_AVX512 inline void pin(vectors &...v) {
    (pin_one(v), ...);
}

ZVL_AVX512 inline block_constants make_constants() {
    namespace pairs = zvl::utf8_pairs;
    alignas(64) static constexpr uint8_t positions[64] = {
        0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
        22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43,
        44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63};
    block_constants k;
    k.operator_table = _mm512_load_si512(operator_members.bytes);
    k.separator_table = _mm512_load_si512(separator_members.bytes);
    k.low_nibble = _mm512_set1_epi8(0x0F);
    k.quote = _mm512_set1_epi8('"');
    k.backslash = _mm512_set1_epi8('\\');
    k.control_limit = _mm512_set1_epi8(0x1F);
    k.prev_high_table = table64(pairs::table.first_high);
    k.prev_low_table = table64(pairs::table.first_low);
    k.cur_high_table = table64(pairs::table.second_high);
    k.shift1 = shift_positions<1>();
    k.shift2 = shift_positions<2>();
    k.shift3 = shift_positions<3>();
    k.third_floor = _mm512_set1_epi8(char(0xE0 - 1));
    k.fourth_floor = _mm512_set1_epi8(char(0xF0 - 1));
    k.continuation = _mm512_set1_epi8(char(0x80));
    // Byte 61 may not start a four-byte sequence, 62 a three- or four-byte
    // one, 63 any multi-byte one; earlier bytes are never unfinished.
    k.unfinished_limits = _mm512_set_epi64(int64_t(0xBFDFEFFFFFFFFFFFull), -1, -1, -1, -1, -1, -1, -1);
    k.positions = _mm512_load_si512(positions);
    pin(k.operator_table, k.separator_table, k.low_nibble, k.quote, k.backslash, k.control_limit, k.prev_high_table,
        k.prev_low_table, k.cur_high_table, k.shift1, k.shift2, k.shift3, k.third_floor, k.fourth_floor, k.continuation,
        k.unfinished_limits, k.positions);
    return k;
}

ZVL_AVX512 inline __m512i high_nibbles(const block_constants &k, __m512i v) {
    return _mm512_and_si512(_mm512_srli_epi16(v, 4), k.low_nibble);
}

ZVL_AVX512 inline __m512i utf8_errors(const block_constants &k, __m512i cur, __m512i prev) {
    __m512i prev1 = _mm512_permutex2var_epi8(prev, k.shift1, cur);
    __m512i kinds =
        _mm512_and_si512(_mm512_and_si512(_mm512_shuffle_epi8(k.prev_high_table, high_nibbles(k, prev1)),
                                          _mm512_shuffle_epi8(k.prev_low_table, _mm512_and_si512(prev1, k.low_nibble))),
                         _mm512_shuffle_epi8(k.cur_high_table, high_nibbles(k, cur)));
    // Third byte of a three- or four-byte sequence, fourth of a four-byte one.
    __m512i third = _mm512_subs_epu8(_mm512_permutex2var_epi8(prev, k.shift2, cur), k.third_floor);
    __m512i fourth = _mm512_subs_epu8(_mm512_permutex2var_epi8(prev, k.shift3, cur), k.fourth_floor);
    __m512i wanted = _mm512_maskz_mov_epi8(
        _mm512_test_epi8_mask(_mm512_or_si512(third, fourth), _mm512_or_si512(third, fourth)), k.continuation);
    return _mm512_xor_si512(kinds, wanted);
}

// Nonzero when the last bytes of v begin a sequence that v does not finish.
ZVL_AVX512 inline __m512i unfinished(const block_constants &k, __m512i v) {
    return _mm512_subs_epu8(v, k.unfinished_limits);
}

// Every class in one or two instructions: a 64-entry byte permutation looks
// up the low six bits whole, so no nibble needs masking first.
ZVL_AVX512 inline index_block_classes classify(const block_constants &k, __m512i v) {
    index_block_classes c;
    c.quotes = _mm512_cmpeq_epi8_mask(v, k.quote);
    c.backslashes = _mm512_cmpeq_epi8_mask(v, k.backslash);
    c.operators = _mm512_cmpeq_epi8_mask(v, _mm512_permutexvar_epi8(v, k.operator_table));
    c.separators = _mm512_cmpeq_epi8_mask(v, _mm512_permutexvar_epi8(v, k.separator_table));
    c.controls = _mm512_cmple_epu8_mask(v, k.control_limit);
    return c;
}

struct prefix_xor_clmul {
    ZVL_AVX512 uint64_t operator()(uint64_t x) const {
        __m128i product = _mm_clmulepi64_si128(_mm_set_epi64x(0, static_cast<long long>(x)),
                                               _mm_set1_epi8(static_cast<char>(0xFF)), 0);
        return static_cast<uint64_t>(_mm_cvtsi128_si64(product));
    }
};

// Writes the offsets of the set bits and their bytes: the positions 0..63
// compressed by the bits pick the block's bytes (v), and widened to 16 bits
// and moved to the block's place in the chunk they are the offsets,
// thirty-two at a time (the writes past the count land in the chunk's slack
// and are not read).
ZVL_AVX512 inline uint32_t put_offsets(const block_constants &k, uint64_t bits, __m512i base, __m512i v,
                                       uint16_t *offsets, uint8_t *bytes) {
    auto count = static_cast<uint32_t>(_mm_popcnt_u64(bits));
    __m512i packed = _mm512_maskz_compress_epi8(bits, k.positions);
    _mm512_storeu_si512(bytes, _mm512_permutexvar_epi8(packed, v));
    _mm512_storeu_si512(offsets, _mm512_add_epi16(_mm512_cvtepu8_epi16(_mm512_castsi512_si256(packed)), base));
    if (count > 32) [[unlikely]]
        _mm512_storeu_si512(offsets + 32,
                            _mm512_add_epi16(_mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(packed, 1)), base));
    return count;
}

// One block: its UTF-8 errors into errors; returns its indexed bits.
ZVL_AVX512 inline uint64_t block_bits(const block_constants &k, index_state &s, __m512i v, __m512i &prev,
                                      __m512i &errors, bool &high) {
    if (_mm512_movepi8_mask(v) == 0) {
        errors = _mm512_or_si512(errors, unfinished(k, prev));
    } else {
        high = true;
        errors = _mm512_or_si512(errors, utf8_errors(k, v, prev));
    }
    prev = v;
    return index_bits(s, classify(k, v), prefix_xor_clmul{});
}

// Two passes over a chunk: the bits of every block first, then their
// offsets. In one pass the chain from a block's load to its offset stores
// is so long that the processor holds too few blocks in flight to hide it.
ZVL_AVX512 uint32_t fill_avx512(index_state &shared, const char *text, uint64_t len, uint16_t *offsets,
                                uint8_t *bytes) {
    // The carries live in a local copy during the chunk, so that they stay in
    // registers across the offset stores.
    index_state s = shared;
    const uint64_t chunk = s.offset;
    const block_constants k = make_constants();
    uint64_t bits[index_chunk_blocks];
    __m512i prev =
        _mm512_inserti64x4(_mm512_setzero_si512(), _mm256_load_si256(reinterpret_cast<const __m256i *>(s.tail)), 1);
    __m512i errors = _mm512_setzero_si512();
    bool high = false;
    uint64_t full = (len - s.offset) / 64;
    if (full > index_chunk_blocks) full = index_chunk_blocks;
    uint64_t b = 0;
    // Two blocks a step: one UTF-8 branch for both (the full check is exact
    // for an ASCII block too).
    for (; b + 2 <= full; b += 2, s.offset += 128) {
        __m512i v0 = _mm512_loadu_si512(text + s.offset);
        __m512i v1 = _mm512_loadu_si512(text + s.offset + 64);
        if (_mm512_movepi8_mask(_mm512_or_si512(v0, v1)) == 0) {
            errors = _mm512_or_si512(errors, unfinished(k, prev));
        } else {
            high = true;
            errors = _mm512_or_si512(errors, _mm512_or_si512(utf8_errors(k, v0, prev), utf8_errors(k, v1, v0)));
        }
        prev = v1;
        index_block_classes c0 = classify(k, v0), c1 = classify(k, v1);
        bits[b] = index_bits(s, c0, prefix_xor_clmul{});
        bits[b + 1] = index_bits(s, c1, prefix_xor_clmul{});
    }
    for (; b < full; ++b, s.offset += 64)
        bits[b] = block_bits(k, s, _mm512_loadu_si512(text + s.offset), prev, errors, high);
    if (full < index_chunk_blocks && s.offset < len) {
        // The last, shorter block, padded with spaces (which also finish
        // nothing, so a sequence cut by the end shows as an error).
        uint64_t rest = len - s.offset;
        __mmask64 present = (1ull << rest) - 1;
        __m512i v = _mm512_mask_loadu_epi8(_mm512_set1_epi8(' '), present, text + s.offset);
        bits[b++] = block_bits(k, s, v, prev, errors, high);
        s.offset = len;
    } else if (s.offset >= len) {
        // A text that ends on a block boundary must not end inside a sequence.
        errors = _mm512_or_si512(errors, unfinished(k, prev));
    }
    uint32_t n = 0;
    __m512i base = _mm512_setzero_si512();  // the block's offset in the chunk, in every lane
    const __m512i block_step = _mm512_set1_epi16(64);
    // The blocks read again for their bytes (the last, shorter one only
    // where it has indexed bytes, all within the text).
    const char *block = text + chunk;
    for (uint64_t i = 0; i < full; ++i, block += 64) {
        n += put_offsets(k, bits[i], base, _mm512_loadu_si512(block), offsets + n, bytes + n);
        base = _mm512_add_epi16(base, block_step);
    }
    if (b > full)
        n += put_offsets(k, bits[full], base, _mm512_maskz_loadu_epi8(bits[full], block), offsets + n, bytes + n);
    _mm256_store_si256(reinterpret_cast<__m256i *>(s.tail), _mm512_extracti64x4_epi64(prev, 1));
    if (_mm512_test_epi8_mask(errors, errors)) s.bad_utf8 = true;
    if (high) s.special = true;
    shared = s;
    return n;
}

// The stage-1 records through the same classifier.
struct classify_block {
    const block_constants &k;
    ZVL_AVX512 index_block_classes operator()(const char *block) const {
        return classify(k, _mm512_loadu_si512(block));
    }
};

ZVL_AVX512 int32_t positions_avx512(const char *text, uint64_t len, uint32_t *positions, uint64_t *count,
                                    int32_t *flags) {
    const block_constants k = make_constants();
    return stage1_positions_with(text, len, positions, count, flags, classify_block{k}, prefix_xor_clmul{});
}

ZVL_AVX512 int32_t masks_avx512(const char *text, uint64_t len, zvl_json_stage1_block *blocks, uint64_t *block_count,
                                int32_t *flags) {
    const block_constants k = make_constants();
    return stage1_masks_with(text, len, blocks, block_count, flags, classify_block{k}, prefix_xor_clmul{});
}

bool has_avx512() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
           __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("bmi") &&
           __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
}

constexpr index_variant avx512_variant = {"avx512", fill_avx512, true, has_avx512, positions_avx512, masks_avx512};

}  // namespace

const index_variant *index_variant_avx512() { return &avx512_variant; }

#else

const index_variant *index_variant_avx512() { return nullptr; }

#endif

}  // namespace zvl::json
