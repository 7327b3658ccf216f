// Portable byte-scanning kernels and the process-wide table that publishes
// them once. The word tests are core/word.hpp's.
#include "core/kernels.hpp"
#include "core/word.hpp"
#include "core/kernels_simd.hpp"
#include "core/utf8.hpp"

#include <atomic>
#include <cstring>

namespace {

using zvl::word::equal_bytes;
using zvl::word::first_below;
using zvl::word::first_byte;
using zvl::word::highs;
using zvl::word::load;
using zvl::word::zero_bytes;

// ---- slots 0 to 6: single-byte searches and counts ------------------------

int contains(const char *data, uint64_t length, uint8_t byte) {
    return length && std::memchr(data, byte, length) ? 1 : 0;
}

int64_t find(const char *data, uint64_t length, uint8_t byte) {
    if (!length) return -1;
    const void *hit = std::memchr(data, byte, length);
    return hit ? static_cast<const char *>(hit) - data : -1;
}

int64_t find3(const char *data, uint64_t length, uint8_t b0, uint8_t b1, uint8_t b2) {
    if (length < 3) return -1;
    for (uint64_t at = 0; at + 3 <= length;) {
        const void *hit = std::memchr(data + at, b0, length - 2 - at);
        if (!hit) return -1;
        uint64_t i = static_cast<uint64_t>(static_cast<const char *>(hit) - data);
        if (static_cast<uint8_t>(data[i + 1]) == b1 && static_cast<uint8_t>(data[i + 2]) == b2)
            return static_cast<int64_t>(i);
        at = i + 1;
    }
    return -1;
}

uint64_t count(const char *data, uint64_t length, uint8_t byte) {
    uint64_t n = 0;
    for (uint64_t i = 0; i < length; ++i) n += static_cast<uint8_t>(data[i]) == byte;
    return n;
}

void count3(const char *data, uint64_t length, uint8_t b0, uint8_t b1, uint8_t b2, uint64_t *c0, uint64_t *c1,
            uint64_t *c2) {
    uint64_t n0 = 0, n1 = 0, n2 = 0;
    for (uint64_t i = 0; i < length; ++i) {
        uint8_t c = static_cast<uint8_t>(data[i]);
        n0 += c == b0;
        n1 += c == b1;
        n2 += c == b2;
    }
    if (c0) *c0 = n0;
    if (c1) *c1 = n1;
    if (c2) *c2 = n2;
}

void copy_count3(char *destination, const char *source, uint64_t length, uint8_t b0, uint8_t b1, uint8_t b2,
                 uint64_t *c0, uint64_t *c1, uint64_t *c2) {
    if (length) std::memcpy(destination, source, length);
    count3(destination, length, b0, b1, b2, c0, c1, c2);
}

uint64_t copy_until(char *destination, const char *source, uint64_t length, uint8_t byte) {
    const void *hit = length ? std::memchr(source, byte, length) : nullptr;
    const uint64_t run = hit ? uint64_t(static_cast<const char *>(hit) - source) : length;
    if (run) std::memcpy(destination, source, run);
    return run;
}

int64_t find_not(const char *data, uint64_t length, uint8_t byte) {
    uint64_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t differs = ~equal_bytes(load(data + i), byte) & highs;
        if (differs) return static_cast<int64_t>(i + first_byte(differs));
    }
    for (; i < length; ++i)
        if (static_cast<uint8_t>(data[i]) != byte) return static_cast<int64_t>(i);
    return -1;
}

// ---- slots 7, 8, 10, 11: sets, quotes, JSON specials ---------------------

int64_t find_in_set(const uint8_t set[32], const char *data, uint64_t length) {
    for (uint64_t i = 0; i < length; ++i) {
        uint8_t c = static_cast<uint8_t>(data[i]);
        if (set[c >> 3] & (1u << (c & 7))) return static_cast<int64_t>(i);
    }
    return -1;
}

int64_t find_quote(const char *data, uint64_t length, uint8_t quote, uint32_t *escaped) {
    uint32_t saw_escape = 0;
    int64_t result = -1;
    for (uint64_t i = 0; i < length; ++i) {
        uint8_t c = static_cast<uint8_t>(data[i]);
        if (quote == '"' && c == '\\') {
            saw_escape = 1;
            ++i;  // the next byte is ordinary
            continue;
        }
        if (c != quote) continue;
        if (quote == '\'' && i + 1 < length && static_cast<uint8_t>(data[i + 1]) == '\'') {
            saw_escape = 1;
            ++i;  // a doubled quote is one ordinary quote
            continue;
        }
        result = static_cast<int64_t>(i);
        break;
    }
    if (escaped) *escaped = saw_escape;
    return result;
}

int64_t find_json_special(const char *data, uint64_t length) {
    uint64_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t w = load(data + i);
        uint64_t hits = equal_bytes(w, '"') | equal_bytes(w, '\\') | first_below(w, 0x20);
        if (hits) break;  // settle the exact byte below
    }
    for (; i < length; ++i) {
        uint8_t c = static_cast<uint8_t>(data[i]);
        if (c == '"' || c == '\\' || c < 0x20) return static_cast<int64_t>(i);
    }
    return -1;
}

bool is_special_byte(uint8_t c) { return c > 0x7E || (c < 0x20 && c != '\t' && c != '\n' && c != '\r'); }

int has_special(const char *data, uint64_t length) {
    uint64_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t w = load(data + i);
        uint64_t suspicious = (w & highs) | first_below(w, 0x20) | equal_bytes(w, 0x7F);
        if (!suspicious) continue;
        for (unsigned k = 0; k < 8; ++k)
            if (is_special_byte(static_cast<uint8_t>(data[i + k]))) return 1;
    }
    for (; i < length; ++i)
        if (is_special_byte(static_cast<uint8_t>(data[i]))) return 1;
    return 0;
}

