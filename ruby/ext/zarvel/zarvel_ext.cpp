// Ruby binding: builds Ruby objects straight from the library's documents
// and JSON tapes, and Ruby objects back into documents for the writers.
//
// Ruby raises by longjmp, which skips C++ destructors, so everything that
// owns memory here is plain C storage released from an rb_ensure handler.
#include <ruby.h>
#include <ruby/encoding.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "zarvel.h"
#include "bindings/host.hpp"

namespace {

VALUE error_class;
rb_encoding *utf8;
ID id_line, id_column, id_unpack1, id_to_s;
VALUE sym_core, sym_yaml11, base64_format;

// ---- errors ---------------------------------------------------------------------------------

// The line and column of byte offset in text (1-based, columns in bytes).
void position_of(const char *text, uint64_t length, uint64_t offset, uint32_t *line, uint32_t *column) {
    if (offset > length) offset = length;
    uint32_t l = 1;
    uint64_t line_start = 0;
    for (uint64_t i = 0; i < offset; ++i)
        if (text[i] == '\n') ++l, line_start = i + 1;
    *line = l;
    *column = uint32_t(offset - line_start + 1);
}

[[noreturn]] void raise_error(const char *message, uint32_t line, uint32_t column) {
    VALUE error = rb_exc_new_cstr(error_class, message);
    rb_ivar_set(error, id_line, UINT2NUM(line));
    rb_ivar_set(error, id_column, UINT2NUM(column));
    rb_exc_raise(error);
}

// Raises the calling thread's last failure for status. Messages that place
// the failure by byte offset (JSON, CBOR) get a line and column from text.
[[noreturn]] void raise_status(int32_t status, const char *what, const char *text = nullptr, uint64_t length = 0) {
    if (status == ZARVEL_INVALID_ARGUMENT) rb_raise(rb_eArgError, "%s: invalid argument", what);
    uint32_t line = 0, column = 0;
    const char *message = zarvel_last_error(&line, &column);
    char buffer[320];
    if (status == ZARVEL_NO_MEMORY) {
        std::snprintf(buffer, sizeof buffer, "%s: out of memory", what);
        raise_error(buffer, 0, 0);
    }
    if (!message || !*message) {
        std::snprintf(buffer, sizeof buffer, "%s failed (status %d)", what, int(status));
        raise_error(buffer, 0, 0);
    }
    const char *at = std::strstr(message, "at byte ");
    unsigned long long offset = 0;
    if (line == 0 && text && at && std::sscanf(at, "at byte %llu", &offset) == 1)
        position_of(text, length, offset, &line, &column);
    raise_error(message, line, column);
}

// ---- objects from documents -----------------------------------------------------------------

// Mapping keys of one load by their text: each distinct key is interned
// (or made a symbol) once, and later occurrences are found here with a
// cheap hash, where interning would hash and look up each again.
class key_cache {
  public:
    explicit key_cache(bool symbols) : symbols_(symbols) {}
    void release() {
        std::free(slots_);
        slots_ = nullptr;
    }

    VALUE get(const char *text, long length) {
        if (used_ * 2 >= mask_ + 1 || !slots_) grow();
        uint64_t h = zvl::host::key_hash(text, uint64_t(length));
        for (uint64_t i = h & mask_;; i = (i + 1) & mask_) {
            slot &s = slots_[i];
            if (s.key == Qfalse) {
                s.hash = h;
                s.key = symbols_ ? ID2SYM(rb_intern3(text, length, utf8)) : rb_enc_interned_str(text, length, utf8);
                s.text = symbols_ ? rb_sym2str(s.key) : s.key;
                ++used_;
                return s.key;
            }
            if (s.hash == h && RSTRING_LEN(s.text) == length &&
                std::memcmp(RSTRING_PTR(s.text), text, size_t(length)) == 0)
                return s.key;
        }
    }

  private:
    // Every key handed out goes into the result being built, which keeps it
    // alive: the slots need no marking.
    struct slot {
        uint64_t hash;
        VALUE key;   // Qfalse: empty
        VALUE text;  // the key's string (the symbol's name)
    };

    void grow() {
        uint64_t count = slots_ ? (mask_ + 1) * 2 : 256;
        auto *fresh = static_cast<slot *>(std::calloc(count, sizeof(slot)));
        if (!fresh) rb_memerror();
        static_assert(Qfalse == 0, "calloc makes empty slots");
        for (uint64_t i = 0; slots_ && i <= mask_; ++i) {
            if (slots_[i].key == Qfalse) continue;
            uint64_t j = slots_[i].hash & (count - 1);
            while (fresh[j].key != Qfalse) j = (j + 1) & (count - 1);
            fresh[j] = slots_[i];
        }
        std::free(slots_);
        slots_ = fresh;
        mask_ = count - 1;
    }

