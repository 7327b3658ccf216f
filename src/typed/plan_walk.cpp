// Walking a compiled plan over a document (node store) or a JSON tape.
#include <cstring>
#include <string_view>

#include "core/memory.hpp"
#include "doc/resolve.hpp"
#include "doc/store.hpp"
#include "typed/plan.hpp"
#include "json/short_decimal.hpp"

namespace {

constexpr int alias_hops = 64;

void report(int32_t *status, int32_t value) {
    if (status) *status = value;
}

std::string_view plan_key(const zarvel_plan *plan, uint64_t k) {
    return {plan->path + plan->key_offs[k], size_t(plan->key_lens[k])};
}

// The column a record key selects, the first with exactly these bytes.
// Lookup for the walks: the names' lengths and first bytes filter
// the candidates before any bytes are compared, and the column the key at
// the same place in the previous record selected is tried first (records of
// one list usually share their key order).
class column_matcher {
  public:
    explicit column_matcher(const zarvel_plan *plan) : plan_(plan) {}

    int64_t find(std::string_view key, uint32_t position) {
        if (position < predicted_count) {
            const int64_t guess = predicted_[position];
            if (guess >= 0 && same(plan_->columns[guess], key)) return guess;
        }
        int64_t found = -1;
        for (uint64_t c = 0; c < plan_->column_count; ++c) {
            if (same(plan_->columns[c], key)) {
                found = int64_t(c);
                break;
            }
        }
        if (position < predicted_count) predicted_[position] = found;
        return found;
    }

  private:
    static bool same(const zarvel_plan_column &col, std::string_view key) {
        if (col.name_len != key.size() || (!key.empty() && col.name[0] != key[0])) return false;
        // Field names are short: a byte loop beats a call.
        if (key.size() > 16) return std::memcmp(col.name, key.data(), key.size()) == 0;
        for (size_t i = 1; i < key.size(); ++i)
            if (col.name[i] != key[i]) return false;
        return true;
    }
    static constexpr uint32_t predicted_count = 64;
    const zarvel_plan *plan_;
    int64_t predicted_[predicted_count] = {};
};

// Decimal number texts read without the general converters when the
// result is exact: integers of at most 18 digits, and decimals whose digits
// fit 53 bits with a power of ten up to 22 (one correctly rounded product or
// quotient of two exact doubles). Anything else returns false and goes the
// general way, which gives the same value for these texts.
inline __attribute__((always_inline)) bool fast_int(std::string_view text, int64_t &out) {
    zvl::json::short_decimal d;
    if (!zvl::json::read_short_decimal(text, false, d) || !d.integer || d.digits > 18) return false;
    out = d.negative ? -int64_t(d.mantissa) : int64_t(d.mantissa);
    return true;
}

inline __attribute__((always_inline)) bool fast_double(std::string_view text, double &out) {
    zvl::json::short_decimal d;
    return zvl::json::read_short_decimal(text, false, d) && zvl::json::short_decimal_double(d, out);
}

// ---- document walk --------------------------------------------------------------

struct store_view {
    const zarvel_node_store *store;

