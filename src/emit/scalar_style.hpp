// Choice of the written form of a block-mode scalar, and the plain test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zvl {

enum class scalar_form : uint8_t {
    nothing = 0,  // an empty plain value: the line ends after its indicator
    plain = 1,
    single_quoted = 2,
    double_quoted = 3,
    literal = 4,
    null_word = 5,  // "~": an empty plain scalar where nothing cannot stand
};

// Node styles as stored in the node record.
enum class node_style : uint8_t {
    none = 0,
    plain = 1,
    single_quoted = 2,
    double_quoted = 3,
    literal = 4,
    folded = 5,
};

// True when the text can be written as a plain scalar in block context and
// reads back as the same text (the same rule for keys and values).
bool plain_safe(const char *text, size_t length);
// plain_safe, and no control byte or DEL (which no reader takes unescaped).
bool plain_writable(const char *text, size_t length);

// plain_writable in one pass, with whether any byte is 0x80 or above and
// whether any is C2, E2 or EF, the lead bytes of every sequence that
// needs_escaped_form looks for (when not writable, both are true: not
// looked at).
struct plain_scan {
    bool writable;
    bool high;
    bool leads;
};
// The same as bits, which leave the call in a register.
enum : uint8_t { scan_writable = 1, scan_high = 2, scan_leads = 4 };
uint8_t scan_plain_bits(const char *text, size_t length);
// The word-at-a-time twin of the vector scan_plain_bits (the same bits).
uint8_t scan_plain_bits_portable(const char *text, size_t length);
inline plain_scan scan_plain(const char *text, size_t length) {
    const uint8_t bits = scan_plain_bits(text, length);
    return {(bits & scan_writable) != 0, (bits & scan_high) != 0, (bits & scan_leads) != 0};
}
// True when the text holds a character that only a double-quoted scalar can
// carry: U+0085, U+2028, U+2029, U+FEFF, U+FFFE, U+FFFF, or one of the other
// C1 controls (U+0080 to U+009F), which are not printable either.
bool needs_escaped_form(const char *text, size_t length);

// plain_writable and no character that needs the escaped form: written
// plain in block mode whatever the style rules.
inline bool plain_printable(const char *text, size_t length) {
    const uint8_t scan = scan_plain_bits(text, length);
    if (!(scan & scan_writable)) return false;
    return !(scan & scan_leads) || !needs_escaped_form(text, length);
}

// scan_plain_bits of a text whose buffer holds the 16 bytes that end with
// it (bytes before the text may be read): short texts in one vector load.
uint8_t scan_plain_bits_backed(const char *text, size_t length);
inline bool plain_printable_backed(const char *text, size_t length) {
    const uint8_t scan = scan_plain_bits_backed(text, length);
    if (!(scan & scan_writable)) return false;
    return !(scan & scan_leads) || !needs_escaped_form(text, length);
}

// plain_printable of texts of up to 8 bytes (16 when backed), remembered by
// their bytes for the length of one serialiser pass: mapping keys repeat
// from item to item. Longer texts are looked at each time.
class printable_memo {
  public:
    // Provided, so that a value-initialised memo does not zero its words.
    printable_memo() {}

    // `backed`: the text's buffer holds the 16 bytes that end with it.
    bool printable(const char *text, size_t length, bool backed = false) {
        if (!backed || length == 0 || length > 16) return look(text, length, backed);
        // The text in two words with zeros above it (low: the bytes before
        // the last eight): equal words of equal lengths are the same text.
        uint64_t low = 0, high;
        std::memcpy(&high, text + length - 8, 8);
        if (length > 8) {
            std::memcpy(&low, text + length - 16, 8);
            low >>= 8 * (16 - length);
        } else {
            high >>= 8 * (8 - length);
        }
        const size_t slot = slot_of(low, high);
        if (holds(slot, low, high, length)) return answer_[slot];
        if (holds(slot + 1, low, high, length)) return answer_[slot + 1];
        return remember(slot, low, high, text, length, true);
    }

  private:
    // Room for the keys of large schemas, two slots for each hash; only the
    // lengths start zeroed.
    static constexpr size_t pair_bits = 8;
    static constexpr size_t slots = size_t(2) << pair_bits;
    // The first slot of the text's pair.
    static size_t slot_of(uint64_t low, uint64_t high) {
        return size_t(((high ^ (low * 0xC2B2AE3D27D4EB4Full)) * 0x9E3779B97F4A7C15ull) >> (64 - pair_bits)) *
               2;  // Fibonacci hashing
    }
    bool holds(size_t slot, uint64_t low, uint64_t high, size_t length) const {
        return length_[slot] == length && high_[slot] == high && low_[slot] == low;
    }
    bool look(const char *text, size_t length, bool backed);
    bool remember(size_t slot, uint64_t low, uint64_t high, const char *text, size_t length, bool backed);
    uint64_t low_[slots];
    uint64_t high_[slots];
    uint8_t length_[slots] = {};  // 0: empty slot, the others not looked at
    bool answer_[slots];
};

// The form of a scalar in block mode. `key` is set for mapping keys; `style`
// is the node's style (0-5); `has_tag` when the node carries a tag.
scalar_form choose_scalar_style(const char *text, size_t length, bool key, uint8_t style, bool has_tag);

}  // namespace zvl