// ---- slot 9: census -------------------------------------------------------

// Index of the census counter for each byte; 0xFF for none.
struct census_table {
    uint8_t counter[256];
    constexpr census_table() : counter() {
        for (auto &c : counter) c = 0xFF;
        const char tracked[] = {'\n', ',', '-', ':', '[', '{', '"', '\'', '|', '&', '#'};
        for (uint8_t i = 0; i < sizeof tracked; ++i) counter[static_cast<uint8_t>(tracked[i])] = i;
    }
};
constexpr census_table census_classes;

bool is_control_byte(uint8_t c) { return c == 0x7F || (c < 0x20 && c != '\t' && c != '\n' && c != '\r'); }

void census(const char *data, uint64_t length, zarvel_census *out) {
    uint64_t counts[11] = {};
    uint32_t non_ascii = 0, controls = 0;
    for (uint64_t i = 0; i < length; ++i) {
        uint8_t c = static_cast<uint8_t>(data[i]);
        uint8_t k = census_classes.counter[c];
        if (k != 0xFF) ++counts[k];
        non_ascii |= c >> 7;
        controls += is_control_byte(c);
    }
    out->line_feeds = counts[0];
    out->commas = counts[1];
    out->hyphens = counts[2];
    out->colons = counts[3];
    out->open_brackets = counts[4];
    out->open_braces = counts[5];
    out->double_quotes = counts[6];
    out->single_quotes = counts[7];
    out->bars = counts[8];
    out->ampersands = counts[9];
    out->number_signs = counts[10];
    out->non_ascii = non_ascii;
    out->controls = controls;
}

// ---- slot 12: line scan ---------------------------------------------------

// Offset of the first byte in [from, to) for which mask_of(word) flags a byte,
// or to.
template <typename Mask, typename Test>
uint64_t scan_words(const char *data, uint64_t from, uint64_t to, Mask mask_of, Test test) {
    uint64_t i = from;
    for (; i + 8 <= to; i += 8) {
        uint64_t m = mask_of(load(data + i));
        if (m) return i + first_byte(m);
    }
    for (; i < to; ++i)
        if (test(static_cast<uint8_t>(data[i]))) return i;
    return to;
}

int line_scan(const char *data, uint64_t length, uint64_t start, uint64_t limit, zarvel_line_info *out) {
    uint64_t remaining = start < length ? length - start : 0;
    uint64_t window_end = start + (limit < remaining ? limit : remaining);
    bool cut = limit < remaining;

    uint64_t line_end = scan_words(
        data, start, window_end, [](uint64_t w) { return equal_bytes(w, '\n') | equal_bytes(w, '\r'); },
        [](uint8_t c) { return c == '\n' || c == '\r'; });
    uint64_t first_content = scan_words(
        data, start, line_end, [](uint64_t w) { return ~equal_bytes(w, ' ') & highs; },
        [](uint8_t c) { return c != ' '; });
    uint64_t first_mark = scan_words(
        data, first_content, line_end, [](uint64_t w) { return equal_bytes(w, ':') | equal_bytes(w, '#'); },
        [](uint8_t c) { return c == ':' || c == '#'; });

    out->line_end = static_cast<uint32_t>(line_end);
    out->first_content = static_cast<uint32_t>(first_content);
    out->first_mark = static_cast<uint32_t>(first_mark);
    out->mark_found = first_mark < line_end ? 1 : 0;
    return (line_end < window_end || !cut) ? 1 : 0;
}

// ---- slot 13: JSON block classifier ---------------------------------------

void json_classify(const char *data, uint64_t length, zarvel_json_block_classes *out) {
    zarvel_json_block_classes r{};
    uint64_t n = length < 32 ? length : 32;
    for (uint64_t i = 0; i < n; ++i) {
        uint8_t c = static_cast<uint8_t>(data[i]);
        uint32_t bit = 1u << i;
        r.present |= bit;
        if (c == '"') r.quotes |= bit;
        if (c == '\\') r.backslashes |= bit;
        if (c == '{' || c == '}' || c == '[' || c == ']' || c == ',' || c == ':') r.structurals |= bit;
        if (c == '-' || (c >= '0' && c <= '9') || c == 't' || c == 'f' || c == 'n') r.scalar_starts |= bit;
        if (c < 0x20) r.controls |= bit;
    }
    *out = r;
}

constexpr zarvel_kernels portable_table = {
    contains,
    find,
    find3,
    count,
    count3,
    copy_count3,
    find_not,
    find_in_set,
    find_quote,
    census,
    find_json_special,
    has_special,
    line_scan,
    json_classify,
    zvl_json_stage1_scalar,
    zvl_json_stage1_masks_scalar,
    nullptr,
    zvl::first_invalid_utf8_portable,
    copy_until,
};

// Processor-feature word: bit 11 says the features were probed.
constexpr uint16_t features_probed = 1u << 11;
std::atomic<uint16_t> processor_features{0};
std::atomic<const zarvel_kernels *> published{nullptr};

}  // namespace

const zarvel_kernels &zvl::portable_kernels() { return portable_table; }

const zarvel_kernels *zarvel_kernels_get() {
    const zarvel_kernels *table = published.load(std::memory_order_acquire);
    if (table) return table;
    processor_features.fetch_or(features_probed, std::memory_order_relaxed);
    // The fastest vector table this processor runs (they come slowest first);
    // racing first users pick and publish the same pointer.
    table = &portable_table;
    for (const zvl::kernel_variant &variant : zvl::kernel_vector_variants())
        if (variant.supported()) table = variant.table();
    published.store(table, std::memory_order_release);
    return table;
}
