// Plain data out of a document: the walk shared by plain JSON and plain CBOR.
//
// The walk hands a sink what a mainstream loader would build from the
// document, never YAML properties: aliases are expanded (under a budget of
// output nodes, so that an alias bomb fails early), merge keys "<<" are
// applied with YAML 1.1 semantics, duplicate keys keep the last value at the
// place of the first (as a dictionary does), and scalars come with their
// resolved type. A sink receives:
//   scalar(value, id)            a scalar value (also for keys, with key set)
//   collection_key()             false when the format refuses such keys
//   begin(kind, count) / end(kind)
//   separator(index) / colon()   between items / after a key
// Each sink call may fail; the walk stops at the first failure.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/error.hpp"
#include "core/limits.hpp"
#include "core/memory.hpp"
#include "doc/store.hpp"
#include "emit/messages.hpp"
#include "zarvel.h"

namespace zvl::plain {

// binary: base64 text (a YAML !!binary scalar); bytes: the bytes themselves
// (a byte string read from CBOR).
enum class kind : uint8_t { null, boolean, integer, big_integer, floating, string, binary, bytes };

// A scalar as its resolved type. text is the scalar's text for every kind
// (the sinks convert floats, big integers and binary from it).
// Cheap fingerprint of a key text: its length and its first and last eight
// bytes (a short text read in the word that ends it when `backed`: its
// buffer holds that word). Equal texts have equal fingerprints; the texts
// decide.
inline uint64_t key_fingerprint(std::string_view t, bool backed = false) {
    uint64_t head = 0, tail = 0;
    const size_t n = t.size();
    if (n >= 8) {
        std::memcpy(&head, t.data(), 8);
        std::memcpy(&tail, t.data() + n - 8, 8);
    } else if (n > 0 && backed) {
        std::memcpy(&head, t.data() + n - 8, 8);
        head >>= 8 * (8 - n);
    } else {
        for (size_t i = 0; i < n; ++i) head |= uint64_t(uint8_t(t[i])) << (8 * i);
    }
    const uint64_t h = (head ^ (tail * 0x9E3779B97F4A7C15ull) ^ n) * 0xFF51AFD7ED558CCDull;
    return h ^ (h >> 29);
}

struct scalar {
    plain::kind kind;
    bool boolean;
    bool canonical;  // an integer whose text is its JSON form
    int64_t integer;
    std::string_view text;
};

// An integer beyond 64 bits: magnitude in 32-bit limbs, least significant
// first, with its sign.
struct big_integer {
    buffer<uint32_t> limbs;
    bool negative = false;
};

// Options of one call, defaults filled in.
struct settings {
    uint64_t budget;  // most output nodes
    bool keep_merge_keys;
    bool duplicates_fail;
    uint32_t non_finite;  // ZARVEL_PLAIN_NON_FINITE_*
};
settings settings_of(const zarvel_plain_options *options, const zarvel_node_store *store);

// Resolved type and value of a scalar node; the reason when its text does
// not read as its type (an int-tagged "abc"), else null.
const char *classify(const zarvel_node_store *store, uint32_t id, scalar &out);
// Reads a big integer text (sign, optional 0x / 0o / 0b prefix, digits);
// false when the text is not one, has more than 4300 digits, or memory ran
// out (limbs empty then).
bool read_big_integer(const zarvel_node_store *store, std::string_view text, big_integer &out);
// Decimal digits of the magnitude, most significant first, into out.
bool big_integer_decimal(const big_integer &value, buffer<char> &out);
// Float value of a float scalar's text (false: not a number).
bool read_float(std::string_view text, double &out);

// Base64 text with its blanks and line breaks left out, and the byte count
// it stands for; the reason when it is not base64 (or message::no_memory), else null.
const char *base64_compact(std::string_view text, buffer<char> &out, uint64_t &decoded_length);
// Decodes compact base64 (checked by base64_compact) into out.
void base64_decode(std::string_view compact, uint8_t *out);

// Canonical text of a scalar key for duplicate detection and for JSON keys:
// the string itself, decimal integers, shortest floats, true/false/null.
// Points into the node's text or into text appended to scratch. The reason
// on failure, else null.
const char *key_text(const zarvel_node_store *store, const scalar &value, buffer<char> &scratch, std::string_view &out);

// "$.a.b[3]" of the walk's current position, and the line and column of a
// node's text when it lies in the input; recorded with the message.
struct step {
    uint32_t key;    // mapping: the key node; sequence: none
    uint32_t index;  // sequence: the position
};
void fail_at(const zarvel_node_store *store, const step *path, uint32_t depth, uint32_t node, const char *what);

inline constexpr uint32_t max_depth = nesting_limit;

template <typename Sink>
class walker {
  public:
    walker(const zarvel_node_store *store, Sink &sink, const settings &s) : store_(store), sink_(sink), settings_(s) {}

