// The SSE2 and AVX2 scanning tables: the kernel bodies of
// kernels_simd_body.hpp compiled once per vector width. Slots whose portable
// form is already as fast (memchr searches) or that nothing calls through
// the table (the JSON block classifier) keep the portable kernel. The JSON
// stage-1 and UTF-8 slots take the AVX2 variants in the AVX2 table, and the
// AVX-512 ones in a third table that is the AVX2 table otherwise; the SSE2
// table takes the SSSE3 UTF-8 validator where the processor has SSSE3.
#include "core/kernels_simd.hpp"

#include <cstring>

#include "core/stage1.hpp"
#include "core/utf8.hpp"

#if defined(__x86_64__)

#include "core/simd.hpp"

namespace zvl {

namespace kernels_sse2 {
using V = simd::sse2;
#define ZVL_TARGET
#include "core/kernels_simd_body.hpp"
#undef ZVL_TARGET
}  // namespace kernels_sse2

namespace kernels_avx2 {
using V = simd::avx2;
#define ZVL_TARGET __attribute__((target("avx2")))
#include "core/kernels_simd_body.hpp"
#undef ZVL_TARGET
}  // namespace kernels_avx2

namespace {

// The stage-1 slots of a table from a variant the processor runs.
void take_stage1(zarvel_kernels &t, const json::index_variant *v) {
    if (!v || !v->supported()) return;
    t.json_stage1 = v->positions;
    t.json_stage1_masks = v->masks;
    t.json_index = v;
}

// The UTF-8 slot from the validator of that name, where the processor runs it.
void take_utf8(zarvel_kernels &t, const char *name) {
    for (const utf8_variant &v : utf8_variants())
        if (std::strcmp(v.name, name) == 0 && v.supported()) t.first_invalid_utf8 = v.first_invalid;
}

#define ZVL_VECTOR_TABLE(ns)                         \
    [] {                                             \
        zarvel_kernels t = portable_kernels();       \
        t.find3 = ns::find3;                         \
        t.count = ns::count;                         \
        t.count3 = ns::count3;                       \
        t.copy_count3 = ns::copy_count3;             \
        t.copy_until = ns::copy_until;               \
        t.find_not = ns::find_not;                   \
        t.find_in_set = ns::find_in_set;             \
        t.find_quote = ns::find_quote;               \
        t.census = ns::census;                       \
        t.find_json_special = ns::find_json_special; \
        t.has_special = ns::has_special;             \
        t.line_scan = ns::line_scan;                 \
        return t;                                    \
    }()

const zarvel_kernels *sse2_table() {
    static const zarvel_kernels table = [] {
        zarvel_kernels t = ZVL_VECTOR_TABLE(kernels_sse2);
        take_utf8(t, "ssse3");
        return t;
    }();
    return &table;
}

const zarvel_kernels *avx2_table() {
    static const zarvel_kernels table = [] {
        zarvel_kernels t = ZVL_VECTOR_TABLE(kernels_avx2);
        take_stage1(t, json::index_variant_avx2());
        take_utf8(t, "avx2");
        return t;
    }();
    return &table;
}

const zarvel_kernels *avx512_table() {
    static const zarvel_kernels table = [] {
        zarvel_kernels t = *avx2_table();
        take_stage1(t, json::index_variant_avx512());
        take_utf8(t, "avx512");
        return t;
    }();
    return &table;
}

bool has_avx512() { return simd::has_avx2() && simd::has_avx512(); }

#undef ZVL_VECTOR_TABLE

constexpr kernel_variant variants[] = {
    {"sse2", sse2_table, simd::has_sse2},
    {"avx2", avx2_table, simd::has_avx2},
    {"avx512", avx512_table, has_avx512},
};

}  // namespace

std::span<const kernel_variant> kernel_vector_variants() { return variants; }

}  // namespace zvl

#else

std::span<const zvl::kernel_variant> zvl::kernel_vector_variants() { return {}; }

#endif
