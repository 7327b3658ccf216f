// Scalar values, big integers, base64 and failure positions of the plain
// data walk.
#include "emit/plain_walk.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "doc/resolve.hpp"
#include "emit/format_double.hpp"
#include "emit/writer.hpp"

namespace zvl::plain {
namespace {

// Python reads no more digits than this by default; a longer integer is
// refused here rather than written for readers that fail on it.
constexpr size_t max_big_digits = 4300;
// Default budget floor and factor (output nodes per document node).
constexpr uint64_t budget_floor = 1000000;
constexpr uint64_t budget_factor = 10;

bool same_ci(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

bool false_word(std::string_view t) {
    return same_ci(t, "false") || same_ci(t, "no") || same_ci(t, "off") || same_ci(t, "n");
}

bool yaml11(const zarvel_node_store *store) { return store->resolver == &zarvel_yaml11_resolver; }

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

struct big_text {
    bool negative = false;
    uint32_t base = 10;
    std::string_view digits;  // may hold "_" and "," separators
};

// Sign, base prefix and digits of an integer text too wide for 64 bits.
bool parse_big_text(const zarvel_node_store *store, std::string_view t, big_text &out) {
    size_t i = 0;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) out.negative = t[i++] == '-';
    if (i + 1 < t.size() && t[i] == '0') {
        const char p = t[i + 1];
        if (p == 'x' || p == 'X')
            out.base = 16, i += 2;
        else if (p == 'o')
            out.base = 8, i += 2;
        else if (p == 'b' || p == 'B')
            out.base = 2, i += 2;
        else if (yaml11(store))
            out.base = 8, i += 1;
    }
    out.digits = t.substr(i);
    size_t count = 0;
    for (char c : out.digits) {
        if (c == '_' || c == ',') continue;
        if (digit_value(c) >= int(out.base)) return false;
        ++count;
    }
    return count > 0 && count <= max_big_digits;
}

std::string_view node_text(const zarvel_node_store *store, uint32_t id) {
    return zarvel_store_text(store, zarvel_store_node(store, id).value);
}

// An integer already written as JSON writes it (optional "-", no leading
// zero, at most 18 digits): its value without the general conversion.
bool canonical_decimal(std::string_view t, int64_t &value) {
    const size_t sign = !t.empty() && t[0] == '-';
    const size_t digits = t.size() - sign;
    if (digits == 0 || digits > 18 || (t[sign] == '0' && digits > 1)) return false;
    int64_t v = 0;
    for (size_t i = sign; i < t.size(); ++i) {
        const unsigned d = unsigned(t[i]) - '0';
        if (d > 9) return false;
        v = v * 10 + int64_t(d);
    }
    value = sign ? -v : v;
    return true;
}

bool append(buffer<char> &out, std::string_view text) { return out.append(text.data(), text.size()); }

}  // namespace

settings settings_of(const zarvel_plain_options *options, const zarvel_node_store *store) {
    settings s{};
    const uint64_t scaled = uint64_t(store->node_count) * budget_factor;
    s.budget = scaled > budget_floor ? scaled : budget_floor;
    if (options && options->size >= sizeof(zarvel_plain_options)) {
        if (options->budget) s.budget = options->budget;
        s.keep_merge_keys = (options->flags & ZARVEL_PLAIN_KEEP_MERGE_KEYS) != 0;
        s.duplicates_fail = (options->flags & ZARVEL_PLAIN_DUPLICATE_KEYS_FAIL) != 0;
        s.non_finite = options->non_finite;
    }
    return s;
}

const char *classify(const zarvel_node_store *store, uint32_t id, scalar &out) {
    const zarvel_node_rec &r = zarvel_store_node(store, id);
    const std::string_view t = zarvel_store_text(store, r.value);
    out = {kind::string, false, false, 0, t};
    uint8_t tag = r.tag_id;
    if (tag == ZARVEL_TAG_NONE) {
        // A tag of the application's own (!Ref x): the value it tags, read
        // as if it were untagged.
        // The non-specific tag "!" makes it a string.
        const zarvel_resolver *resolver = store->resolver ? store->resolver : &zarvel_core_resolver;
        const bool resolve =
            r.style() == ZARVEL_NODE_STYLE_PLAIN && zarvel_store_text(store, zarvel_store_tag(store, id)) != "!";
        tag = resolve ? resolver->text(nullptr, t.data(), uint32_t(t.size())) : uint8_t(ZARVEL_TAG_STR);
    }
    switch (tag) {
    case ZARVEL_TAG_NULL: out.kind = kind::null; return nullptr;
    case ZARVEL_TAG_BOOL:
        out.kind = kind::boolean;
        if (zvl_num_bool_ci(t.data(), uint32_t(t.size()))) {
            out.boolean = true;
            return nullptr;
        }
        return false_word(t) ? nullptr : message::not_bool;
    case ZARVEL_TAG_INT: {
        out.kind = kind::integer;
        if (canonical_decimal(t, out.integer)) {
            out.canonical = true;
            return nullptr;
        }
        if (!t.empty() && t.size() <= UINT32_MAX && zvl_num_i64(t.data(), uint32_t(t.size()), &out.integer) == 0)
            return nullptr;
        big_text big;
        if (t.find(':') == std::string_view::npos && parse_big_text(store, t, big)) {
            out.kind = kind::big_integer;
            return nullptr;
        }
        return message::not_int;
    }
    case ZARVEL_TAG_FLOAT: out.kind = kind::floating; return nullptr;
    case ZARVEL_TAG_BINARY: out.kind = zarvel_store_raw_bytes(store, r) ? kind::bytes : kind::binary; return nullptr;
    default: return nullptr;  // strings, timestamps (as written), the rest
    }
}

bool read_big_integer(const zarvel_node_store *store, std::string_view text, big_integer &out) {
    big_text big;
    if (!parse_big_text(store, text, big)) return false;
    out.negative = big.negative;
    out.limbs.clear();
    for (char c : big.digits) {
        if (c == '_' || c == ',') continue;
        uint64_t carry = uint64_t(digit_value(c));
        for (uint32_t &limb : out.limbs) {
            const uint64_t v = uint64_t(limb) * big.base + carry;
            limb = uint32_t(v);
            carry = v >> 32;
        }
        if (carry && !out.limbs.push_back(uint32_t(carry))) {
            out.limbs.clear();
            return false;
        }
    }
    if (out.limbs.empty()) out.negative = false;  // -0 is 0
    return true;
}

bool big_integer_decimal(const big_integer &value, buffer<char> &out) {
    buffer<uint32_t> work;
    if (!work.append(value.limbs.data(), value.limbs.size())) return false;
    buffer<char> reversed;
    size_t top = work.size();
    while (top && work[top - 1] == 0) --top;
    if (top == 0) return out.push_back('0');
    while (top) {
        uint64_t remainder = 0;
        for (size_t i = top; i-- > 0;) {
            const uint64_t v = (remainder << 32) | work[i];
            work[i] = uint32_t(v / 1000000000u);
            remainder = v % 1000000000u;
        }
        while (top && work[top - 1] == 0) --top;
        for (int d = 0; d < 9 && (top || remainder); ++d) {
            if (!reversed.push_back(char('0' + remainder % 10))) return false;
            remainder /= 10;
        }
    }
    for (size_t i = reversed.size(); i-- > 0;)
        if (!out.push_back(reversed[i])) return false;
    return true;
}

bool read_float(std::string_view text, double &out) {
    return !text.empty() && text.size() <= UINT32_MAX && zvl_num_f64(text.data(), uint32_t(text.size()), &out) == 0;
}

namespace {
int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}
}  // namespace

