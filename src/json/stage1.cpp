// Stage 1 of a two-stage JSON reader, portable form: classify the text 64
// bytes at a time into bit masks (bit i = byte i of the block) and find the
// structural characters that stand outside strings. Two bits carry from one
// block to the next: an unfinished escape and an open string.
#include <cstring>

#include "json/stage1.hpp"
#include "zarvel.h"

namespace zvl::json {

namespace {

constexpr uint64_t odd_bits = 0xAAAAAAAAAAAAAAAAull;

// Raw byte classes of one block (the first `valid` bytes exist).
raw_block_masks classify_portable(const char *block, uint32_t valid) {
    raw_block_masks m{};
    for (uint32_t i = 0; i < valid; ++i) {
        auto c = static_cast<uint8_t>(block[i]);
        uint64_t bit = 1ull << i;
        if (c == '"') m.quotes |= bit;
        else if (c == '\\') m.backslashes |= bit;
        else if (c == '{' || c == '}' || c == '[' || c == ']' || c == ',' || c == ':') m.operators |= bit;
        else if (c < 0x20) m.controls |= bit;
    }
    return m;
}

}  // namespace

uint64_t prefix_xor(uint64_t x) {
    x ^= x << 1;
    x ^= x << 2;
    x ^= x << 4;
    x ^= x << 8;
    x ^= x << 16;
    x ^= x << 32;
    return x;
}

zvl_json_stage1_block stage1_carry::finish(const raw_block_masks &raw, uint64_t valid_bits,
                                           uint64_t (*prefix)(uint64_t)) {
    zvl_json_stage1_block out;
    out.quotes = raw.quotes;
    out.backslashes = raw.backslashes;
    out.operators = raw.operators;
    out.controls = raw.controls;

    // Characters escaped by a backslash: odd-length runs of backslashes
    // escape the byte after them. Subtracting the run starts from the runs
    // (with the odd bit positions set) flips exactly the bits that follow a
    // run whose length has the wrong parity for its start.
    uint64_t backslash = raw.backslashes & ~escape_pending;
    uint64_t escape_and_terminal = (((backslash << 1) | odd_bits) - backslash) ^ odd_bits;
    uint64_t escaped = escape_and_terminal ^ (raw.backslashes | escape_pending);
    uint64_t escape = escape_and_terminal & backslash;
    escape_pending = escape >> 63;

    // Quotes that open or close a string; the in-string mask runs from an
    // opening quote (included) to its closing quote (excluded).
    uint64_t quotes = raw.quotes & ~escaped;
    uint64_t in_string = prefix(quotes) ^ string_open;
    string_open = static_cast<uint64_t>(static_cast<int64_t>(in_string) >> 63);

    uint64_t inside_or_closing = valid_bits & (quotes ^ in_string);
    out.structurals = valid_bits & ~inside_or_closing & (raw.operators | quotes);

    if (raw.backslashes) flags |= ZVL_JSON_FLAG_BACKSLASH;
    if (valid_bits & in_string & raw.controls) flags |= ZVL_JSON_FLAG_CONTROL_IN_STRING;
    return out;
}

raw_block_masks classify_block(const char *text, uint64_t len, uint64_t offset) {
    uint64_t rest = len - offset;
    return classify_portable(text + offset, rest < 64 ? static_cast<uint32_t>(rest) : 64u);
}

}  // namespace zvl::json

using namespace zvl::json;

int32_t zvl_json_stage1_masks_scalar(const char *text, uint64_t len, zvl_json_stage1_block *blocks,
                                     uint64_t *block_count, int32_t *flags) {
    stage1_carry carry;
    uint64_t count = 0;
    for (uint64_t offset = 0; offset < len; offset += 64, ++count) {
        uint64_t rest = len - offset;
        uint64_t valid_bits = rest >= 64 ? ~0ull : (1ull << rest) - 1;
        blocks[count] = carry.finish(classify_block(text, len, offset), valid_bits, prefix_xor);
    }
    if (block_count) *block_count = count;
    if (flags) *flags |= carry.flags;
    return carry.string_open ? 0 : 1;
}

int32_t zvl_json_stage1_scalar(const char *text, uint64_t len, uint32_t *positions,
                               uint64_t *count, int32_t *flags) {
    stage1_carry carry;
    uint64_t written = 0;
    for (uint64_t offset = 0; offset < len; offset += 64) {
        uint64_t rest = len - offset;
        uint64_t valid_bits = rest >= 64 ? ~0ull : (1ull << rest) - 1;
        uint64_t bits =
            carry.finish(classify_block(text, len, offset), valid_bits, prefix_xor).structurals;
        while (bits) {
            positions[written++] = static_cast<uint32_t>(offset + static_cast<uint64_t>(__builtin_ctzll(bits)));
            bits &= bits - 1;
        }
    }
    if (count) *count = written;
    if (flags) *flags |= carry.flags;
    return carry.string_open ? 0 : 1;
}