    bool symbols_;
    slot *slots_ = nullptr;
    uint64_t mask_ = 0, used_ = 0;
};

// Nearly everything a build allocates ends up in its result, so a garbage
// collection in the middle of it would mark much and free little: it is
// held off until the build ends.
struct gc_pause {
    VALUE was_disabled = rb_gc_disable();
    void end() const {
        if (!RTEST(was_disabled)) rb_gc_enable();
    }
};

struct loader {
    zarvel_document *document = nullptr;
    VALUE anchored = Qnil;             // node id => object, for every anchored node built so far
    VALUE pairs = rb_ary_tmp_new(64);  // keys and values of the mappings being built
    key_cache keys{false};             // symbols instead of strings with symbolize_names
    bool merge = true;
    int32_t schema = 0;
    // Child handles of the collections being built, one run per open level.
    zarvel_node **children = nullptr;
    uint64_t top = 0, capacity = 0;
    VALUE text = Qnil;  // kept alive while the document borrows it
    gc_pause gc;
};

VALUE build(loader *l, const zarvel_node *node);

void keep_anchored(loader *l, const zarvel_node *node, VALUE object) {
    uint64_t length = 0;
    if (!zarvel_node_anchor(node, &length)) return;
    if (NIL_P(l->anchored)) l->anchored = rb_hash_new();
    rb_hash_aset(l->anchored, UINT2NUM(zarvel_node_id(node)), object);
}

bool is_digit_run(const char *p, const char *end, int base) {
    if (p == end) return false;
    for (; p < end; ++p) {
        char c = *p;
        bool ok = base == 16 ? rb_isxdigit(c) != 0 : (c >= '0' && c < char('0' + (base == 8 ? 8 : 10)));
        if (!ok) return false;
    }
    return true;
}

// An integer text beyond 64 bits (decimal, 0x or 0o, optional sign; "_" and
// "," separators of the 1.1 schema are dropped). Qundef when it is none.
VALUE big_integer(const char *text, uint64_t length) {
    VALUE digits = rb_str_buf_new(long(length));
    for (uint64_t i = 0; i < length; ++i)
        if (text[i] != '_' && text[i] != ',') rb_str_buf_cat(digits, text + i, 1);
    const char *p = RSTRING_PTR(digits), *end = p + RSTRING_LEN(digits);
    bool negative = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+')) ++p;
    int base = 10;
    if (end - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))
        base = 16, p += 2;
    else if (end - p > 2 && p[0] == '0' && p[1] == 'o')
        base = 8, p += 2;
    if (!is_digit_run(p, end, base)) return Qundef;
    VALUE magnitude = rb_str_to_inum(rb_str_new(p, end - p), base, 0);
    return negative ? rb_funcall(magnitude, rb_intern("-@"), 0) : magnitude;
}

VALUE scalar(const zarvel_node *node, int32_t schema);

bool starts_with(const char *text, uint64_t length, const char *prefix) {
    uint64_t n = std::strlen(prefix);
    return length >= n && std::memcmp(text, prefix, n) == 0;
}

// A plain scalar under a custom tag (!Ref x, !foo 12) gives the value it
// would have untagged, as Psych gives it.
VALUE untagged_plain(const char *text, uint64_t length, int32_t schema) {
    zarvel_document *document = nullptr;
    const zarvel_node *root = zvl::host::untagged_root(text, length, schema, &document);
    VALUE value = Qundef;
    if (root) {
        int state = 0;
        value = rb_protect([](VALUE r) { return scalar(reinterpret_cast<const zarvel_node *>(r), 0); },
                           reinterpret_cast<VALUE>(root), &state);
        if (state) {
            zarvel_document_free(document);
            rb_jump_tag(state);
        }
    }
    zarvel_document_free(document);
    return value != Qundef ? value : rb_enc_str_new(text, long(length), utf8);
}

// CBOR bignums: tag 2 (or 3, negative) over the magnitude's big-endian bytes.
VALUE cbor_bignum(const char *bytes, uint64_t length, bool negative) {
    static const char digits[] = "0123456789abcdef";
    VALUE hex = rb_str_buf_new(long(length * 2 + 1));
    rb_str_buf_cat(hex, "0", 1);
    for (uint64_t i = 0; i < length; ++i) {
        unsigned char b = static_cast<unsigned char>(bytes[i]);
        char pair[2] = {digits[b >> 4], digits[b & 15]};
        rb_str_buf_cat(hex, pair, 2);
    }
    VALUE magnitude = rb_str_to_inum(hex, 16, 0);
    // Tag 3 holds -1 - n.
    return negative ? rb_funcall(magnitude, rb_intern("~"), 0) : magnitude;
}

