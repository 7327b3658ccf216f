// Byte vectors of several widths behind one set of names, so that a kernel
// body written once (kernels_simd_body.hpp, utf8_simd_body.hpp) compiles for
// SSE2 (16 bytes, always present on x86-64; SSSE3 adds the byte shuffle), for
// AVX2 (32 bytes) and for AVX-512 (64 bytes, the UTF-8 validator only), the
// latter chosen at run time. Every SSSE3, AVX2 and AVX-512 function carries
// its own target attribute: the build needs no -mavx2, and such code runs
// only where the processor has it.
//
// Bodies see V (one of the structs below) and ZVL_TARGET (the attribute
// their functions need for V).
#pragma once

#if defined(__x86_64__)

#include <immintrin.h>

#include <cstdint>

#define ZVL_SSE2_OP __attribute__((always_inline)) static inline
#define ZVL_SSSE3_OP __attribute__((target("ssse3"), always_inline)) static inline
#define ZVL_AVX2_OP __attribute__((target("avx2"), always_inline)) static inline
#define ZVL_AVX512_OP __attribute__((target("avx512f,avx512bw"), always_inline)) static inline

namespace zvl::simd {

struct sse2 {
    using v = __m128i;
    static constexpr unsigned width = 16;
    static constexpr unsigned parts = 64 / width;  // vectors per 64-byte chunk

    ZVL_SSE2_OP v load(const char *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
    ZVL_SSE2_OP void store(char *p, v a) { _mm_storeu_si128(reinterpret_cast<__m128i *>(p), a); }
    ZVL_SSE2_OP v splat(uint8_t c) { return _mm_set1_epi8(static_cast<char>(c)); }
    ZVL_SSE2_OP v zero() { return _mm_setzero_si128(); }
    ZVL_SSE2_OP v eq(v a, v b) { return _mm_cmpeq_epi8(a, b); }
    ZVL_SSE2_OP v gt_signed(v a, v b) { return _mm_cmpgt_epi8(a, b); }
    ZVL_SSE2_OP v either(v a, v b) { return _mm_or_si128(a, b); }
    ZVL_SSE2_OP v both(v a, v b) { return _mm_and_si128(a, b); }
    ZVL_SSE2_OP v but_not(v a, v b) { return _mm_andnot_si128(b, a); }  // a and not b
    ZVL_SSE2_OP v differ(v a, v b) { return _mm_xor_si128(a, b); }
    ZVL_SSE2_OP v min_u(v a, v b) { return _mm_min_epu8(a, b); }
    ZVL_SSE2_OP v sub_sat_u(v a, v b) { return _mm_subs_epu8(a, b); }
    ZVL_SSE2_OP v sub(v a, v b) { return _mm_sub_epi8(a, b); }
    ZVL_SSE2_OP v max_u(v a, v b) { return _mm_max_epu8(a, b); }
    // Signed bytes; SSE2 has only the unsigned maximum, so via the top bit.
    ZVL_SSE2_OP v max_s(v a, v b) {
        const __m128i top = _mm_set1_epi8(static_cast<char>(0x80));
        return _mm_xor_si128(_mm_max_epu8(_mm_xor_si128(a, top), _mm_xor_si128(b, top)), top);
    }
    // The high and the low four bits of every byte, as bytes 0-15.
    ZVL_SSE2_OP v high_nibbles(v a) { return _mm_and_si128(_mm_srli_epi16(a, 4), _mm_set1_epi8(0x0F)); }
    ZVL_SSE2_OP v low_nibbles(v a) { return _mm_and_si128(a, _mm_set1_epi8(0x0F)); }
    // Top bit of every byte, one bit per byte.
    ZVL_SSE2_OP uint64_t bits(v a) { return static_cast<uint32_t>(_mm_movemask_epi8(a)); }
    ZVL_SSE2_OP bool any(v a) { return _mm_movemask_epi8(a) != 0; }
    // One bit per byte: a < b as signed bytes.
    ZVL_SSE2_OP uint64_t bits_below(v a, v b) { return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpgt_epi8(b, a))); }
    // Any bit set anywhere.
    ZVL_SSE2_OP bool nonzero(v a) { return _mm_movemask_epi8(_mm_cmpeq_epi8(a, _mm_setzero_si128())) != 0xFFFF; }
    // Sum of all bytes (each counted as unsigned).
    ZVL_SSE2_OP uint64_t byte_sum(v a) {
        __m128i s = _mm_sad_epu8(a, _mm_setzero_si128());
        return static_cast<uint64_t>(_mm_cvtsi128_si64(s)) +
               static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(s, s)));
    }
    // The vector that starts n bytes before cur, prev holding the bytes before it.
    template <int n>
    ZVL_SSE2_OP v before(v cur, v prev) {
        return _mm_or_si128(_mm_slli_si128(cur, n), _mm_srli_si128(prev, 16 - n));
    }
};

