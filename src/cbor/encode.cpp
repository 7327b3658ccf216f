// CBOR encoder: documents to CBOR data items and sequences.
//
// Preferred serialisation throughout: shortest heads, and each float in the
// narrowest of binary16, binary32 and binary64 that holds it exactly. Two
// walks over the tree share one set of rules, written once over an output
// policy: a measuring walk that sums sizes, then a writing walk into a buffer
// of exactly that size. With the canonical flag the measuring walk also
// sorts every mapping's pairs by their keys' encoded bytes and records the
// order, in visiting order, for the writing walk to replay. Without it, an
// encoding into a buffer of its own takes a single walk into a growing
// buffer instead, which makes the same bytes.
#include <cmath>
#include <cstddef>
#include <cstring>

#include "cbor/encode.hpp"
#include "cbor/heads.hpp"
#include "cbor/messages.hpp"
#include "core/large_pages.hpp"
#include "core/copy.hpp"
#include "core/decimal_to_double.hpp"
#include "core/error.hpp"
#include "core/memory.hpp"
#include "doc/resolve.hpp"
#include "doc/store.hpp"
#include "json/grammar.hpp"
#include "json/short_decimal.hpp"
#include "core/utf8.hpp"
#include "core/word.hpp"
#include "zarvel.h"

namespace {

using namespace zvl::cbor_heads;

// ---- statuses and limits ----------------------------------------------------

enum encode_status : int32_t {
    encoded = 0,
    no_memory = 2,  // no node store, or an allocation failed
    no_root = 6,
    not_encodable = 7,
    length_differs = 8,
};

// Tag texts up to the decoder's chain size, so that every chain the decoder
// writes encodes back (a chain of one-digit tags holds about 250 of them).
constexpr uint64_t max_tag_text = 511;
// Number texts longer than this are not numbers the encoder takes.
constexpr uint64_t max_number_text = 32;
// Deeper than any tree the library builds: guards against broken links.
constexpr uint32_t max_walk_depth = 1024;
// Pairs sorted by insertion alone; longer mappings are merge-sorted.
constexpr uint32_t insertion_sort_limit = 16;


// ---- outputs ------------------------------------------------------------------

// Measuring walk: only the size.
struct measure_out {
    uint64_t size = 0;
    static constexpr bool writes = false;
    void put(uint8_t) { size += 1; }
    void put(const void *, uint64_t n) { size += n; }
};

// Writing walk into a buffer of known capacity; never writes past it (a walk
// that would is reported as a length difference).
struct buffer_out {
    uint8_t *buffer;
    uint64_t capacity;
    uint64_t size = 0;
    bool overflow = false;
    static constexpr bool writes = true;
    void put(uint8_t b) {
        if (size < capacity)
            buffer[size] = b;
        else
            overflow = true;
        size += 1;
    }
    void put(const void *p, uint64_t n) {
        if (size <= capacity && n <= capacity - size) {
            zvl::copy_run(buffer + size, p, n);
        } else {
            overflow = true;
        }
        size += n;
    }
};

// ---- number texts -------------------------------------------------------------

struct number {
    enum class kind { integer, floating } type;
    uint8_t major;      // integers: 0 or 1
    uint64_t argument;  // integers: the head's argument
    double value;       // floats
};

bool same_text(std::string_view text, const char *word) { return text == word; }

// The usual number texts read in place, with exactly the values the JSON
// number reader gives them: integers of at most 18 digits, and decimals of
// at most 19 digits that fit 53 bits with a power of ten up to 22 (one
// correctly rounded operation on exact doubles). Only JSON number syntax is
// taken; anything else returns false and goes the general way.
bool fast_number(std::string_view text, number &out) {
    zvl::json::short_decimal d;
    if (!zvl::json::read_short_decimal(text, true, d)) return false;
    if (d.integer) {
        if (d.digits > 18) return false;
        const int64_t v = d.negative ? -int64_t(d.mantissa) : int64_t(d.mantissa);
        if (v >= 0)
            out = {number::kind::integer, major_unsigned, uint64_t(v), 0};
        else
            out = {number::kind::integer, major_negative, ~uint64_t(v), 0};
        return true;
    }
    double v = 0;
    if (!zvl::json::short_decimal_double(d, v)) return false;
    out = {number::kind::floating, 0, 0, v};
    return true;
}

// An integer text (optional "-", digits) whose value lies in [-2^64, 2^64 - 1],
// the range of CBOR's integer heads.
bool wide_integer(std::string_view text, number &out) {
    const bool negative = !text.empty() && text[0] == '-';
    std::string_view digits = negative ? text.substr(1) : text;
    if (digits.empty()) return false;
    unsigned __int128 value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + unsigned(c - '0');
        if (value > (unsigned __int128)1 << 64) return false;
    }
    const unsigned __int128 two_to_64 = (unsigned __int128)1 << 64;
    if (!negative) {
        if (value == two_to_64) return false;
        out = {number::kind::integer, major_unsigned, uint64_t(value), 0};
    } else {
        if (value == 0) return false;  // "-0" has its own path and never gets here
        out = {number::kind::integer, major_negative, uint64_t(value - 1), 0};
    }
    return true;
}

// Text of an int- or float-tagged scalar as a CBOR number; false when the
// text is not one.
bool parse_number(std::string_view text, number &out) {
    if (text.empty() || text.size() > max_number_text) return false;
    if (fast_number(text, out)) return true;
    if (same_text(text, "NaN")) {
        out = {number::kind::floating, 0, 0, std::nan("")};
        return true;
    }
    if (same_text(text, "Infinity") || same_text(text, "-Infinity")) {
        out = {number::kind::floating, 0, 0, text[0] == '-' ? -HUGE_VAL : HUGE_VAL};
        return true;
    }
    uint64_t pos = 0;
    uint32_t kind = 0;
    int64_t integer = 0;
    double value = 0;
    if (!zvl_json_number_scan(text.data(), text.size(), &pos, &kind, &integer, &value) || pos != text.size())
        return false;
    if (kind == ZVL_JSON_NUMBER_INT) {
        if (integer >= 0)
            out = {number::kind::integer, major_unsigned, uint64_t(integer), 0};
        else
            out = {number::kind::integer, major_negative, ~uint64_t(integer), 0};  // -1 - v
        return true;
    }
    // Integers beyond 64-bit two's complement that CBOR heads still hold stay
    // integers, so that decoded big integers encode back unchanged.
    if (kind == ZVL_JSON_NUMBER_BIG && wide_integer(text, out)) return true;
    out = {number::kind::floating, 0, 0, value};
    return true;
}