    const zarvel_node_rec &node(uint32_t id) const { return store->nodes[id]; }
    std::string_view text(uint32_t id) const { return zarvel_store_text(store, node(id).value); }
    // An int-resolved text under the store's schema.
    bool read_int(std::string_view t, int64_t &out) const {
        return zvl::read_int(t.data(), uint32_t(t.size()), zarvel_octal_zero(store->resolver), out);
    }
    // The node an alias chain ends at; none past the hop limit or for a
    // dangling alias.
    uint32_t follow(uint32_t id) const {
        for (int hop = 0; hop <= alias_hops; ++hop) {
            if (id == zarvel_node_none || id >= store->node_count) return zarvel_node_none;
            if (node(id).kind() != ZARVEL_KIND_ALIAS) return id;
            if (hop == alias_hops) break;
            id = node(id).alias_target;
        }
        return zarvel_node_none;
    }
    bool is(uint32_t id, uint8_t kind) const { return id != zarvel_node_none && node(id).kind() == kind; }
};

uint32_t find_container(const store_view &v, const zarvel_plan *plan) {
    uint32_t current = v.follow(v.store->roots[0]);
    if (plan->key_count == 0) return v.is(current, ZARVEL_KIND_SEQUENCE) ? current : zarvel_node_none;
    for (uint64_t k = 0; k < plan->key_count; ++k) {
        if (!v.is(current, ZARVEL_KIND_MAPPING)) return zarvel_node_none;
        std::string_view want = plan_key(plan, k);
        uint32_t found = zarvel_node_none;
        for (uint32_t key = v.node(current).first_child; key != zarvel_node_none;) {
            uint32_t value = v.node(key).next_sibling;
            if (value == zarvel_node_none) break;
            if (v.node(key).kind() == ZARVEL_KIND_SCALAR && v.text(key) == want) {
                found = value;
                break;
            }
            key = v.node(value).next_sibling;
        }
        current = v.follow(found);
    }
    if (v.is(current, ZARVEL_KIND_SEQUENCE) || v.is(current, ZARVEL_KIND_MAPPING)) return current;
    return zarvel_node_none;
}

// Calls row(id) for every mapping that is a row of the container.
template <typename Row>
void each_row(const store_view &v, uint32_t container, Row &&row) {
    bool is_map = v.node(container).kind() == ZARVEL_KIND_MAPPING;
    uint32_t child = v.node(container).first_child;
    while (child != zarvel_node_none) {
        uint32_t member = child;
        if (is_map) {
            member = v.node(child).next_sibling;  // the value of this pair
            if (member == zarvel_node_none) break;
        }
        uint32_t target = v.follow(member);
        if (v.is(target, ZARVEL_KIND_MAPPING)) row(target);
        child = v.node(member).next_sibling;
    }
}

void store_value(const store_view &v, zarvel_plan_result_column &col, uint64_t row, uint32_t id) {
    if (!v.is(id, ZARVEL_KIND_SCALAR)) return;
    const zarvel_node_rec &n = v.node(id);
    if (n.tag_id == ZARVEL_TAG_NULL) return;
    std::string_view text = v.text(id);
    const uint32_t length = uint32_t(text.size());
    switch (col.kind) {
    case ZARVEL_PLAN_INT: {
        int64_t i;
        if (n.tag_id != ZARVEL_TAG_INT) return;
        if (!fast_int(text, i) && !v.read_int(text, i)) return;
        col.ints[row] = i;
        break;
    }
    case ZARVEL_PLAN_FLOAT: {
        double d;
        int64_t i;
        if (n.tag_id == ZARVEL_TAG_FLOAT) {
            if (!fast_double(text, d) && zvl_num_f64(text.data(), length, &d) != 0) return;
        } else if (n.tag_id == ZARVEL_TAG_INT) {
            if (fast_int(text, i) || v.read_int(text, i)) {
                d = double(i);
            } else if (zvl_num_f64(text.data(), length, &d) != 0) {
                // An integer beyond 64 bits is still a number for a float
                // column, as on the tape walk.
                return;
            }
        } else {
            return;
        }
        col.floats[row] = d;
        break;
    }
    case ZARVEL_PLAN_STR: col.strs[row] = {text.data(), text.size()}; break;
    default:
        if (n.tag_id != ZARVEL_TAG_BOOL) return;
        col.ints[row] = zvl_num_bool(text.data(), length) ? 1 : 0;
        break;
    }
    col.nulls[row] = 0;
}

// ---- tape walk ------------------------------------------------------------------

struct tape_view {
    const zarvel_tape *tape;

    uint8_t type(uint64_t i) const { return tape->types[i]; }
    bool is_container(uint64_t i) const { return type(i) == ZARVEL_TAPE_ARRAY || type(i) == ZARVEL_TAPE_OBJECT; }
    // Index just after the value entry at i.
    uint64_t skip(uint64_t i) const { return is_container(i) ? uint64_t(tape->starts[i]) + 1 : i + 1; }
    std::string_view span(uint64_t i) const { return {tape->text + tape->starts[i], size_t(tape->lens[i])}; }
    // The closing entry of the container at i.
    uint64_t close(uint64_t i) const { return tape->starts[i]; }
};

constexpr uint64_t tape_none = ~uint64_t{0};

uint64_t find_container(const tape_view &t, const zarvel_plan *plan) {
    uint64_t current = 1;
    if (!t.is_container(current)) return tape_none;
    if (plan->key_count == 0) return t.type(current) == ZARVEL_TAPE_ARRAY ? current : tape_none;
    for (uint64_t k = 0; k < plan->key_count; ++k) {
        if (t.type(current) != ZARVEL_TAPE_OBJECT) return tape_none;
        std::string_view want = plan_key(plan, k);
        uint64_t found = tape_none;
        for (uint64_t i = current + 1, end = t.close(current); i < end;) {
            if (t.type(i) != ZARVEL_TAPE_STRING) return tape_none;
            if (t.span(i) == want) {
                found = i + 1;
                break;
            }
            i = t.skip(i + 1);
        }
        if (found == tape_none) return tape_none;
        current = found;
    }
    return t.is_container(current) ? current : tape_none;
}

// Calls row(index) for every object entry directly inside the container.
template <typename Row>
void each_row(const tape_view &t, uint64_t container, Row &&row) {
    bool is_object = t.type(container) == ZARVEL_TAPE_OBJECT;
    for (uint64_t i = container + 1, end = t.close(container); i < end;) {
        if (is_object) ++i;  // past the key
        if (i >= end) break;
        if (t.type(i) == ZARVEL_TAPE_OBJECT) row(i);
        i = t.skip(i);
    }
}

void store_value(const tape_view &t, zarvel_plan_result_column &col, uint64_t row, uint64_t i) {
    const uint8_t type = t.type(i);
    std::string_view span = t.span(i);
    auto put_span = [&] {
        col.str_offs[row] = t.tape->starts[i];
        col.str_lens[row] = t.tape->lens[i];
    };
    switch (type) {
    case ZARVEL_TAPE_TRUE:
    case ZARVEL_TAPE_FALSE:
        if (col.kind == ZARVEL_PLAN_BOOL)
            col.ints[row] = type == ZARVEL_TAPE_TRUE ? 1 : 0;
        else if (col.kind == ZARVEL_PLAN_STR)
            put_span();
        else
            return;
        break;
    case ZARVEL_TAPE_INT:
    case ZARVEL_TAPE_FLOAT:
    case ZARVEL_TAPE_RAW: {
        if (col.kind == ZARVEL_PLAN_STR) {
            put_span();
            break;
        }
        if (col.kind == ZARVEL_PLAN_BOOL) return;
        // Checked number entries of the usual sizes are read here directly.
        if (type == ZARVEL_TAPE_INT) {
            int64_t v;
            if (fast_int(span, v)) {
                if (col.kind == ZARVEL_PLAN_INT)
                    col.ints[row] = v;
                else
                    col.floats[row] = double(v);
                break;
            }
        } else if (type == ZARVEL_TAPE_FLOAT && col.kind == ZARVEL_PLAN_FLOAT) {
            double v;
            if (fast_double(span, v)) {
                col.floats[row] = v;
                break;
            }
        }
        uint64_t pos = 0;
        uint32_t kind = 0;
        int64_t ival = 0;
        double dval = 0;
        if (zvl_json_number_scan(span.data(), span.size(), &pos, &kind, &ival, &dval) != 1 || pos != span.size())
            return;
        if (col.kind == ZARVEL_PLAN_INT) {
            if (kind != ZVL_JSON_NUMBER_INT) return;
            col.ints[row] = ival;
        } else {
            col.floats[row] = kind == ZVL_JSON_NUMBER_INT ? double(ival) : dval;
        }
        break;
    }
    case ZARVEL_TAPE_STRING:
        if (col.kind != ZARVEL_PLAN_STR) return;
        put_span();
        break;
    default: return;
    }
    col.nulls[row] = 0;
}

}  // namespace