// SSE2 with the byte shuffle, for table lookups (SSSE3, chosen at run time).
struct ssse3 : sse2 {
    // table[index] for every byte; a 16-byte table, indices 0-15.
    ZVL_SSSE3_OP v table(const uint8_t *t) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(t)); }
    ZVL_SSSE3_OP v lookup(v table, v index) { return _mm_shuffle_epi8(table, index); }
};

struct avx2 {
    using v = __m256i;
    static constexpr unsigned width = 32;
    static constexpr unsigned parts = 64 / width;

    ZVL_AVX2_OP v load(const char *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }
    ZVL_AVX2_OP void store(char *p, v a) { _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), a); }
    ZVL_AVX2_OP v splat(uint8_t c) { return _mm256_set1_epi8(static_cast<char>(c)); }
    ZVL_AVX2_OP v zero() { return _mm256_setzero_si256(); }
    ZVL_AVX2_OP v eq(v a, v b) { return _mm256_cmpeq_epi8(a, b); }
    ZVL_AVX2_OP v gt_signed(v a, v b) { return _mm256_cmpgt_epi8(a, b); }
    ZVL_AVX2_OP v either(v a, v b) { return _mm256_or_si256(a, b); }
    ZVL_AVX2_OP v both(v a, v b) { return _mm256_and_si256(a, b); }
    ZVL_AVX2_OP v but_not(v a, v b) { return _mm256_andnot_si256(b, a); }
    ZVL_AVX2_OP v differ(v a, v b) { return _mm256_xor_si256(a, b); }
    ZVL_AVX2_OP v min_u(v a, v b) { return _mm256_min_epu8(a, b); }
    ZVL_AVX2_OP v sub_sat_u(v a, v b) { return _mm256_subs_epu8(a, b); }
    ZVL_AVX2_OP v sub(v a, v b) { return _mm256_sub_epi8(a, b); }
    ZVL_AVX2_OP v max_u(v a, v b) { return _mm256_max_epu8(a, b); }
    ZVL_AVX2_OP v max_s(v a, v b) { return _mm256_max_epi8(a, b); }
    ZVL_AVX2_OP v high_nibbles(v a) { return _mm256_and_si256(_mm256_srli_epi16(a, 4), _mm256_set1_epi8(0x0F)); }
    ZVL_AVX2_OP v low_nibbles(v a) { return _mm256_and_si256(a, _mm256_set1_epi8(0x0F)); }
    ZVL_AVX2_OP uint64_t bits(v a) { return static_cast<uint32_t>(_mm256_movemask_epi8(a)); }
    ZVL_AVX2_OP bool any(v a) { return _mm256_movemask_epi8(a) != 0; }
    ZVL_AVX2_OP uint64_t bits_below(v a, v b) {
        return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(b, a)));
    }
    ZVL_AVX2_OP bool nonzero(v a) { return !_mm256_testz_si256(a, a); }
    // The 16-byte table in both lanes: the shuffle looks up within each lane.
    ZVL_AVX2_OP v table(const uint8_t *t) {
        return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(t)));
    }
    ZVL_AVX2_OP v lookup(v table, v index) { return _mm256_shuffle_epi8(table, index); }
    ZVL_AVX2_OP uint64_t byte_sum(v a) {
        __m256i s = _mm256_sad_epu8(a, _mm256_setzero_si256());
        __m128i t = _mm_add_epi64(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
        return static_cast<uint64_t>(_mm_cvtsi128_si64(t)) +
               static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(t, t)));
    }
    template <int n>
    ZVL_AVX2_OP v before(v cur, v prev) {
        // The upper half of prev beside the lower half of cur, then a per-lane shift.
        return _mm256_alignr_epi8(cur, _mm256_permute2x128_si256(prev, cur, 0x21), 16 - n);
    }
};