// An int-resolved text that is no JSON number (0644, 0x1F, +5, 1_000 under
// YAML 1.1): its value under the document's schema, as every typed read
// gives it.
bool schema_integer(std::string_view text, bool octal_zero, number &out) {
    int64_t v;
    if (text.size() > UINT32_MAX || !zvl::read_int(text.data(), uint32_t(text.size()), octal_zero, v)) return false;
    if (v >= 0)
        out = {number::kind::integer, major_unsigned, uint64_t(v), 0};
    else
        out = {number::kind::integer, major_negative, ~uint64_t(v), 0};
    return true;
}

// The value a number decoded from CBOR keeps just before its text
// (node_flag::cbor_number): a float, or an integer head's argument whose
// major type the text's sign tells.
template <typename T>
T kept(std::string_view text) {
    T value;
    std::memcpy(&value, text.data() - sizeof value, sizeof value);
    return value;
}
uint8_t kept_major(std::string_view text) { return text[0] == '-' ? major_negative : major_unsigned; }

// ---- tags and special texts ------------------------------------------------------

// Reads the tag numbers of an explicit tag text: decimal numbers, each below
// 2^64, separated by single spaces, with nothing before or after. Calls
// each(number) in order when `each` is given. False for any other text.
template <typename Each>
bool read_tags(std::string_view text, Each each) {
    if (text.size() > max_tag_text) return false;
    size_t i = 0;
    while (true) {
        uint64_t value = 0;
        size_t digits = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            const uint64_t d = uint64_t(text[i] - '0');
            if (value > (~uint64_t(0) - d) / 10) return false;
            value = value * 10 + d;
            ++i;
            ++digits;
        }
        if (digits == 0) return false;
        each(value);
        if (i == text.size()) return true;
        if (text[i] != ' ') return false;
        ++i;  // a space must be followed by another number
    }
}

// "simple(N)" with one to three digits and N in 0-23 or 32-255.
bool simple_value(std::string_view text, uint8_t &value) {
    constexpr std::string_view open = "simple(";
    if (text.size() < open.size() + 2 || text.size() > open.size() + 4) return false;
    if (text.substr(0, open.size()) != open || text.back() != ')') return false;
    std::string_view digits = text.substr(open.size(), text.size() - open.size() - 1);
    uint32_t n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + uint32_t(c - '0');
    }
    if (n > 255 || (n >= 24 && n < 32)) return false;
    value = uint8_t(n);
    return true;
}

// A scalar decoded from an undefined or simple value goes back as the value
// its text names.
template <class Out>
bool put_simple_text(Out &out, std::string_view text) {
    if (text == "undefined") {
        out.put(cbor_undefined);
        return true;
    }
    uint8_t simple;
    if (!simple_value(text, simple)) return false;
    if (simple < 24) {
        out.put(uint8_t(0xE0 + simple));
    } else {
        const uint8_t bytes[2] = {cbor_simple_byte, simple};
        out.put(bytes, 2);
    }
    return true;
}

// ---- the encoder -----------------------------------------------------------------

// Canonical orders, shared by the encoder of a whole tree and the encoders
// of its keys: each mapping is sorted once, the first time any walk reaches
// it, and every later walk (the writing pass, or the walk of a key that was
// already encoded on its own for an outer sort) looks its order up by node
// id. Sorting on every visit would cost exponential time for mappings used
// as keys inside mappings used as keys.
struct order_table {
    // Sorted order of one mapping: pair_count key ids from pair_keys[first].
    struct map_order {
        uint32_t pair_count;
        uint64_t first;
    };
    static constexpr uint32_t none = 0xFFFFFFFFu;

    explicit order_table(const zarvel_allocator *allocator)
        : slot_of(allocator), orders(allocator), pair_keys(allocator) {}

    zvl::buffer<uint32_t, 64> slot_of;  // node id -> index into orders, or none
    zvl::buffer<map_order, 16> orders;
    zvl::buffer<uint32_t, 64> pair_keys;
};

class encoder {
  public:
    encoder(const zarvel_node_store *store, bool canonical, order_table &orders)
        : store_(store), canonical_(canonical), octal_zero_(zarvel_octal_zero(store->resolver)), table_(orders) {}

    // Measuring walk; sorts (and records) the mappings it meets first.
    int32_t measure(uint32_t root, uint64_t &size) {
        measure_out out;
        const int32_t status = node(out, root, 0);
        size = out.size;
        return status;
    }

    // Writing walk into exactly `size` bytes, after a successful measure.
    int32_t write(uint32_t root, uint8_t *buffer, uint64_t size) {
        buffer_out out{buffer, size};
        const int32_t status = node(out, root, 0);
        if (status != encoded) return status;
        return out.overflow || out.size != size ? length_differs : encoded;
    }

  private:
    using map_order = order_table::map_order;

    const zarvel_node_rec *record(uint32_t id) const { return id < store_->node_count ? &store_->nodes[id] : nullptr; }
    std::string_view text(zarvel_span span) const { return zarvel_store_text(store_, span); }

    template <typename Out>
    int32_t node(Out &out, uint32_t id, uint32_t depth) {
        const zarvel_node_rec *rec = record(id);
        if (!rec || depth > max_walk_depth) return not_encodable;
        if (const zarvel_span tag = zarvel_store_tag(store_, id); zarvel_span_length(tag) != 0) {
            const std::string_view tags = text(tag);
            if (!read_tags(tags, [](uint64_t) {})) return not_encodable;
            read_tags(tags, [&](uint64_t number) { put_head(out, major_tag, number); });
        }
        switch (rec->kind()) {
        case ZARVEL_KIND_SEQUENCE: return sequence(out, *rec, depth);
        case ZARVEL_KIND_MAPPING: return mapping(out, id, *rec, depth);
        case ZARVEL_KIND_SCALAR: return scalar(out, *rec);
        default: return not_encodable;  // aliases
        }
    }