VALUE scalar(const zarvel_node *node, int32_t schema) {
    uint64_t length = 0, tag_length = 0;
    const char *text = zarvel_node_value(node, &length);
    const char *tag = zarvel_node_tag(node, &tag_length);
    if (schema < 0 && tag && tag_length == 1 && (tag[0] == '2' || tag[0] == '3') &&
        zarvel_node_tag_id(node) == ZARVEL_TAG_BINARY)
        return cbor_bignum(text, length, tag[0] == '3');
    // CBOR tags (schema -1) are numbers over an item whose type is known.
    if (schema >= 0 && tag && !starts_with(tag, tag_length, "tag:yaml.org,2002:")) {
        if (zarvel_node_style(node) == ZARVEL_NODE_STYLE_PLAIN && !(tag_length == 1 && tag[0] == '!'))
            return untagged_plain(text, length, schema);
        return rb_utf8_str_new(text, long(length));
    }
    switch (zarvel_node_tag_id(node)) {
    case ZARVEL_TAG_NULL: return Qnil;
    case ZARVEL_TAG_BOOL: {
        int32_t value = 0;
        if (zarvel_node_bool(node, &value) == 0) return value ? Qtrue : Qfalse;
        break;
    }
    case ZARVEL_TAG_INT: {
        int64_t value = 0;
        if (zarvel_node_int(node, &value) == 0) return LL2NUM(value);
        VALUE big = big_integer(text, length);
        if (big != Qundef) return big;
        break;
    }
    case ZARVEL_TAG_FLOAT: {
        double value = 0;
        if (zarvel_node_float(node, &value) == 0) return DBL2NUM(value);
        break;
    }
    case ZARVEL_TAG_BINARY: {
        if (schema < 0) return rb_str_new(text, long(length));  // CBOR bytes as they are
        VALUE encoded = rb_str_new(text, long(length));
        return rb_funcall(encoded, id_unpack1, 1, base64_format);
    }
    default: break;
    }
    return rb_utf8_str_new(text, long(length));
}

// A plain, untagged "<<": the key of a merge.
bool is_merge_key(const zarvel_node *key) {
    uint64_t length = 0;
    if (zarvel_node_kind(key) != ZARVEL_NODE_SCALAR || zarvel_node_style(key) != ZARVEL_NODE_STYLE_PLAIN ||
        zarvel_node_tag(key, &length))
        return false;
    const char *text = zarvel_node_value(key, &length);
    return length == 2 && text[0] == '<' && text[1] == '<';
}

int add_if_absent(VALUE key, VALUE value, VALUE hash) {
    if (rb_hash_lookup2(hash, key, Qundef) == Qundef) rb_hash_aset(hash, key, value);
    return ST_CONTINUE;
}

// Merge keys as YAML 1.1 defines them: keys already present (and any written
// later) win, and of several merged mappings the earlier one wins. A value
// that is no mapping, or a sequence holding anything else, stays a "<<" pair
// as it does in Psych.
void apply_merge(VALUE hash, VALUE source) {
    if (RB_TYPE_P(source, T_HASH)) {
        if (source != hash) rb_hash_foreach(source, add_if_absent, hash);
        return;
    }
    bool all_mappings = RB_TYPE_P(source, T_ARRAY);
    for (long i = 0; all_mappings && i < RARRAY_LEN(source); ++i)
        all_mappings = RB_TYPE_P(RARRAY_AREF(source, i), T_HASH);
    if (!all_mappings) {
        rb_hash_aset(hash, rb_enc_interned_str("<<", 2, utf8), source);
        return;
    }
    for (long i = 0; i < RARRAY_LEN(source); ++i) {
        VALUE item = RARRAY_AREF(source, i);
        if (item != hash) rb_hash_foreach(item, add_if_absent, hash);
    }
}

// Hash keys: strings are interned (frozen and shared, as Psych makes them),
// or symbols when asked for.
VALUE key_object(loader *l, const zarvel_node *key) {
    if (zarvel_node_kind(key) != ZARVEL_NODE_SCALAR) return build(l, key);
    uint64_t length = 0;
    if (zarvel_node_anchor(key, &length)) return build(l, key);
    if (zarvel_node_tag_id(key) == ZARVEL_TAG_STR && !zarvel_node_tag(key, &length)) {
        // The common key: taken from the node's text, with no string made first.
        const char *text = zarvel_node_value(key, &length);
        return l->keys.get(text, long(length));
    }
    VALUE object = scalar(key, l->schema);
    if (!RB_TYPE_P(object, T_STRING) || zarvel_node_tag_id(key) == ZARVEL_TAG_BINARY) return object;
    return l->keys.get(RSTRING_PTR(object), RSTRING_LEN(object));
}

// Moves the pairs above base on the pair stack into hash; a later pair
// replaces an earlier one with the same key, as with Hash#[]=.
void flush_pairs(VALUE pairs, long base, VALUE hash) {
    long n = RARRAY_LEN(pairs) - base;
    if (n <= 0) return;
    const VALUE *items = RARRAY_CONST_PTR(pairs) + base;
    for (long i = 0; i < n; i += 2)
        // Hash#[]= stores a frozen copy of a string key; the bulk insert
        // stores keys as given. Scalar keys are interned already.
        if (RB_TYPE_P(items[i], T_STRING) && !OBJ_FROZEN(items[i]))
            rb_ary_store(pairs, base + i, rb_str_new_frozen(items[i]));
    rb_hash_bulk_insert(n, RARRAY_CONST_PTR(pairs) + base, hash);
    rb_ary_resize(pairs, base);
}

