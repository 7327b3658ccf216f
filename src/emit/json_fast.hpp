// JSON written from the node store straight into the writer's buffer, with
// the output position held in a local cursor: the collections and common
// scalars of the serialiser's JSON mode and of plain JSON. A node the fast
// writer does not take (an alias, a tagged node, a mapping that needs merging
// or deduplicating, an unusual scalar text), and any write the target cannot
// give the room for, goes to its host's general path, which writes the same
// bytes the fast writer would have.
//
// A host provides:
//   static constexpr bool plain          plain JSON (else the serialiser)
//   bool general_value(id, depth)        any node, through the general path
//   bool general_key(id, depth)          a mapping key and what follows it
//   plain only: step *path(), uint64_t &emitted(), options()
// The general calls run with the cursor handed back to the writer.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "emit/decimal_text.hpp"
#include "emit/format_double.hpp"
#include "emit/key_table.hpp"
#include "emit/shortest_fast.hpp"
#include "emit/plain_walk.hpp"
#include "emit/scalar_text.hpp"
#include "emit/writer.hpp"

namespace zvl::json_fast {

// The writer's output position in locals. Bytes are written at `at` after a
// successful room(n) and committed by moving `at`; sync() hands the position
// back to the writer before anything else writes, load() takes it again.
class cursor {
  public:
    explicit cursor(zarvel_writer &w) : w_(w) { load(); }
    cursor(const cursor &) = delete;
    cursor &operator=(const cursor &) = delete;

    char *at = nullptr;

    // Room for n bytes at `at`; false when the target cannot give it (the
    // caller then writes through the general path).
    bool room(uint64_t n) { return uint64_t(limit_ - at) >= n || refill(n); }
    void sync() {
        if (at == mark_) return;
        w_.length = uint64_t(at - w_.buffer);
        w_.column += uint64_t(at - mark_);  // JSON text written here holds no line feed
        w_.last = uint8_t(at[-1]);
        mark_ = at;
    }
    void load() {
        if (w_.room_end == 0 || !w_.buffer) {
            at = mark_ = limit_ = nullptr;
            return;
        }
        at = mark_ = w_.buffer + w_.length;
        limit_ = w_.room_end > w_.length ? w_.buffer + w_.room_end - 1 : at;
    }
    // One byte, through the general path when there is no room.
    void byte(char c) {
        if (room(1)) {
            *at++ = c;
            return;
        }
        sync();
        put_byte(w_, c);
        load();
    }
    // The first n bytes of ", " (n is 1 or 2).
    void separator(uint32_t n) {
        if (room(2)) {
            at[0] = ',';
            at[1] = ' ';
            at += n;
            return;
        }
        sync();
        put(w_, n == 1 ? std::string_view(",") : std::string_view(", "));
        load();
    }
    char *limit() const { return limit_; }
    // Bytes produced so far, and the output cut back to such a count (not
    // past what a stream has delivered).
    uint64_t position() {
        sync();
        return w_.handed_over + w_.length;
    }
    void rewind(uint64_t position) {
        sync();
        w_.length = position - w_.handed_over;
        w_.last = w_.buffer && w_.length && w_.room_end ? uint8_t(w_.buffer[w_.length - 1]) : 0;
        load();
    }

  private:
    // Flushes a stream buffer or grows a growable one.
    __attribute__((noinline)) bool refill(uint64_t n) {
        if (!at) return false;
        sync();
        if (w_.callback) {
            writer_flush(w_);
        } else if (!writer_reserve_slow(w_, n)) {
            load();
            return false;
        }
        load();
        return uint64_t(limit_ - at) >= n;
    }

