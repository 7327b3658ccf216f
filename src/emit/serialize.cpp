// YAML (block, canonical) and JSON serialiser over the node store.
//
// Shape: for each document a start marker, the root's properties, then the
// root node at indentation -2 (so that its block children stand at column 0).
// A node is written by kind:
//   alias       "*name" (canonical: "*aN")
//   collection  flow form when it has the flow flag, in canonical or JSON
//               mode, inside a complex key or inside another flow
//               collection; otherwise block form ("{}" / "[]" when empty)
//   scalar      tag prefix, anchor prefix, then the form chosen by
//               choose_scalar_style (block) or by the tag id (canonical,
//               JSON)
// Block collections are written by their parent's line: "- ", "key:" or
// "? " introduces them, followed by their properties on the same line.
#include "emit/serialize.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "doc/resolve.hpp"
#include "emit/decimal_text.hpp"
#include "emit/format_double.hpp"
#include "emit/json_fast.hpp"
#include "emit/scalar_style.hpp"
#include "emit/scalar_text.hpp"

namespace zvl {
namespace {

// Scalar keys longer than this go behind "? ": a reader refuses implicit
// keys of more than 1024 characters, and quoting can only make them longer.
constexpr uint64_t longest_implicit_key = 512;
// Float texts are converted from a copy of at most this many bytes on the
// stack; longer ones get a heap copy so that no digit is cut off.
constexpr uint64_t float_copy_limit = 39;

struct emitter {
    zarvel_writer &w;
    const zarvel_node_store *store;
    printable_memo keys;

    const zarvel_node_rec &node(uint32_t id) const { return zarvel_store_node(store, id); }
    std::string_view text(zarvel_span span) const { return zarvel_store_text(store, span); }
    bool valid(uint32_t id) const { return id < store->node_count; }

    bool block_mode() const { return !w.canonical && !w.json; }
    // The collection's flow flag as the style option overrides it.
    bool flows(const zarvel_node_rec &r) const {
        return w.style == ZARVEL_STYLE_KEEP ? r.is_flow() : w.style == ZARVEL_STYLE_FLOW;
    }
    // A collection written in block form at the cursor.
    bool is_block_collection(const zarvel_node_rec &r) const {
        return r.is_collection() && !flows(r) && block_mode() && !w.in_complex_key && w.flow_depth == 0;
    }
    bool has_properties(const zarvel_node_rec &r) const { return zarvel_store_has_props(store, r); }
    zarvel_span tag_of(const zarvel_node_rec &r) const { return zarvel_store_tag(store, r); }
    bool tagged(const zarvel_node_rec &r) const { return zarvel_span_length(tag_of(r)) != 0; }
    // An implied empty scalar (style 0, from "key:" or an empty document)
    // is written as the empty plain scalar it stands for; quoting it would
    // turn a null into a string.
    static uint8_t effective_style(const zarvel_node_rec &r) {
        if (r.style() == uint8_t(node_style::none) && r.kind() == ZARVEL_KIND_SCALAR && r.is_plain_implicit())
            return uint8_t(node_style::plain);
        return r.style();
    }
    bool is_empty_plain(const zarvel_node_rec &r) const {
        return r.kind() == ZARVEL_KIND_SCALAR && effective_style(r) == uint8_t(node_style::plain) &&
               zarvel_span_length(r.value) == 0 && !has_properties(r);
    }

    // ---- properties -----------------------------------------------------

    // Number of an anchor name in canonical mode; new names get the next one.
    uint32_t anchor_number(std::string_view name) {
        uint32_t number = zarvel_strmap_get(&w.anchors, name.data(), name.size());
        if (number != zarvel_strmap_absent) return number;
        number = w.anchors.entries;
        if (!zarvel_strmap_put(&w.anchors, name.data(), name.size(), number)) w.failed = true;
        return number;
    }