    // 0, or the status of the failure (message recorded): 1, 2 or 3.
    int32_t status() const { return status_; }

    bool value(uint32_t id) { return node(id, 0); }

    // Entry points of a fast writer that wrote the levels above: a node at
    // `depth`, and a key of the mapping at `depth`, with path() holding the
    // steps to them and emitted() the nodes written so far.
    bool value_at(uint32_t id, uint32_t depth) {
        depth_ = depth;
        return node(id, depth);
    }
    bool key_at(uint32_t id, uint32_t depth) {
        depth_ = depth + 1;
        return key(id, depth);
    }
    step *path() { return path_; }
    // The counts a document starts from, and the walk set back to them.
    struct counts {
        uint64_t emitted, gathered;
    };
    counts counted() const { return {emitted_, gathered_}; }
    void restart(const counts &from) {
        status_ = 0;
        depth_ = 0;
        emitted_ = from.emitted;
        gathered_ = from.gathered;
    }
    uint64_t &emitted() { return emitted_; }
    const settings &options() const { return settings_; }

    bool fail(int32_t status, uint32_t node, const char *what) {
        if (status_ == 0) {
            status_ = status;
            if (status == 2)
                zarvel_error_set(zarvel_error_current(), 2, 0, 0, 0, nullptr);
            else
                fail_at(store_, path_, depth_, node, what);
        }
        return false;
    }
    bool out_of_memory() { return fail(2, zarvel_node_none, nullptr); }
    // A sink's refusal: its reason, or out of memory when it gives none.
    bool sink_failed(uint32_t id) {
        const char *why = sink_.reason();
        return !why || why == message::no_memory ? out_of_memory() : fail(1, id, why);
    }

  private:
    struct pair {
        uint32_t key;
        uint32_t value;
        bool merged;  // came from a merge key
    };

    const zarvel_node_rec &rec(uint32_t id) const { return zarvel_store_node(store_, id); }
    bool valid(uint32_t id) const { return id < store_->node_count; }

    // The node an alias stands for (aliases of aliases followed).
    uint32_t target(uint32_t id) const {
        for (uint32_t hops = 0; valid(id) && rec(id).kind() == ZARVEL_KIND_ALIAS; ++hops) {
            if (hops > max_depth) return zarvel_node_none;
            id = rec(id).alias_target;
        }
        return valid(id) ? id : zarvel_node_none;
    }

    bool count_node(uint32_t id) { return ++emitted_ <= settings_.budget || over_budget(id); }
    bool over_budget(uint32_t id) {
        char text[96];
        std::snprintf(text, sizeof text, message::over_budget, static_cast<unsigned long long>(settings_.budget));
        return fail(1, id, text);
    }

    bool node(uint32_t id, uint32_t depth) {
        const uint32_t real = target(id);
        if (real == zarvel_node_none) return fail(1, id, message::alias_to_nothing);
        if (depth >= max_depth) return fail(3, real, message::too_deep);
        if (!count_node(real)) return false;
        const zarvel_node_rec &r = rec(real);
        if (r.kind() == ZARVEL_KIND_SCALAR) {
            scalar value;
            if (const char *why = classify(store_, real, value)) return fail(1, real, why);
            return sink_.scalar(value, false) || sink_failed(real);
        }
        if (r.kind() == ZARVEL_KIND_SEQUENCE) return sequence(r, depth);
        return mapping(real, depth);
    }

