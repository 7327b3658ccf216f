// CBOR decoding engine, shared by the host-sink entry and the document sink.
//
// One pass over the bytes, no recursion: each step reads one head and
// reports one item (or adds one tag to the pending chain). Open arrays and
// maps live on a fixed stack of 1000 levels, each with the number of items
// still expected (or "indefinite") and the number seen, which also tells
// whether the next item stands in key position. At the start of a step,
// finished definite levels and indefinite levels facing a break byte are
// closed, innermost first. An array of floats, or a run of short ones in
// an open array, is checked and reported in one step (see "arrays of
// floats" below).
//
// Nothing is allocated except the buffer that joins the chunks of an
// indefinite-length string; definite strings go to the sink in place.
//
// The sink is a compile-time parameter (the document sink is inlined); it
// provides:
//   scalar(text, length, tag_id, is_key, tag)     false, true, null (tag id of
//                                                 the value, also in key position)
//   simple(text, length, is_key, tag)             undefined and simple(N)
//   integer(negative, magnitude, is_key, tag)     magnitude fits 64 bits
//   big_integer(negative_major, argument, tag)    beyond the integer range
//   key_integer(negative_major, argument, tag)    integer key (lenient mode)
//   floating(value, is_key, tag)
//   float_array(items, count, tag)                an array of count floats,
//                                                 items checked (as begin,
//                                                 floating for each, end)
//   float_arrays(items, arrays, floats)           a run of untagged arrays
//                                                 of 1 to 23 floats, items
//                                                 of the open array, checked
//                                                 (as float_array for each)
//   text(bytes, length, in_input, is_key, tag) / bytes(...)
//   begin(is_map, count, tag) / end(is_map)
// each returning false to stop the decode.
#pragma once

#include <cstdint>
#include <cstring>

#include "cbor/messages.hpp"
#include "core/error.hpp"
#include "core/limits.hpp"
#include "core/memory.hpp"
#include "core/utf8.hpp"
#include "core/word.hpp"