    void tag_prefix(const zarvel_node_rec &r) {
        std::string_view tag = text(tag_of(r));
        if (tag.empty()) return;
        // A later "!" would read back as a named handle and a "," would end
        // the shorthand early: such local tags are written verbatim.
        if (tag[0] == '!' && tag.find_first_of("!,", 1) == std::string_view::npos) {
            put_byte(w, '!');
            write_percent_encoded(w, tag.substr(1));
            put_byte(w, ' ');
        } else {
            put(w, "!<");
            write_percent_encoded(w, tag);
            put(w, "> ");
        }
    }
    void anchor_prefix(const zarvel_node_rec &r) {
        std::string_view anchor = text(zarvel_store_anchor(store, r));
        if (anchor.empty()) return;
        put_byte(w, '&');
        if (w.canonical) {
            put_byte(w, 'a');
            write_decimal(w, anchor_number(anchor));
        } else {
            put(w, anchor);
        }
        put_byte(w, ' ');
    }
    // After the "- ", ":" or "? " that introduces a non-empty block
    // collection: " !<tag>" and " &anchor".
    void block_properties(const zarvel_node_rec &r) {
        std::string_view tag = text(tag_of(r)), anchor = text(zarvel_store_anchor(store, r));
        if (!tag.empty()) {
            put(w, " !<");
            write_percent_encoded(w, tag);
            put_byte(w, '>');
        }
        if (!anchor.empty()) {
            put(w, " &");
            put(w, anchor);
        }
    }

    // ---- scalars ---------------------------------------------------------

    // Block-mode form of a scalar.
    scalar_form decide_form(const zarvel_node_rec &r, std::string_view t, bool key) {
        uint8_t style = effective_style(r);
        // Restyled output (block or flow) also drops quotes that the value
        // does not need, as JSON's on every string; the type check below
        // keeps them where the text would read back as another type.
        if (w.style != ZARVEL_STYLE_KEEP &&
            (style == uint8_t(node_style::single_quoted) || style == uint8_t(node_style::double_quoted)))
            style = uint8_t(node_style::plain);
        scalar_form form = choose_scalar_style(t.data(), t.size(), key, style, tagged(r));
        // An empty null key: "" would read back as the empty string, "~"
        // reads back as the same null.
        if (key && t.empty() && effective_style(r) == uint8_t(node_style::plain) && !tagged(r) &&
            r.tag_id == ZARVEL_TAG_NULL)
            form = scalar_form::null_word;
        if (form == scalar_form::plain && !keeps_type_when_plain(r, t))
            form = scalar_form::single_quoted;  // plain text has no controls or breaks
        if (w.flow_depth > 0 || w.in_complex_key) form = flow_safe(form, t, has_properties(r));
        return form;
    }
    // A scalar that was not plain (a one-line literal "true", say) may be
    // written plain only when the reader resolves the text to the type it
    // has; otherwise the quotes keep it a string.
    bool keeps_type_when_plain(const zarvel_node_rec &r, std::string_view t) const {
        if (effective_style(r) == uint8_t(node_style::plain) || tagged(r)) return true;
        const zarvel_resolver *resolver = store->resolver ? store->resolver : &zarvel_core_resolver;
        return resolver->text(nullptr, t.data(), uint32_t(t.size())) == r.tag_id;
    }

    // Inside flow collections a literal is not allowed and a plain scalar may
    // not hold flow indicators.
    static scalar_form flow_safe(scalar_form form, std::string_view t, bool properties) {
        if (form == scalar_form::literal) return scalar_form::double_quoted;
        // "[a, , b]" does not read back; "~" is the same null. After a tag
        // or an anchor the empty node is fine as it is.
        if (form == scalar_form::nothing && !properties) return scalar_form::null_word;
        if (form == scalar_form::plain && t.find_first_of(",[]{}") != std::string_view::npos)
            return scalar_form::single_quoted;  // plain text holds no control bytes
        return form;
    }

    void write_form(scalar_form form, std::string_view t, uint64_t indent) {
        switch (form) {
        case scalar_form::nothing: return;
        case scalar_form::null_word: put_byte(w, '~'); return;
        case scalar_form::plain: put(w, t); return;
        case scalar_form::single_quoted: write_single_quoted(w, t); return;
        case scalar_form::double_quoted: write_double_quoted(w, t); return;
        case scalar_form::literal: write_literal(w, t, indent); return;
        }
    }