    bool sequence(const zarvel_node_rec &r, uint32_t depth) {
        if (!sink_.begin(ZARVEL_KIND_SEQUENCE, r.child_count)) return out_of_memory();
        uint32_t index = 0;
        for (uint32_t child = r.first_child; valid(child); child = rec(child).next_sibling) {
            path_[depth] = {zarvel_node_none, index};
            depth_ = depth + 1;
            if (!sink_.separator(index++)) return out_of_memory();
            if (!node(child, depth + 1)) return false;
        }
        depth_ = depth;
        return sink_.end(ZARVEL_KIND_SEQUENCE) || out_of_memory();
    }

    bool is_merge_key(uint32_t id) const {
        const zarvel_node_rec &k = rec(id);
        if (k.kind() != ZARVEL_KIND_SCALAR) return false;
        if (k.tag_id == ZARVEL_TAG_MERGE) return true;
        return k.is_plain_implicit() && zarvel_span_length(k.value) == 2 && zarvel_store_text(store_, k.value) == "<<";
    }

    // Pairs of mapping id onto pairs_, its merge keys applied: the merged
    // pairs first (later mappings of a merge sequence before earlier ones,
    // so that the earlier win), then its own pairs.
    bool flatten(uint32_t id, uint32_t depth, bool merged) {
        if (depth >= max_depth) return fail(3, id, message::merge_too_deep);
        const zarvel_node_rec &m = rec(id);
        const size_t start = pairs_.size();
        bool any_merge = false;
        for (uint32_t k = m.first_child; valid(k); k = rec(rec(k).next_sibling).next_sibling) {
            const uint32_t v = rec(k).next_sibling;
            if (!valid(v)) break;
            if (!settings_.keep_merge_keys && is_merge_key(k)) {
                any_merge = true;
                continue;
            }
            // Merged pairs count against the budget as they are gathered, so
            // that merges of merges cannot grow the list without bound.
            if (merged && ++gathered_ > settings_.budget) return over_budget(k);
            if (!pairs_.push_back({k, v, merged})) return out_of_memory();
        }
        if (!any_merge) return true;
        // The merged pairs go first: hold the mapping's own pairs aside.
        const size_t held = held_.size();
        if (!held_.append(pairs_.data() + start, pairs_.size() - start)) return out_of_memory();
        pairs_.resize_down(start);
        for (uint32_t k = m.first_child; valid(k); k = rec(rec(k).next_sibling).next_sibling) {
            const uint32_t v = rec(k).next_sibling;
            if (!valid(v)) break;
            if (!is_merge_key(k)) continue;
            const uint32_t source = target(v);
            if (source != zarvel_node_none && rec(source).kind() == ZARVEL_KIND_MAPPING) {
                if (!flatten(source, depth + 1, true)) return false;
                continue;
            }
            if (source == zarvel_node_none || rec(source).kind() != ZARVEL_KIND_SEQUENCE)
                return fail(1, v, message::bad_merge);
            // Children in reverse: collect the ids first.
            const size_t mark = merge_items_.size();
            for (uint32_t item = rec(source).first_child; valid(item); item = rec(item).next_sibling)
                if (!merge_items_.push_back(item)) return out_of_memory();
            for (size_t i = merge_items_.size(); i > mark; --i) {
                const uint32_t item = target(merge_items_[i - 1]);
                if (item == zarvel_node_none || rec(item).kind() != ZARVEL_KIND_MAPPING)
                    return fail(1, merge_items_[i - 1], message::bad_merge);
                if (!flatten(item, depth + 1, true)) return false;
            }
            merge_items_.resize_down(mark);
        }
        if (!pairs_.append(held_.data() + held, held_.size() - held)) return out_of_memory();
        held_.resize_down(held);
        return true;
    }