    template <typename Out>
    int32_t sequence(Out &out, const zarvel_node_rec &rec, uint32_t depth) {
        put_head(out, major_array, rec.child_count);
        uint32_t child = rec.first_child;
        for (uint32_t i = 0; i < rec.child_count; ++i) {
            const zarvel_node_rec *c = record(child);
            if (!c) return not_encodable;
            const int32_t status = node(out, child, depth + 1);
            if (status != encoded) return status;
            child = c->next_sibling;
        }
        return encoded;
    }

    template <typename Out>
    int32_t mapping(Out &out, uint32_t id, const zarvel_node_rec &rec, uint32_t depth) {
        if (rec.child_count % 2) return not_encodable;
        const uint32_t pairs = rec.child_count / 2;
        put_head(out, major_map, pairs);
        if (canonical_ && pairs > 1) {
            uint32_t slot = order_table::none;
            if (!table_.slot_of.empty()) slot = table_.slot_of[id];
            if (slot == order_table::none) {
                // Only a measuring walk meets a mapping for the first time.
                if (Out::writes) return length_differs;
                const int32_t status = sort_pairs(id, rec);
                if (status != encoded) return status;
                slot = table_.slot_of[id];
            }
            // Copied out: nested sorts append to the table and may move it.
            const uint64_t first = table_.orders[slot].first;
            for (uint32_t i = 0; i < pairs; ++i) {
                const int32_t status = pair(out, table_.pair_keys[first + i], depth);
                if (status != encoded) return status;
            }
            return encoded;
        }
        uint32_t key = rec.first_child;
        for (uint32_t i = 0; i < pairs; ++i) {
            const zarvel_node_rec *k = record(key);
            if (!k) return not_encodable;
            const zarvel_node_rec *v = record(k->next_sibling);
            if (!v) return not_encodable;
            const int32_t status = pair(out, key, depth);
            if (status != encoded) return status;
            key = v->next_sibling;
        }
        return encoded;
    }

    template <typename Out>
    int32_t pair(Out &out, uint32_t key, uint32_t depth) {
        const int32_t status = node(out, key, depth + 1);
        if (status != encoded) return status;
        const zarvel_node_rec *k = record(key);
        return node(out, k->next_sibling, depth + 1);
    }

    // Orders the pairs of one mapping by the encoded bytes of their keys
    // (shorter first when one is a prefix of the other; equal keys keep
    // document order) and records the order.
    int32_t sort_pairs(uint32_t id, const zarvel_node_rec &rec) {
        const uint32_t pairs = rec.child_count / 2;
        zvl::buffer<uint8_t, 256> bytes(store_->allocator);
        zvl::buffer<uint64_t, 32> ends(store_->allocator);  // end offset of each key's bytes
        zvl::buffer<uint32_t, 32> keys(store_->allocator);
        if (!ends.reserve(pairs) || !keys.reserve(pairs)) return no_memory;
        uint32_t key = rec.first_child;
        for (uint32_t i = 0; i < pairs; ++i) {
            const zarvel_node_rec *k = record(key);
            const zarvel_node_rec *v = k ? record(k->next_sibling) : nullptr;
            if (!v) return not_encodable;
            const int32_t status = encode_alone(key, bytes);
            if (status != encoded) return status;
            ends.push_back(bytes.size());
            keys.push_back(key);
            key = v->next_sibling;
        }
        zvl::buffer<uint32_t, 32> order(store_->allocator);
        if (!order.reserve(pairs)) return no_memory;
        for (uint32_t i = 0; i < pairs; ++i) order.push_back(i);
        auto key_bytes = [&](uint32_t i) {
            const uint64_t begin = i ? ends[i - 1] : 0;
            return std::basic_string_view<uint8_t>(bytes.data() + begin, ends[i] - begin);
        };
        auto before = [&](uint32_t a, uint32_t b) {  // strictly before: keeps equal keys in place
            const auto x = key_bytes(a), y = key_bytes(b);
            const size_t common = x.size() < y.size() ? x.size() : y.size();
            const int c = common ? std::memcmp(x.data(), y.data(), common) : 0;
            return c < 0 || (c == 0 && x.size() < y.size());
        };
        if (!stable_sort(order.data(), pairs, before)) return no_memory;
        if (table_.slot_of.empty()) {
            if (!table_.slot_of.reserve(store_->node_count)) return no_memory;
            for (uint32_t i = 0; i < store_->node_count; ++i) table_.slot_of.push_back(order_table::none);
        }
        if (!table_.pair_keys.reserve(table_.pair_keys.size() + pairs)) return no_memory;
        if (!table_.orders.push_back(map_order{pairs, table_.pair_keys.size()})) return no_memory;
        for (uint32_t i = 0; i < pairs; ++i) table_.pair_keys.push_back(keys[order[i]]);
        table_.slot_of[id] = uint32_t(table_.orders.size() - 1);
        return encoded;
    }

    // Appends the encoding of one node, on its own, to bytes.
    int32_t encode_alone(uint32_t id, zvl::buffer<uint8_t, 256> &bytes) {
        encoder alone(store_, canonical_, table_);
        uint64_t size = 0;
        int32_t status = alone.measure(id, size);
        if (status != encoded) return status;
        const uint64_t at = bytes.size();
        if (!bytes.reserve(at + size)) return no_memory;
        status = alone.write(id, bytes.data() + at, size);
        if (status != encoded) return status;
        bytes.resize_down(at + size);
        return encoded;
    }