    void string_form(std::string_view t) {
        if (w.json)
            write_json_string(w, t);
        else
            write_double_quoted(w, t);
    }

    // Canonical and JSON scalars: by tag id. JSON object keys must be
    // strings.
    void typed_scalar(const zarvel_node_rec &r, std::string_view t, bool key) {
        if (tagged(r) || (key && w.json) || !by_tag_id(r, t)) string_form(t);
    }
    // A scalar written by its tag id; false, nothing written, for a string
    // and for a number text that does not convert.
    bool by_tag_id(const zarvel_node_rec &r, std::string_view t) {
        switch (r.tag_id) {
        case ZARVEL_TAG_INT: return int_scalar(t);
        case ZARVEL_TAG_FLOAT: return float_scalar(t);
        case ZARVEL_TAG_BOOL: put(w, json_bool_word(t)); return true;
        case ZARVEL_TAG_NULL: put(w, w.canonical ? "~" : "null"); return true;
        default: return false;
        }
    }

    // An integer as the decimal digits JSON takes (and canonical output
    // writes): a text already spelt so as it stands, any other (0644, 0x1F,
    // +5, 1_000) by its value under the document's schema. False when the
    // text does not convert (it is then written as a string).
    bool int_scalar(std::string_view t) {
        if (!json_fast::json_integer(t)) return other_int_scalar(t);
        put(w, t);
        return true;
    }
    __attribute__((noinline)) bool other_int_scalar(std::string_view t) {
        const bool octal_zero = zarvel_octal_zero(store->resolver);
        int64_t value;
        if (zvl::read_int(t.data(), uint32_t(t.size()), octal_zero, value)) {
            if (value < 0) put_byte(w, '-');
            write_decimal(w, value < 0 ? 0 - uint64_t(value) : uint64_t(value));
            return true;
        }
        // Decimal digits beyond 64 bits: without a "+" and leading zeros
        // (under YAML 1.1 a leading zero makes them octal: kept as a string).
        const bool negative = !t.empty() && t[0] == '-';
        std::string_view digits = !t.empty() && (t[0] == '-' || t[0] == '+') ? t.substr(1) : t;
        if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) return false;
        if (octal_zero && digits.size() > 1 && digits[0] == '0') return false;
        const size_t first = digits.find_first_not_of('0');
        digits = first == std::string_view::npos ? "0" : digits.substr(first);
        if (negative && digits != "0") put_byte(w, '-');
        put(w, digits);
        return true;
    }
    // False when the text does not convert (it is then written as a string).
    bool float_scalar(std::string_view t) {
        static constexpr std::string_view positive[] = {".inf", ".Inf", ".INF", "+.inf", "+.Inf", "+.INF"};
        static constexpr std::string_view negative[] = {"-.inf", "-.Inf", "-.INF"};
        static constexpr std::string_view nan[] = {".nan", ".NaN", ".NAN"};
        // JSON has no infinities or NaN: their texts go out as strings, which
        // every JSON reader takes and which keep what the document said.
        for (std::string_view s : positive)
            if (t == s) return w.json ? write_json_string(w, t) : put(w, ".inf"), true;
        for (std::string_view s : negative)
            if (t == s) return w.json ? write_json_string(w, t) : put(w, "-.inf"), true;
        for (std::string_view s : nan)
            if (t == s) return w.json ? write_json_string(w, t) : put(w, ".nan"), true;
        if (t.empty()) return false;
        char digits[32];
        if (const int32_t n = format_decimal_text(digits, t.data(), t.size())) {
            put_line_free(w, digits, uint64_t(n));
            return true;
        }

        char local[float_copy_limit + 1];
        char *copy = local;
        if (t.size() > float_copy_limit) {
            copy = static_cast<char *>(sys_malloc(t.size() + 1));
            if (!copy) {
                w.failed = true;
                return false;
            }
        }
        std::memcpy(copy, t.data(), t.size());
        copy[t.size()] = 0;
        char *end = nullptr;
        errno = 0;
        double value = std::strtod(copy, &end);
        const bool whole = end == copy + t.size();
        if (copy != local) sys_free(copy);
        if (!whole) return false;
        int32_t n = zarvel_format_double(digits, value);
        if (n > 0) {
            put_line_free(w, digits, uint64_t(n));
        } else if (w.json) {
            write_json_string(w, t);  // an overflowing text such as 1e999
        } else if (value != value) {
            put(w, ".nan");
        } else {
            // An overflowing text such as 1e999: the infinity it denotes.
            put(w, value < 0 ? "-.inf" : ".inf");
        }
        return true;
    }