// 64 bytes per vector. Compares give bit masks; the byte-vector forms (0xFF
// per true byte) that the shared bodies combine are built from them.
struct avx512 {
    using v = __m512i;
    static constexpr unsigned width = 64;
    static constexpr unsigned parts = 1;

    ZVL_AVX512_OP v load(const char *p) { return _mm512_loadu_si512(p); }
    ZVL_AVX512_OP v splat(uint8_t c) { return _mm512_set1_epi8(static_cast<char>(c)); }
    ZVL_AVX512_OP v zero() { return _mm512_setzero_si512(); }
    ZVL_AVX512_OP v eq(v a, v b) { return _mm512_movm_epi8(_mm512_cmpeq_epi8_mask(a, b)); }
    ZVL_AVX512_OP v gt_signed(v a, v b) { return _mm512_movm_epi8(_mm512_cmpgt_epi8_mask(a, b)); }
    ZVL_AVX512_OP v either(v a, v b) { return _mm512_or_si512(a, b); }
    ZVL_AVX512_OP v both(v a, v b) { return _mm512_and_si512(a, b); }
    // a and not b as a three-input logic op (0x30: a set, b clear); the plain
    // and-not intrinsic trips a false uninitialised-use warning in GCC 12.
    ZVL_AVX512_OP v but_not(v a, v b) { return _mm512_ternarylogic_epi32(a, b, b, 0x30); }
    ZVL_AVX512_OP v differ(v a, v b) { return _mm512_xor_si512(a, b); }
    ZVL_AVX512_OP v min_u(v a, v b) { return _mm512_min_epu8(a, b); }
    ZVL_AVX512_OP v max_u(v a, v b) { return _mm512_max_epu8(a, b); }
    ZVL_AVX512_OP v max_s(v a, v b) { return _mm512_max_epi8(a, b); }
    ZVL_AVX512_OP v sub_sat_u(v a, v b) { return _mm512_subs_epu8(a, b); }
    ZVL_AVX512_OP v sub(v a, v b) { return _mm512_sub_epi8(a, b); }
    ZVL_AVX512_OP v high_nibbles(v a) { return _mm512_and_si512(_mm512_srli_epi16(a, 4), _mm512_set1_epi8(0x0F)); }
    ZVL_AVX512_OP v low_nibbles(v a) { return _mm512_and_si512(a, _mm512_set1_epi8(0x0F)); }
    // As a signed compare: it issues beside the mask moves, not on their port.
    ZVL_AVX512_OP uint64_t bits(v a) { return _mm512_cmplt_epi8_mask(a, _mm512_setzero_si512()); }
    ZVL_AVX512_OP bool any(v a) { return bits(a) != 0; }
    ZVL_AVX512_OP bool nonzero(v a) { return _mm512_test_epi8_mask(a, a) != 0; }
    ZVL_AVX512_OP uint64_t bits_below(v a, v b) { return _mm512_cmpgt_epi8_mask(b, a); }
    // The 16-byte table in all four lanes: the shuffle looks up within each lane.
    ZVL_AVX512_OP v table(const uint8_t *t) {
        return _mm512_maskz_broadcast_i32x4(0xFFFF, _mm_loadu_si128(reinterpret_cast<const __m128i *>(t)));
    }
    ZVL_AVX512_OP v lookup(v table, v index) { return _mm512_shuffle_epi8(table, index); }
    template <int n>
    ZVL_AVX512_OP v before(v cur, v prev) {
        // Each lane beside the lane before it (the last lane of prev before
        // the first of cur), then a per-lane shift.
        // (Zero-masked forms with every lane kept, here and in table(): the
        // plain ones trip the same warning.)
        return _mm512_alignr_epi8(cur, _mm512_maskz_alignr_epi64(0xFF, cur, prev, 6), 16 - n);
    }
};

// Processor probes, each a plain function so a variant table can hold it.
inline bool has_sse2() { return true; }
inline bool has_ssse3() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("ssse3");
}
inline bool has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
inline bool has_avx512() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}

}  // namespace zvl::simd

#endif