// Child handles of a collection at the top of the scratch stack; returns the
// index of the first.
uint64_t push_children(loader *l, const zarvel_node *node, uint64_t *count) {
    uint64_t n = zarvel_node_children(node, nullptr, 0);
    if (l->top + n > l->capacity) {
        uint64_t capacity = l->capacity ? l->capacity : 256;
        while (capacity < l->top + n) capacity *= 2;
        auto *grown = static_cast<zarvel_node **>(std::realloc(l->children, capacity * sizeof(zarvel_node *)));
        if (!grown) rb_memerror();
        l->children = grown;
        l->capacity = capacity;
    }
    uint64_t first = l->top;
    zarvel_node_children(node, l->children + first, n);
    for (uint64_t i = 0; i < n; ++i)
        if (!l->children[first + i]) rb_memerror();
    l->top += n;
    *count = n;
    return first;
}

VALUE build(loader *l, const zarvel_node *node) {
    switch (zarvel_node_kind(node)) {
    case ZARVEL_NODE_SEQUENCE: {
        uint64_t count = 0;
        uint64_t first = push_children(l, node, &count);
        VALUE array = rb_ary_new_capa(long(count));
        keep_anchored(l, node, array);  // before the items: an item may alias it
        for (uint64_t i = 0; i < count; ++i) rb_ary_push(array, build(l, l->children[first + i]));
        l->top = first;
        return array;
    }
    case ZARVEL_NODE_MAPPING: {
        uint64_t count = 0;
        uint64_t first = push_children(l, node, &count);
        VALUE hash = rb_hash_new();
        keep_anchored(l, node, hash);
        // Pairs gather on the pair stack and go in at once: one table of
        // the final size instead of growing it pair by pair.
        long base = RARRAY_LEN(l->pairs);
        for (uint64_t i = 0; i + 1 < count; i += 2) {
            const zarvel_node *key = l->children[first + i];
            const zarvel_node *value = l->children[first + i + 1];
            if (l->merge && is_merge_key(key)) {
                flush_pairs(l->pairs, base, hash);
                apply_merge(hash, build(l, value));
                continue;
            }
            rb_ary_push(l->pairs, key_object(l, key));
            rb_ary_push(l->pairs, build(l, value));
        }
        flush_pairs(l->pairs, base, hash);
        l->top = first;
        return hash;
    }
    case ZARVEL_NODE_ALIAS: {
        zarvel_node *target = zarvel_node_alias_target(node);
        if (!target) return Qnil;
        if (!NIL_P(l->anchored)) {
            VALUE known = rb_hash_lookup2(l->anchored, UINT2NUM(zarvel_node_id(target)), Qundef);
            if (known != Qundef) return known;
        }
        return build(l, target);
    }
    default: {
        VALUE object = scalar(node, l->schema);
        keep_anchored(l, node, object);
        return object;
    }
    }
}

struct load_call {
    loader *l;
    int64_t only;  // -1: every document as an array; else that document (nil when absent)
};

VALUE load_documents(VALUE argument) {
    auto *call = reinterpret_cast<load_call *>(argument);
    loader *l = call->l;
    // A build that fails (out of memory) must not pass for an empty stream.
    int32_t status = zarvel_document_status(l->document);
    if (status != ZARVEL_OK) raise_status(status, "document build");
    uint32_t count = zarvel_document_count(l->document);
    if (call->only >= 0) {
        if (uint64_t(call->only) >= count) return Qnil;
        zarvel_node *root = zarvel_document_root(l->document, uint64_t(call->only));
        if (!root) rb_memerror();
        return build(l, root);
    }
    VALUE all = rb_ary_new_capa(long(count));
    for (uint32_t i = 0; i < count; ++i) {
        zarvel_node *root = zarvel_document_root(l->document, i);
        if (!root) rb_memerror();
        rb_ary_push(all, build(l, root));
    }
    return all;
}

VALUE release_loader(VALUE argument) {
    auto *l = reinterpret_cast<loader *>(argument);
    zarvel_document_free(l->document);
    l->document = nullptr;
    std::free(l->children);
    l->children = nullptr;
    l->keys.release();
    l->gc.end();
    RB_GC_GUARD(l->text);
    return Qnil;
}

// Builds the documents of document (owned from here on).
VALUE load_document(zarvel_document *document, VALUE text, int64_t only, bool symbolize, bool merge, int32_t schema) {
    loader l;
    l.schema = schema;
    l.document = document;
    l.keys = key_cache(symbolize);
    l.merge = merge;
    l.text = text;
    load_call call{&l, only};
    VALUE result =
        rb_ensure(load_documents, reinterpret_cast<VALUE>(&call), release_loader, reinterpret_cast<VALUE>(&l));
    RB_GC_GUARD(l.anchored);
    RB_GC_GUARD(l.pairs);
    RB_GC_GUARD(text);
    return result;
}

int32_t schema_number(VALUE schema) {
    if (schema == sym_core || NIL_P(schema)) return 0;
    if (schema == sym_yaml11) return 1;
    rb_raise(rb_eArgError, "schema must be :core or :yaml11");
}

