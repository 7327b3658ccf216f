// Visitors over drained records (zarvel_visit) and over a document's nodes
// (zarvel_visit_node).
#include "emit/visit.hpp"

#include <string_view>

#include "core/memory.hpp"
#include "doc/resolve.hpp"
#include "doc/store.hpp"

namespace {

using zvl::visit::call;

enum : int32_t { visit_done = 0, visit_bad = 1, visit_memory = 2, visit_invalid = 6, visit_stopped = 8 };

// The records' open collections. The first 1024 kinds live inline; deeper
// ones go to a heap buffer so that every end pops what its start pushed.
class open_stack {
  public:
    bool push(bool is_map) {
        if (depth_ < inline_depth) {
            inline_[depth_++] = is_map;
            return true;
        }
        if (!deep_.push_back(is_map ? 1 : 0)) return false;
        ++depth_;
        return true;
    }
    // What was popped: 0 sequence, 1 mapping, -1 nothing open.
    int pop() {
        if (depth_ == 0) return -1;
        --depth_;
        if (depth_ < inline_depth) return inline_[depth_] ? 1 : 0;
        int top = deep_.back();
        deep_.pop_back();
        return top;
    }
    bool in_map() const {
        if (depth_ == 0) return false;
        return depth_ <= inline_depth ? inline_[depth_ - 1] : deep_[deep_.size() - 1] != 0;
    }

  private:
    static constexpr uint32_t inline_depth = 1024;
    bool inline_[inline_depth];
    uint32_t depth_ = 0;
    zvl::buffer<uint8_t> deep_;
};

int32_t replay(const zarvel_value *values, uint64_t count, const char *pool, const zarvel_visitor *v, void *user) {
    open_stack stack;
    for (uint64_t i = 0; i < count; ++i) {
        const zarvel_value &r = values[i];
        const char *text = pool ? pool + r.offset : "";
        bool go = true;
        switch (r.kind) {
        case 0: go = call(v, &zarvel_visitor::on_document, user); break;
        case 1: go = call(v, &zarvel_visitor::on_null, user); break;
        case 2: go = call(v, &zarvel_visitor::on_bool, user, int32_t(r.flag ? 1 : 0)); break;
        case 3: go = call(v, &zarvel_visitor::on_int, user, r.payload.i); break;
        case 4: go = call(v, &zarvel_visitor::on_double, user, r.payload.f); break;
        case 5:
        case 6:
            if (r.is_key && v->on_key && stack.in_map())
                go = call(v, &zarvel_visitor::on_key, user, text, uint64_t(r.length));
            else
                go = call(v, &zarvel_visitor::on_string, user, text, uint64_t(r.length));
            break;
        case 7:
            if (!stack.push(false)) return visit_memory;
            go = call(v, &zarvel_visitor::on_seq_start, user);
            break;
        case 8:
            if (!stack.push(true)) return visit_memory;
            go = call(v, &zarvel_visitor::on_map_start, user);
            break;
        case 9: {
            int popped = stack.pop();
            if (popped == 0)
                go = call(v, &zarvel_visitor::on_seq_end, user);
            else if (popped == 1)
                go = call(v, &zarvel_visitor::on_map_end, user);
            break;
        }
        case 10: go = call(v, &zarvel_visitor::on_alias, user, text, uint64_t(r.length)); break;
        case 11: go = call(v, &zarvel_visitor::on_anchor, user, text, uint64_t(r.length)); break;
        default: break;
        }
        if (!go) return visit_stopped;
    }
    return visit_done;
}

// ---- node walk ------------------------------------------------------------------

struct node_walk {
    const zarvel_node_store *store;
    const zarvel_visitor *v;
    void *user;

    const zarvel_node_rec &node(uint32_t id) const { return store->nodes[id]; }
    std::string_view text(zarvel_span span) const { return zarvel_store_text(store, span); }

