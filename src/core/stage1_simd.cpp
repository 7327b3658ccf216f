// Vector variants of the stage-1 kernels (x86-64): SSE2 (always present
// there) and AVX2 with carry-less multiplication for the prefix XOR. They
// differ from the portable kernel only in how the raw masks and the prefix
// XOR are computed; stage1.hpp does the rest for all of them.
#include "core/stage1.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace zvl::json {

#if defined(__x86_64__)

namespace {

// Bytes of one 16-byte lane, as 16 mask bits.
inline uint32_t sse2_bits(__m128i v, char c) {
    return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(c))));
}

raw_block_masks classify_sse2(const char *block) {
    raw_block_masks m{};
    for (int lane = 0; lane < 4; ++lane) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 16 * lane));
        int shift = 16 * lane;
        m.quotes |= static_cast<uint64_t>(sse2_bits(v, '"')) << shift;
        m.backslashes |= static_cast<uint64_t>(sse2_bits(v, '\\')) << shift;
        uint32_t ops = sse2_bits(v, '{') | sse2_bits(v, '}') | sse2_bits(v, '[') | sse2_bits(v, ']') |
                       sse2_bits(v, ',') | sse2_bits(v, ':');
        m.operators |= static_cast<uint64_t>(ops) << shift;
        // Unsigned byte <= 0x1F exactly when max(byte, 0x1F) == 0x1F.
        __m128i low = _mm_set1_epi8(0x1F);
        uint32_t controls = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(v, low), low)));
        m.controls |= static_cast<uint64_t>(controls) << shift;
    }
    return m;
}

int32_t masks_sse2(const char *text, uint64_t len, zvl_json_stage1_block *blocks, uint64_t *block_count,
                   int32_t *flags) {
    return stage1_masks_with(text, len, blocks, block_count, flags, classify_sse2, prefix_xor_portable);
}

int32_t positions_sse2(const char *text, uint64_t len, uint32_t *positions, uint64_t *count, int32_t *flags) {
    return stage1_positions_with(text, len, positions, count, flags, classify_sse2, prefix_xor_portable);
}

__attribute__((target("avx2"))) inline uint64_t avx2_bits(__m256i lo, __m256i hi, __m256i c) {
    auto low = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, c)));
    auto high = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, c)));
    return low | (static_cast<uint64_t>(high) << 32);
}

// The six operators through table lookups on the low nibble: each nibble
// names the operator it can be, and a byte is that operator when it equals
// the looked-up byte. "{" and "[" share nibble B, "}" and "]" share D, hence
// two tables. Nibbles without an operator look up a byte whose own low
// nibble differs, which no byte with that nibble can equal.
constexpr char filler(int nibble) { return static_cast<char>(nibble ^ 1); }

__attribute__((target("avx2"))) inline uint32_t avx2_operators(__m256i v) {
    const __m256i table = _mm256_setr_epi8(filler(0), filler(1), filler(2), filler(3), filler(4), filler(5), filler(6),
                                           filler(7), filler(8), filler(9), ':', '{', ',', '}', filler(14), filler(15),
                                           filler(0), filler(1), filler(2), filler(3), filler(4), filler(5), filler(6),
                                           filler(7), filler(8), filler(9), ':', '{', ',', '}', filler(14), filler(15));
    const __m256i brackets =
        _mm256_setr_epi8(filler(0), filler(1), filler(2), filler(3), filler(4), filler(5), filler(6), filler(7),
                         filler(8), filler(9), filler(10), '[', filler(12), ']', filler(14), filler(15), filler(0),
                         filler(1), filler(2), filler(3), filler(4), filler(5), filler(6), filler(7), filler(8),
                         filler(9), filler(10), '[', filler(12), ']', filler(14), filler(15));
    __m256i index = _mm256_and_si256(v, _mm256_set1_epi8(0x0F));
    __m256i a = _mm256_cmpeq_epi8(v, _mm256_shuffle_epi8(table, index));
    __m256i b = _mm256_cmpeq_epi8(v, _mm256_shuffle_epi8(brackets, index));
    return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_or_si256(a, b)));
}

// Unsigned byte <= 0x1F exactly when max(byte, 0x1F) == 0x1F.
__attribute__((target("avx2"))) inline uint32_t avx2_controls(__m256i v) {
    const __m256i limit = _mm256_set1_epi8(0x1F);
    return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(v, limit), limit)));
}

__attribute__((target("avx2"))) raw_block_masks classify_avx2(const char *block) {
    __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(block));
    __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(block + 32));
    raw_block_masks m;
    m.quotes = avx2_bits(lo, hi, _mm256_set1_epi8('"'));
    m.backslashes = avx2_bits(lo, hi, _mm256_set1_epi8('\\'));
    m.operators = avx2_operators(lo) | (static_cast<uint64_t>(avx2_operators(hi)) << 32);
    m.controls = avx2_controls(lo) | (static_cast<uint64_t>(avx2_controls(hi)) << 32);
    return m;
}

// Carry-less multiplication by all ones is the prefix XOR.
__attribute__((target("pclmul"))) uint64_t prefix_xor_clmul(uint64_t x) {
    __m128i product =
        _mm_clmulepi64_si128(_mm_set_epi64x(0, static_cast<long long>(x)), _mm_set1_epi8(static_cast<char>(0xFF)), 0);
    return static_cast<uint64_t>(_mm_cvtsi128_si64(product));
}

int32_t masks_avx2(const char *text, uint64_t len, zvl_json_stage1_block *blocks, uint64_t *block_count,
                   int32_t *flags) {
    return stage1_masks_with(text, len, blocks, block_count, flags, classify_avx2, prefix_xor_clmul);
}

int32_t positions_avx2(const char *text, uint64_t len, uint32_t *positions, uint64_t *count, int32_t *flags) {
    return stage1_positions_with(text, len, positions, count, flags, classify_avx2, prefix_xor_clmul);
}

bool has_sse2() { return true; }
bool has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("pclmul");
}

constexpr stage1_variant vector_variants[] = {
    {"sse2", masks_sse2, positions_sse2, has_sse2},
    {"avx2", masks_avx2, positions_avx2, has_avx2},
};

}  // namespace

std::span<const stage1_variant> stage1_vector_variants() { return vector_variants; }

#else

std::span<const stage1_variant> stage1_vector_variants() { return {}; }

#endif

}  // namespace zvl::json
