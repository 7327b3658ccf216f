// Two widths of byte vectors behind one set of names, so that a kernel body
// written once (kernels_simd_body.hpp, utf8_simd_body.hpp) compiles for
// SSE2 (16 bytes, always present on x86-64) and for AVX2 (32 bytes, chosen
// at run time). Every AVX2 function carries its own target attribute: the
// build needs no -mavx2, and AVX2 code runs only where the processor has it.
//
// Bodies see V (one of the structs below) and ZVL_TARGET (the attribute
// their functions need for V).
#pragma once

#if defined(__x86_64__)

#include <immintrin.h>

#include <cstdint>

#define ZVL_SSE2_OP __attribute__((always_inline)) static inline
#define ZVL_AVX2_OP __attribute__((target("avx2"), always_inline)) static inline

namespace zvl::simd {

struct sse2 {
    using v = __m128i;
    static constexpr unsigned width = 16;
    static constexpr unsigned parts = 64 / width;  // vectors per 64-byte chunk

    ZVL_SSE2_OP v load(const char *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
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
    // Top bit of every byte, one bit per byte.
    ZVL_SSE2_OP uint64_t bits(v a) { return static_cast<uint32_t>(_mm_movemask_epi8(a)); }
    ZVL_SSE2_OP bool any(v a) { return _mm_movemask_epi8(a) != 0; }
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

struct avx2 {
    using v = __m256i;
    static constexpr unsigned width = 32;
    static constexpr unsigned parts = 64 / width;

    ZVL_AVX2_OP v load(const char *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }
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
    ZVL_AVX2_OP uint64_t bits(v a) { return static_cast<uint32_t>(_mm256_movemask_epi8(a)); }
    ZVL_AVX2_OP bool any(v a) { return _mm256_movemask_epi8(a) != 0; }
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

// Processor probes, each a plain function so a variant table can hold it.
inline bool has_sse2() { return true; }
inline bool has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

}  // namespace zvl::simd

#endif