    // Stable: insertion sort for short runs, then bottom-up merging through
    // one scratch array.
    template <typename Before>
    bool stable_sort(uint32_t *items, uint32_t n, Before before) {
        for (uint32_t run = 0; run < n; run += insertion_sort_limit) {
            const uint32_t end = run + insertion_sort_limit < n ? run + insertion_sort_limit : n;
            for (uint32_t i = run + 1; i < end; ++i) {
                const uint32_t item = items[i];
                uint32_t j = i;
                while (j > run && before(item, items[j - 1])) {
                    items[j] = items[j - 1];
                    --j;
                }
                items[j] = item;
            }
        }
        if (n <= insertion_sort_limit) return true;
        zvl::buffer<uint32_t, 32> scratch(store_->allocator);
        if (!scratch.reserve(n)) return false;
        uint32_t *from = items, *to = scratch.data();
        for (uint64_t width = insertion_sort_limit; width < n; width *= 2) {
            for (uint64_t left = 0; left < n; left += 2 * width) {
                const uint64_t mid = left + width < n ? left + width : n;
                const uint64_t right = left + 2 * width < n ? left + 2 * width : n;
                uint64_t a = left, b = mid, k = left;
                while (a < mid && b < right) to[k++] = before(from[b], from[a]) ? from[b++] : from[a++];
                while (a < mid) to[k++] = from[a++];
                while (b < right) to[k++] = from[b++];
            }
            uint32_t *swap = from;
            from = to;
            to = swap;
        }
        if (from != items) std::memcpy(items, from, n * sizeof(uint32_t));
        return true;
    }

    template <typename Out>
    int32_t scalar(Out &out, const zarvel_node_rec &rec) {
        const std::string_view value = text(rec.value);
        switch (rec.tag_id) {
        case ZARVEL_TAG_INT:
        case ZARVEL_TAG_FLOAT: {
            if (rec.flags & zvl::node_flag::cbor_number) {
                if (rec.tag_id == ZARVEL_TAG_FLOAT)
                    put_float(out, kept<double>(value));
                else
                    put_head(out, kept_major(value), kept<uint64_t>(value));
                return encoded;
            }
            // Both walks read the text: the usual forms are read in place,
            // which costs less than keeping every value between the walks.
            number n;
            if (!parse_number(value, n) && !(rec.tag_id == ZARVEL_TAG_INT && schema_integer(value, octal_zero_, n)))
                return Out::writes ? length_differs : not_encodable;
            if (n.type == number::kind::integer)
                put_head(out, n.major, n.argument);
            else
                put_float(out, n.value);
            return encoded;
        }
        case ZARVEL_TAG_BOOL:
            out.put(zvl_num_bool(value.data(), uint32_t(value.size())) ? cbor_true : cbor_false);
            return encoded;
        case ZARVEL_TAG_NULL: out.put(cbor_null); return encoded;
        case ZARVEL_TAG_BINARY:  // a byte string read from CBOR
            put_string(out, major_bytes, value);
            return encoded;
        default: break;
        }
        if ((rec.flags & zvl::node_flag::cbor_simple) && put_simple_text(out, value)) return encoded;
        // Text and byte strings have the same size: only the writing walk
        // needs to tell them apart.
        uint8_t major = major_text;
        if constexpr (Out::writes) major = text_major(zarvel_span_in_strings(rec.value), value);
        put_string(out, major, value);
        return encoded;
    }

    template <typename Out>
    void put_string(Out &out, uint8_t major, std::string_view value) {
        put_head(out, major, value.size());
        out.put(value.data(), value.size());
    }

    const zarvel_node_store *store_;
    bool canonical_;
    bool octal_zero_;  // the store reads a leading zero as YAML 1.1 does
    order_table &table_;
};

// ---- the default encoding in one walk ---------------------------------------------

// Unchecked writes into a buffer that already has room for them.
struct raw_out {
    uint8_t *at;
    void put(uint8_t b) { *at++ = b; }
    void put(const void *p, uint64_t n) {
        zvl::copy_run(at, p, n);
        at += n;
    }
};

// Needs 9 bytes of room.
inline __attribute__((always_inline)) void put_head(raw_out &out, uint8_t major, uint64_t argument) {
    out.at = zvl::cbor_heads::put_head_at(out.at, major, argument);
}

// Floats in the walk, inline: a double with any of its low 29 mantissa bits
// set has no narrower exact form (as most doubles from decimal texts), so
// it is written at once; the rest take the general width test.
inline __attribute__((always_inline)) void put_float(raw_out &out, double d) {
    constexpr uint64_t exponent_bits = 0x7FF0000000000000ull;
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    if ((bits & 0x1FFFFFFF) == 0 || (bits & exponent_bits) == exponent_bits) {
        // Through a copy, so that the walk's writer stays in a register.
        raw_out copy{out.at};
        zvl::cbor_heads::put_float<raw_out>(copy, d);  // narrower, or a NaN
        out.at = copy.at;
        return;
    }
    out.at[0] = cbor_double;
    const uint64_t big = __builtin_bswap64(bits);
    std::memcpy(out.at + 1, &big, 8);
    out.at += 9;
}

// Reads the digits from p[i] on into m (which wraps past 19 digits) and
// returns where they end: eight a step while whole words are digits (many
// identifiers and fractions are that long), the last few one by one.
inline __attribute__((always_inline)) uint32_t digit_run(const char *p, uint32_t n, uint32_t i, uint64_t &m) {
    while (n - i >= 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (!zvl::json::eight_digits(w)) break;
        m = m * 100000000u + zvl::json::eight_digit_value(w);
        i += 8;
    }
    for (; i < n && uint32_t(uint8_t(p[i])) - '0' <= 9; ++i) m = m * 10 + uint32_t(uint8_t(p[i]) - '0');
    return i;
}

// Decimal integers of at most 18 digits without a leading zero, the usual
// integer text, read without the general number reader; the values are the
// ones parse_number gives ("-0" is 0). False sends the text the general way.
inline __attribute__((always_inline)) bool short_integer(const char *p, uint32_t n, uint8_t &major,
                                                         uint64_t &argument) {
    const bool negative = n && p[0] == '-';
    const uint32_t start = negative ? 1 : 0;
    const uint32_t digits = n - start;
    if (digits == 0 || digits > 18 || (digits > 1 && p[start] == '0')) return false;
    uint64_t v = 0;
    if (digit_run(p, n, start, v) != n) return false;
    if (negative && v != 0) {
        major = major_negative;
        argument = v - 1;
    } else {
        major = major_unsigned;
        argument = v;
    }
    return true;
}

