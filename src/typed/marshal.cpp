// Ruby Marshal 4.8 writer over drained value records: a measuring pass, one
// exact allocation, a writing pass.
#include <cmath>
#include <cstring>

#include "core/error.hpp"
#include "emit/format_double.hpp"
#include "doc/store.hpp"
#include "typed/messages.hpp"
#include "typed/value_list.hpp"

namespace zvl::typed {
namespace {

// Words of 16 bits a converted big integer may hold; longer ones are written
// as strings so that no digit is lost.
constexpr size_t big_words = 128;

struct anchor_entry {
    bool linkable;
    int64_t index;
    zarvel_value copy;
};

struct range {
    size_t begin;
    size_t end;
};

struct open_collection {
    uint32_t count_index;
    bool is_map;
};

enum class outcome { ok, inexpressible, memory };

class writer {
  public:
    writer(const zarvel_value *values, size_t count, const char *pool, bool alternate)
        : values_(values), count_(count), pool_(pool), alternate_(alternate) {}
    ~writer() { zarvel_strmap_free(&names_); }
    writer(const writer &) = delete;
    writer &operator=(const writer &) = delete;

    outcome prescan();
    // One pass; a null out only measures.
    outcome run(char *out, bool node_mode, uint32_t single_document);
    uint64_t length() const { return length_; }

  private:
    void put(uint8_t b) {
        if (out_) out_[length_] = static_cast<char>(b);
        ++length_;
    }
    void put_bytes(const char *p, size_t n) {
        if (out_ && n) std::memcpy(out_ + length_, p, n);
        length_ += n;
    }
    void put_long(int64_t x);
    void put_string(const char *p, size_t n);
    void put_integer(int64_t v);
    void put_magnitude(bool negative, const uint16_t *words, size_t n);
    bool put_big_text(const char *p, size_t n);
    void put_float(const zarvel_value &v);
    void put_scalar(const zarvel_value &v);
    outcome put_value(size_t &i);
    const char *text(const zarvel_value &v) const { return pool_ + v.offset; }

