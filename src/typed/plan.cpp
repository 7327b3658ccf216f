// Plan compilation from its JSON text, and the result block with its readers.
#include "typed/plan.hpp"

#include <cstring>
#include <string_view>

#include "core/memory.hpp"
#include "doc/store.hpp"

namespace {

const zarvel_allocator *heap() { return &zarvel_default_allocator; }

void free_plan(zarvel_plan *plan) {
    if (!plan) return;
    if (plan->columns) {
        for (uint64_t i = 0; i < plan->column_count; ++i) zvl::deallocate(heap(), plan->columns[i].name);
        zvl::deallocate(heap(), plan->columns);
    }
    zvl::deallocate(heap(), plan->path);
    zvl::deallocate(heap(), plan->key_offs);
    zvl::deallocate(heap(), plan->key_lens);
    zvl::deallocate(heap(), plan);
}

// Read-only view of the parsed plan text.
struct plan_reader {
    const zarvel_node_store *store;

    const zarvel_node_rec &node(uint32_t id) const { return store->nodes[id]; }
    std::string_view text(uint32_t id) const { return zarvel_store_text(store, node(id).value); }
    bool is_str(uint32_t id) const {
        return node(id).kind() == ZARVEL_KIND_SCALAR && node(id).tag_id == ZARVEL_TAG_STR;
    }
};

enum compile_result : int32_t { compiled = 0, no_memory = 2, refused = 6 };

compile_result take_path(const plan_reader &r, uint32_t value, zarvel_plan *plan) {
    const zarvel_node_rec &v = r.node(value);
    uint64_t count = 0, bytes = 0;
    if (v.kind() == ZARVEL_KIND_SCALAR) {
        if (!r.is_str(value)) return refused;
        bytes = r.text(value).size();
        count = bytes ? 1 : 0;
    } else if (v.kind() == ZARVEL_KIND_SEQUENCE) {
        for (uint32_t c = v.first_child; c != zarvel_node_none; c = r.node(c).next_sibling) {
            if (!r.is_str(c)) return refused;
            bytes += r.text(c).size();
            ++count;
        }
    } else {
        return refused;
    }
    if (count == 0) return compiled;
    plan->path = static_cast<char *>(zvl::allocate(heap(), bytes + 1));
    plan->key_offs = static_cast<uint64_t *>(zvl::allocate(heap(), count * sizeof(uint64_t)));
    plan->key_lens = static_cast<uint64_t *>(zvl::allocate(heap(), count * sizeof(uint64_t)));
    if (!plan->path || !plan->key_offs || !plan->key_lens) return no_memory;
    uint64_t at = 0, k = 0;
    auto put = [&](std::string_view key) {
        if (!key.empty()) std::memcpy(plan->path + at, key.data(), key.size());
        plan->key_offs[k] = at;
        plan->key_lens[k] = key.size();
        at += key.size();
        ++k;
    };
    if (v.kind() == ZARVEL_KIND_SCALAR) {
        put(r.text(value));
    } else {
        for (uint32_t c = v.first_child; c != zarvel_node_none; c = r.node(c).next_sibling) put(r.text(c));
    }
    plan->path[at] = 0;
    plan->key_count = count;
    return compiled;
}

int column_kind(std::string_view text) {
    constexpr std::string_view names[] = {"int", "float", "str", "bool"};
    for (int i = 0; i < 4; ++i)
        if (text == names[i]) return i;
    return -1;
}

// The members an object of the plan text may have, in one table per object:
// the plan itself and each column.
enum plan_member { plan_kind, plan_path, plan_children, plan_member_count };
constexpr std::string_view plan_members[plan_member_count] = {"kind", "path", "children"};
enum column_member { column_name, column_kind_member, column_member_count };
constexpr std::string_view column_members[column_member_count] = {"name", "kind"};

// Finds the value of each member of a mapping of the plan text: every key
// must be a scalar naming one of `names`, each at most once (an unknown or
// repeated member refuses the plan). Absent members stay zarvel_node_none.
template <size_t count>
compile_result members_of(const plan_reader &r, uint32_t mapping, const std::string_view (&names)[count],
                          uint32_t (&values)[count]) {
    for (uint32_t &v : values) v = zarvel_node_none;
    if (r.node(mapping).kind() != ZARVEL_KIND_MAPPING) return refused;
    for (uint32_t k = r.node(mapping).first_child; k != zarvel_node_none;) {
        const uint32_t val = r.node(k).next_sibling;
        if (val == zarvel_node_none || r.node(k).kind() != ZARVEL_KIND_SCALAR) return refused;
        const std::string_view key = r.text(k);
        size_t i = 0;
        while (i < count && key != names[i]) ++i;
        if (i == count || values[i] != zarvel_node_none) return refused;
        values[i] = val;
        k = r.node(val).next_sibling;
    }
    return compiled;
}

bool is_scalar(const plan_reader &r, uint32_t id) { return r.node(id).kind() == ZARVEL_KIND_SCALAR; }

compile_result take_children(const plan_reader &r, uint32_t value, zarvel_plan *plan) {
    const zarvel_node_rec &v = r.node(value);
    if (v.kind() != ZARVEL_KIND_SEQUENCE || v.child_count == 0) return refused;
    plan->columns =
        static_cast<zarvel_plan_column *>(zvl::allocate(heap(), uint64_t(v.child_count) * sizeof(zarvel_plan_column)));
    if (!plan->columns) return no_memory;
    for (uint32_t c = v.first_child; c != zarvel_node_none; c = r.node(c).next_sibling) {
        uint32_t members[column_member_count];
        if (compile_result read = members_of(r, c, column_members, members); read != compiled) return read;
        const uint32_t name = members[column_name], kind = members[column_kind_member];
        if (name == zarvel_node_none || kind == zarvel_node_none) return refused;
        if (!is_scalar(r, name) || r.text(name).empty() || !is_scalar(r, kind)) return refused;
        const int k = column_kind(r.text(kind));
        if (k < 0) return refused;
        const std::string_view text = r.text(name);
        zarvel_plan_column &out = plan->columns[plan->column_count];
        out.name = static_cast<char *>(zvl::allocate(heap(), text.size() + 1));
        if (!out.name) return no_memory;
        std::memcpy(out.name, text.data(), text.size());
        out.name[text.size()] = 0;
        out.name_len = text.size();
        out.kind = uint32_t(k);
        ++plan->column_count;
    }
    return compiled;
}

compile_result compile_from(const zarvel_node_store *store, zarvel_plan *plan) {
    plan_reader r{store};
    if (store->root_count == 0) return refused;
    uint32_t members[plan_member_count];
    if (compile_result read = members_of(r, store->roots[0], plan_members, members); read != compiled) return read;
    const uint32_t kind = members[plan_kind], children = members[plan_children];
    if (kind == zarvel_node_none || children == zarvel_node_none) return refused;
    if (!r.is_str(kind) || (r.text(kind) != "seq" && r.text(kind) != "map")) return refused;
    if (members[plan_path] != zarvel_node_none) {
        compile_result taken = take_path(r, members[plan_path], plan);
        if (taken != compiled) return taken;
    }
    return take_children(r, children, plan);
}

}  // namespace