// _load(yaml, all, symbolize_names, schema, merge)
VALUE yaml_load(VALUE, VALUE text, VALUE all, VALUE symbolize, VALUE schema, VALUE merge) {
    StringValue(text);
    text = rb_str_new_frozen(text);  // the document borrows these bytes
    zarvel_parse_options options{schema_number(schema), 0};
    int32_t status = 0;
    zarvel_document *document = zarvel_parse_ex(RSTRING_PTR(text), uint64_t(RSTRING_LEN(text)), &options, &status);
    if (!document) {
        if (status != ZARVEL_OK) raise_status(status, "YAML parse");
        return RTEST(all) ? rb_ary_new() : Qnil;  // a stream without documents
    }
    return load_document(document, text, RTEST(all) ? -1 : 0, RTEST(symbolize), RTEST(merge), options.schema);
}

VALUE cbor_load(VALUE, VALUE bytes) {
    StringValue(bytes);
    bytes = rb_str_new_frozen(bytes);
    int32_t status = 0;
    const char *data = RSTRING_PTR(bytes);
    uint64_t length = uint64_t(RSTRING_LEN(bytes));
    zarvel_document *document = zarvel_cbor_decode(reinterpret_cast<const uint8_t *>(data), length, 0, &status);
    if (!document) raise_status(status, "CBOR decode", data, length);
    return load_document(document, bytes, 0, false, false, -1);
}

// ---- objects from a JSON tape ---------------------------------------------------------------

struct tape_reader {
    zarvel_tape tape{};
    char *scratch = nullptr;  // decoded escapes
    uint64_t scratch_capacity = 0;
    VALUE text = Qnil;
    VALUE pairs = rb_ary_tmp_new(64);
    key_cache keys{false};
    gc_pause gc;
};

// The string body of entry i, escapes decoded.
VALUE tape_string(tape_reader *r, uint64_t i, bool key) {
    const char *body = r->tape.text + r->tape.starts[i];
    uint32_t length = r->tape.lens[i];
    if (std::memchr(body, '\\', length)) {
        if (r->scratch_capacity < length) {
            char *grown = static_cast<char *>(std::realloc(r->scratch, length));
            if (!grown) rb_memerror();
            r->scratch = grown;
            r->scratch_capacity = length;
        }
        // Escapes never lengthen a JSON string, so the body's length suffices.
        length = uint32_t(zvl_finish_double_into(body, 0, length, r->scratch, length));
        body = r->scratch;
    }
    return key ? r->keys.get(body, length) : rb_utf8_str_new(body, length);
}

VALUE tape_number(const char *text, uint32_t length, bool is_float) {
    if (!is_float && length <= 18) {
        const char *p = text, *end = text + length;
        bool negative = *p == '-';
        if (negative) ++p;
        int64_t value = 0;
        for (; p < end; ++p) value = value * 10 + (*p - '0');
        return LL2NUM(negative ? -value : value);
    }
    if (!is_float) return rb_str_to_inum(rb_str_new(text, length), 10, 0);
    double value = 0;
    if (zvl_num_f64(text, length, &value) != 0) rb_raise(error_class, "unreadable number");
    return DBL2NUM(value);
}

// The value at entry *i; *i moves past it.
VALUE tape_value(tape_reader *r, uint64_t *i) {
    const zarvel_tape &t = r->tape;
    uint64_t at = *i;
    switch (t.types[at]) {
    case ZARVEL_TAPE_NULL: ++*i; return Qnil;
    case ZARVEL_TAPE_TRUE: ++*i; return Qtrue;
    case ZARVEL_TAPE_FALSE: ++*i; return Qfalse;
    case ZARVEL_TAPE_INT:
    case ZARVEL_TAPE_FLOAT:
        ++*i;
        return tape_number(t.text + t.starts[at], t.lens[at], t.types[at] == ZARVEL_TAPE_FLOAT);
    case ZARVEL_TAPE_STRING: ++*i; return tape_string(r, at, false);
    case ZARVEL_TAPE_ARRAY: {
        uint64_t close = t.starts[at];
        VALUE array = rb_ary_new();
        uint64_t j = at + 1;
        while (j < close) rb_ary_push(array, tape_value(r, &j));
        *i = close + 1;
        return array;
    }
    case ZARVEL_TAPE_OBJECT: {
        uint64_t close = t.starts[at];
        VALUE hash = rb_hash_new();
        long base = RARRAY_LEN(r->pairs);
        uint64_t j = at + 1;
        while (j < close) {
            rb_ary_push(r->pairs, tape_string(r, j, true));
            ++j;
            rb_ary_push(r->pairs, tape_value(r, &j));
        }
        flush_pairs(r->pairs, base, hash);
        *i = close + 1;
        return hash;
    }
    default: rb_raise(error_class, "unexpected JSON tape entry %u", unsigned(t.types[at]));
    }
}

VALUE read_tape(VALUE argument) {
    auto *r = reinterpret_cast<tape_reader *>(argument);
    uint64_t i = 1;
    return tape_value(r, &i);
}