    bool str(std::string_view s, decltype(&zarvel_visitor::on_string) slot) const {
        return call(v, slot, user, s.empty() ? "" : s.data(), uint64_t(s.size()));
    }

    bool scalar(const zarvel_node_rec &n) const {
        std::string_view s = text(n.value);
        const uint32_t length = uint32_t(s.size());
        const char *data = s.empty() ? "" : s.data();
        switch (n.tag_id) {
        case ZARVEL_TAG_INT: {
            int64_t i;
            if (zvl::read_int(data, length, zarvel_octal_zero(store->resolver), i))
                return call(v, &zarvel_visitor::on_int, user, i);
            break;
        }
        case ZARVEL_TAG_FLOAT: {
            double d;
            if (zvl_num_f64(data, length, &d) == 0) return call(v, &zarvel_visitor::on_double, user, d);
            break;
        }
        case ZARVEL_TAG_BOOL: return call(v, &zarvel_visitor::on_bool, user, int32_t(zvl_num_bool_ci(data, length)));
        case ZARVEL_TAG_NULL: return call(v, &zarvel_visitor::on_null, user);
        default: break;
        }
        return str(s, &zarvel_visitor::on_string);
    }

    // False when the walk stops (a callback, or a key without a value).
    bool walk(uint32_t id) const {
        const zarvel_node_rec &n = node(id);
        const zarvel_span anchor = zarvel_store_anchor(store, id);
        if (n.kind() != ZARVEL_KIND_ALIAS && zarvel_span_length(anchor) != 0 &&
            !str(text(anchor), &zarvel_visitor::on_anchor))
            return false;
        switch (n.kind()) {
        case ZARVEL_KIND_SEQUENCE:
            if (!call(v, &zarvel_visitor::on_seq_start, user)) return false;
            for (uint32_t c = n.first_child; c != zarvel_node_none; c = node(c).next_sibling)
                if (!walk(c)) return false;
            return call(v, &zarvel_visitor::on_seq_end, user);
        case ZARVEL_KIND_MAPPING:
            if (!call(v, &zarvel_visitor::on_map_start, user)) return false;
            for (uint32_t k = n.first_child; k != zarvel_node_none;) {
                uint32_t value = node(k).next_sibling;
                if (value == zarvel_node_none) return false;
                if (node(k).kind() == ZARVEL_KIND_SCALAR && v->on_key) {
                    if (!str(text(node(k).value), &zarvel_visitor::on_key)) return false;
                } else if (!walk(k)) {
                    return false;
                }
                if (!walk(value)) return false;
                k = node(value).next_sibling;
            }
            return call(v, &zarvel_visitor::on_map_end, user);
        case ZARVEL_KIND_ALIAS: return str(text(n.value), &zarvel_visitor::on_alias);
        default: return scalar(n);
        }
    }
};

}  // namespace

int32_t zarvel_visit(const char *text, uint64_t length, int32_t schema, const zarvel_visitor *visitor, void *user) {
    if (!visitor || (!text && length)) return visit_invalid;
    zarvel_value *values = nullptr;
    uint64_t count = 0;
    char *pool = nullptr;
    uint64_t pool_len = 0;
    int32_t drained = zarvel_value_drain(text ? text : "", length, schema, &values, &count, &pool, &pool_len);
    if (drained != 0) {
        zarvel_value_free(values, pool);
        return drained == visit_memory ? visit_memory : visit_bad;
    }
    int32_t status = replay(values, count, pool, visitor, user);
    zarvel_value_free(values, pool);
    return status;
}

int32_t zarvel_visit_node(const zarvel_node *node, const zarvel_visitor *visitor, void *user) {
    if (!visitor) return visit_invalid;
    const zarvel_node_store *store = zarvel_handle_store(node);
    if (!store) return visit_invalid;
    node_walk walk{store, visitor, user};
    return walk.walk(node->id) ? visit_done : visit_stopped;
}