    // Identity of a key for duplicate detection; false after a failure.
    // Collection keys have none (each is its own).
    bool identity(uint32_t key, std::string_view &out, bool &has) {
        const uint32_t real = target(key);
        if (real == zarvel_node_none || rec(real).kind() != ZARVEL_KIND_SCALAR) {
            has = false;
            return true;
        }
        has = true;
        const zarvel_node_rec &k = rec(real);
        // Untagged plain-resolved strings and quoted strings: their text.
        if (k.tag_id == ZARVEL_TAG_STR && zarvel_span_length(zarvel_store_tag(store_, real)) == 0) {
            out = zarvel_store_text(store_, k.value);
            if constexpr (Sink::typed_keys) return typed_identity(plain::kind::string, out);
            return true;
        }
        scalar value;
        if (const char *why = classify(store_, real, value)) return fail(1, real, why);
        std::string_view text;
        if (const char *why = key_text(store_, value, scratch_, text))
            return why == message::no_memory ? out_of_memory() : fail(1, real, why);
        out = text;
        if constexpr (Sink::typed_keys) return typed_identity(value.kind, out);
        return true;
    }
    // CBOR keeps key types: the kind goes in front of the text.
    bool typed_identity(plain::kind k, std::string_view &text) {
        const size_t start = typed_.size();
        const char tag = char('0' + int(k == plain::kind::big_integer ? plain::kind::integer : k));
        if (!typed_.push_back(tag) || !typed_.append(text.data(), text.size())) return out_of_memory();
        text = std::string_view(typed_.data() + start, text.size() + 1);
        return true;
    }

    // Leaves pairs_[from..] with one pair per distinct key: at the place of
    // its first occurrence, with the value of its last.
    bool deduplicate(size_t from) {
        const size_t n = pairs_.size() - from;
        if (n < 2) return true;
        scratch_.clear();
        typed_.clear();
        // Texts may point into the scratch buffers, which grow while the
        // identities are made: keep offsets first, views after.
        buffer<entry> &entries = entries_;
        entries.clear();
        if (!entries.reserve(n)) return out_of_memory();
        for (size_t i = 0; i < n; ++i) {
            std::string_view text;
            bool has = false;
            if (!identity(pairs_[from + i].key, text, has)) return false;
            entry e{0, 0, text.size(), has, 0};
            const char *p = text.data();
            if (has && scratch_.data() && p >= scratch_.data() && p <= scratch_.data() + scratch_.size()) {
                e.where = 1;
                e.offset = uint64_t(p - scratch_.data());
            } else if (has && typed_.data() && p >= typed_.data() && p <= typed_.data() + typed_.size()) {
                e.where = 2;
                e.offset = uint64_t(p - typed_.data());
            } else {
                e.offset = uint64_t(reinterpret_cast<uintptr_t>(p));
            }
            if (has) e.print = key_fingerprint(text);
            entries.push_back(e);
        }
        auto view = [&](const entry &e) {
            if (e.where == 1) return std::string_view(scratch_.data() + e.offset, e.length);
            if (e.where == 2) return std::string_view(typed_.data() + e.offset, e.length);
            return std::string_view(reinterpret_cast<const char *>(uintptr_t(e.offset)), e.length);
        };
        // Small mappings compare every pair; larger ones use a table whose
        // slots carry the number of the mapping that filled them, so that
        // it is never cleared.
        size_t mask = 0;
        if (n > 8) {
            size_t slots = 32;
            while (slots < 2 * n) slots *= 2;
            if (table_.size() < slots) {
                table_.clear();
                if (!table_.reserve(slots)) return out_of_memory();
                for (size_t i = 0; i < slots; ++i) table_.push_back({0, 0});
            }
            mask = slots - 1;
            if (++table_round_ == 0) {  // wrapped: clear once
                for (slot &t : table_) t.round = 0;
                table_round_ = 1;
            }
        }
        buffer<uint32_t> &kept_entry = kept_entry_;  // entry index of each kept pair
        kept_entry.clear();
        if (!kept_entry.reserve(n)) return out_of_memory();
        size_t kept = 0;  // pairs_[from..from+kept) are the distinct keys so far
        for (size_t i = 0; i < n; ++i) {
            const entry &e = entries[i];
            const pair current = pairs_[from + i];
            size_t found = SIZE_MAX;
            size_t at = 0;
            if (e.has) {
                if (mask) {
                    at = size_t(e.print) & mask;
                    while (table_[at].round == table_round_) {
                        const entry &o = entries[kept_entry[table_[at].index]];
                        if (o.print == e.print && view(o) == view(e)) {
                            found = table_[at].index;
                            break;
                        }
                        at = (at + 1) & mask;
                    }
                } else {
                    for (size_t j = 0; j < kept; ++j) {
                        const entry &o = entries[kept_entry[j]];
                        if (o.has && o.print == e.print && view(o) == view(e)) {
                            found = j;
                            break;
                        }
                    }
                }
            }
            if (found != SIZE_MAX) {
                pair &earlier = pairs_[from + found];
                if (settings_.duplicates_fail && !earlier.merged && !current.merged)
                    return fail(1, current.key, message::duplicate_key);
                earlier.value = current.value;
                earlier.merged = current.merged;
                continue;
            }
            if (mask && e.has) table_[at] = {table_round_, uint32_t(kept)};
            pairs_[from + kept] = current;
            kept_entry.push_back(uint32_t(i));
            ++kept;
        }
        pairs_.resize_down(from + kept);
        return true;
    }