    // Bytes read from CBOR, which need not be text: the base64 scalar a YAML
    // reader gives back as the same bytes, after the !!binary tag (a CBOR
    // tag, already written, stands in its place).
    bool raw_bytes(const zarvel_node_rec &r) {
        if (!zarvel_store_raw_bytes(store, r)) return false;
        if (!tagged(r)) put(w, "!!binary ");
        put_base64_quoted(w, text(r.value));
        return true;
    }

    void scalar(const zarvel_node_rec &r, uint64_t indent, bool key) {
        if (raw_bytes(r)) return;
        std::string_view t = text(r.value);
        if (!block_mode()) {
            typed_scalar(r, t, key);
            return;
        }
        write_form(decide_form(r, t, key), t, indent);
    }

    // ---- nodes -------------------------------------------------------------

    void alias(const zarvel_node_rec &r) {
        std::string_view name = text(r.value);
        put_byte(w, '*');
        if (w.canonical) {
            uint32_t number = zarvel_strmap_get(&w.anchors, name.data(), name.size());
            if (number != zarvel_strmap_absent) {
                put_byte(w, 'a');
                write_decimal(w, number);
                return;
            }
        }
        put(w, name);
    }

    // ---- JSON ----------------------------------------------------------------
    //
    // Collections without tags or anchors go to the fast writer, which comes
    // back here for the nodes it does not take.

    struct json_host {
        static constexpr bool plain = false;
        emitter &e;
        bool general_value(uint32_t id, uint32_t) {
            e.write_node(id, 0, false);
            return true;
        }
        bool general_key(uint32_t id, uint32_t) {
            const zarvel_node_rec &k = e.node(id);
            if (k.kind() == ZARVEL_KIND_SCALAR && !e.has_properties(k)) {
                e.json_scalar(k, true);
                put(e.w, e.w.compact ? ":" : ": ");
                return true;
            }
            put(e.w, "? ");
            e.write_node(id, 0, true);
            put(e.w, " : ");
            return true;
        }
    };
    void json_collection(uint32_t id) {
        json_host host{*this};
        ++w.flow_depth;
        json_fast::writer<json_host>(host, w, w.compact).value(id, 0);
        --w.flow_depth;
    }
    void json_scalar(const zarvel_node_rec &r, bool key) {
        if (raw_bytes(r)) return;
        const std::string_view t = text(r.value);
        if (key || !by_tag_id(r, t)) write_json_string(w, t);
    }

    void write_node(uint32_t id, int64_t indent, bool key) {
        if (!valid(id)) return;
        const zarvel_node_rec &r = node(id);
        if (w.json && r.kind() != ZARVEL_KIND_ALIAS && !has_properties(r)) {
            if (r.kind() == ZARVEL_KIND_SCALAR)
                json_scalar(r, key);
            else
                json_collection(id);
            return;
        }
        switch (r.kind()) {
        case ZARVEL_KIND_ALIAS: alias(r); return;
        case ZARVEL_KIND_SEQUENCE:
        case ZARVEL_KIND_MAPPING:
            if (!is_block_collection(r)) {
                flow(r);
            } else if (r.child_count == 0 || !valid(r.first_child)) {
                tag_prefix(r);
                anchor_prefix(r);
                put(w, r.kind() == ZARVEL_KIND_MAPPING ? "{}" : "[]");
            } else if (r.kind() == ZARVEL_KIND_MAPPING) {
                block_mapping(r, indent + 2);
            } else {
                block_sequence(r, indent + 2);
            }
            return;
        default:
            tag_prefix(r);
            anchor_prefix(r);
            scalar(r, uint64_t(indent < 0 ? 0 : indent), key);
            return;
        }
    }