zarvel_plan *zarvel_plan_compile(const char *text, uint64_t len, int32_t *status) {
    int32_t ignored;
    if (!status) status = &ignored;
    if (!text && len) {
        *status = refused;
        return nullptr;
    }
    int32_t parsed = 0;
    zarvel_document *document = zarvel_parse_json(text ? text : "", len, &parsed);
    if (!document) {
        *status = parsed ? parsed : refused;
        return nullptr;
    }
    zarvel_node_store *store = zarvel_document_body(document);
    zarvel_plan *plan = nullptr;
    compile_result result = no_memory;
    if (store) {
        plan = static_cast<zarvel_plan *>(zvl::allocate(heap(), sizeof(zarvel_plan)));
        if (plan) {
            std::memset(plan, 0, sizeof *plan);
            result = compile_from(store, plan);
        }
    }
    zarvel_document_free(document);
    if (result != compiled) {
        free_plan(plan);
        plan = nullptr;
    }
    *status = result;
    return plan;
}

uint64_t zarvel_plan_column_count(const zarvel_plan *plan) { return plan ? plan->column_count : 0; }

void zarvel_plan_free(zarvel_plan *plan) { free_plan(plan); }

// ---- results ------------------------------------------------------------------

namespace zvl {

zarvel_plan_result *plan_result_new(const zarvel_plan *plan, uint64_t rows, bool tape) {
    const uint64_t columns = plan->column_count;
    // 56 per column record plus rows x (element + null byte) per column.
    uint64_t size = sizeof(zarvel_plan_result) + 56 * columns;
    for (uint64_t c = 0; c < columns; ++c) {
        uint64_t element = (!tape && plan->columns[c].kind == ZARVEL_PLAN_STR) ? 16 : 8;
        uint64_t part;
        if (__builtin_mul_overflow(rows, element + 1, &part) || __builtin_add_overflow(size, part, &size))
            return nullptr;
    }
    if (size > SIZE_MAX) return nullptr;
    auto *block = static_cast<unsigned char *>(allocate(heap(), size_t(size)));
    if (!block) return nullptr;
    auto *result = reinterpret_cast<zarvel_plan_result *>(block);
    result->rows = rows;
    result->column_count = columns;
    result->columns = reinterpret_cast<zarvel_plan_result_column *>(block + sizeof *result);
    // The 8-byte arrays first, then every null array, so all stay aligned.
    unsigned char *at = block + sizeof *result + 56 * columns;
    for (uint64_t c = 0; c < columns; ++c) {
        zarvel_plan_result_column &col = result->columns[c];
        std::memset(&col, 0, sizeof col);
        col.kind = plan->columns[c].kind;
        switch (col.kind) {
        case ZARVEL_PLAN_FLOAT:
            col.floats = reinterpret_cast<double *>(at);
            at += rows * 8;
            break;
        case ZARVEL_PLAN_STR:
            if (tape) {
                col.str_offs = reinterpret_cast<uint32_t *>(at);
                col.str_lens = reinterpret_cast<uint32_t *>(at + rows * 4);
                at += rows * 8;
            } else {
                col.strs = reinterpret_cast<zarvel_plan_str *>(at);
                at += rows * 16;
            }
            break;
        default:
            col.ints = reinterpret_cast<int64_t *>(at);
            at += rows * 8;
            break;
        }
    }
    for (uint64_t c = 0; c < columns; ++c) {
        result->columns[c].nulls = at;
        if (rows) std::memset(at, 1, size_t(rows));
        at += rows;
    }
    return result;
}

}  // namespace zvl