const char *base64_compact(std::string_view text, buffer<char> &out, uint64_t &decoded_length) {
    out.clear();
    size_t padding = 0;
    for (char c : text) {
        if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
        if (c == '=') {
            ++padding;
        } else if (padding || base64_value(c) < 0) {
            return message::not_base64;  // a character after the padding, or outside the alphabet
        }
        if (!out.push_back(c)) return message::no_memory;
    }
    if (out.size() % 4 != 0 || padding > 2) return message::not_base64;
    decoded_length = out.size() / 4 * 3 - padding;
    return nullptr;
}

void base64_decode(std::string_view compact, uint8_t *out) {
    for (size_t i = 0; i + 4 <= compact.size(); i += 4) {
        uint32_t v = 0;
        int pad = 0;
        for (int j = 0; j < 4; ++j) {
            const int d = base64_value(compact[i + j]);
            if (d < 0) ++pad;
            v = (v << 6) | uint32_t(d < 0 ? 0 : d);
        }
        *out++ = uint8_t(v >> 16);
        if (pad < 2) *out++ = uint8_t(v >> 8);
        if (pad < 1) *out++ = uint8_t(v);
    }
}

const char *key_text(const zarvel_node_store *store, const scalar &value, buffer<char> &scratch,
                     std::string_view &out) {
    const size_t start = scratch.size();
    auto done = [&](bool ok) -> const char * {
        if (!ok) return message::no_memory;
        out = std::string_view(scratch.data() + start, scratch.size() - start);
        return nullptr;
    };
    switch (value.kind) {
    case kind::null: out = "null"; return nullptr;
    case kind::boolean: out = value.boolean ? "true" : "false"; return nullptr;
    case kind::integer: {
        if (value.canonical) {
            out = value.text;
            return nullptr;
        }
        char digits[24];
        const int n = std::snprintf(digits, sizeof digits, "%lld", static_cast<long long>(value.integer));
        return done(scratch.append(digits, size_t(n)));
    }
    case kind::big_integer: {
        big_integer big;
        if (!read_big_integer(store, value.text, big)) return message::no_memory;
        return done((!big.negative || scratch.push_back('-')) && big_integer_decimal(big, scratch));
    }
    case kind::floating: {
        double d = 0;
        if (!read_float(value.text, d)) return message::not_float;
        if (std::isnan(d)) return done(append(scratch, "NaN"));
        if (std::isinf(d)) return done(append(scratch, d < 0 ? "-Infinity" : "Infinity"));
        char digits[32];
        return done(scratch.append(digits, size_t(zarvel_format_double(digits, d))));
    }
    case kind::binary: {
        buffer<char> compact;
        uint64_t length = 0;
        if (const char *why = base64_compact(value.text, compact, length)) return why;
        return done(scratch.append(compact.data(), compact.size()));
    }
    case kind::bytes:
        return done(base64_runs(value.text, [&](const char *run, size_t n) { return scratch.append(run, n); }));
    case kind::string: out = value.text; return nullptr;
    }
    return nullptr;
}