    void flow_separator(uint64_t item_column) {
        if (w.compact) {
            put_byte(w, ',');
        } else if (w.width > 0 && w.column > uint64_t(w.width)) {
            put_byte(w, ',');
            put_byte(w, '\n');
            put_blanks(w, item_column);
        } else {
            put(w, ", ");
        }
    }

    void flow(const zarvel_node_rec &r) {
        tag_prefix(r);
        anchor_prefix(r);
        const bool mapping = r.kind() == ZARVEL_KIND_MAPPING;
        put_byte(w, mapping ? '{' : '[');
        const uint64_t item_column = w.column;
        ++w.flow_depth;
        bool first = true;
        for (uint32_t child = r.first_child; valid(child);) {
            if (!first) flow_separator(item_column);
            first = false;
            if (!mapping) {
                write_node(child, 0, false);
                child = node(child).next_sibling;
                continue;
            }
            const zarvel_node_rec &k = node(child);
            const uint32_t value = k.next_sibling;
            if (k.kind() != ZARVEL_KIND_SCALAR || has_properties(k) ||
                (block_mode() && zarvel_span_length(k.value) > longest_implicit_key)) {
                put(w, "? ");
                write_node(child, 0, true);
                put(w, " : ");
            } else {
                write_node(child, 0, true);
                put(w, w.compact ? ":" : ": ");
            }
            if (!valid(value)) break;
            write_node(value, 0, false);
            child = node(value).next_sibling;
        }
        --w.flow_depth;
        put_byte(w, mapping ? '}' : ']');
    }

    // The value after "key:" (or after the ":" line of a complex key): a
    // non-empty block collection goes on the next lines, anything else after
    // a blank.
    void mapping_value(uint32_t value, uint64_t n) {
        if (!valid(value)) return;
        const zarvel_node_rec &v = node(value);
        if (is_block_collection(v) && v.child_count > 0 && valid(v.first_child)) {
            block_properties(v);
            put_byte(w, '\n');
            if (v.kind() == ZARVEL_KIND_SEQUENCE) {
                put_blanks(w, n);
                write_node(value, int64_t(n) - 2, false);
            } else {
                // write_node adds the 2 of a "- " item; a mapping value
                // goes in by the indent option instead.
                put_blanks(w, n + w.indent);
                write_node(value, int64_t(n) + w.indent - 2, false);
            }
            return;
        }
        if (is_empty_plain(v) && block_mode()) return;
        put_byte(w, ' ');
        write_node(value, int64_t(n), false);
    }

    // The value after the ":" line of a complex key: ": " and the node, whose
    // block children then stand at n + 2. A block collection with properties
    // gets them on the ":" line and starts on the next line at n + 2.
    void complex_key_value(uint32_t value, uint64_t n) {
        if (!valid(value)) return;
        const zarvel_node_rec &v = node(value);
        if (is_block_collection(v) && v.child_count > 0 && valid(v.first_child) && has_properties(v)) {
            block_properties(v);
            put_byte(w, '\n');
            put_blanks(w, n + 2);
            write_node(value, int64_t(n), false);
            return;
        }
        if (is_empty_plain(v) && block_mode()) return;
        put_byte(w, ' ');
        write_node(value, int64_t(n), false);
    }

    // plain_printable of a node's text; a short one is read in the 16 bytes
    // that end with it when its buffer holds them.
    static bool backed(zarvel_span span) { return uint64_t(zarvel_span_offset(span)) + zarvel_span_length(span) >= 16; }
    static bool printable(zarvel_span span, std::string_view t) {
        return backed(span) ? plain_printable_backed(t.data(), t.size()) : plain_printable(t.data(), t.size());
    }