    zarvel_writer &w_;
    char *mark_ = nullptr;  // where the writer's own position stands
    char *limit_ = nullptr;
};

// Optional "-", then "0" or digits without a leading zero: a JSON integer.
inline bool json_integer(std::string_view t) {
    const char *p = t.data(), *end = p + t.size();
    if (p != end && *p == '-') ++p;
    if (p == end || (*p == '0' && end - p > 1)) return false;
    for (; p != end; ++p)
        if (uint8_t(*p - '0') > 9) return false;
    return true;
}

// "text" for a body with nothing to escape, moved as it stands; `backed` as
// for write_json_string_short. Up to eight bytes past the closing quote may
// be written.
inline char *quoted_as_is(char *out, std::string_view text, bool backed) {
    const size_t n = text.size();
    out[0] = '"';
    if (n && n < 8 && backed) {
        const uint64_t b = word::load(text.data() + n - 8) >> (8 * (8 - n));
        std::memcpy(out + 1, &b, 8);
    } else if (n > 16 && n <= 32) {
        // Two overlapping 16-byte moves: a longer key or a URL without the
        // library call.
        char head[16], tail[16];
        std::memcpy(head, text.data(), 16);
        std::memcpy(tail, text.data() + n - 16, 16);
        std::memcpy(out + 1, head, 16);
        std::memcpy(out + n - 15, tail, 16);
    } else {
        copy_run(out + 1, text.data(), n);
    }
    out[n + 1] = '"';
    return out + n + 2;
}

template <typename Host>
class writer {
  public:
    // compact: "," and ":" between items, else ", " and ": ".
    writer(Host &host, zarvel_writer &w, bool compact)
        : host_(host),
          store_(w.store),
          nodes_(w.store->nodes),
          props_(w.store->props),
          strings_(w.store->strings),
          input_(w.store->input),
          node_count_(w.store->node_count),
          out_(w),
          separator_(compact ? 1 : 2),
          checking_(Host::plain && !w.callback),
          checked_(w.store->json_checked != 0) {
        if constexpr (Host::plain) budget_ = host.options().budget;
    }

    // Plain output: false from value() means "walk it again through the
    // plain walk" (from the output position it started at), not a failure.
    bool checking() const { return checking_; }
    writer(const writer &) = delete;
    writer &operator=(const writer &) = delete;

    // A node at `depth` (plain: the host's path holds the steps above it);
    // false after a failure of the general path, or (checking()) with the
    // output taken back to where it started.
    bool value(uint32_t id, uint32_t depth) {
        const uint64_t start = checking_ ? out_.position() : 0;
        if constexpr (Host::plain) emitted_ = host_.emitted();
        const bool json_store = checked_ && !props_;
        bool ok;
        if (Host::plain && checking_)
            ok = json_store ? walk<true, Host::plain>(id, depth) : walk<false, Host::plain>(id, depth);
        else
            ok = json_store ? walk<true, false>(id, depth) : walk<false, false>(id, depth);
        if constexpr (Host::plain) host_.emitted() = emitted_;
        if (!ok && checking_) out_.rewind(start);
        out_.sync();
        return ok;
    }

  private:
    // Mappings of up to this many keys compare them pairwise.
    static constexpr uint32_t small_mapping = 8;

    const zarvel_node_rec &rec(uint32_t id) const { return nodes_[id]; }
    // A text a JSON parse checked: a string body with nothing to escape, or
    // a number or literal (an int-typed one a JSON integer).
    bool checked(zarvel_span span) const { return checked_ && !zarvel_span_in_strings(span); }
    bool valid(uint32_t id) const { return id < node_count_; }
    std::string_view text(zarvel_span span) const {
        const uint32_t length = zarvel_span_length(span);
        if (length == 0) return {};
        return {(zarvel_span_in_strings(span) ? strings_ : input_) + zarvel_span_offset(span), length};
    }

    // A node (a key and what follows it when `key` is set) through the
    // host's general path, the fill state and budget handed over and back.
    bool general(uint32_t id, uint32_t depth, bool key = false) {
        out_.sync();
        if constexpr (Host::plain) host_.emitted() = emitted_;
        const bool ok = key ? host_.general_key(id, depth) : host_.general_value(id, depth);
        if constexpr (Host::plain) emitted_ = host_.emitted();
        out_.load();
        return ok;
    }
    static void store2(char *p, char a, char b) {
        p[0] = a;
        p[1] = b;
    }

    // Without tag or anchor.
    static bool bare(const zarvel_node_props *props, uint32_t id) {
        return !props || zarvel_span_length(props[id].tag | props[id].anchor) == 0;
    }
    static plain::step *path_of(Host &host) {
        if constexpr (Host::plain) {
            return host.path();
        } else {
            (void)host;
            return nullptr;
        }
    }

    // What is open: nothing (the walk is done), a sequence or a mapping.
    enum : uint8_t { none_open, sequence_open, mapping_open };
    // The state of a collection while one inside it is open: its next child
    // (a key in a mapping), and for plain output the next child's position
    // (a mapping's: where its listed keys start, plus one; 0 when it lists
    // none) and its key bits (`seen`), and the id of the one open inside it
    // (`self`, read when that closes rather than held in a register). The
    // separator before that child is the comma: the open one followed
    // another child or key.
    struct frame {
        uint32_t next;
        uint32_t index;
        uint32_t self;
        uint8_t open;
        uint64_t seen;
    };
    // Collections open at once in one walk. A deeper one goes to the
    // general path, which (in the serialiser) starts a walk of its own.
    static constexpr uint32_t most_open = 64;