    const zarvel_value *values_;
    size_t count_;
    const char *pool_;
    bool alternate_;
    char *out_ = nullptr;
    uint64_t length_ = 0;
    int64_t objects_ = 0;
    bool last_linkable_ = false;
    int64_t last_index_ = 0;
    size_t next_collection_ = 0;
    buffer<anchor_entry> anchors_;
    // Anchor name to the index of its newest entry in anchors_.
    zarvel_strmap names_{};
    buffer<uint64_t> counts_;
    buffer<range> documents_;
};

bool counted(uint8_t kind) { return (kind >= kind_null && kind <= kind_map) || kind == kind_alias; }

outcome writer::prescan() {
    buffer<open_collection, 64> open;
    bool any_document = false;
    uint64_t anchor_count = 0;
    for (size_t i = 0; i < count_; ++i) {
        const zarvel_value &v = values_[i];
        if (v.kind == kind_anchor) ++anchor_count;
        if (v.kind == kind_timestamp) return outcome::inexpressible;
        if (v.kind == kind_string) {
            if (v.tag == ZARVEL_TAG_BINARY) return outcome::inexpressible;
            if (v.is_key && v.length == 2 && std::memcmp(text(v), "<<", 2) == 0) return outcome::inexpressible;
        }
        if (counted(v.kind) && !open.empty()) {
            const open_collection &top = open.back();
            if (!top.is_map || v.is_key) ++counts_[top.count_index];
        }
        if (v.kind == kind_document) {
            if (any_document) documents_.back().end = i;
            any_document = true;
            if (!documents_.push_back(range{i + 1, count_})) return outcome::memory;
        } else if (v.kind == kind_seq || v.kind == kind_map) {
            if (!counts_.push_back(0)) return outcome::memory;
            open_collection c{static_cast<uint32_t>(counts_.size() - 1), v.kind == kind_map};
            if (!open.push_back(c)) return outcome::memory;
        } else if (v.kind == kind_end && !open.empty()) {
            open.pop_back();
        }
    }
    if (!any_document && !documents_.push_back(range{0, count_})) return outcome::memory;
    if (anchor_count &&
        (!zarvel_strmap_init(&names_, &zarvel_default_allocator) || !zarvel_strmap_reserve(&names_, anchor_count)))
        return outcome::memory;
    return outcome::ok;
}

void writer::put_long(int64_t x) {
    if (x == 0) {
        put(0);
    } else if (x >= 1 && x <= 122) {
        put(static_cast<uint8_t>(x + 5));
    } else if (x >= -122 && x <= -1) {
        put(static_cast<uint8_t>(x - 5));
    } else {
        uint8_t bytes[8];
        int n = 0;
        uint64_t u = static_cast<uint64_t>(x);
        for (;;) {
            bytes[n++] = static_cast<uint8_t>(u & 0xFF);
            int64_t rest = x >> (8 * n < 64 ? 8 * n : 63);
            if (n == 8 || (x > 0 && rest == 0) || (x < 0 && rest == -1)) break;
            u >>= 8;
        }
        put(static_cast<uint8_t>(x < 0 ? -n : n));
        for (int k = 0; k < n; ++k) put(bytes[k]);
    }
}

void writer::put_string(const char *p, size_t n) {
    put('I');
    put('"');
    last_linkable_ = true;
    last_index_ = objects_++;
    put_long(static_cast<int64_t>(n));
    put_bytes(p, n);
    put_long(1);
    put(':');
    put_long(1);
    put('E');
    put('T');
}

void writer::put_magnitude(bool negative, const uint16_t *words, size_t n) {
    put('l');
    ++objects_;
    last_linkable_ = false;
    put(negative ? '-' : '+');
    put_long(static_cast<int64_t>(n));
    for (size_t k = 0; k < n; ++k) {
        put(static_cast<uint8_t>(words[k] & 0xFF));
        put(static_cast<uint8_t>(words[k] >> 8));
    }
}

void writer::put_integer(int64_t v) {
    if (v > -(int64_t{1} << 30) && v < (int64_t{1} << 30)) {
        put('i');
        put_long(v);
        last_linkable_ = false;
        return;
    }
    bool negative = v < 0;
    uint64_t m = negative ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    uint16_t words[4];
    size_t n = 0;
    while (m) {
        words[n++] = static_cast<uint16_t>(m & 0xFFFF);
        m >>= 16;
    }
    put_magnitude(negative, words, n);
}

// Plain text of 19 to 1299 bytes: optional sign, a first digit other than 0,
// digits with single "_" or "," between digits.
bool big_integer_text(const char *p, size_t n) {
    if (n < 19 || n > 1299) return false;
    size_t i = 0;
    if (p[0] == '+' || p[0] == '-') ++i;
    if (i >= n || p[i] < '1' || p[i] > '9') return false;
    bool last_digit = true;
    for (++i; i < n; ++i) {
        char c = p[i];
        if (c >= '0' && c <= '9') {
            last_digit = true;
        } else if ((c == '_' || c == ',') && last_digit) {
            last_digit = false;
        } else {
            return false;
        }
    }
    return last_digit;
}

bool writer::put_big_text(const char *p, size_t n) {
    uint16_t words[big_words];
    size_t used = 0;
    size_t i = 0;
    bool negative = p[0] == '-';
    if (p[0] == '+' || p[0] == '-') ++i;
    for (; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9') continue;
        uint32_t carry = static_cast<uint32_t>(p[i] - '0');
        for (size_t k = 0; k < used; ++k) {
            uint32_t w = words[k] * 10u + carry;
            words[k] = static_cast<uint16_t>(w & 0xFFFF);
            carry = w >> 16;
        }
        if (carry) {
            if (used == big_words) return false;
            words[used++] = static_cast<uint16_t>(carry);
        }
    }
    put_magnitude(negative, words, used);
    return true;
}

void writer::put_float(const zarvel_value &v) {
    const char *t = text(v);
    if (alternate_ && (v.length == 0 || (!std::memchr(t, '.', v.length) && !std::memchr(t, ':', v.length)))) {
        put_string(t, v.length);
        return;
    }
    char digits[32];
    const char *body = digits;
    int32_t n = 0;
    double d = v.payload.f;
    if (std::isnan(d)) {
        body = "nan";
        n = 3;
    } else if (std::isinf(d)) {
        body = d < 0 ? "-inf" : "inf";
        n = d < 0 ? 4 : 3;
    } else {
        n = zarvel_format_double(digits, d);
    }
    put('f');
    last_linkable_ = true;
    last_index_ = objects_++;
    put_long(n);
    put_bytes(body, static_cast<size_t>(n));
}

void writer::put_scalar(const zarvel_value &v) {
    const char *t = text(v);
    switch (v.kind) {
    case kind_null:
        put('0');
        last_linkable_ = false;
        return;
    case kind_bool:
        if (v.length == 1) {
            put_string(t, 1);
        } else {
            put(v.flag ? 'T' : 'F');
            last_linkable_ = false;
        }
        return;
    case kind_int: put_integer(v.payload.i); return;
    case kind_float: put_float(v); return;
    default: break;
    }
    if (v.kind == kind_string && v.flag) {
        if (big_integer_text(t, v.length) && put_big_text(t, v.length)) return;
        if (v.length > 1 && t[0] == ':' && t[1] != ':') {
            put(':');
            put_long(v.length - 1);
            put_bytes(t + 1, v.length - 1);
            last_linkable_ = false;
            return;
        }
    }
    put_string(t, v.length);
}

outcome writer::put_value(size_t &i) {
    if (i >= count_) return outcome::inexpressible;
    const zarvel_value &v = values_[i];
    switch (v.kind) {
    case kind_anchor: {
        anchor_entry entry{};
        size_t slot = anchors_.size();
        ++i;
        size_t at = i;
        // A collection takes the next object index with its first byte,
        // so an alias inside it links back to the collection still open.
        if (at < count_ && (values_[at].kind == kind_seq || values_[at].kind == kind_map)) {
            entry.linkable = true;
            entry.index = objects_;
        }
        if (slot >= zarvel_strmap_absent || !anchors_.push_back(entry) ||
            !zarvel_strmap_put(&names_, text(v), v.length, static_cast<uint32_t>(slot)))
            return outcome::memory;
        outcome o = put_value(i);
        if (o != outcome::ok) return o;
        anchor_entry &e = anchors_[slot];
        e.linkable = last_linkable_;
        e.index = last_index_;
        if (!last_linkable_) e.copy = values_[at];
        return outcome::ok;
    }
    case kind_seq:
    case kind_map: {
        int64_t index = objects_++;
        put(v.kind == kind_seq ? '[' : '{');
        put_long(static_cast<int64_t>(counts_[next_collection_++]));
        ++i;
        while (i < count_ && values_[i].kind != kind_end) {
            outcome o = put_value(i);
            if (o != outcome::ok) return o;
        }
        if (i < count_) ++i;
        last_linkable_ = true;
        last_index_ = index;
        return outcome::ok;
    }
    case kind_alias: {
        ++i;
        uint32_t k = zarvel_strmap_get(&names_, text(v), v.length);
        if (k == zarvel_strmap_absent) return outcome::inexpressible;
        const anchor_entry &e = anchors_[k];
        if (e.linkable) {
            put('@');
            put_long(e.index);
            last_linkable_ = true;
            last_index_ = e.index;
        } else {
            zarvel_value copy = e.copy;
            put_scalar(copy);
        }
        return outcome::ok;
    }
    case kind_document:
    case kind_end: return outcome::inexpressible;
    default:
        ++i;
        put_scalar(v);
        return outcome::ok;
    }
}

outcome writer::run(char *out, bool node_mode, uint32_t single_document) {
    out_ = out;
    length_ = 0;
    objects_ = 0;
    last_linkable_ = false;
    last_index_ = 0;
    next_collection_ = 0;
    anchors_.clear();
    zarvel_strmap_clear(&names_);
    put(0x04);
    put(0x08);
    auto document_value = [&](const range &r) {
        if (r.begin >= r.end) {
            put('0');
            return outcome::ok;
        }
        size_t i = r.begin;
        return put_value(i);
    };
    if (node_mode) {
        if (count_ == 0) {
            put('0');
            return outcome::ok;
        }
        size_t i = 0;
        return put_value(i);
    }
    if (single_document == 1) {
        if (documents_.empty()) {
            put('0');
            return outcome::ok;
        }
        return document_value(documents_[0]);
    }
    objects_++;
    put('[');
    put_long(static_cast<int64_t>(documents_.size()));
    for (const range &r : documents_) {
        outcome o = document_value(r);
        if (o != outcome::ok) return o;
    }
    return outcome::ok;
}

void set_inexpressible(const char *message) { zarvel_error_set(zarvel_error_current(), 1, 0, 0, 0, "%s", message); }

}  // namespace

int32_t encode(const value_list &list, bool alternate, bool node_mode, uint32_t single_document, char **out_bytes,
               uint64_t *out_len) {
    writer w(list.values.data(), list.values.size(), list.pool.data() ? list.pool.data() : "", alternate);
    outcome o = w.prescan();
    if (o == outcome::ok) o = w.run(nullptr, node_mode, single_document);
    if (o == outcome::memory) return 2;
    if (o == outcome::inexpressible) {
        set_inexpressible(message::marshal_merge);
        return 7;
    }
    uint64_t measured = w.length();
    char *bytes = static_cast<char *>(sys_malloc(measured ? measured : 1));
    if (!bytes) return 2;
    o = w.run(bytes, node_mode, single_document);
    if (o != outcome::ok || w.length() != measured) {
        sys_free(bytes);
        if (o == outcome::memory) return 2;
        return 8;
    }
    *out_bytes = bytes;
    *out_len = measured;
    return 0;
}

int32_t marshal_node(const zarvel_node *node, bool alternate, char **out_bytes, uint64_t *out_len) {
    auto *list = create<value_list>(&zarvel_default_allocator);
    if (!list) return 2;
    walk r = records_of(node, *list, true);
    int32_t status = 0;
    if (r == walk::tagged) {
        set_inexpressible(message::marshal_tag);
        status = 7;
    } else if (r == walk::memory || !list->ensure_pool()) {
        status = 2;
    } else {
        status = encode(*list, alternate, true, 1, out_bytes, out_len);
    }
    destroy(&zarvel_default_allocator, list);
    return status;
}

}  // namespace zvl::typed