VALUE release_tape(VALUE argument) {
    auto *r = reinterpret_cast<tape_reader *>(argument);
    zarvel_tape_free(&r->tape);
    std::free(r->scratch);
    r->scratch = nullptr;
    r->keys.release();
    r->gc.end();
    RB_GC_GUARD(r->text);
    RB_GC_GUARD(r->pairs);
    return Qnil;
}

VALUE json_parse(VALUE, VALUE text) {
    StringValue(text);
    text = rb_str_new_frozen(text);
    const char *data = RSTRING_PTR(text);
    uint64_t length = uint64_t(RSTRING_LEN(text));
    zarvel_tape tape{};
    int32_t status = zarvel_parse_json_tape(data, length, &tape);
    if (status == ZARVEL_TOO_DEEP) {
        // The tape stops at fewer levels than documents do.
        zarvel_document *document = zarvel_parse_json(data, length, &status);
        if (!document) raise_status(status, "JSON parse", data, length);
        return load_document(document, text, 0, false, false, 0);
    }
    if (status != ZARVEL_OK) raise_status(status, "JSON parse", data, length);
    tape_reader r;
    r.tape = tape;
    r.text = text;
    VALUE result = rb_ensure(read_tape, reinterpret_cast<VALUE>(&r), release_tape, reinterpret_cast<VALUE>(&r));
    RB_GC_GUARD(text);
    return result;
}

// ---- documents from objects -----------------------------------------------------------------

enum class target { yaml, json, cbor };

// Build records and the one text they point into, filled by a walk over the
// object; a stack of the collections being written finds cycles.
struct writer {
    target to;
    zarvel_build_record *records = nullptr;
    uint64_t count = 0, capacity = 0;
    char *text = nullptr;
    uint64_t length = 0, text_capacity = 0;
    VALUE *open = nullptr;
    uint64_t depth = 0, open_capacity = 0;
    zarvel_document *document = nullptr;
};

template <typename T>
void grow(T **items, uint64_t *capacity, uint64_t needed) {
    if (needed <= *capacity) return;
    uint64_t c = *capacity ? *capacity * 2 : 64;
    while (c < needed) c *= 2;
    T *grown = static_cast<T *>(std::realloc(*items, c * sizeof(T)));
    if (!grown) rb_memerror();
    *items = grown;
    *capacity = c;
}

void add_record(writer *w, uint8_t type, uint8_t style, const char *text, uint64_t length) {
    if (w->length + length > UINT32_MAX) rb_raise(error_class, "dump: output text exceeds 4 GiB");
    grow(&w->records, &w->capacity, w->count + 1);
    grow(&w->text, &w->text_capacity, w->length + length);
    std::memcpy(w->text + w->length, text, length);
    w->records[w->count++] = zarvel_build_record{type, style, uint32_t(w->length), uint32_t(length)};
    w->length += length;
}

void add_scalar(writer *w, const char *text, uint64_t length, uint32_t style) {
    add_record(w, ZARVEL_BUILD_SCALAR, uint8_t(style), text, length);
}

// A text that a plain scalar would not read back as the same string (a
// number, a boolean, null, or empty) goes double-quoted; any other string is
// offered plain and the serialiser quotes it where the syntax needs that.
bool reads_as_string(const char *p, uint64_t n) {
    if (n == 0) return false;
    char c = p[0];
    if (c == '~' && n == 1) return false;
    // The core schema's words, the YAML 1.1 booleans (so that 1.1 readers
    // such as Psych read the text back too), and the merge and value keys.
    static const char *const words[] = {"null", "true", "false", "yes", "no", "on", "off", "y", "n", "<<", "="};
    for (const char *word : words)
        if (n == std::strlen(word) && strncasecmp(p, word, n) == 0) return false;
    // Anything that starts like a number is quoted: cheaper than deciding
    // exactly, and always read back right. A leading ":" is a symbol to Psych.
    return !(c == '+' || c == '-' || c == '.' || c == ':' || (c >= '0' && c <= '9'));
}

void add_string(writer *w, VALUE string, bool key) {
    int encoding = ENCODING_GET(string);
    bool binary = encoding == rb_ascii8bit_encindex() && rb_enc_str_coderange(string) != ENC_CODERANGE_7BIT;
    if (!binary && encoding != rb_utf8_encindex() && encoding != rb_usascii_encindex())
        string = rb_str_encode(string, rb_enc_from_encoding(utf8), 0, Qnil);
    if (!binary && rb_enc_str_coderange(string) == ENC_CODERANGE_BROKEN) binary = true;
    const char *p = RSTRING_PTR(string);
    uint64_t n = uint64_t(RSTRING_LEN(string));
    if (!binary) {
        uint32_t style =
            w->to == target::json || !reads_as_string(p, n) ? ZARVEL_NODE_STYLE_DOUBLE_QUOTED : ZARVEL_NODE_STYLE_PLAIN;
        add_scalar(w, p, n, style);
        return;
    }
    if (w->to == target::json) rb_raise(error_class, "generate_json: string is not valid UTF-8");
    if (w->to == target::cbor) {
        // The encoder writes bytes that are not UTF-8 as a byte string.
        add_scalar(w, p, n, ZARVEL_NODE_STYLE_DOUBLE_QUOTED);
        return;
    }
    VALUE encoded = rb_funcall(rb_ary_new_from_values(1, &string), rb_intern("pack"), 1, rb_str_new_cstr("m0"));
    add_scalar(w, RSTRING_PTR(encoded), uint64_t(RSTRING_LEN(encoded)), ZARVEL_NODE_STYLE_PLAIN);
    static const char tag[] = "tag:yaml.org,2002:binary";
    add_record(w, ZARVEL_BUILD_TAG, 0, tag, sizeof tag - 1);
}