    // The node `id` at `depth` and everything below it, in one loop: the
    // innermost open collection's state is held in locals, those of the
    // collections around it on an explicit stack, so that a collection
    // costs a push and a pop rather than a call. The tables and the output
    // position are locals too: the output's byte stores may alias any
    // memory, members among it, which would be loaded again after each.
    //
    // json_store: the store of a JSON parse without tags or anchors, whose
    // in-place texts are all checked.
    // checking: checking_, fixed for the walk (one value fewer held across
    // its loop).
    template <bool json_store, bool checking>
    bool walk(uint32_t root, uint32_t depth) {
        const zarvel_node_rec *const nodes = nodes_;
        const zarvel_node_props *const props = json_store ? nullptr : props_;
        const char *const input = input_;
        const uint32_t count = node_count_, comma = separator_;
        // A key's closing quote and ": " in one store (little-endian bytes).
        const uint32_t key_end = '"' | ':' << 8 | ' ' << 16;
        const bool checked_input = json_store || checked_;
        char *at = out_.at, *limit = out_.limit();
        // Plain output: the output nodes the budget has left (one register
        // rather than a count and its bound), the path.
        uint64_t left = emitted_ < budget_ ? budget_ - emitted_ : 0;
        plain::step *const path = path_of(host_);
        // A call that writes through out_ (or counts through emitted_), the
        // position and count handed over and back.
        auto via_out = [&](auto call) __attribute__((always_inline)) {
            out_.at = at;
            if constexpr (Host::plain) emitted_ = budget_ - left;
            const bool ok = call();
            at = out_.at;
            limit = out_.limit();
            if constexpr (Host::plain) left = emitted_ < budget_ ? budget_ - emitted_ : 0;
            return ok;
        };
        auto room = [&](uint64_t n) __attribute__((always_inline)) {
            return uint64_t(limit - at) >= n || via_out([&]() __attribute__((always_inline)) { return out_.room(n); });
        };
        auto byte = [&](char c) __attribute__((always_inline)) {
            if (room(1)) {
                *at++ = c;
                return;
            }
            via_out([&]() __attribute__((always_inline)) {
                out_.byte(c);
                return true;
            });
        };
        auto separator = [&](uint32_t n) __attribute__((always_inline)) {
            if (n == 0) return;
            if (room(2)) {
                store2(at, ',', ' ');
                at += n;
                return;
            }
            via_out([&]() __attribute__((always_inline)) {
                out_.separator(n);
                return true;
            });
        };
        // A text a JSON parse checked (in place, not in string storage).
        auto checked = [&](zarvel_span span) __attribute__((always_inline)) {
            return checked_input && !zarvel_span_in_strings(span);
        };

        // The stack of the collections around the innermost open one: `sp`
        // past its top.
        frame stack[most_open];
        frame *sp = stack, *const stack_end = stack + most_open;
        // The innermost open collection: its next child (a key in a
        // mapping), the separator before that, what it is, and for plain
        // output the next child's position (as in frame).
        uint32_t next = zarvel_node_none, sep = 0, index = 0;
        uint8_t open = none_open;
        // Plain output, a small mapping: one bit per key written, placed by
        // its length and end bytes, and the top bit once two keys took the
        // same one; only then are its keys compared when it closes.
        uint64_t seen = 0;
        constexpr uint64_t seen_twice = uint64_t(1) << 63;
        // Plain output: the depth of its children, kept as it opens and
        // closes rather than counted from the stack at each child.
        uint32_t inner = depth;

        // The n input bytes at `offset` to `out`, and up to 32 bytes more:
        // texts of up to 32 bytes (nearly all) in one move of 32, without
        // the branches on their length, when the input holds 32 from there.
        const uint64_t input_len = store_->input_len;
        auto move_text = [&](char *out, uint32_t offset, uint32_t n) __attribute__((always_inline)) {
            const char *t = input + offset;
            // The input further on, where the texts to come lie (in document
            // order): on a larger document they otherwise come late from
            // memory. A prefetch past the input's end is harmless.
            __builtin_prefetch(t + 512);
            if (n <= 32 && uint64_t(offset) + 32 <= input_len) {
                // Two halves, each a register: one block of 32 went through
                // the stack.
                char head[16], tail[16];
                std::memcpy(head, t, 16);
                std::memcpy(tail, t + 16, 16);
                std::memcpy(out, head, 16);
                std::memcpy(out + 16, tail, 16);
            } else {
                copy_run(out, t, n);
            }
        };
        // Those bytes quoted, `close` being the closing quote and up to three
        // bytes after it; the result points past the quote.
        auto quoted = [&](char *out, uint32_t offset, uint32_t n, uint32_t close) __attribute__((always_inline)) {
            out[0] = '"';
            move_text(out + 1, offset, n);
            std::memcpy(out + n + 1, &close, 4);
            return out + n + 2;
        };

        // A string, integer or literal whose text a JSON parse checked,
        // after `node_sep` bytes of ", ": that text as scalar() writes it.
        // False with nothing written for any other.
        auto checked_scalar = [&](const zarvel_node_rec &r, uint32_t node_sep) __attribute__((always_inline)) {
            const zarvel_span span = r.value;
            if (!checked(span)) return false;
            const uint32_t n = zarvel_span_length(span), offset = zarvel_span_offset(span);
            if (r.tag_id == ZARVEL_TAG_STR) {
                if (!room(n + 48)) return false;
                store2(at, ',', ' ');
                at = quoted(at + node_sep, offset, n, '"');
                return true;
            }
            if (r.tag_id == ZARVEL_TAG_FLOAT) {
                // Formatted here only from a kept value, without the call
                // to scalar() and the registers it saves; by the inline
                // formatter, which the compiler may keep out of line in this
                // unit (measured faster than the library's exported call).
                if (!from_kept_value(r, n) || !room(2 + 32)) return false;
                store2(at, ',', ' ');
                const int32_t written = write_double(at + node_sep, zarvel_record_kept<double>(r));
                if (written == 0) return false;
                at += node_sep + uint32_t(written);
                return true;
            }
            constexpr uint32_t as_they_stand = 1u << ZARVEL_TAG_INT | 1u << ZARVEL_TAG_BOOL | 1u << ZARVEL_TAG_NULL;
            if (!(as_they_stand >> r.tag_id & 1) || n == 0) return false;
            if constexpr (Host::plain) {
                if (r.tag_id == ZARVEL_TAG_INT && n > 18) return false;  // scalar() decides
            }
            if (!room(n + 48)) return false;
            store2(at, ',', ' ');
            at += node_sep;
            move_text(at, offset, n);
            at += n;
            return true;
        };

        // A float written from its kept value: a checked scalar without
        // tag or anchor, as checked_scalar() takes it.
        auto kept_float = [&](uint32_t id) __attribute__((always_inline)) {
            if (id >= count) return false;
            const zarvel_node_rec &r = nodes[id];
            return r.kind() == ZARVEL_KIND_SCALAR && r.tag_id == ZARVEL_TAG_FLOAT && bare(props, id) &&
                   checked(r.value) && from_kept_value(r, zarvel_span_length(r.value));
        };
        // The sequence of the two items from `first` after `node_sep` bytes
        // of ", " when both are such floats; false with nothing written
        // otherwise.
        auto kept_pair = [&](uint32_t first, uint32_t node_sep) __attribute__((always_inline)) {
            if constexpr (Host::plain) {
                if (left < 3) return false;
            }
            const uint32_t second = first < count ? nodes[first].next_sibling : zarvel_node_none;
            if (!kept_float(first) || !kept_float(second) || !room(2 + 1 + 32 + 2 + 32 + 1)) return false;
            store2(at, ',', ' ');
            char *p = at + node_sep;
            *p++ = '[';
            const int32_t n = write_double(p, zarvel_record_kept<double>(nodes[first]));
            if (n == 0) return false;
            p += n;
            store2(p, ',', ' ');
            p += comma;
            const int32_t m = write_double(p, zarvel_record_kept<double>(nodes[second]));
            if (m == 0) return false;
            p[m] = ']';
            at = p + m + 1;
            if constexpr (Host::plain) left -= 3;
            return true;
        };

        // The node `id` at `depth` after `node_sep` bytes of ", ": 1 when
        // it opened a collection (now the innermost), 0 when written, -1
        // after a failure.
        auto value = [&](uint32_t id, uint32_t node_sep, uint32_t depth) __attribute__((always_inline))->int {
            if (id >= count) return 0;
            // Node ids follow document order, as the writer does: the
            // record 3 KiB on is loaded ahead of its turn (nearer ones still
            // come late from memory on large documents).
            __builtin_prefetch(nodes + id + 96);
            const zarvel_node_rec &r = nodes[id];
            // Nodes written here (aliases aside): the serialiser's without
            // tag or anchor, plain ones within the budget and nesting limit.
            bool taken;
            if constexpr (Host::plain) {
                taken = left != 0;  // the depth is checked once, at the root
            } else {
                taken = bare(props, id);
            }
            if (r.kind() == ZARVEL_KIND_SCALAR) {
                if (taken) {
                    if constexpr (Host::plain) --left;
                    if (checked_scalar(r, node_sep) ||
                        via_out([&]() __attribute__((always_inline)) { return scalar(r, node_sep); }))
                        return 0;
                    if constexpr (Host::plain) ++left;  // the general path counts it again
                }
            } else if (taken && r.kind() != ZARVEL_KIND_ALIAS) {
                const bool mapping = r.kind() == ZARVEL_KIND_MAPPING;
                bool as_is = true;
                if constexpr (Host::plain) {
                    // Merge keys, duplicates, keys of other types: the plain walk.
                    as_is = !mapping || checking || plain_pairs(r);
                }
                // An empty one ("blockIds": []) written whole, without a
                // frame to push and pop.
                if (as_is && r.first_child >= count && room(4)) {
                    if constexpr (Host::plain) --left;
                    store2(at, ',', ' ');
                    at += node_sep;
                    store2(at, mapping ? '{' : '[', mapping ? '}' : ']');
                    at += 2;
                    return 0;
                }
                if (as_is && sp != stack_end) {
                    // Two numbers ([x, y], coordinates mostly) written whole,
                    // without a frame or a walk of the items.
                    if (!mapping && r.child_count == 2 && kept_pair(r.first_child, node_sep)) return 0;
                    if constexpr (Host::plain) --left;
                    separator(node_sep);
                    byte(mapping ? '{' : '[');
                    frame &f = *sp++;
                    f.next = next;
                    f.open = open;
                    if constexpr (Host::plain) {
                        f.index = index;
                        f.self = id;
                        f.seen = seen;
                        seen = 0;
                        // A large mapping lists its keys as they are written
                        // (while their texts are at hand), its index the
                        // list's start plus one.
                        index = mapping && r.child_count / 2 > small_mapping ? uint32_t(keys_.size()) + 1 : 0;
                        ++inner;
                    }
                    next = r.first_child;
                    open = mapping ? mapping_open : sequence_open;
                    sep = 0;
                    return 1;
                }
            }
            separator(node_sep);
            return via_out([&]() __attribute__((always_inline)) { return general(id, depth); }) ? 0 : -1;
        };
        // The walk's end: the position handed back to out_.
        auto done = [&](bool ok) __attribute__((always_inline)) {
            out_.at = at;
            if constexpr (Host::plain) emitted_ = budget_ - left;
            return ok;
        };

        // The depth of the innermost open collection's children (the
        // serialiser's general path takes no depth).
        auto level = [&]() __attribute__((always_inline)) { return Host::plain ? inner : depth; };
        {
            // Nesting within the stack's reach of the root needs no check
            // at each node; deeper goes to the general path, which fails it.
            if constexpr (Host::plain) {
                if (depth + most_open >= plain::max_depth) return done(via_out([&]() { return general(root, depth); }));
            }
            const int opened = value(root, 0, depth);
            if (opened <= 0) return done(opened == 0);
        }
    next_child:
        if (open == mapping_open) goto next_pair;
        if (open != sequence_open) return done(true);
        // A sequence's items.
        for (;;) {
            const uint32_t id = next;
            if (id >= count) break;
            if constexpr (Host::plain) path[level() - 1] = {zarvel_node_none, index++};
            next = nodes[id].next_sibling;
            const uint32_t item_sep = sep;
            sep = comma;
            const int opened = value(id, item_sep, level());
            if (opened != 0) {
                if (opened < 0) return done(false);
                goto next_child;
            }
        }
        byte(']');
        goto close;
    next_pair:
        // A mapping's keys and values.
        for (;;) {
            const uint32_t key = next;
            if (key >= count) break;
            const zarvel_node_rec &k = nodes[key];
            const uint32_t id = k.next_sibling;
            if constexpr (Host::plain) {
                path[level() - 1] = {key, 0};
                // plain_key() with the store's tables in locals; the merge
                // key's test only for a two-byte plain key.
                if (checking && (k.kind() != ZARVEL_KIND_SCALAR || k.tag_id != ZARVEL_TAG_STR || id >= count ||
                                 (k.is_plain_implicit() && zarvel_span_length(k.value) == 2 && !plain_key(k)) ||
                                 (index && !keys_.push_back({fingerprint(k.value), key}))))
                    return done(false);
                if (checking && !index) {
                    const zarvel_span span = k.value;
                    const uint64_t bit =
                        key_bit((zarvel_span_in_strings(span) ? strings_ : input) + zarvel_span_offset(span),
                                zarvel_span_length(span));
                    if (seen & bit) seen |= seen_twice;
                    seen |= bit;
                }
            }
            // A string key whose text a JSON parse checked, as mapping_key()
            // writes it.
            bool quick;
            if constexpr (Host::plain) {
                quick = left != 0;  // plain_pairs let only string-typed scalars through
            } else {
                quick = k.kind() == ZARVEL_KIND_SCALAR && k.tag_id != ZARVEL_TAG_BINARY && bare(props, key);
            }
            const zarvel_span span = k.value;
            const uint32_t n = zarvel_span_length(span);
            if (quick && checked(span) && room(n + 48)) {
                if constexpr (Host::plain) --left;
                store2(at, ',', ' ');
                at = quoted(at + sep, zarvel_span_offset(span), n, key_end) + comma;
            } else if (!via_out([&]() __attribute__((always_inline)) {
                           return mapping_key(key, k, level() - 1, sep, comma);
                       })) {
                return done(false);
            }
            sep = comma;
            if (id >= count) break;  // a key without a value ends its mapping
            next = nodes[id].next_sibling;
            const int opened = value(id, 0, level());
            if (opened != 0) {
                if (opened < 0) return done(false);
                goto next_child;
            }
        }
        if constexpr (Host::plain) {
            // Its duplicates looked for once it is written: a small one's
            // among the records the walk just read.
            if (checking) {
                const bool distinct =
                    index ? distinct_listed(index - 1) : !(seen & seen_twice) || distinct_keys(nodes[sp[-1].self]);
                if (index) keys_.resize_down(index - 1);
                if (!distinct) return done(false);
            }
        }
        byte('}');
    close : {
        const frame &f = *--sp;
        next = f.next;
        open = f.open;
        sep = comma;
        if constexpr (Host::plain) {
            index = f.index;
            seen = f.seen;
            --inner;
        }
    }
        goto next_child;
    }
    // Whether a float's text is written from the value the build kept: for
    // a long text (15 to 17 digits, mostly) the value formatted costs less
    // than the text cut to its shortest, while a short text is mostly copied
    // as it stands. The same shortest text either way.
    static bool from_kept_value(const zarvel_node_rec &r, size_t text_length) {
        return text_length >= 16 && r.number == record_number::kept;
    }