int32_t zarvel_marshal(const char *text, uint64_t length, int32_t schema, uint32_t single_document, char **out_bytes,
                       uint64_t *out_len) {
    if (!out_bytes || !out_len) return 6;
    *out_bytes = nullptr;
    *out_len = 0;
    if ((!text && length) || single_document > 1) return 6;
    auto *list = zvl::create<zvl::typed::value_list>(&zarvel_default_allocator);
    if (!list) return 2;
    int32_t status = zvl::typed::drain_text(text, length, schema, *list);
    if (status == 0) status = zvl::typed::encode(*list, schema == 1, false, single_document, out_bytes, out_len);
    zvl::destroy(&zarvel_default_allocator, list);
    return status;
}

int32_t zarvel_marshal_node(const zarvel_node *node, char **out_bytes, uint64_t *out_len) {
    if (!out_bytes || !out_len) return 6;
    *out_bytes = nullptr;
    *out_len = 0;
    if (!node || !node->document) return 6;
    if (!zarvel_document_body(node->document)) return 2;
    if (!zarvel_handle_store(node)) return 6;
    // The document's schema flag decides how floats without a point are written.
    return zvl::typed::marshal_node(node, node->document->schema == 1, out_bytes, out_len);
}

void zarvel_marshal_free(void *bytes) { zvl::sys_free(bytes); }