    bool mapping(uint32_t id, uint32_t depth) {
        const size_t from = pairs_.size();
        if (!flatten(id, depth, false) || !deduplicate(from)) return false;
        const size_t count = pairs_.size() - from;
        if (!sink_.begin(ZARVEL_KIND_MAPPING, uint32_t(count))) return out_of_memory();
        for (size_t i = 0; i < count; ++i) {
            const pair p = pairs_[from + i];
            path_[depth] = {p.key, 0};
            depth_ = depth + 1;
            if (!sink_.separator(uint32_t(i))) return out_of_memory();
            if (!key(p.key, depth)) return false;
            if (!sink_.colon() || !node(p.value, depth + 1)) return false;
        }
        pairs_.resize_down(from);
        depth_ = depth;
        return sink_.end(ZARVEL_KIND_MAPPING) || out_of_memory();
    }

    bool key(uint32_t id, uint32_t depth) {
        const uint32_t real = target(id);
        if (real == zarvel_node_none) return fail(1, id, message::alias_to_nothing);
        if (rec(real).kind() != ZARVEL_KIND_SCALAR) {
            if (!sink_.collection_key()) return sink_failed(real);
            return node(real, depth + 1);
        }
        if (!count_node(real)) return false;
        scalar value;
        if (const char *why = classify(store_, real, value)) return fail(1, real, why);
        return sink_.scalar(value, true) || sink_failed(real);
    }

    const zarvel_node_store *store_;
    Sink &sink_;
    settings settings_;
    int32_t status_ = 0;
    uint64_t emitted_ = 0;
    uint64_t gathered_ = 0;  // pairs gathered from merge keys
    buffer<pair> pairs_;
    buffer<uint32_t> merge_items_;
    buffer<pair> held_;  // own pairs of mappings whose merged pairs are being gathered
    buffer<char> scratch_;
    buffer<char> typed_;
    struct entry {
        uint32_t where;   // 0 node text, 1 scratch, 2 typed
        uint64_t offset;  // node text: its address
        uint64_t length;
        bool has;
        uint64_t print;  // fingerprint of the text
    };
    struct slot {
        uint32_t round;  // table_round_ of the mapping that filled it
        uint32_t index;  // kept pair
    };
    buffer<entry> entries_;
    buffer<slot> table_;
    uint32_t table_round_ = 0;
    buffer<uint32_t> kept_entry_;
    step path_[max_depth + 1];
    uint32_t depth_ = 0;
};

}  // namespace zvl::plain