    // A scalar value the fast writer takes, after its separator; false with
    // nothing written for any other.
    bool scalar(const zarvel_node_rec &r, uint32_t sep) {
        const std::string_view t = text(r.value);
        switch (r.tag_id) {
        case ZARVEL_TAG_STR: return string(r, sep, 0);
        case ZARVEL_TAG_INT:
            if constexpr (Host::plain) {
                // As the plain walk: at most 18 digits are taken as they stand.
                const size_t digits = t.size() - (!t.empty() && t[0] == '-');
                if (digits > 18) return false;
            }
            return integer(t, r.value, sep);
        case ZARVEL_TAG_FLOAT: {
            if (!out_.room(2 + 32)) return false;
            char *p = out_.at;
            store2(p, ',', ' ');
            const int32_t n = from_kept_value(r, t.size()) ? format_double_value(p + sep, zarvel_record_kept<double>(r))
                                                           : format_decimal_text(p + sep, t.data(), t.size());
            if (n == 0) return false;
            out_.at = p + sep + n;
            return true;
        }
        case ZARVEL_TAG_BOOL:
            if constexpr (Host::plain) {
                if (t == "true" || t == "false") return bytes(t, sep);
                return false;
            } else {
                return bytes(json_bool_word(t), sep);
            }
        case ZARVEL_TAG_NULL: return bytes("null", sep);
        default:
            // The serialiser writes every other type as a string, bytes
            // from CBOR aside; plain output converts some (binary) and
            // resolves custom tags.
            if constexpr (Host::plain) return false;
            if (zarvel_store_raw_bytes(store_, r)) return false;
            return string(r, sep, 0);
        }
    }