void add_float(writer *w, double value) {
    if (std::isnan(value) || std::isinf(value)) {
        if (w->to == target::json)
            rb_raise(error_class, "generate_json: %s has no JSON form", std::isnan(value) ? "NaN" : "Infinity");
        const char *text = std::isnan(value) ? ".nan" : value > 0 ? ".inf" : "-.inf";
        add_scalar(w, text, std::strlen(text), ZARVEL_NODE_STYLE_PLAIN);
        return;
    }
    // Ruby's shortest round-trip text ("1.0e+20" and the like) reads back as
    // a float under the core schema.
    VALUE text = rb_funcall(DBL2NUM(value), id_to_s, 0);
    add_scalar(w, RSTRING_PTR(text), uint64_t(RSTRING_LEN(text)), ZARVEL_NODE_STYLE_PLAIN);
}

void add_object(writer *w, VALUE object, bool key);

int add_pair(VALUE key, VALUE value, VALUE argument) {
    auto *w = reinterpret_cast<writer *>(argument);
    add_object(w, key, true);
    add_object(w, value, false);
    return ST_CONTINUE;
}

// The library's nesting limit; checked while walking, so that a deeper
// object fails before the walk's recursion can exhaust the stack.
constexpr uint64_t max_depth = 1000;

void open_collection(writer *w, VALUE object) {
    if (w->depth >= max_depth) raise_error("nesting deeper than 1000 levels", 0, 0);
    for (uint64_t i = 0; i < w->depth; ++i)
        if (w->open[i] == object) rb_raise(error_class, "dump: recursive structure");
    grow(&w->open, &w->open_capacity, w->depth + 1);
    w->open[w->depth++] = object;
}

void add_object(writer *w, VALUE object, bool key) {
    // JSON keys are strings: other scalars are written as their to_s, as
    // JSON.generate writes them.
    if (key && w->to == target::json && !RB_TYPE_P(object, T_STRING) && !RB_TYPE_P(object, T_SYMBOL) &&
        !RB_TYPE_P(object, T_ARRAY) && !RB_TYPE_P(object, T_HASH)) {
        add_string(w, rb_funcall(object, id_to_s, 0), true);
        return;
    }
    switch (TYPE(object)) {
    case T_NIL: add_scalar(w, "null", 4, ZARVEL_NODE_STYLE_PLAIN); return;
    case T_TRUE: add_scalar(w, "true", 4, ZARVEL_NODE_STYLE_PLAIN); return;
    case T_FALSE: add_scalar(w, "false", 5, ZARVEL_NODE_STYLE_PLAIN); return;
    case T_FIXNUM:
    case T_BIGNUM: {
        VALUE text = rb_funcall(object, id_to_s, 0);
        add_scalar(w, RSTRING_PTR(text), uint64_t(RSTRING_LEN(text)), ZARVEL_NODE_STYLE_PLAIN);
        return;
    }
    case T_FLOAT: add_float(w, RFLOAT_VALUE(object)); return;
    case T_STRING: add_string(w, object, key); return;
    case T_SYMBOL: add_string(w, rb_sym2str(object), key); return;
    case T_ARRAY: {
        if (key) break;
        open_collection(w, object);
        add_record(w, ZARVEL_BUILD_SEQUENCE, 0, "", 0);
        for (long i = 0; i < RARRAY_LEN(object); ++i) add_object(w, RARRAY_AREF(object, i), false);
        add_record(w, ZARVEL_BUILD_END, 0, "", 0);
        --w->depth;
        return;
    }
    case T_HASH: {
        if (key) break;
        open_collection(w, object);
        add_record(w, ZARVEL_BUILD_MAPPING, 0, "", 0);
        rb_hash_foreach(object, add_pair, reinterpret_cast<VALUE>(w));
        add_record(w, ZARVEL_BUILD_END, 0, "", 0);
        --w->depth;
        return;
    }
    default: break;
    }
    rb_raise(rb_eTypeError, "%s: cannot write %s%s",
             w->to == target::json   ? "generate_json"
             : w->to == target::cbor ? "dump_cbor"
                                     : "dump",
             rb_obj_classname(object), key ? " as a mapping key" : "");
}