namespace {
const zarvel_plan_result_column *column_of(const zarvel_plan_result *result, uint64_t column) {
    if (!result || column >= result->column_count) return nullptr;
    return &result->columns[column];
}
}  // namespace

uint64_t zarvel_plan_result_rows(const zarvel_plan_result *result) { return result ? result->rows : 0; }
uint32_t zarvel_plan_result_kind(const zarvel_plan_result *result, uint64_t column) {
    const auto *c = column_of(result, column);
    return c ? uint32_t(c->kind) : 0xFFFFFFFFu;
}
const int64_t *zarvel_plan_result_ints(const zarvel_plan_result *result, uint64_t column) {
    const auto *c = column_of(result, column);
    return c ? c->ints : nullptr;
}
const double *zarvel_plan_result_floats(const zarvel_plan_result *result, uint64_t column) {
    const auto *c = column_of(result, column);
    return c ? c->floats : nullptr;
}
const zarvel_plan_str *zarvel_plan_result_strs(const zarvel_plan_result *result, uint64_t column) {
    const auto *c = column_of(result, column);
    return c ? c->strs : nullptr;
}
const uint32_t *zarvel_plan_result_str_offs(const zarvel_plan_result *result, uint64_t column) {
    const auto *c = column_of(result, column);
    return c ? c->str_offs : nullptr;
}
const uint32_t *zarvel_plan_result_str_lens(const zarvel_plan_result *result, uint64_t column) {
    const auto *c = column_of(result, column);
    return c ? c->str_lens : nullptr;
}
const uint8_t *zarvel_plan_result_nulls(const zarvel_plan_result *result, uint64_t column) {
    const auto *c = column_of(result, column);
    return c ? c->nulls : nullptr;
}
void zarvel_plan_result_free(zarvel_plan_result *result) {
    if (result) zvl::deallocate(heap(), result);
}