    // A JSON integer text after the separator: up to 16 bytes checked and
    // moved in words (`backed` as for strings), others by the byte loop.
    bool integer(std::string_view t, zarvel_span span, uint32_t sep) {
        const size_t n = t.size();
        const char *s = t.data();
        if (n == 0 || n > 16 || (n < 8 && zarvel_span_offset(span) + n < 8)) {
            if (!json_integer(t)) return false;
            return bytes(t, sep);
        }
        // The sign's byte is no digit; a leading 0 stands alone.
        const uint64_t sign = s[0] == '-' ? 1 : 0;
        if (n == sign || (s[sign] == '0' && n - sign > 1)) return false;
        uint64_t first, last;
        uint64_t bad;
        if (n >= 8) {
            first = word::load(s);
            last = word::load(s + n - 8);
            // The sign lies in the first word, and in the last when n is 8.
            bad =
                (word::non_digits(first) & ~(sign << 7)) | (word::non_digits(last) & ~((sign & uint64_t(n == 8)) << 7));
        } else {
            first = word::load(s + n - 8) >> (8 * (8 - n));
            last = 0;
            bad = word::non_digits(first) & ~(sign << 7) & (~uint64_t(0) >> (8 * (8 - n)));
        }
        if (bad != 0 || !out_.room(2 + 16)) return false;
        char *p = out_.at;
        store2(p, ',', ' ');
        p += sep;
        std::memcpy(p, &first, 8);
        if (n > 8) std::memcpy(p + n - 8, &last, 8);
        out_.at = p + n;
        return true;
    }