// Decimal fractions ("-12.25") of at most 19 digits without an exponent,
// the float texts the CBOR decoder and most documents write, read to the
// value parse_number gives them: one correctly rounded division of exact
// doubles, or the shared decimal reader's product when the digits pass 2^53
// (shortest texts of most doubles have 16 or 17). False sends the text the
// general way.
inline __attribute__((always_inline)) bool short_fraction(const char *p, uint32_t n, double &value) {
    static constexpr double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8, 1e9,
                                        1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18};
    const bool negative = n && p[0] == '-';
    const uint32_t start = negative ? 1 : 0;
    uint64_t m = 0;  // wraps only past 19 digits, which are refused
    uint32_t i = digit_run(p, n, start, m);
    const uint32_t whole = i - start;
    if (whole == 0 || (whole > 1 && p[start] == '0') || i == n || p[i] != '.') return false;
    const uint32_t point = ++i;
    i = digit_run(p, n, i, m);
    const uint32_t fraction = i - point;
    if (i != n || fraction == 0 || whole + fraction > 19) return false;
    if (m > (uint64_t{1} << 53)) {
        value = zvl::decimal_parts_to_double(m, -int64_t(fraction), negative);
        return true;
    }
    const double v = double(m) / powers[fraction];
    value = negative ? -v : v;
    return true;
}

// Copies a text and tells whether it is ASCII, so well-formed without a call
// to the validator (most keys and values are). Runs of up to 16 bytes move
// as two overlapping words whose bits are tested on the way; longer ones up
// to 64 bytes are tested eight bytes at a time, the last eight overlapping.
inline __attribute__((always_inline)) bool copy_ascii(uint8_t *to, const char *from, uint64_t n) {
    constexpr uint64_t high = zvl::word::highs;
    if (n >= 8 && n <= 16) {
        uint64_t a, b;
        std::memcpy(&a, from, 8);
        std::memcpy(&b, from + n - 8, 8);
        std::memcpy(to, &a, 8);
        std::memcpy(to + n - 8, &b, 8);
        return ((a | b) & high) == 0;
    }
    if (n >= 4 && n < 8) {
        uint32_t a, b;
        std::memcpy(&a, from, 4);
        std::memcpy(&b, from + n - 4, 4);
        std::memcpy(to, &a, 4);
        std::memcpy(to + n - 4, &b, 4);
        return ((a | b) & uint32_t(high)) == 0;
    }
    if (n < 4) {
        if (n == 0) return true;
        const uint8_t a = uint8_t(from[0]), b = uint8_t(from[n / 2]), c = uint8_t(from[n - 1]);
        to[0] = a;
        to[n / 2] = b;
        to[n - 1] = c;
        return ((a | b | c) & 0x80) == 0;
    }
    std::memcpy(to, from, n);
    if (n > 64) return false;
    uint64_t any = 0;
    for (uint64_t i = 0; i + 8 <= n; i += 8) any |= zvl::word::load(from + i);
    return ((any | zvl::word::load(from + n - 8)) & high) == 0;
}

// Copies n bytes and up to copy_block more, a block at a time: for
// texts with that much slack after them in both places, the loop costs less
// than an exact copy's tests of the length.
constexpr uint64_t copy_block = 32;
inline __attribute__((always_inline)) void copy_blocks(uint8_t *to, const char *from, uint64_t n) {
    if (n > 4 * copy_block) {  // long: the library's copy moves wider words
        std::memcpy(to, from, n);
        return;
    }
    std::memcpy(to, from, copy_block);
    for (uint64_t i = copy_block; i < n; i += copy_block) std::memcpy(to + i, from + i, copy_block);
}

// Without the canonical flag the encoding needs no size in advance: one
// walk, without recursion, writes straight into a buffer sized from the
// store's texts and node count and grown when short. It makes exactly the
// bytes of the two walks. Every failure of that walk means not_encodable,
// so its order does not matter; running short of memory is reported as
// no_memory for the caller to retry the general way, which needs less.
class single_walk {
  public:
    explicit single_walk(const zarvel_node_store *store)
        : nodes_(store->nodes),
          props_(store->props),
          node_count_(store->node_count),
          input_(store->input),
          block_end_(block_end(store)),
          strings_(store->strings),
          octal_zero_(zarvel_octal_zero(store->resolver)) {}
    ~single_walk() { zvl::sys_free(begin_); }

    // On encoded the buffer (from the system allocator) passes to the caller.
    int32_t run(uint32_t root, uint64_t estimate, uint8_t *&buffer, uint64_t &size) {
        begin_ = static_cast<uint8_t *>(zvl::sys_malloc(estimate));
        if (!begin_) return no_memory;
        zvl::advise_large_pages(begin_, estimate);
        at_ = begin_;
        end_ = begin_ + estimate;
        const int32_t status = walk(root);
        if (status != encoded) return status;
        size = uint64_t(at_ - begin_);
        buffer = begin_;
        begin_ = nullptr;
        // Give back a buffer more than twice the size; a smaller spare is
        // untouched memory and not worth a new block.
        if (uint64_t(end_ - buffer) / 2 > size) {
            if (void *smaller = zvl::sys_realloc(buffer, size)) buffer = static_cast<uint8_t *>(smaller);
        }
        return encoded;
    }

  private:
    // Texts in the input that end (offset + length) below this have a
    // block's slack after them there. Never above the strings bit, so that
    // a span's offset word (offset and that bit) is below it only for texts
    // in the input.
    static uint64_t block_end(const zarvel_node_store *store) {
        if (!store->input || store->input_len < copy_block) return 0;
        const uint64_t end = store->input_len - copy_block + 1;
        return end < zarvel_span_in_strings_bit ? end : zarvel_span_in_strings_bit;
    }

    // An open collection: its own next sibling and how many nodes of its
    // level were left when it was entered, itself included.
    struct frame {
        uint32_t after;
        uint32_t left;
    };
    // Room every node asks for besides its text: the longest head or float,
    // and the slack of put_head's 8-byte store or of a block copy.
    static constexpr uint64_t node_room = 16 + copy_block;
    // How many nodes ahead the walk asks for a text.
    static constexpr uint32_t text_lead = 8;