    // A plain key that stays plain, without tag or anchor, and its value: a
    // plain scalar that stays plain ends the line, a non-empty block
    // collection without properties starts on the next line at the blanks
    // written here (its first entry then writes no indentation), any other
    // value goes through mapping_value. Key line and blanks in one write.
    // False when the key needs the general path (nothing written then,
    // nothing decided either).
    bool plain_key_line(const zarvel_node_rec &k, uint32_t value, uint64_t n, bool first) {
        if (k.kind() != ZARVEL_KIND_SCALAR || effective_style(k) != uint8_t(node_style::plain) || has_properties(k))
            return false;
        const std::string_view kt = text(k.value);
        if (kt.empty() || kt.size() > longest_implicit_key) return false;
        if (!keys.printable(kt.data(), kt.size(), backed(k.value))) return false;

        const zarvel_node_rec &v = node(value);
        enum { same_line, next_line, general } shape = general;
        std::string_view vt;
        // Blanks on the next line for a collection.
        uint64_t below = 0;
        if (v.kind() == ZARVEL_KIND_SCALAR) {
            if (effective_style(v) == uint8_t(node_style::plain) && !has_properties(v)) {
                vt = text(v.value);
                if (vt.empty() || printable(v.value, vt)) shape = same_line;
            }
        } else if (v.kind() != ZARVEL_KIND_ALIAS && !flows(v) && v.child_count > 0 && valid(v.first_child) &&
                   !has_properties(v)) {
            // In a block mapping: block mode, no flow around, no complex key.
            shape = next_line;
            below = v.kind() == ZARVEL_KIND_MAPPING ? n + w.indent : n;
        }
        if (shape != same_line) vt = {};

        const uint64_t line_feed = !first && w.last != '\n' ? 1 : 0;
        const uint64_t indent = first ? 0 : n;
        const uint64_t head = line_feed + indent + kt.size() + 1;
        const uint64_t total = head + (shape == next_line ? 1 + below : vt.empty() ? 0 : 1 + vt.size());
        if (char *p = writer_room(w, total)) {
            if (line_feed) *p++ = '\n';
            fill_blanks(p, indent);
            p += indent;
            zvl::copy_run(p, kt.data(), kt.size());
            p += kt.size();
            *p++ = ':';
            w.length += total;
            if (shape == next_line) {
                *p++ = '\n';
                fill_blanks(p, below);
                w.column = below;
                w.last = below ? ' ' : '\n';
            } else {
                if (!vt.empty()) {
                    *p++ = ' ';
                    zvl::copy_run(p, vt.data(), vt.size());
                }
                w.column = (line_feed ? 0 : w.column) + total - line_feed;
                w.last = uint8_t(vt.empty() ? ':' : vt.back());
            }
        } else {
            if (!first) {
                put_line_end(w);
                put_blanks(w, n);
            }
            put(w, kt);
            put_byte(w, ':');
            if (shape == next_line) {
                put_byte(w, '\n');
                put_blanks(w, below);
            } else if (!vt.empty()) {
                put_byte(w, ' ');
                put(w, vt);
            }
        }
        if (shape == next_line) {
            if (v.kind() == ZARVEL_KIND_MAPPING)
                block_mapping(v, below);
            else
                block_sequence(v, below);
        } else if (shape == general) {
            mapping_value(value, n);
        }
        return true;
    }

    void block_mapping(const zarvel_node_rec &map, uint64_t n) {
        bool first = true;
        for (uint32_t key = map.first_child; valid(key);) {
            const zarvel_node_rec &k = node(key);
            const uint32_t value = k.next_sibling;
            if (valid(value) && plain_key_line(k, value, n, first)) {
                first = false;
                key = node(value).next_sibling;
                continue;
            }
            if (!first) {
                put_line_end(w);
                put_blanks(w, n);
            }
            first = false;
            if (k.kind() != ZARVEL_KIND_SCALAR || zarvel_span_length(k.value) > longest_implicit_key) {
                // Complex key: "? key" then ": value" on the next line. Its
                // tag and anchor stand only in front of its flow form.
                const bool scalar_key = k.kind() == ZARVEL_KIND_SCALAR;
                w.in_complex_key = !scalar_key;
                put(w, "? ");
                write_node(key, int64_t(n), true);
                w.in_complex_key = false;
                put_byte(w, '\n');
                put_blanks(w, n);
                put_byte(w, ':');
                complex_key_value(value, n);
            } else {
                tag_prefix(k);
                anchor_prefix(k);
                scalar(k, n, true);
                put_byte(w, ':');
                mapping_value(value, n);
            }
            if (!valid(value)) break;
            key = node(value).next_sibling;
        }
    }