    // A short run after the separator.
    bool bytes(std::string_view t, uint32_t sep) {
        if (!out_.room(2 + t.size())) return false;
        char *p = out_.at;
        store2(p, ',', ' ');
        copy_run(p + sep, t.data(), t.size());
        out_.at = p + sep + t.size();
        return true;
    }

    // A JSON string after the separator and before `colon` bytes of ": ".
    __attribute__((always_inline)) bool string(const zarvel_node_rec &r, uint32_t sep, uint32_t colon) {
        if (checked(r.value)) return as_is(r.value, sep, colon);
        if (checked_ && r.json_text != json_text::scan) return decoded_as_is(r, sep, colon);
        const std::string_view t = text(r.value);
        if (!out_.room(json_string_room(t.size()) + 4)) return false;
        char *p = out_.at;
        store2(p, ',', ' ');
        p = write_json_string_short(p + sep, t, uint64_t(zarvel_span_offset(r.value)) + t.size() >= 8);
        store2(p, ':', ' ');
        out_.at = p + colon;
        return true;
    }
    // The string of a text that needs no escape, as string() places it.
    __attribute__((always_inline)) bool as_is(zarvel_span span, uint32_t sep, uint32_t colon) {
        const std::string_view t = text(span);
        if (!out_.room(t.size() + 16)) return false;
        char *p = out_.at;
        store2(p, ',', ' ');
        p = quoted_as_is(p + sep, t, uint64_t(zarvel_span_offset(span)) + t.size() >= 8);
        store2(p, ':', ' ');
        out_.at = p + colon;
        return true;
    }
    // A text a JSON parse decoded whose JSON form it knows: the text itself,
    // or the raw body whose span stands before it.
    __attribute__((noinline)) bool decoded_as_is(const zarvel_node_rec &r, uint32_t sep, uint32_t colon) {
        zarvel_span span = r.value;
        if (r.json_text == json_text::raw_before)
            std::memcpy(&span, strings_ + zarvel_span_offset(span) - sizeof span, sizeof span);
        return as_is(span, sep, colon);
    }