namespace zvl::cbor {

// Arrays and maps open at once.
inline constexpr uint32_t depth_guard = nesting_limit;
// Tag-chain text: a tag adds at most 20 digits and a separating space.
inline constexpr uint32_t tag_chain_capacity = 512;
inline constexpr uint32_t tag_text_max = 21;
// Integers above this (major 0) or below minus it minus one (major 1) are
// outside the signed 64-bit range and go to big_integer.
inline constexpr uint64_t int64_max = 0x7FFFFFFFFFFFFFFFull;
inline constexpr uint64_t indefinite_count = ~uint64_t(0);

enum status : int32_t {
    status_ok = 0,
    status_ill_formed = 1,
    status_stopped = 2,
    status_too_deep = 3,
    status_bad_utf8 = 4,
};

struct tag_chain {
    const char *text;  // null: the item has no tag
    uint64_t length;
};

// ---- small conversions ------------------------------------------------------

// Decimal digits of v into buffer (at least 20 bytes); the count.
inline uint32_t decimal_digits(char *buffer, uint64_t v) {
    char reversed[20];
    uint32_t n = 0;
    do {
        reversed[n++] = char('0' + v % 10);
        v /= 10;
    } while (v);
    for (uint32_t i = 0; i < n; ++i) buffer[i] = reversed[n - 1 - i];
    return n;
}

// Text of the integer with the given head: the argument for major 0,
// -1 - argument for major 1. Buffer of at least 24 bytes.
inline uint32_t integer_text(char *buffer, bool negative_major, uint64_t argument) {
    if (!negative_major) return decimal_digits(buffer, argument);
    buffer[0] = '-';
    if (argument == ~uint64_t(0)) {  // -2^64: one more digit than 64 bits hold
        static constexpr char two_to_64[] = "18446744073709551616";
        std::memcpy(buffer + 1, two_to_64, sizeof two_to_64 - 1);
        return uint32_t(sizeof two_to_64);
    }
    return 1 + decimal_digits(buffer + 1, argument + 1);
}

// Binary16 widened as in RFC 8949 Appendix D; NaNs become the quiet NaN.
inline double half_to_double(uint16_t half) {
    const int exponent = (half >> 10) & 0x1F;
    const int mantissa = half & 0x3FF;
    double value;
    if (exponent == 0)
        value = __builtin_ldexp(double(mantissa), -24);
    else if (exponent != 31)
        value = __builtin_ldexp(double(mantissa + 1024), exponent - 25);
    else
        value = mantissa == 0 ? __builtin_inf() : __builtin_nan("");
    return (half & 0x8000) && !(exponent == 31 && mantissa != 0) ? -value : value;
}

// The big-endian number in the `width` (1, 2, 4 or 8) bytes at p, of which
// `available` may be read: one word load where eight bytes may be read.
inline uint64_t big_endian(const uint8_t *p, uint64_t available, uint32_t width) {
    if (available >= 8) {
        uint64_t word;
        std::memcpy(&word, p, sizeof word);
        return __builtin_bswap64(word) >> (64 - 8 * width);
    }
    uint64_t value = 0;
    for (uint32_t i = 0; i < width; ++i) value = (value << 8) | p[i];
    return value;
}

inline double single_to_double(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return double(f);
}

inline double double_from_bits(uint64_t bits) {
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

// The value of the float item at p (head 0xF9, 0xFA or 0xFB, its bytes
// known to be there); p moves past it.
inline double next_float(const uint8_t *&p) {
    const uint8_t head = *p;
    if (__builtin_expect(head == 0xFB, 1)) {
        const double value = double_from_bits(big_endian(p + 1, 8, 8));
        p += 9;
        return value;
    }
    if (head == 0xFA) {
        const double value = single_to_double(uint32_t(big_endian(p + 1, 4, 4)));
        p += 5;
        return value;
    }
    const double value = half_to_double(uint16_t(big_endian(p + 1, 2, 2)));
    p += 3;
    return value;
}

// An array of count floats (checked) given to a sink as the steps give it.
template <typename Sink>
bool each_float(Sink &sink, const uint8_t *items, uint64_t count, tag_chain tag) {
    if (!sink.begin(false, count, tag)) return false;
    for (uint64_t i = 0; i < count; ++i)
        if (!sink.floating(next_float(items), false, tag_chain{nullptr, 0})) return false;
    return sink.end(false);
}

// A run of arrays of floats (each a head 0x81 to 0x97 and its floats,
// checked) given to a sink one array at a time.
template <typename Sink>
bool each_float_array(Sink &sink, const uint8_t *items, uint64_t arrays) {
    for (; arrays > 0; --arrays) {
        const uint64_t count = *items++ & 0x1F;
        if (!sink.float_array(items, count, tag_chain{nullptr, 0})) return false;
        for (uint64_t i = 0; i < count; ++i) items += (2u << (*items - 0xF9)) + 1;
    }
    return true;
}

// Whether a text string is well-formed UTF-8. Most texts are short and
// ASCII: those pass on a few word tests (up to 16 bytes as two overlapping
// words, up to 64 eight bytes at a time) without a call to the validator.
inline bool well_formed_text(const char *p, uint64_t n) {
    constexpr uint64_t high = zvl::word::highs;
    uint64_t any = 0;
    if (n >= 8 && n <= 64) {
        for (uint64_t i = 0; i + 8 <= n; i += 8) any |= zvl::word::load(p + i);
        any |= zvl::word::load(p + n - 8);
    } else if (n >= 4 && n < 8) {
        uint32_t a, b;
        std::memcpy(&a, p, 4);
        std::memcpy(&b, p + n - 4, 4);
        any = a | b;
    } else if (n < 4) {
        if (n == 0) return true;
        any = uint8_t(p[0]) | uint8_t(p[n / 2]) | uint8_t(p[n - 1]);
    } else {
        any = high;  // long: the validator's vector loop
    }
    if ((any & high) == 0) return true;
    return first_invalid_utf8(reinterpret_cast<const uint8_t *>(p), n, false) == n;
}

// ---- the engine --------------------------------------------------------------

template <typename Sink>
class decoder {
  public:
    decoder(const uint8_t *data, uint64_t length, bool strict, Sink &sink)
        : data_(data), length_(length), strict_(strict), sink_(sink) {}

    // One data item from offset 0. Without `consumed` the item must fill the
    // buffer.
    int32_t run(uint64_t *consumed) {
        bool started = false;
        for (;;) {
            // A pending tag must be followed by its item: no closing, no break.
            if (tag_used_ == 0) {
                if (!close_levels()) return status_;
                if (started && depth_ == 0) break;
            }
            if (!step()) return status_;
            started = true;
        }
        if (consumed) {
            *consumed = pos_;
        } else if (pos_ < length_) {
            fail(message::trailing, pos_);
            return status_;
        }
        return status_ok;
    }

  private:
    struct level {
        uint64_t expected;  // items still to come (definite levels)
        uint64_t seen;      // items begun so far
        bool definite;
        bool is_map;
    };

    // ---- failure -----------------------------------------------------------

    bool fail(const char *what, uint64_t at) {
        zarvel_error_set(zarvel_error_current(), ZARVEL_ERR_FAILED, 0, 0, at, message::at_byte, what, size_t(at));
        status_ = status_ill_formed;
        return false;
    }
    bool fail_utf8(uint64_t at) {
        error_at_byte(ZARVEL_ERR_ENCODING, at, message::ill_formed_utf8);
        status_ = status_bad_utf8;
        return false;
    }
    bool stopped() {
        status_ = status_stopped;
        return false;
    }
    bool delivered(bool go_on) {
        tag_used_ = 0;
        return go_on ? true : stopped();
    }

    // ---- levels --------------------------------------------------------------

    bool in_key_position() const {
        if (depth_ == 0) return false;
        const level &top = stack_[depth_ - 1];
        return top.is_map && (top.seen & 1) == 0;
    }
    // Every item (not a tag) counts in the innermost level when it begins.
    void count_item() {
        if (depth_ == 0) return;
        level &top = stack_[depth_ - 1];
        top.seen += 1;
        if (top.definite) top.expected -= 1;
    }
    bool close_levels() {
        while (depth_ > 0) {
            const level &top = stack_[depth_ - 1];
            if (top.definite) {
                if (top.expected != 0) return true;
            } else {
                if (pos_ >= length_ || data_[pos_] != 0xFF) return true;
                if (top.is_map && (top.seen & 1)) return fail(message::odd_break, pos_);
                pos_ += 1;
            }
            const bool is_map = top.is_map;
            depth_ -= 1;
            if (!sink_.end(is_map)) return stopped();
        }
        return true;
    }
    tag_chain pending_tag() const { return tag_used_ ? tag_chain{tags_, tag_used_} : tag_chain{nullptr, 0}; }

    // ---- heads ---------------------------------------------------------------

    // Argument of a head whose initial byte (at `start`) is already consumed.
    bool argument(uint64_t start, uint8_t info, uint64_t &value) {
        if (info < 24) {
            value = info;
            return true;
        }
        if (info > 27) return fail(message::reserved_28_30, start);
        const uint32_t width = 1u << (info - 24);
        if (length_ - pos_ < width) return fail(message::truncated_head, start);
        value = read_big_endian(width);
        // The shortest head for each width: 24, 256, 65536, 2^32.
        static constexpr uint64_t minimum[4] = {24, 256, 65536, 4294967296ull};
        if (strict_ && value < minimum[info - 24]) return fail(message::non_minimal, start);
        return true;
    }
    uint64_t read_big_endian(uint32_t width) {
        const uint64_t value = big_endian(data_ + pos_, length_ - pos_, width);
        pos_ += width;
        return value;
    }

    // ---- one step --------------------------------------------------------------

    bool step() {
        const uint64_t start = pos_;
        if (pos_ >= length_) return fail(message::truncated_head, pos_);
        const uint8_t initial = data_[pos_++];
        const uint8_t major = initial >> 5;
        const uint8_t info = initial & 0x1F;
        const bool key = in_key_position();
        if (major == 7) return simple(start, info, key);
        if (info == 31) {
            if (major == 2 || major == 3) return indefinite_string(start, major, key);
            if (major == 4 || major == 5) return open(start, major == 5, indefinite_count, key);
            return fail(message::info_31, start);
        }
        uint64_t value;
        if (!argument(start, info, value)) return false;
        switch (major) {
        case 0:
        case 1: return integer(start, major == 1, value, key);
        case 2:
        case 3: return definite_string(start, major, value, key);
        case 4:
            if (!key && value > length_ - pos_) return fail(message::array_overrun, start);
            // (value <= bytes left: a first item is there when value > 0.)
            if (!key && value > 0 && uint8_t(data_[pos_] - 0xF9) <= 2) return float_items(start, value, info);
            return open(start, false, value, key);
        case 5:
            if (!key && value > (length_ - pos_) / 2) return fail(message::map_overrun, start);
            return open(start, true, value * 2, key);
        default: return add_tag(start, value);
        }
    }

    bool integer(uint64_t start, bool negative, uint64_t value, bool key) {
        if (key) {
            if (strict_) return fail(message::string_key, start);
            count_item();
            return delivered(sink_.key_integer(negative, value, pending_tag()));
        }
        count_item();
        // Major 1 holds -1 - N: magnitudes up to 2^63 + 1 fit the callback.
        const uint64_t limit = negative ? int64_max + 1 : int64_max;
        if (value > limit) return delivered(sink_.big_integer(negative, value, pending_tag()));
        return delivered(sink_.integer(negative, negative ? value + 1 : value, false, pending_tag()));
    }

    bool definite_string(uint64_t start, uint8_t major, uint64_t length, bool key) {
        if (length > length_ - pos_) return fail(message::truncated_string, start);
        const char *bytes = reinterpret_cast<const char *>(data_ + pos_);
        if (major == 3 && !well_formed_text(bytes, length)) return fail_utf8(pos_);
        pos_ += length;
        count_item();
        // Byte-string keys stay bytes, in both modes: as text they would
        // change type and could collide with other keys.
        if (major == 3) return delivered(sink_.text(bytes, length, true, key, pending_tag()));
        return delivered(sink_.bytes(bytes, length, true, key, pending_tag()));
    }

    bool indefinite_string(uint64_t start, uint8_t major, bool key) {
        if (key) return fail(message::string_key, start);
        join_.clear();
        for (;;) {
            if (pos_ >= length_) return fail(message::unterminated, pos_);
            const uint8_t initial = data_[pos_];
            if (initial == 0xFF) {
                pos_ += 1;
                break;
            }
            const uint64_t chunk_start = pos_++;
            if ((initial >> 5) != major || (initial & 0x1F) == 31) return fail(message::chunk_kind, pos_);
            uint64_t length;
            if (!argument(chunk_start, initial & 0x1F, length)) return false;
            if (length > length_ - pos_) return fail(message::truncated_chunk, chunk_start);
            const char *bytes = reinterpret_cast<const char *>(data_ + pos_);
            // Each chunk stands alone: a character split between chunks is ill-formed.
            if (major == 3 && !well_formed_text(bytes, length)) return fail_utf8(pos_);
            if (!join_.append(bytes, length)) return stopped();
            pos_ += length;
        }
        count_item();
        static constexpr char nothing[1] = {0};
        const char *joined = join_.empty() ? nothing : join_.data();
        if (major == 3) return delivered(sink_.text(joined, join_.size(), false, false, pending_tag()));
        return delivered(sink_.bytes(joined, join_.size(), false, false, pending_tag()));
    }

    bool may_open(uint64_t start) {
        if (depth_ < depth_guard) return true;
        error_at_byte(ZARVEL_ERR_TOO_DEEP, start, message::too_deep);
        status_ = status_too_deep;
        return false;
    }
    bool open(uint64_t start, bool is_map, uint64_t count, bool key) {
        if (key) return fail(message::structure_key, start);
        if (!may_open(start)) return false;
        count_item();
        if (!sink_.begin(is_map, count, pending_tag())) return stopped();
        tag_used_ = 0;
        const bool definite = count != indefinite_count;
        stack_[depth_++] = level{definite ? count : 0, 0, definite, is_map};
        return true;
    }

    // ---- arrays of floats ---------------------------------------------------------
    //
    // Number-heavy items are mostly arrays of floats, and arrays of short
    // arrays of floats (points): each array of floats goes to the sink in
    // one call, without a step per item.

    // The end of count float items from p on; 0 when they are not all floats.
    // (count is at most the bytes left: nine times it cannot overflow.)
    uint64_t floats_end(uint64_t p, uint64_t count) const {
        // Mostly doubles: their heads nine bytes apart, each load independent
        // of the bytes read before it.
        if (9 * count <= length_ - p) {
            uint64_t i = 0;
            while (i < count && data_[p + 9 * i] == 0xFB) ++i;
            if (i == count) return p + 9 * count;
        }
        for (uint64_t i = 0; i < count; ++i) {
            if (p >= length_) return 0;
            const uint32_t width = uint8_t(data_[p] - 0xF9);  // 0, 1, 2: half, single, double
            if (width > 2) return 0;
            const uint64_t size = (2u << width) + 1;
            if (size > length_ - p) return 0;
            p += size;
        }
        return p;
    }
    // An array (head at start, info its low bits) of count items, the first
    // a float. Out of line, so that the general steps keep their inlining.
    __attribute__((noinline)) bool float_items(uint64_t start, uint64_t count, uint8_t info) {
        const uint64_t end = floats_end(pos_, count);
        if (end == 0) return open(start, false, count, false);
        // A point (a one-byte head) as an item of an array: most likely one
        // of many.
        if (info < 24 && tag_used_ == 0 && depth_ > 0 && !stack_[depth_ - 1].is_map && depth_ < depth_guard) {
            pos_ = start;
            return point_run();
        }
        return float_array(start, count, end);
    }
    // The array (head at start) of count floats, which end at end.
    bool float_array(uint64_t start, uint64_t count, uint64_t end) {
        if (!may_open(start)) return false;
        count_item();
        const uint8_t *items = data_ + pos_;
        pos_ = end;
        return delivered(sink_.float_array(items, count, pending_tag()));
    }
    // The open array's next items while they are arrays of 1 to 23 floats
    // (at least one), in one sink call.
    bool point_run() {
        level &top = stack_[depth_ - 1];
        const uint64_t most = top.definite ? top.expected : ~uint64_t(0);
        const uint64_t first = pos_;
        uint64_t p = pos_;  // (a local: no store in the loop for the byte loads to wait on)
        uint64_t arrays = 0;
        uint64_t floats = 0;
        while (arrays < most && p < length_) {
            const uint8_t head = data_[p];
            // Points in the plane by a branch, so that the next position
            // need not wait for this byte.
            uint64_t count = 2;
            if (head != 0x82) {
                if (head < 0x81 || head > 0x97) break;
                count = head & 0x1F;
            }
            const uint64_t end = floats_end(p + 1, count);
            if (end == 0) break;
            arrays += 1;
            floats += count;
            p = end;
        }
        pos_ = p;
        top.seen += arrays;
        if (top.definite) top.expected -= arrays;
        return delivered(sink_.float_arrays(data_ + first, arrays, floats));
    }

    bool add_tag(uint64_t start, uint64_t number) {
        if (tag_chain_capacity - tag_used_ < tag_text_max) {
            zarvel_error_set(zarvel_error_current(), ZARVEL_ERR_FAILED, 0, 0, start, message::long_tag_chain,
                             tag_chain_capacity, size_t(start));
            status_ = status_ill_formed;
            return false;
        }
        if (tag_used_) tags_[tag_used_++] = ' ';
        tag_used_ += decimal_digits(tags_ + tag_used_, number);
        return true;
    }

    // Major type 7: simple values and floats.
    bool simple(uint64_t start, uint8_t info, bool key) {
        switch (info) {
        case 20: return word(key, "false", 3);
        case 21: return word(key, "true", 3);
        case 22: return word(key, "null", 4);
        case 23: count_item(); return delivered(sink_.simple("undefined", 9, key, pending_tag()));
        case 24: {
            if (pos_ >= length_) return fail(message::truncated_simple, start);
            const uint8_t value = data_[pos_++];
            if (value < 32) return fail(message::simple_below_32, start);
            return simple_number(key, value);
        }
        case 25:
            if (length_ - pos_ < 2) return fail(message::truncated_half, start);
            return floating(start, key, half_to_double(uint16_t(read_big_endian(2))));
        case 26:
            if (length_ - pos_ < 4) return fail(message::truncated_single, start);
            return floating(start, key, single_to_double(uint32_t(read_big_endian(4))));
        case 27:
            if (length_ - pos_ < 8) return fail(message::truncated_double, start);
            return floating(start, key, double_from_bits(read_big_endian(8)));
        case 28:
        case 29:
        case 30: return fail(message::reserved, start);
        case 31: return fail(message::info_31, start);
        default: return simple_number(key, info);
        }
    }
    bool word(bool key, const char *text, uint8_t tag_id) {
        count_item();
        return delivered(sink_.scalar(text, std::strlen(text), tag_id, key, pending_tag()));
    }
    bool simple_number(bool key, uint8_t value) {
        char text[16] = "simple(";
        uint32_t n = 7;
        n += decimal_digits(text + n, value);
        text[n++] = ')';
        count_item();
        return delivered(sink_.simple(text, n, key, pending_tag()));
    }
    bool floating(uint64_t start, bool key, double value) {
        if (key && strict_) return fail(message::string_key, start);
        count_item();
        return delivered(sink_.floating(value, key, pending_tag()));
    }

    const uint8_t *data_;
    uint64_t length_;
    uint64_t pos_ = 0;
    bool strict_;
    Sink &sink_;
    int32_t status_ = status_ok;
    uint32_t tag_used_ = 0;
    uint32_t depth_ = 0;
    char tags_[tag_chain_capacity];
    zvl::buffer<char, 256> join_;
    level stack_[depth_guard];
};

}  // namespace zvl::cbor