void fail_at(const zarvel_node_store *store, const step *path, uint32_t depth, uint32_t node, const char *what) {
    char where[160];
    size_t used = 0;
    auto add = [&](std::string_view text) {
        const size_t n = text.size() < sizeof where - 1 - used ? text.size() : sizeof where - 1 - used;
        std::memcpy(where + used, text.data(), n);
        used += n;
    };
    add("$");
    for (uint32_t i = 0; i < depth && used < sizeof where - 1; ++i) {
        if (path[i].key == zarvel_node_none) {
            char index[16];
            const int n = std::snprintf(index, sizeof index, "[%u]", path[i].index);
            add(std::string_view(index, size_t(n)));
            continue;
        }
        uint32_t key = path[i].key;
        for (uint32_t hops = 0;
             hops < 64 && key < store->node_count && zarvel_store_node(store, key).kind() == ZARVEL_KIND_ALIAS; ++hops)
            key = zarvel_store_node(store, key).alias_target;
        add(".");
        if (key >= store->node_count || zarvel_store_node(store, key).kind() != ZARVEL_KIND_SCALAR) {
            add("?");
            continue;
        }
        const std::string_view k = node_text(store, key);
        add(k.substr(0, 24));
        if (k.size() > 24) add("...");
    }
    where[used] = 0;
    // Line and column when the node's text lies in the input.
    uint32_t line = 0, column = 0;
    uint64_t offset = 0;
    if (node < store->node_count && store->input) {
        const zarvel_span span = zarvel_store_node(store, node).value;
        if (zarvel_span_length(span) && !zarvel_span_in_strings(span) && zarvel_span_offset(span) <= store->input_len) {
            offset = zarvel_span_offset(span);
            line = 1;
            uint64_t line_start = 0;
            for (uint64_t i = 0; i < offset; ++i)
                if (store->input[i] == '\n') ++line, line_start = i + 1;
            column = uint32_t(offset - line_start + 1);
        }
    }
    if (line)
        zarvel_error_set(zarvel_error_current(), 1, line, column, offset, message::at_path_line,
                         what ? what : message::unreadable, where, line, column);
    else
        zarvel_error_set(zarvel_error_current(), 1, 0, 0, 0, message::at_path, what ? what : message::unreadable,
                         where);
}

}  // namespace zvl::plain