    bool mapping_key(uint32_t id, const zarvel_node_rec &k, uint32_t depth, uint32_t sep, uint32_t colon) {
        if constexpr (Host::plain) {
            // plain_pairs let only string-typed scalars through.
            if (emitted_ < budget_) {
                ++emitted_;
                if (string(k, sep, colon)) return true;
                --emitted_;
            }
        } else {
            if (k.kind() == ZARVEL_KIND_SCALAR && bare(props_, id) && !zarvel_store_raw_bytes(store_, k) &&
                string(k, sep, colon))
                return true;
        }
        if (sep) out_.separator(sep);
        return general(id, depth, true);
    }

    // ---- plain mappings --------------------------------------------------
    //
    // Written as they stand when their keys are string-typed scalars, each
    // with a value, none a merge key, no two alike. Checked as they are
    // written when the output can be taken back (the caller then walks the
    // document again through the plain walk), else before.

    // A key that may stand as it is (its duplicates are looked for after).
    bool plain_key(const zarvel_node_rec &k) const {
        if (k.kind() != ZARVEL_KIND_SCALAR || k.tag_id != ZARVEL_TAG_STR || !valid(k.next_sibling)) return false;
        return !k.is_plain_implicit() || zarvel_span_length(k.value) != 2 || host_.options().keep_merge_keys ||
               text(k.value) != "<<";
    }
    // No two keys of mapping m alike, its keys plain_key()s: a small one
    // compared pairwise from the records (lengths first), a larger one
    // through the table.
    __attribute__((always_inline)) bool distinct_keys(const zarvel_node_rec &m) {
        if (m.child_count <= 2) return true;
        if (m.child_count <= 4) {  // two keys, the commonest: in line
            const zarvel_span a = rec(m.first_child).value;
            const uint32_t second = rec(rec(m.first_child).next_sibling).next_sibling;
            if (!valid(second)) return true;
            const zarvel_span b = rec(second).value;
            return !same_span_text(a, b);
        }
        return distinct_many(m);
    }
    __attribute__((noinline)) bool distinct_many(const zarvel_node_rec &m) {
        uint32_t key = m.first_child;
        if (m.child_count / 2 <= small_mapping) {
            zarvel_span spans[small_mapping];
            uint32_t seen = 0;
            for (; valid(key) && seen < small_mapping; key = rec(rec(key).next_sibling).next_sibling) {
                const zarvel_span span = rec(key).value;
                for (uint32_t j = 0; j < seen; ++j)
                    if (same_span_text(spans[j], span)) return false;
                spans[seen++] = span;
            }
            if (!valid(key)) return true;
        }
        const size_t base = keys_.size();
        for (key = m.first_child; valid(key); key = rec(rec(key).next_sibling).next_sibling)
            if (!keys_.push_back({fingerprint(rec(key).value), key})) return false;  // the plain walk reports it
        const bool distinct = distinct_listed(base);
        keys_.resize_down(base);
        return distinct;
    }
    // No two of keys_[base..] alike.
    bool distinct_listed(size_t base) {
        return key_table_.distinct(keys_.data() + base, keys_.data() + keys_.size(),
                                   [this](uint32_t a, uint32_t b) { return same_text(a, b); });
    }
    bool same_text(uint32_t a, uint32_t b) const { return text(rec(a).value) == text(rec(b).value); }
    // The same for two spans, their lengths compared first.
    bool same_span_text(zarvel_span a, zarvel_span b) const {
        return zarvel_span_length(a) == zarvel_span_length(b) && text(a) == text(b);
    }