    int32_t walk(uint32_t id) {
        // Locals, not members: every byte written may alias the members as
        // far as the compiler knows, which would reload them after each store.
        // Few of them, so that the loop keeps them all in registers.
        const zarvel_node_rec *const nodes = nodes_;
        const uint32_t node_count = node_count_;
        const char *const input = input_;
        const uint64_t block_end = block_end_;
        raw_out out{at_};
        // Room for node_room bytes and a text that ends below here (as a
        // number: a text's end may lie past the buffer).
        uintptr_t text_limit = reinterpret_cast<uintptr_t>(end_ - node_room);
        frame stack[max_walk_depth + 1];
        uint32_t depth = 0;
        uint32_t left = 1;  // nodes still to write at this level, this one included
        while (true) {
            if (__builtin_expect(id >= node_count, 0)) return not_encodable;
            const zarvel_node_rec &rec = nodes[id];
            // Readers lay nodes out in document order, which the walk follows:
            // the records a few nodes on are asked for while this one is written.
            __builtin_prefetch(nodes + id + 64);
            // And the text of the node text_lead on: the input between
            // texts is skipped, which the hardware's stream prefetch does not
            // follow. A hint only, so where that text really lies (in the
            // input or in the strings) does not matter.
            __builtin_prefetch(reinterpret_cast<const void *>(
                reinterpret_cast<uintptr_t>(input) +
                uint32_t(nodes[id + text_lead < node_count ? id + text_lead : id].value)));
            const zarvel_span span = rec.value;
            const uint32_t length = zarvel_span_length(span);
            // A member, not a local: it is rarely set and the locals keep
            // their registers.
            const zarvel_span tag = props_ ? props_[id].tag : 0;
            if (__builtin_expect(
                    reinterpret_cast<uintptr_t>(out.at) + length > text_limit || zarvel_span_length(tag) != 0, 0)) {
                // Growth and tags, rare, go through the members.
                at_ = out.at;
                if (!room(node_room + length)) return no_memory;
                if (zarvel_span_length(tag) != 0) {
                    const int32_t status = tags(tag, node_room + length);
                    if (status != encoded) return status;
                }
                out.at = at_;
                text_limit = reinterpret_cast<uintptr_t>(end_ - node_room);
            }
            // Kind and tag id together: zero for a plain string scalar.
            uint16_t kind_and_tag;
            std::memcpy(&kind_and_tag, &rec, sizeof kind_and_tag);
            static_assert(offsetof(zarvel_node_rec, tag_id) == 1 && ZARVEL_KIND_SCALAR == 0 && ZARVEL_TAG_STR == 0);
            // The offset's word holds the strings bit above any block_end.
            constexpr uint16_t kind_and_tag_mask = 0xFF00 | zvl::node_flag::kind_mask;
            if (__builtin_expect(
                    (kind_and_tag & kind_and_tag_mask) == 0 && uint64_t(uint32_t(span)) + length < block_end, 1)) {
                // The commonest node: a text in the input, which its reader
                // checked, with a block's slack after it there (and, by
                // node_room, in the output) for the copy to overrun.
                put_head(out, major_text, length);
                copy_blocks(out.at, input + uint32_t(span), length);
                out.at += length;
            } else if ((kind_and_tag & (kind_and_tag_mask | zvl::node_flag::cbor_number)) ==
                           (ZARVEL_TAG_FLOAT << 8 | zvl::node_flag::cbor_number) &&
                       length != 0) {
                // The next commonest nodes (numbers whose value a decoder
                // kept, nulls and booleans) without the general scalar way.
                put_float(out, kept<double>(text(span)));
            } else if ((kind_and_tag & (kind_and_tag_mask | zvl::node_flag::cbor_number)) ==
                           (ZARVEL_TAG_INT << 8 | zvl::node_flag::cbor_number) &&
                       length != 0) {
                const std::string_view value = text(span);
                put_head(out, kept_major(value), kept<uint64_t>(value));
            } else if ((kind_and_tag & kind_and_tag_mask) == ZARVEL_TAG_NULL << 8) {
                *out.at++ = cbor_null;
            } else if ((kind_and_tag & kind_and_tag_mask) == ZARVEL_TAG_BOOL << 8 &&
                       (length == 5 || (length == 4 && std::memcmp(text(span).data(), "true", 4) == 0))) {
                *out.at++ = length == 4 ? cbor_true : cbor_false;  // no true word has five letters
            } else if (rec.kind() == ZARVEL_KIND_SCALAR) {
                const bool in_strings = zarvel_span_in_strings(span);
                const char *base = in_strings ? strings_ : input;
                const std::string_view value =
                    length ? std::string_view(base + zarvel_span_offset(span), length) : std::string_view();
                // Texts in the input were checked by the reader that referred them there.
                // Through a copy: a writer whose address escapes into a call
                // would be kept in memory for the whole loop.
                raw_out scalar_out{out.at};
                if (!scalar(scalar_out, rec.tag_id, (rec.flags & zvl::node_flag::cbor_simple) != 0, value, !in_strings,
                            octal_zero_))
                    return not_encodable;
                out.at = scalar_out.at;
            } else if (rec.kind() == ZARVEL_KIND_SEQUENCE || rec.kind() == ZARVEL_KIND_MAPPING) {
                uint32_t count = rec.child_count;
                if (rec.kind() == ZARVEL_KIND_MAPPING) {
                    if (count % 2) return not_encodable;
                    put_head(out, major_map, count / 2);
                } else {
                    put_head(out, major_array, count);
                }
                if (count != 0) {
                    // Its children would stand deeper than a walk goes.
                    if (depth == max_walk_depth) return not_encodable;
                    stack[depth++] = frame{rec.next_sibling, left};
                    left = count;
                    id = rec.first_child;
                    continue;
                }
            } else {
                return not_encodable;  // aliases
            }
            // The node is written: on to its next sibling, or past the
            // collections it ends to theirs.
            id = rec.next_sibling;
            while (__builtin_expect(--left == 0, 0)) {
                if (depth == 0) {
                    at_ = out.at;
                    return encoded;
                }
                const frame &outer = stack[--depth];
                id = outer.after;
                left = outer.left;
            }
        }
    }