zarvel_plan_result *zarvel_document_plan_walk(zarvel_document *document, const zarvel_plan *plan, int32_t *status) {
    if (!document || !plan) {
        report(status, 6);
        return nullptr;
    }
    int32_t built = 0;
    const zarvel_node_store *store = zarvel_document_body_status(document, &built);
    if (!store) {
        report(status, built);
        return nullptr;
    }
    if (store->root_count == 0) {
        report(status, 6);
        return nullptr;
    }
    store_view v{store};
    uint32_t container = find_container(v, plan);
    if (container == zarvel_node_none) {
        report(status, 1);
        return nullptr;
    }
    uint64_t rows = 0;
    each_row(v, container, [&](uint32_t) { ++rows; });
    zarvel_plan_result *result = zvl::plan_result_new(plan, rows, false);
    if (!result) {
        report(status, 2);
        return nullptr;
    }
    uint64_t row = 0;
    column_matcher columns(plan);
    each_row(v, container, [&](uint32_t record) {
        uint32_t position = 0;
        for (uint32_t key = v.node(record).first_child; key != zarvel_node_none; ++position) {
            uint32_t value = v.node(key).next_sibling;
            if (value == zarvel_node_none) break;
            if (v.node(key).kind() == ZARVEL_KIND_SCALAR) {
                int64_t c = columns.find(v.text(key), position);
                if (c >= 0) store_value(v, result->columns[c], row, v.follow(value));
            }
            key = v.node(value).next_sibling;
        }
        ++row;
    });
    report(status, 0);
    return result;
}

zarvel_plan_result *zarvel_tape_plan_walk(zarvel_tape *tape, const zarvel_plan *plan, int32_t *status) {
    if (!tape || !plan || tape->count <= 1) {
        report(status, 6);
        return nullptr;
    }
    zarvel_tape_columns(tape);
    if (!tape->types || !tape->starts || !tape->lens) {
        report(status, 6);
        return nullptr;
    }
    tape_view t{tape};
    uint64_t container = find_container(t, plan);
    if (container == tape_none) {
        report(status, 1);
        return nullptr;
    }
    uint64_t rows = 0;
    each_row(t, container, [&](uint64_t) { ++rows; });
    zarvel_plan_result *result = zvl::plan_result_new(plan, rows, true);
    if (!result) {
        report(status, 2);
        return nullptr;
    }
    uint64_t row = 0;
    column_matcher columns(plan);
    each_row(t, container, [&](uint64_t record) {
        uint32_t position = 0;
        for (uint64_t i = record + 1, end = t.close(record); i < end; ++position) {
            if (t.type(i) == ZARVEL_TAPE_STRING && i + 1 < end) {
                int64_t c = columns.find(t.span(i), position);
                if (c >= 0) store_value(t, result->columns[c], row, i + 1);
                i = t.skip(i + 1);
            } else {
                i = t.skip(i);
            }
        }
        ++row;
    });
    report(status, 0);
    return result;
}