    // Keys the plain walk would give as they stand, in order: string-typed
    // scalars, each with a value, none a merge key, no two alike.
    bool plain_pairs(const zarvel_node_rec &m) {
        uint32_t count = 0;
        for (uint32_t key = m.first_child; valid(key); ++count) {
            const zarvel_node_rec &k = rec(key);
            if (!plain_key(k)) return false;
            key = rec(k.next_sibling).next_sibling;
        }
        return count == m.child_count / 2 && distinct_keys(m);
    }
    // One of 63 bits for a key text (equal texts, the same bit): its length
    // and first and last bytes.
    static uint64_t key_bit(const char *t, uint32_t n) {
        if (n == 0) return 1;
        const uint32_t h = (n + uint32_t(uint8_t(t[0])) * 31u + uint32_t(uint8_t(t[n - 1])) * 7u) * 0x9E3779B1u;
        return uint64_t(1) << ((uint64_t(h) * 63) >> 32);
    }
    // A key's fingerprint, its buffer holding the word that ends a short
    // key when the key lies that far into it.
    uint64_t fingerprint(zarvel_span span) const {
        const std::string_view t = text(span);
        return plain::key_fingerprint(t, zarvel_span_offset(span) + t.size() >= 8);
    }

    Host &host_;
    const zarvel_node_store *store_;
    // The store's tables, held here: the output's byte stores may alias any
    // memory, so reading them through the store would load each again.
    const zarvel_node_rec *nodes_;
    const zarvel_node_props *props_;
    const char *strings_;
    const char *input_;
    uint32_t node_count_;
    cursor out_;
    uint32_t separator_;
    key_table key_table_;
    // Plain output that can be taken back (a buffer; not a stream, whose
    // bytes are handed over): mappings checked as written.
    bool checking_;
    // The store's in-place texts were checked by a JSON parse.
    bool checked_;
    buffer<key_print> keys_;  // the keys of the large mappings being checked
    // Plain output: the walk's count of output nodes while the fast writer
    // runs, and its budget.
    uint64_t emitted_ = 0;
    uint64_t budget_ = 0;
};

}  // namespace zvl::json_fast