struct write_call {
    writer *w;
    VALUE object;
};

VALUE write_document(VALUE argument) {
    auto *call = reinterpret_cast<write_call *>(argument);
    writer *w = call->w;
    add_object(w, call->object, false);
    w->document = zarvel_document_new();
    if (!w->document) rb_memerror();
    int32_t status = zarvel_document_build(w->document, w->records, w->count, w->text, w->length);
    if (status == ZARVEL_TOO_DEEP) raise_error("nesting deeper than 1000 levels", 0, 0);
    if (status == ZARVEL_FAILED) raise_error("two mapping keys have the same text", 0, 0);
    if (status != ZARVEL_OK) raise_status(status, "document build");
    uint64_t length = 0;
    switch (w->to) {
    case target::yaml: {
        char *out = zarvel_serialize(w->document, &length);
        if (!out) rb_memerror();
        VALUE text = rb_enc_str_new(out, long(length), utf8);
        zarvel_free(out);
        return text;
    }
    case target::json: {
        char *out = zarvel_serialize_json_ex(w->document, &length, 1);
        if (!out) rb_memerror();
        // A collection root ends with a line feed; JSON.generate writes none.
        if (length > 0 && out[length - 1] == '\n') --length;
        VALUE text = rb_enc_str_new(out, long(length), utf8);
        zarvel_free(out);
        return text;
    }
    case target::cbor: {
        // Plain CBOR: floats of any value, bignums, byte strings for !!binary.
        int32_t status = ZARVEL_OK;
        uint8_t *out = zarvel_plain_cbor(w->document, &length, &status);
        if (!out) raise_status(status, "CBOR encode");
        VALUE bytes = rb_str_new(reinterpret_cast<const char *>(out), long(length));
        zarvel_free(out);
        return bytes;
    }
    }
    return Qnil;
}

VALUE release_writer(VALUE argument) {
    auto *w = reinterpret_cast<writer *>(argument);
    zarvel_document_free(w->document);
    std::free(w->records);
    std::free(w->text);
    std::free(w->open);
    *w = writer{w->to};
    return Qnil;
}

VALUE write_object(VALUE object, target to) {
    writer w{to};
    write_call call{&w, object};
    VALUE result =
        rb_ensure(write_document, reinterpret_cast<VALUE>(&call), release_writer, reinterpret_cast<VALUE>(&w));
    RB_GC_GUARD(object);
    return result;
}

VALUE yaml_dump(VALUE, VALUE object) { return write_object(object, target::yaml); }
VALUE json_generate(VALUE, VALUE object) { return write_object(object, target::json); }
VALUE cbor_dump(VALUE, VALUE object) { return write_object(object, target::cbor); }

// The library's Marshal bytes of every document (nil when the stream holds
// something Marshal cannot express): kept for the benchmark that weighs this
// road against building the objects here.
VALUE yaml_marshal(VALUE, VALUE text) {
    StringValue(text);
    char *bytes = nullptr;
    uint64_t length = 0;
    int32_t status = zarvel_marshal(RSTRING_PTR(text), uint64_t(RSTRING_LEN(text)), 0, 0, &bytes, &length);
    if (status == 7) return Qnil;
    if (status != ZARVEL_OK) raise_status(status, "marshal");
    VALUE out = rb_str_new(bytes, long(length));
    zarvel_marshal_free(bytes);
    return out;
}

VALUE library_version(VALUE) { return rb_str_new_cstr(zarvel_version()); }

}  // namespace

extern "C" __attribute__((visibility("default"))) void Init_zarvel(void) {
    utf8 = rb_utf8_encoding();
    id_line = rb_intern("@line");
    id_column = rb_intern("@column");
    id_unpack1 = rb_intern("unpack1");
    id_to_s = rb_intern("to_s");
    sym_core = ID2SYM(rb_intern("core"));
    sym_yaml11 = ID2SYM(rb_intern("yaml11"));
    base64_format = rb_str_new_cstr("m");
    rb_gc_register_mark_object(base64_format);

    VALUE module = rb_define_module("Zarvel");
    error_class = rb_define_class_under(module, "Error", rb_eStandardError);
    rb_define_singleton_method(module, "_load", RUBY_METHOD_FUNC(yaml_load), 5);
    rb_define_singleton_method(module, "_parse_json", RUBY_METHOD_FUNC(json_parse), 1);
    rb_define_singleton_method(module, "_load_cbor", RUBY_METHOD_FUNC(cbor_load), 1);
    rb_define_singleton_method(module, "_dump", RUBY_METHOD_FUNC(yaml_dump), 1);
    rb_define_singleton_method(module, "_generate_json", RUBY_METHOD_FUNC(json_generate), 1);
    rb_define_singleton_method(module, "_dump_cbor", RUBY_METHOD_FUNC(cbor_dump), 1);
    rb_define_singleton_method(module, "_marshal", RUBY_METHOD_FUNC(yaml_marshal), 1);
    rb_define_singleton_method(module, "library_version", RUBY_METHOD_FUNC(library_version), 0);
}