    std::string_view text(zarvel_span span) const {
        const uint32_t length = zarvel_span_length(span);
        if (length == 0) return {};
        const char *base = zarvel_span_in_strings(span) ? strings_ : input_;
        return {base + zarvel_span_offset(span), length};
    }

    bool room(uint64_t n) { return uint64_t(end_ - at_) >= n || grow(n); }

    __attribute__((noinline)) bool grow(uint64_t n) {
        const uint64_t used = uint64_t(at_ - begin_);
        uint64_t capacity = uint64_t(end_ - begin_) * 2;
        if (capacity < used + n) capacity = used + n;
        auto *bigger = static_cast<uint8_t *>(zvl::sys_realloc(begin_, capacity));
        if (!bigger) return false;
        begin_ = bigger;
        at_ = bigger + used;
        end_ = bigger + capacity;
        return true;
    }

    // Writes the tag heads of a node that then needs `need` bytes of room.
    __attribute__((noinline)) int32_t tags(zarvel_span tag, uint64_t need) {
        const std::string_view tags = text(tag);
        if (!read_tags(tags, [](uint64_t) {})) return not_encodable;
        bool fits = true;
        read_tags(tags, [&](uint64_t number) {
            if (!fits || !room(node_room)) {
                fits = false;
                return;
            }
            raw_out out{at_};
            put_head(out, major_tag, number);
            at_ = out.at;
        });
        // The node's own room, asked for before the tags took some of it.
        return fits && room(need) ? encoded : no_memory;
    }

    // marked: the node carries the CBOR mark of its tag (a simple value or a
    // kept number).
    static bool scalar(raw_out &out, uint32_t tag_id, bool marked, std::string_view value, bool well_formed,
                       bool octal_zero) {
        // Tests in the order of how common the kinds are instead of a jump
        // table: its one indirect branch for every scalar is predicted worse.
        if (tag_id >= 32 || ((typed_tag_ids >> tag_id) & 1) == 0) return string(out, marked, value, well_formed);
        if (tag_id == ZARVEL_TAG_INT) {
            if (marked) {
                put_head(out, kept_major(value), kept<uint64_t>(value));
                return true;
            }
            uint8_t major;
            uint64_t argument;
            if (short_integer(value.data(), uint32_t(value.size()), major, argument)) {
                put_head(out, major, argument);
                return true;
            }
        }
        if (tag_id == ZARVEL_TAG_FLOAT) {
            double d;
            if (marked) {
                put_float(out, kept<double>(value));
                return true;
            }
            if (short_fraction(value.data(), uint32_t(value.size()), d)) {
                put_float(out, d);
                return true;
            }
        }
        if (tag_id == ZARVEL_TAG_INT || tag_id == ZARVEL_TAG_FLOAT) {
            number n;
            if (!parse_number(value, n) && !(tag_id == ZARVEL_TAG_INT && schema_integer(value, octal_zero, n)))
                return false;
            if (n.type == number::kind::integer)
                put_head(out, n.major, n.argument);
            else
                put_float(out, n.value);
            return true;
        }
        if (tag_id == ZARVEL_TAG_BOOL) {  // "true" and five-letter words were written by the walk
            out.put(zvl_num_bool(value.data(), uint32_t(value.size())) ? cbor_true : cbor_false);
            return true;
        }
        if (tag_id == ZARVEL_TAG_NULL) {
            out.put(cbor_null);
            return true;
        }
        put_head(out, major_bytes, value.size());  // binary: a byte string read from CBOR
        copy_ascii(out.at, value.data(), value.size());
        out.at += value.size();
        return true;
    }

    // Tag ids that are not written as strings.
    static constexpr uint32_t typed_tag_ids = 1u << ZARVEL_TAG_INT | 1u << ZARVEL_TAG_FLOAT | 1u << ZARVEL_TAG_BOOL |
                                              1u << ZARVEL_TAG_NULL | 1u << ZARVEL_TAG_BINARY;

    static bool string(raw_out &out, bool simple, std::string_view value, bool well_formed) {
        if (simple && put_simple_text(out, value)) return true;
        // The head's size does not depend on its major type: a text that is
        // not well-formed UTF-8 turns its head into a byte string's after
        // the copy.
        uint8_t *head = out.at;
        put_head(out, major_text, value.size());
        if (well_formed) {
            zvl::copy_run(out.at, value.data(), value.size());
        } else if (!copy_ascii(out.at, value.data(), value.size()) &&
                   !zarvel_validate_utf8(value.data(), value.size(), nullptr, false))
            *head = uint8_t((*head & 0x1F) | major_bytes << 5);
        out.at += value.size();
        return true;
    }

    const zarvel_node_rec *nodes_;
    const zarvel_node_props *props_;
    uint32_t node_count_;
    const char *input_;
    uint64_t block_end_;
    const char *strings_;
    bool octal_zero_;  // the store reads a leading zero as YAML 1.1 does
    uint8_t *begin_ = nullptr;
    uint8_t *at_ = nullptr;
    uint8_t *end_ = nullptr;
};

// First size of the single walk's buffer: every text once plus a head byte
// per node is about what a document read from CBOR, JSON or YAML encodes to.
// Only root `index`'s part of the stream counts, so that encoding each
// document of a long stream stays linear.
uint64_t output_estimate(const zarvel_node_store *store, uint32_t index) {
    return zarvel_store_root_share(store, index, store->input_len + store->strings_len + store->node_count) + 64;
}

// ---- entries ----------------------------------------------------------------------

bool canonical(uint32_t flags) { return (flags & ZARVEL_CBOR_CANONICAL) != 0; }

// The store and root of a document, or the status that says why not.
int32_t document_root(zarvel_document *document, const zarvel_node_store *&store, uint32_t &root) {
    store = zarvel_document_body(document);
    if (!store) return no_memory;
    if (store->root_count == 0) return no_root;
    root = store->roots[0];
    return encoded;
}