    // An item that is a plain-styled scalar staying plain, without tag or
    // anchor: the whole line in one write. False when the item needs the
    // general path (nothing written then).
    bool plain_item_line(const zarvel_node_rec &r, uint64_t n, bool first) {
        if (r.kind() != ZARVEL_KIND_SCALAR || effective_style(r) != uint8_t(node_style::plain) || has_properties(r))
            return false;
        const std::string_view t = text(r.value);
        if (t.empty()) return false;
        if (!printable(r.value, t)) return false;
        const uint64_t line_feed = !first && w.last != '\n' ? 1 : 0;
        const uint64_t indent = first ? 0 : n;
        const uint64_t total = line_feed + indent + 2 + t.size();
        char *p = writer_room(w, total);
        if (!p) return false;
        if (line_feed) *p++ = '\n';
        fill_blanks(p, indent);
        p += indent;
        *p++ = '-';
        *p++ = ' ';
        zvl::copy_run(p, t.data(), t.size());
        w.length += total;
        w.column = (line_feed ? 0 : w.column) + total - line_feed;
        w.last = uint8_t(t.back());
        return true;
    }

    void block_sequence(const zarvel_node_rec &seq, uint64_t n) {
        bool first = true;
        for (uint32_t item = seq.first_child; valid(item); item = node(item).next_sibling) {
            if (plain_item_line(node(item), n, first)) {
                first = false;
                continue;
            }
            if (!first) {
                put_line_end(w);
                put_blanks(w, n);
            }
            first = false;
            const zarvel_node_rec &r = node(item);
            if (is_empty_plain(r)) {
                put(w, "-");
                put_byte(w, '\n');
                continue;
            }
            put(w, "- ");
            if (is_block_collection(r) && r.child_count > 0 && has_properties(r)) {
                block_properties(r);
                put_byte(w, '\n');
                put_blanks(w, n + 2);
            }
            write_node(item, int64_t(n), false);
        }
    }

    // ---- documents -----------------------------------------------------------

    void json_stream() {
        uint32_t index = w.json_document;
        if (index == zarvel_node_none) {
            if (store->root_count != 1) return;
            index = 0;
        }
        if (index >= store->root_count) return;
        const uint32_t root = store->roots[index];
        write_node(root, -2, false);
        if (valid(root) && node(root).kind() != ZARVEL_KIND_SCALAR) put_line_end(w);
    }

    void yaml_stream() {
        const bool several = store->root_count > 1 || w.canonical;
        for (uint32_t i = 0; i < store->root_count; ++i) {
            const uint32_t root = store->roots[i];
            const zarvel_node_rec *r = valid(root) ? &node(root) : nullptr;
            if (w.explicit_start) {
                put(w, r && r->kind() == ZARVEL_KIND_SCALAR && !r->is_flow() ? "--- " : "---\n");
            } else if (several || !r || (is_empty_plain(*r) && block_mode())) {
                // A lone document that writes nothing still needs its marker,
                // or reading the text back would find no document at all.
                put(w, "---\n");
            }
            if (r && is_block_collection(*r) && r->child_count > 0 && has_properties(*r)) {
                // Separated by a blank: a tag and an anchor are two tokens.
                std::string_view tag = text(tag_of(*r)), anchor = text(zarvel_store_anchor(store, *r));
                if (!tag.empty()) {
                    put(w, "!<");
                    write_percent_encoded(w, tag);
                    put_byte(w, '>');
                }
                if (!anchor.empty()) {
                    if (!tag.empty()) put_byte(w, ' ');
                    put_byte(w, '&');
                    put(w, anchor);
                }
                put_byte(w, '\n');
            }
            write_node(root, -2, false);
            put_line_end(w);
        }
    }
};

}  // namespace

void serialize_pass(zarvel_writer &w) {
    emitter e{w, w.store, {}};
    if (w.json)
        e.json_stream();
    else
        e.yaml_stream();
}

}  // namespace zvl