// Measures one document and, when the buffer holds it, writes it. *wrote
// tells whether it was written.
int32_t encode_one(zarvel_document *document, uint32_t flags, uint8_t *buffer, uint64_t capacity, uint64_t &size,
                   bool &wrote) {
    wrote = false;
    const zarvel_node_store *store;
    uint32_t root;
    int32_t status = document_root(document, store, root);
    if (status != encoded) return status;
    order_table orders(store->allocator);
    encoder e(store, canonical(flags), orders);
    status = e.measure(root, size);
    if (status != encoded || !buffer || capacity < size) return status;
    status = e.write(root, buffer, size);
    wrote = status == encoded;
    return status;
}

void record_failure(int32_t status) {
    zarvel_error_set(zarvel_error_current(), ZARVEL_ERR_FAILED, 0, 0, 0, zvl::cbor::message::encode_failed, status);
}

}  // namespace

uint8_t *zvl::cbor::encode_root(zarvel_document *document, uint64_t index, uint32_t flags, uint64_t *length,
                                int32_t *status) {
    int32_t result = no_root;
    uint8_t *buffer = nullptr;
    const zarvel_node_store *store = document ? zarvel_document_body(document) : nullptr;
    if (document && !store) result = no_memory;
    if (store && index < store->root_count && !canonical(flags)) {
        uint64_t size = 0;
        result = single_walk(store).run(store->roots[index], output_estimate(store, uint32_t(index)), buffer, size);
        if (result == encoded && length) *length = size;
        if (result != no_memory) {
            if (status) *status = result;
            return buffer;
        }
        buffer = nullptr;
    }
    if (store && index < store->root_count) {
        const uint32_t root = store->roots[index];
        order_table orders(store->allocator);
        encoder e(store, canonical(flags), orders);
        uint64_t size = 0;
        result = e.measure(root, size);
        if (result == encoded) {
            buffer = static_cast<uint8_t *>(zvl::sys_malloc(size));
            zvl::advise_large_pages(buffer, size);
            result = buffer ? e.write(root, buffer, size) : no_memory;
            if (result != encoded) {
                zvl::sys_free(buffer);
                buffer = nullptr;
            } else if (length) {
                *length = size;
            }
        }
    }
    if (status) *status = result;
    return buffer;
}

uint8_t *zarvel_cbor_encode(zarvel_document *document, uint32_t flags, uint64_t *out_len) {
    if (!document) return nullptr;
    const zarvel_node_store *store;
    uint32_t root;
    int32_t status = document_root(document, store, root);
    if (status != encoded) {
        // A failed build has recorded its own reason.
        if (store) record_failure(status);
        return nullptr;
    }
    uint64_t size = 0;
    if (!canonical(flags)) {
        uint8_t *buffer = nullptr;
        status = single_walk(store).run(root, output_estimate(store, 0), buffer, size);
        if (status == encoded) {
            if (out_len) *out_len = size;
            return buffer;
        }
        if (status != no_memory) {
            record_failure(status);
            return nullptr;
        }
        // Short of memory: the two walks below ask for less and tell which
        // failure to report.
    }
    order_table orders(store->allocator);
    encoder e(store, canonical(flags), orders);
    status = e.measure(root, size);
    if (status != encoded) {
        record_failure(status);
        return nullptr;
    }
    auto *buffer = static_cast<uint8_t *>(zvl::sys_malloc(size));
    if (!buffer) {
        zarvel_error_set(zarvel_error_current(), ZARVEL_ERR_NO_MEMORY, 0, 0, 0, zvl::cbor::message::encode_no_memory);
        return nullptr;
    }
    zvl::advise_large_pages(buffer, size);
    status = e.write(root, buffer, size);
    if (status != encoded) {
        if (status != length_differs) record_failure(status);
        zvl::sys_free(buffer);
        return nullptr;
    }
    if (out_len) *out_len = size;
    return buffer;
}

uint64_t zarvel_cbor_encode_into(zarvel_document *document, uint32_t flags, uint8_t *buf, uint64_t cap) {
    if (!document) return 0;
    uint64_t size = 0;
    bool wrote;
    const int32_t status = encode_one(document, flags, buf, cap, size, wrote);
    if (status != encoded) {
        if (zarvel_document_status(document) == 0) record_failure(status);
        return 0;
    }
    return size;
}

uint64_t zarvel_cbor_encode_sequence_into(zarvel_document *const *documents, uint64_t count, uint32_t flags,
                                          uint8_t *buf, uint64_t cap) {
    if (!documents && count != 0) return 0;
    zvl::buffer<uint64_t, 16> sizes;
    if (!sizes.reserve(count)) return 0;
    uint64_t total = 0;
    for (uint64_t i = 0; i < count; ++i) {
        if (!documents[i]) return 0;
        uint64_t size = 0;
        bool wrote;
        if (encode_one(documents[i], flags, nullptr, 0, size, wrote) != encoded) return 0;
        if (size > ~uint64_t(0) - total) return 0;
        total += size;
        sizes.push_back(size);
    }
    if (!buf || cap < total) return total;
    uint64_t offset = 0;
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t size = 0;
        bool wrote;
        const int32_t status = encode_one(documents[i], flags, buf + offset, sizes[i], size, wrote);
        if (status != encoded || !wrote || size != sizes[i]) return 0;
        offset += size;
    }
    return total;
}

uint8_t *zarvel_cbor_encode_sequence(zarvel_document *const *documents, uint64_t count, uint32_t flags,
                                     uint64_t *out_len) {
    const uint64_t total = zarvel_cbor_encode_sequence_into(documents, count, flags, nullptr, 0);
    if (total == 0) return nullptr;
    auto *buffer = static_cast<uint8_t *>(zvl::sys_malloc(total));
    if (!buffer) return nullptr;
    zvl::advise_large_pages(buffer, total);
    if (zarvel_cbor_encode_sequence_into(documents, count, flags, buffer, total) != total) {
        zvl::sys_free(buffer);
        return nullptr;
    }
    if (out_len) *out_len = total;
    return buffer;
}
