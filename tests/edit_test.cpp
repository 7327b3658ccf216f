// Building and editing documents: node creation, every status of every
// editing operation, the one-place and depth invariants (also over parsed
// trees), zarvel_document_build over record lists, and failure injection.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/memory.hpp"
#include "doc/edit.hpp"
#include "doc/store.hpp"
#include "doc_helpers.hpp"
#include "zarvel.h"

namespace {

using doc_test::render;

// ---- fixtures -------------------------------------------------------------

struct doc_ptr {
    zarvel_document *d;
    explicit doc_ptr(zarvel_document *document) : d(document) {}
    doc_ptr() : d(zarvel_document_new()) {}
    ~doc_ptr() { zarvel_document_free(d); }
    doc_ptr(const doc_ptr &) = delete;
    doc_ptr &operator=(const doc_ptr &) = delete;
    operator zarvel_document *() const { return d; }
};

zarvel_node *scalar(zarvel_document *d, std::string_view text, uint32_t style = 1) {
    return zarvel_node_new_scalar(d, text.data(), text.size(), style);
}

std::string root_text(zarvel_document *d, uint64_t index = 0) { return render(zarvel_document_root(d, index)); }

// A chain of `levels` nested sequences; returns the outermost, the innermost
// through *innermost.
zarvel_node *chain(zarvel_document *d, int levels, zarvel_node **innermost = nullptr) {
    zarvel_node *top = zarvel_node_new_sequence(d);
    zarvel_node *inner = top;
    for (int i = 1; i < levels; ++i) {
        zarvel_node *next = zarvel_node_new_sequence(d);
        EXPECT_EQ(zarvel_node_seq_add(inner, next), 0) << "level " << i;
        inner = next;
    }
    if (innermost) *innermost = inner;
    return top;
}

// A document whose body was recorded from events, as a parse leaves it
// (pending until first touched).
std::vector<zarvel_event> events_of_nested(int levels, const std::vector<std::string_view> &leaves) {
    using namespace doc_test;
    std::vector<zarvel_event> e;
    e.push_back(plain_event(ZARVEL_EVENT_STREAM_START));
    e.push_back(plain_event(ZARVEL_EVENT_DOCUMENT_START));
    for (int i = 0; i < levels; ++i) e.push_back(start_event(ZARVEL_EVENT_SEQUENCE_START, true));
    for (std::string_view leaf : leaves) e.push_back(scalar_event(leaf, 1, 1));
    for (int i = 0; i < levels; ++i) e.push_back(plain_event(ZARVEL_EVENT_SEQUENCE_END));
    e.push_back(plain_event(ZARVEL_EVENT_DOCUMENT_END));
    e.push_back(plain_event(ZARVEL_EVENT_STREAM_END));
    return e;
}

// {a: [x, y], b: z} as parse events over `text`.
std::vector<zarvel_event> events_of_small_map(const std::string &text) {
    using namespace doc_test;
    auto at = [&](std::string_view s) { return std::string_view(text.data() + text.find(s), s.size()); };
    return {plain_event(ZARVEL_EVENT_STREAM_START),
            plain_event(ZARVEL_EVENT_DOCUMENT_START),
            start_event(ZARVEL_EVENT_MAPPING_START),
            scalar_event(at("a"), 1, 0),
            start_event(ZARVEL_EVENT_SEQUENCE_START, true),
            scalar_event(at("x"), 1, 0),
            scalar_event(at("y"), 1, 0),
            plain_event(ZARVEL_EVENT_SEQUENCE_END),
            scalar_event(at("b"), 1, 0),
            scalar_event(at("z"), 1, 0),
            plain_event(ZARVEL_EVENT_MAPPING_END),
            plain_event(ZARVEL_EVENT_DOCUMENT_END),
            plain_event(ZARVEL_EVENT_STREAM_END)};
}

// ---- node creation ---------------------------------------------------------------

TEST(EditCreate, NewDocumentIsEmptyAndBuilt) {
    doc_ptr d;
    ASSERT_NE(d.d, nullptr);
    EXPECT_EQ(zarvel_document_count(d), 0u);
    EXPECT_EQ(zarvel_document_root(d, 0), nullptr);
    ASSERT_NE(d.d->store, nullptr);
    EXPECT_EQ(d.d->store->input_len, 0u);
    EXPECT_EQ(d.d->source, nullptr);
    EXPECT_EQ(d.d->schema, 0u);
}

struct scalar_row {
    const char *name;
    const char *text;
    uint64_t length;
    uint32_t style;
    bool made;
    int32_t tag_id;
};

TEST(EditCreate, Scalars) {
    const scalar_row rows[] = {
        {"plain int", "123", 3, 1, true, ZARVEL_TAG_INT},
        {"single-quoted int text", "123", 3, 2, true, ZARVEL_TAG_STR},
        {"double-quoted", "true", 4, 3, true, ZARVEL_TAG_STR},
        {"literal", "1.5", 3, 4, true, ZARVEL_TAG_STR},
        {"folded", "x", 1, 5, true, ZARVEL_TAG_STR},
        {"plain float", "1.5", 3, 1, true, ZARVEL_TAG_FLOAT},
        {"plain bool", "true", 4, 1, true, ZARVEL_TAG_BOOL},
        {"plain null word", "null", 4, 1, true, ZARVEL_TAG_NULL},
        {"plain empty", "", 0, 1, true, ZARVEL_TAG_NULL},
        {"null text, length 0", nullptr, 0, 1, true, ZARVEL_TAG_NULL},
        {"style 0", "x", 1, 0, false, 0},
        {"style 6", "x", 1, 6, false, 0},
        {"null text with length", nullptr, 3, 1, false, 0},
    };
    for (const scalar_row &row : rows) {
        doc_ptr d;
        zarvel_node *n = zarvel_node_new_scalar(d, row.text, row.length, row.style);
        ASSERT_EQ(n != nullptr, row.made) << row.name;
        if (!n) {
            EXPECT_EQ(d.d->store->node_count, 0u) << row.name;
            continue;
        }
        EXPECT_EQ(zarvel_node_kind(n), ZARVEL_NODE_SCALAR) << row.name;
        EXPECT_EQ(zarvel_node_style(n), int32_t(row.style)) << row.name;
        EXPECT_EQ(zarvel_node_tag_id(n), row.tag_id) << row.name;
        EXPECT_FALSE(d.d->store->nodes[n->id].is_plain_implicit()) << row.name;
        uint64_t len = 99;
        const char *v = zarvel_node_value(n, &len);
        ASSERT_NE(v, nullptr) << row.name;
        EXPECT_EQ(std::string(v, len), std::string(row.text ? row.text : "", row.length)) << row.name;
        if (row.length) {
            EXPECT_NE(v, row.text) << row.name << ": the text must be copied";
        }
    }
    EXPECT_EQ(zarvel_node_new_scalar(nullptr, "x", 1, 1), nullptr);
}

TEST(EditCreate, Collections) {
    doc_ptr d;
    zarvel_node *s = zarvel_node_new_sequence(d);
    zarvel_node *m = zarvel_node_new_mapping(d);
    ASSERT_TRUE(s && m);
    EXPECT_EQ(zarvel_node_kind(s), ZARVEL_NODE_SEQUENCE);
    EXPECT_EQ(zarvel_node_kind(m), ZARVEL_NODE_MAPPING);
    EXPECT_EQ(zarvel_node_style(s), 0);
    EXPECT_EQ(zarvel_node_style(m), 0);
    EXPECT_EQ(d.d->store->nodes[s->id].tag_id, ZARVEL_TAG_SEQ);
    EXPECT_EQ(d.d->store->nodes[m->id].tag_id, ZARVEL_TAG_MAP);
    EXPECT_FALSE(d.d->store->nodes[s->id].is_flow());
    EXPECT_EQ(zarvel_node_seq_count(s), 0u);
    EXPECT_EQ(zarvel_node_map_count(m), 0u);
    EXPECT_EQ(zarvel_node_new_sequence(nullptr), nullptr);
    EXPECT_EQ(zarvel_node_new_mapping(nullptr), nullptr);
}

TEST(EditCreate, Aliases) {
    doc_ptr d, other;
    zarvel_node *target = scalar(d, "v");
    zarvel_node *foreign = scalar(other, "v");
    zarvel_node bad_id{d.d, 77};
    struct row {
        const char *name;
        zarvel_document *doc;
        const zarvel_node *target;
        const char *alias_name;
        int32_t length;
        bool made;
    };
    const row rows[] = {
        {"ok", d, target, "a1", 2, true},
        {"empty name", d, target, "", 0, true},
        {"null document", nullptr, target, "a", 1, false},
        {"null target", d, nullptr, "a", 1, false},
        {"null name", d, target, nullptr, 0, false},
        {"negative length", d, target, "a", -1, false},
        {"target of another document", d, foreign, "a", 1, false},
        {"target id out of range", d, &bad_id, "a", 1, false},
    };
    for (const row &r : rows) {
        zarvel_node *a = zarvel_node_new_alias(r.doc, r.target, r.alias_name, r.length);
        ASSERT_EQ(a != nullptr, r.made) << r.name;
        if (!a) continue;
        EXPECT_EQ(zarvel_node_kind(a), ZARVEL_NODE_ALIAS) << r.name;
        uint64_t len = 0;
        const char *v = zarvel_node_value(a, &len);
        EXPECT_EQ(std::string(v, len), std::string(r.alias_name, size_t(r.length))) << r.name;
        zarvel_node *t = zarvel_node_alias_target(a);
        ASSERT_NE(t, nullptr) << r.name;
        EXPECT_EQ(t->id, target->id) << r.name;
        // The target's anchor is left to the host.
        EXPECT_EQ(zarvel_node_anchor(target, nullptr), nullptr) << r.name;
    }
}

TEST(EditCreate, AnchorAndTag) {
    doc_ptr d;
    zarvel_node *s = scalar(d, "x", 2);
    zarvel_node bad_id{d.d, 99};
    zarvel_node no_doc{nullptr, 0};
    using setter = int32_t (*)(const zarvel_node *, const char *, int32_t);
    struct row {
        const char *name;
        setter set;
        const zarvel_node *node;
        const char *text;
        int32_t length;
        int32_t status;
    };
    const row rows[] = {
        {"anchor", zarvel_node_set_anchor, s, "anc", 3, 0},
        {"tag", zarvel_node_set_tag, s, "!!int", 5, 0},
        {"anchor null node", zarvel_node_set_anchor, nullptr, "a", 1, 6},
        {"tag null node", zarvel_node_set_tag, nullptr, "a", 1, 6},
        {"anchor null name", zarvel_node_set_anchor, s, nullptr, 0, 6},
        {"tag null text", zarvel_node_set_tag, s, nullptr, 0, 6},
        {"anchor id out of range", zarvel_node_set_anchor, &bad_id, "a", 1, 6},
        {"tag id out of range", zarvel_node_set_tag, &bad_id, "a", 1, 6},
        {"anchor without document", zarvel_node_set_anchor, &no_doc, "a", 1, 6},
        {"tag negative length", zarvel_node_set_tag, s, "a", -2, 6},
    };
    for (const row &r : rows) EXPECT_EQ(r.set(r.node, r.text, r.length), r.status) << r.name;
    uint64_t len = 0;
    const char *a = zarvel_node_anchor(s, &len);
    EXPECT_EQ(std::string(a, len), "anc");
    const char *t = zarvel_node_tag(s, &len);
    EXPECT_EQ(std::string(t, len), "!!int");
    // The tag text does not change the tag id.
    EXPECT_EQ(zarvel_node_tag_id(s), ZARVEL_TAG_STR);
    EXPECT_EQ(zarvel_node_set_tag(s, "", 0), 0);
    EXPECT_EQ(zarvel_node_tag(s, &len), nullptr);
    EXPECT_EQ(zarvel_node_set_anchor(s, "x", 0), 0);
    EXPECT_EQ(zarvel_node_anchor(s, &len), nullptr);
}

// ---- status tables of the operations -------------------------------------------------

// Each row prepares a fresh document and runs one operation.
struct op_row {
    const char *name;
    std::function<int32_t(zarvel_document *, zarvel_document *)> run;  // (document, other)
    int32_t status;
};

void run_rows(const std::vector<op_row> &rows) {
    for (const op_row &row : rows) {
        doc_ptr d, other;
        EXPECT_EQ(row.run(d, other), row.status) << row.name;
    }
}

TEST(EditStatus, SetRoot) {
    run_rows({
        {"tree", [](zarvel_document *d, zarvel_document *) { return zarvel_document_set_root(d, scalar(d, "x")); }, 0},
        {"null document",
         [](zarvel_document *d, zarvel_document *) { return zarvel_document_set_root(nullptr, scalar(d, "x")); }, 1},
        {"null node", [](zarvel_document *d, zarvel_document *) { return zarvel_document_set_root(d, nullptr); }, 1},
        {"node of another document",
         [](zarvel_document *d, zarvel_document *o) { return zarvel_document_set_root(d, scalar(o, "x")); }, 1},
        {"unknown node",
         [](zarvel_document *d, zarvel_document *) {
             zarvel_node n{d, 5};
             return zarvel_document_set_root(d, &n);
         },
         6},
        {"already a root",
         [](zarvel_document *d, zarvel_document *) {
             zarvel_node *n = scalar(d, "x");
             zarvel_document_set_root(d, n);
             return zarvel_document_set_root(d, n);
         },
         6},
        {"already a child",
         [](zarvel_document *d, zarvel_document *) {
             zarvel_node *s = zarvel_node_new_sequence(d), *n = scalar(d, "x");
             zarvel_node_seq_add(s, n);
             return zarvel_document_set_root(d, n);
         },
         6},
        {"1000 levels",
         [](zarvel_document *d, zarvel_document *) { return zarvel_document_set_root(d, chain(d, 1000)); }, 0},
        {"1001 levels",
         [](zarvel_document *d, zarvel_document *) { return zarvel_document_set_root(d, chain(d, 1001)); }, 3},
    });
}

TEST(EditStatus, MapAdd) {
    run_rows({
        {"add",
         [](zarvel_document *d, zarvel_document *) {
             return zarvel_node_map_add(zarvel_node_new_mapping(d), "k", 1, scalar(d, "v"));
         },
         0},
        {"null mapping",
         [](zarvel_document *d, zarvel_document *) { return zarvel_node_map_add(nullptr, "k", 1, scalar(d, "v")); }, 6},
        {"null key",
         [](zarvel_document *d, zarvel_document *) {
             return zarvel_node_map_add(zarvel_node_new_mapping(d), nullptr, 0, scalar(d, "v"));
         },
         6},
        {"null value",
         [](zarvel_document *d, zarvel_document *) {
             return zarvel_node_map_add(zarvel_node_new_mapping(d), "k", 1, nullptr);
         },
         6},
        {"value of another document",
         [](zarvel_document *d, zarvel_document *o) {
             return zarvel_node_map_add(zarvel_node_new_mapping(d), "k", 1, scalar(o, "v"));
         },
         6},
        {"on a sequence",
         [](zarvel_document *d, zarvel_document *) {
             return zarvel_node_map_add(zarvel_node_new_sequence(d), "k", 1, scalar(d, "v"));
         },
         2},
        {"on a scalar",
         [](zarvel_document *d, zarvel_document *) {
             return zarvel_node_map_add(scalar(d, "m"), "k", 1, scalar(d, "v"));
         },
         2},
        {"key present",
         [](zarvel_document *d, zarvel_document *) {
             zarvel_node *m = zarvel_node_new_mapping(d);
             zarvel_node_map_add(m, "k", 1, scalar(d, "v"));
             return zarvel_node_map_add(m, "k", 1, scalar(d, "w"));
         },
         1},
        {"value attached",
         [](zarvel_document *d, zarvel_document *) {
             zarvel_node *m = zarvel_node_new_mapping(d), *v = scalar(d, "v");
             zarvel_node_map_add(m, "k", 1, v);
             return zarvel_node_map_add(m, "j", 1, v);
         },
         1},
        {"unknown value",
         [](zarvel_document *d, zarvel_document *) {
             zarvel_node v{d, 1000};
             return zarvel_node_map_add(zarvel_node_new_mapping(d), "k", 1, &v);
         },
         1},
        {"mapping into itself",
         [](zarvel_document *d, zarvel_document *) {
             zarvel_node *m = zarvel_node_new_mapping(d);
             return zarvel_node_map_add(m, "k", 1, m);
         },
         1},
        {"too deep",
         [](zarvel_document *d, zarvel_document *) {
             zarvel_node *inner = nullptr;
             zarvel_node *top = chain(d, 1000, &inner);
             zarvel_document_set_root(d, top);  // inner at depth 999
             zarvel_node *m = zarvel_node_new_mapping(d);
             zarvel_node_seq_add(inner, m);  // m at depth 1000
             return zarvel_node_map_add(m, "k", 1, scalar(d, "v"));
         },
         3},
    });
}

TEST(EditStatus, MapAddNode) {
    run_rows({
        {"add",
         [](zarvel_document *d, zarvel_document *) {
             return zarvel_node_map_add_node(zarvel_node_new_mapping(d), scalar(d, "k"), scalar(d, "v"));
         },
         0},
        {"collection key",
         [](zarvel_document *d, zarvel_document *) {
             return zarvel_node_map_add_node(zarvel_node_new_mapping(d), zarvel_node_new_sequence(d), scalar(d, "v"));
         },
         0},
        {"null key",
         [](zarvel_document *d, zarvel_document *) {
             return zarvel_node_map_add_node(zarvel_node_new_mapping(d), nullptr, scalar(d, "v"));
         },
         6},
        {"null mapping",
         [](zarvel_document *d, zarvel_document *) {
             return zarvel_node_map_add_node(nullptr, scalar(d, "k"), scalar(d, "v"));
         },
         6},
        {"key of another document",
         [](zarvel_document *d, zarvel_document *o) {
             return zarvel_node_map_add_node(zarvel_node_new_mapping(d), scalar(o, "k"), scalar(d, "v"));
         },
         6},
        {"on a sequence",
         [](zarvel_document *d, zarvel_document *) {
             return zarvel_node_map_add_node(zarvel_node_new_sequence(d), scalar(d, "k"), scalar(d, "v"));
         },
         2},
        {"key text present",
         [](zarvel_document *d, zarvel_document *) {
             zarvel_node *m = zarvel_node_new_mapping(d);
             zarvel_node_map_add(m, "k", 1, scalar(d, "v"));
             return zarvel_node_map_add_node(m, scalar(d, "k", 3), scalar(d, "w"));
         },
         1},
        {"same node as key and value",
         [](zarvel_document *d, zarvel_document *) {
             zarvel_node *k = scalar(d, "k");
             return zarvel_node_map_add_node(zarvel_node_new_mapping(d), k, k);
         },
         1},
        {"key attached",
         [](zarvel_document *d, zarvel_document *) {
             zarvel_node *s = zarvel_node_new_sequence(d), *k = scalar(d, "k");
             zarvel_node_seq_add(s, k);
             return zarvel_node_map_add_node(zarvel_node_new_mapping(d), k, scalar(d, "v"));
         },
         1},
        {"unknown key",
         [](zarvel_document *d, zarvel_document *) {
             zarvel_node k{d, 500};
             return zarvel_node_map_add_node(zarvel_node_new_mapping(d), &k, scalar(d, "v"));
         },
         1},
        {"too deep key",
         [](zarvel_document *d, zarvel_document *) {
             zarvel_node *m = zarvel_node_new_mapping(d);
             return zarvel_node_map_add_node(m, chain(d, 1001), scalar(d, "v"));
         },
         3},
    });
}

TEST(EditStatus, MapSet) {
    run_rows({
        {"absent key adds",
         [](zarvel_document *d, zarvel_document *) {
             return zarvel_node_map_set(zarvel_node_new_mapping(d), "k", 1, scalar(d, "v"));
         },
         0},
        {"present key replaces",
         [](zarvel_document *d, zarvel_document *) {
             zarvel_node *m = zarvel_node_new_mapping(d);
             zarvel_node_map_add(m, "k", 1, scalar(d, "v"));
             return zarvel_node_map_set(m, "k", 1, scalar(d, "w"));
         },
         0},
        {"null value",
         [](zarvel_document *d, zarvel_document *) {
             return zarvel_node_map_set(zarvel_node_new_mapping(d), "k", 1, nullptr);
         },
         6},
        {"value of another document",
         [](zarvel_document *d, zarvel_document *o) {
             return zarvel_node_map_set(zarvel_node_new_mapping(d), "k", 1, scalar(o, "v"));
         },
         6},
        {"on a sequence",
         [](zarvel_document *d, zarvel_document *) {
             return zarvel_node_map_set(zarvel_node_new_sequence(d), "k", 1, scalar(d, "v"));
         },
         2},
        {"same value again",
         [](zarvel_document *d, zarvel_document *) {
             zarvel_node *m = zarvel_node_new_mapping(d), *v = scalar(d, "v");
             zarvel_node_map_add(m, "k", 1, v);
             return zarvel_node_map_set(m, "k", 1, v);
         },
         1},
        {"replacement too deep",
         [](zarvel_document *d, zarvel_document *) {
             zarvel_node *m = zarvel_node_new_mapping(d);
             zarvel_node_map_add(m, "k", 1, scalar(d, "v"));
             return zarvel_node_map_set(m, "k", 1, chain(d, 1001));
         },
         3},
        {"replacement holding the mapping",
         [](zarvel_document *d, zarvel_document *) {
             zarvel_node *s = zarvel_node_new_sequence(d), *m = zarvel_node_new_mapping(d);
             zarvel_node_map_add(m, "k", 1, scalar(d, "v"));
             zarvel_node_seq_add(s, m);
             return zarvel_node_map_set(m, "k", 1, s);
         },
         1},
    });
}

TEST(EditStatus, MapDel) {
    run_rows({
        {"delete",
         [](zarvel_document *d, zarvel_document *) {
             zarvel_node *m = zarvel_node_new_mapping(d);
             zarvel_node_map_add(m, "k", 1, scalar(d, "v"));
             return zarvel_node_map_del(m, "k", 1);
         },
         0},
        {"null mapping", [](zarvel_document *, zarvel_document *) { return zarvel_node_map_del(nullptr, "k", 1); }, 6},
        {"null key",
         [](zarvel_document *d, zarvel_document *) {
             return zarvel_node_map_del(zarvel_node_new_mapping(d), nullptr, 0);
         },
         6},
        {"absent key",
         [](zarvel_document *d, zarvel_document *) { return zarvel_node_map_del(zarvel_node_new_mapping(d), "k", 1); },
         1},
        {"on a sequence",
         [](zarvel_document *d, zarvel_document *) { return zarvel_node_map_del(zarvel_node_new_sequence(d), "k", 1); },
         1},
        {"key is a prefix only",
         [](zarvel_document *d, zarvel_document *) {
             zarvel_node *m = zarvel_node_new_mapping(d);
             zarvel_node_map_add(m, "key", 3, scalar(d, "v"));
             return zarvel_node_map_del(m, "ke", 2);
         },
         1},
    });
}

TEST(EditStatus, SeqAdd) {
    run_rows({
        {"add",
         [](zarvel_document *d, zarvel_document *) {
             return zarvel_node_seq_add(zarvel_node_new_sequence(d), scalar(d, "x"));
         },
         0},
        {"null sequence",
         [](zarvel_document *d, zarvel_document *) { return zarvel_node_seq_add(nullptr, scalar(d, "x")); }, 6},
        {"null item",
         [](zarvel_document *d, zarvel_document *) {
             return zarvel_node_seq_add(zarvel_node_new_sequence(d), nullptr);
         },
         6},
        {"item of another document",
         [](zarvel_document *d, zarvel_document *o) {
             return zarvel_node_seq_add(zarvel_node_new_sequence(d), scalar(o, "x"));
         },
         6},
        {"on a mapping",
         [](zarvel_document *d, zarvel_document *) {
             return zarvel_node_seq_add(zarvel_node_new_mapping(d), scalar(d, "x"));
         },
         2},
        {"same item in two sequences",
         [](zarvel_document *d, zarvel_document *) {
             zarvel_node *x = scalar(d, "x");
             zarvel_node_seq_add(zarvel_node_new_sequence(d), x);
             return zarvel_node_seq_add(zarvel_node_new_sequence(d), x);
         },
         1},
        {"a root as item",
         [](zarvel_document *d, zarvel_document *) {
             zarvel_node *x = scalar(d, "x");
             zarvel_document_set_root(d, x);
             return zarvel_node_seq_add(zarvel_node_new_sequence(d), x);
         },
         1},
        {"into itself",
         [](zarvel_document *d, zarvel_document *) {
             zarvel_node *s = zarvel_node_new_sequence(d);
             return zarvel_node_seq_add(s, s);
         },
         1},
        {"ancestor below descendant",
         [](zarvel_document *d, zarvel_document *) {
             zarvel_node *inner = nullptr;
             zarvel_node *top = chain(d, 3, &inner);
             return zarvel_node_seq_add(inner, top);
         },
         1},
        {"unknown item",
         [](zarvel_document *d, zarvel_document *) {
             zarvel_node x{d, 0xFFFFFFF0u};
             return zarvel_node_seq_add(zarvel_node_new_sequence(d), &x);
         },
         1},
        {"deepest node at depth 1000",
         [](zarvel_document *d, zarvel_document *) {
             zarvel_node *inner = nullptr;
             zarvel_document_set_root(d, chain(d, 1000, &inner));
             return zarvel_node_seq_add(inner, scalar(d, "x"));
         },
         0},
        {"depth 1001",
         [](zarvel_document *d, zarvel_document *) {
             zarvel_node *inner = nullptr;
             zarvel_document_set_root(d, chain(d, 1000, &inner));
             return zarvel_node_seq_add(inner, zarvel_node_new_sequence(d)) == 0 ? 100 : 0;
         },
         100},
        {"a two-level item below depth 999",
         [](zarvel_document *d, zarvel_document *) {
             zarvel_node *inner = nullptr;
             zarvel_document_set_root(d, chain(d, 1000, &inner));
             zarvel_node *item = zarvel_node_new_sequence(d);
             zarvel_node_seq_add(item, scalar(d, "x"));
             return zarvel_node_seq_add(inner, item);
         },
         3},
    });
}

TEST(EditStatus, SeqSet) {
    auto two = [](zarvel_document *d) {
        zarvel_node *s = zarvel_node_new_sequence(d);
        zarvel_node_seq_add(s, scalar(d, "a"));
        zarvel_node_seq_add(s, scalar(d, "b"));
        return s;
    };
    run_rows({
        {"first",
         [two](zarvel_document *d, zarvel_document *) { return zarvel_node_seq_set(two(d), 0, scalar(d, "x")); }, 0},
        {"last",
         [two](zarvel_document *d, zarvel_document *) { return zarvel_node_seq_set(two(d), 1, scalar(d, "x")); }, 0},
        {"index = count",
         [two](zarvel_document *d, zarvel_document *) { return zarvel_node_seq_set(two(d), 2, scalar(d, "x")); }, 2},
        {"null sequence",
         [](zarvel_document *d, zarvel_document *) { return zarvel_node_seq_set(nullptr, 0, scalar(d, "x")); }, 6},
        {"null item", [two](zarvel_document *d, zarvel_document *) { return zarvel_node_seq_set(two(d), 0, nullptr); },
         6},
        {"item of another document",
         [two](zarvel_document *d, zarvel_document *o) { return zarvel_node_seq_set(two(d), 0, scalar(o, "x")); }, 6},
        {"on a mapping",
         [](zarvel_document *d, zarvel_document *) {
             return zarvel_node_seq_set(zarvel_node_new_mapping(d), 0, scalar(d, "x"));
         },
         2},
        {"attached item",
         [two](zarvel_document *d, zarvel_document *) {
             zarvel_node *s = two(d);
             return zarvel_node_seq_set(s, 0, zarvel_node_seq_at(s, 1));
         },
         1},
        {"1000-level item",
         [two](zarvel_document *d, zarvel_document *) { return zarvel_node_seq_set(two(d), 0, chain(d, 1000)); }, 0},
        {"too deep",
         [two](zarvel_document *d, zarvel_document *) { return zarvel_node_seq_set(two(d), 0, chain(d, 1001)); }, 3},
    });
}

TEST(EditStatus, SeqDel) {
    auto two = [](zarvel_document *d) {
        zarvel_node *s = zarvel_node_new_sequence(d);
        zarvel_node_seq_add(s, scalar(d, "a"));
        zarvel_node_seq_add(s, scalar(d, "b"));
        return s;
    };
    run_rows({
        {"first", [two](zarvel_document *d, zarvel_document *) { return zarvel_node_seq_del(two(d), 0); }, 0},
        {"last", [two](zarvel_document *d, zarvel_document *) { return zarvel_node_seq_del(two(d), 1); }, 0},
        {"index = count", [two](zarvel_document *d, zarvel_document *) { return zarvel_node_seq_del(two(d), 2); }, 1},
        {"negative index", [two](zarvel_document *d, zarvel_document *) { return zarvel_node_seq_del(two(d), -1); }, 1},
        {"null sequence", [](zarvel_document *, zarvel_document *) { return zarvel_node_seq_del(nullptr, 0); }, 6},
        {"on a mapping",
         [](zarvel_document *d, zarvel_document *) { return zarvel_node_seq_del(zarvel_node_new_mapping(d), 0); }, 1},
        {"empty sequence",
         [](zarvel_document *d, zarvel_document *) { return zarvel_node_seq_del(zarvel_node_new_sequence(d), 0); }, 1},
    });
}

// ---- behaviour ------------------------------------------------------------------------

TEST(EditTree, BuildAndReadBack) {
    doc_ptr d;
    zarvel_node *m = zarvel_node_new_mapping(d);
    zarvel_node *s = zarvel_node_new_sequence(d);
    ASSERT_EQ(zarvel_node_seq_add(s, scalar(d, "1")), 0);
    ASSERT_EQ(zarvel_node_seq_add(s, scalar(d, "two", 3)), 0);
    ASSERT_EQ(zarvel_node_map_add(m, "list", 4, s), 0);
    ASSERT_EQ(zarvel_node_map_add_node(m, scalar(d, "k", 2), scalar(d, "v")), 0);
    ASSERT_EQ(zarvel_document_set_root(d, m), 0);
    EXPECT_EQ(root_text(d), R"({"list":["1","two"],"k":"v"})");
    zarvel_node *v = zarvel_node_map_get(zarvel_document_root(d, 0), "k", 1);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(render(v), R"("v")");
    // The key made by map_add is a plain scalar resolved by the core schema.
    zarvel_node *key = nullptr;
    ASSERT_EQ(zarvel_node_map_at(m, 0, &key, nullptr), 0);
    EXPECT_EQ(zarvel_node_style(key), ZARVEL_NODE_STYLE_PLAIN);
    EXPECT_EQ(zarvel_node_tag_id(key), ZARVEL_TAG_STR);
    int64_t one = 0;
    EXPECT_EQ(zarvel_node_int(zarvel_node_seq_at(s, 0), &one), 0);
    EXPECT_EQ(one, 1);
}

TEST(EditTree, TwoRootsMakeTwoDocuments) {
    doc_ptr d;
    ASSERT_EQ(zarvel_document_set_root(d, scalar(d, "a")), 0);
    zarvel_node *s = zarvel_node_new_sequence(d);
    zarvel_node_seq_add(s, scalar(d, "b"));
    ASSERT_EQ(zarvel_document_set_root(d, s), 0);
    EXPECT_EQ(zarvel_document_count(d), 2u);
    EXPECT_EQ(root_text(d, 0), R"("a")");
    EXPECT_EQ(root_text(d, 1), R"(["b"])");
}

TEST(EditTree, MapAddWithPresentKeyChangesNothing) {
    doc_ptr d;
    zarvel_node *m = zarvel_node_new_mapping(d);
    zarvel_node_map_add(m, "k", 1, scalar(d, "v"));
    uint32_t nodes = d.d->store->node_count;
    uint32_t strings = d.d->store->strings_len;
    zarvel_node *w = scalar(d, "w");
    EXPECT_EQ(zarvel_node_map_add(m, "k", 1, w), 1);
    EXPECT_EQ(d.d->store->node_count, nodes + 1);  // only w
    EXPECT_EQ(d.d->store->strings_len, strings + 1);
    EXPECT_EQ(render(m), R"({"k":"v"})");
    // A failed value check removes the key made for it.
    uint32_t before = d.d->store->node_count;
    EXPECT_EQ(zarvel_node_map_add(m, "j", 1, zarvel_node_map_get(m, "k", 1)), 1);
    EXPECT_EQ(d.d->store->node_count, before);
    EXPECT_EQ(render(m), R"({"k":"v"})");
}

TEST(EditTree, ReplaceThenReuse) {
    doc_ptr d;
    zarvel_node *m = zarvel_node_new_mapping(d);
    zarvel_node *old_value = scalar(d, "old");
    ASSERT_EQ(zarvel_node_map_add(m, "k", 1, old_value), 0);
    ASSERT_EQ(zarvel_node_map_add(m, "z", 1, scalar(d, "last")), 0);
    EXPECT_EQ(render(zarvel_node_map_get(m, "k", 1)), R"("old")");  // index built
    ASSERT_EQ(zarvel_node_map_set(m, "k", 1, scalar(d, "new")), 0);
    EXPECT_EQ(render(m), R"({"k":"new","z":"last"})");
    EXPECT_EQ(render(zarvel_node_map_get(m, "k", 1)), R"("new")");  // index rebuilt
    // The replaced value is free again.
    zarvel_node *s = zarvel_node_new_sequence(d);
    ASSERT_EQ(zarvel_node_seq_add(s, old_value), 0);
    // Replace the last value: last_child must follow.
    ASSERT_EQ(zarvel_node_map_set(m, "z", 1, scalar(d, "end")), 0);
    ASSERT_EQ(zarvel_node_map_add(m, "after", 5, scalar(d, "x")), 0);
    EXPECT_EQ(render(m), R"({"k":"new","z":"end","after":"x"})");

    // Sequences: replace, then reuse the old item.
    zarvel_node *a = scalar(d, "a");
    zarvel_node *seq = zarvel_node_new_sequence(d);
    zarvel_node_seq_add(seq, a);
    zarvel_node_seq_add(seq, scalar(d, "b"));
    EXPECT_EQ(render(zarvel_node_seq_at(seq, 0)), R"("a")");  // cache built
    ASSERT_EQ(zarvel_node_seq_set(seq, 0, scalar(d, "A")), 0);
    EXPECT_EQ(render(zarvel_node_seq_at(seq, 0)), R"("A")");
    ASSERT_EQ(zarvel_node_seq_set(seq, 1, scalar(d, "B")), 0);
    ASSERT_EQ(zarvel_node_seq_add(seq, a), 0);
    EXPECT_EQ(render(seq), R"(["A","B","a"])");
}

TEST(EditTree, DeleteThenReuse) {
    doc_ptr d;
    zarvel_node *m = zarvel_node_new_mapping(d);
    zarvel_node *v1 = scalar(d, "1"), *v2 = scalar(d, "2"), *v3 = scalar(d, "3");
    zarvel_node_map_add(m, "a", 1, v1);
    zarvel_node_map_add(m, "b", 1, v2);
    zarvel_node_map_add(m, "c", 1, v3);
    EXPECT_EQ(render(zarvel_node_map_get(m, "c", 1)), R"("3")");
    ASSERT_EQ(zarvel_node_map_del(m, "b", 1), 0);
    EXPECT_EQ(render(m), R"({"a":"1","c":"3"})");
    EXPECT_EQ(zarvel_node_map_get(m, "b", 1), nullptr);
    ASSERT_EQ(zarvel_node_map_del(m, "c", 1), 0);
    ASSERT_EQ(zarvel_node_map_add(m, "d", 1, v3), 0);  // last_child was fixed
    EXPECT_EQ(render(m), R"({"a":"1","d":"3"})");
    ASSERT_EQ(zarvel_node_map_del(m, "a", 1), 0);
    ASSERT_EQ(zarvel_node_map_del(m, "d", 1), 0);
    EXPECT_EQ(zarvel_node_map_count(m), 0u);
    ASSERT_EQ(zarvel_node_map_add(m, "e", 1, v1), 0);
    EXPECT_EQ(render(m), R"({"e":"1"})");

    zarvel_node *s = zarvel_node_new_sequence(d);
    zarvel_node_seq_add(s, v2);
    zarvel_node_seq_add(s, scalar(d, "x"));
    EXPECT_EQ(render(zarvel_node_seq_at(s, 1)), R"("x")");
    ASSERT_EQ(zarvel_node_seq_del(s, 0), 0);
    EXPECT_EQ(render(zarvel_node_seq_at(s, 0)), R"("x")");
    EXPECT_EQ(zarvel_node_seq_at(s, 1), nullptr);
    ASSERT_EQ(zarvel_node_seq_add(s, v2), 0);
    EXPECT_EQ(render(s), R"(["x","2"])");
}

TEST(EditTree, DetachedTreesCountDepthFromTheirTop) {
    doc_ptr d;
    zarvel_node *inner = nullptr;
    zarvel_node *top = chain(d, 999, &inner);
    zarvel_node *m = zarvel_node_new_mapping(d);
    ASSERT_EQ(zarvel_node_seq_add(inner, m), 0);  // m at depth 999
    ASSERT_EQ(zarvel_node_map_add(m, "k", 1, scalar(d, "v")), 0);
    // Take m out; it is a free-standing tree again and may grow deeper.
    ASSERT_EQ(zarvel_node_seq_del(inner, 0), 0);
    ASSERT_EQ(zarvel_node_map_set(m, "k", 1, chain(d, 5)), 0);
    ASSERT_EQ(zarvel_document_set_root(d, m), 0);
    EXPECT_EQ(zarvel_document_set_root(d, top), 0);
}

TEST(EditTree, KeyTextFromTheDocumentItself) {
    // A host may pass a pointer it read from the document as the key text;
    // the copy must not read storage that growth has released.
    doc_ptr d;
    zarvel_node *m = zarvel_node_new_mapping(d);
    std::string long_text(300, 'q');
    zarvel_node *k = scalar(d, long_text, 3);
    uint64_t len = 0;
    const char *p = zarvel_node_value(k, &len);
    for (int i = 0; i < 6; ++i) {
        zarvel_node *value = scalar(d, std::string(1000, char('a' + i)));
        p = zarvel_node_value(k, &len);  // read after the value grew the storage
        ASSERT_EQ(zarvel_node_map_add(m, p, len, value), i == 0 ? 0 : 1) << i;
        p = zarvel_node_value(k, &len);
    }
    zarvel_node *first = nullptr;
    ASSERT_EQ(zarvel_node_map_at(m, 0, &first, nullptr), 0);
    const char *t = zarvel_node_value(first, &len);
    EXPECT_EQ(std::string(t, len), long_text);
    // Same for a tag taken from another node.
    zarvel_node *s = scalar(d, "tagged");
    ASSERT_EQ(zarvel_node_set_tag(s, p, int32_t(len)), 0);
    t = zarvel_node_tag(s, &len);
    EXPECT_EQ(std::string(t, len), long_text);
}

// ---- parsed documents --------------------------------------------------------------------

// Every editing call on a document still pending (its nodes not yet made)
// builds it first, as the reads do; node 0 is the parsed root mapping.
TEST(EditParsed, FirstEditBuildsThePendingDocument) {
    struct row {
        const char *name;
        std::function<int32_t(zarvel_document *)> edit;
        int32_t status;
        const char *root;  // rendering of root 0 afterwards
        uint32_t documents = 1;
    };
    auto made = [](const zarvel_node *n) { return n ? 0 : -1; };
    const row rows[] = {
        {"new scalar", [&](zarvel_document *d) { return made(scalar(d, "x")); }, 0, R"({"a":["x","y"],"b":"z"})"},
        {"new sequence", [&](zarvel_document *d) { return made(zarvel_node_new_sequence(d)); }, 0, nullptr},
        {"new mapping", [&](zarvel_document *d) { return made(zarvel_node_new_mapping(d)); }, 0, nullptr},
        {"map add on node 0",
         [](zarvel_document *d) {
             zarvel_node root{d, 0};
             zarvel_node item{d, 2};  // the parsed sequence's first item
             return zarvel_node_map_add(&root, "c", 1, &item);
         },
         1, R"({"a":["x","y"],"b":"z"})"},
        {"map del on node 0",
         [](zarvel_document *d) {
             zarvel_node root{d, 0};
             return zarvel_node_map_del(&root, "b", 1);
         },
         0, R"({"a":["x","y"]})"},
        {"seq add to a mapping",
         [](zarvel_document *d) {
             zarvel_node root{d, 0};
             return zarvel_node_seq_add(&root, &root);
         },
         2, nullptr},
        {"set tag",
         [](zarvel_document *d) {
             zarvel_node root{d, 0};
             return zarvel_node_set_tag(&root, "!t", 2);
         },
         0, nullptr},
        {"set root of a parsed node",
         [](zarvel_document *d) {
             zarvel_node root{d, 0};
             return zarvel_document_set_root(d, &root);
         },
         6, nullptr},
        {"build",
         [](zarvel_document *d) {
             zarvel_build_record r{ZARVEL_BUILD_SCALAR, 1, 0, 1};
             return zarvel_document_build(d, &r, 1, "q", 1);
         },
         0, nullptr, 2},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        std::string text = "a x y b z";
        doc_ptr d(doc_test::pending_document(text, events_of_small_map(text)));
        ASSERT_EQ(d.d->store, nullptr);
        EXPECT_EQ(r.edit(d), r.status);
        ASSERT_NE(d.d->store, nullptr);
        EXPECT_EQ(zarvel_document_count(d), r.documents);
        if (r.root) {
            EXPECT_EQ(root_text(d), r.root);
        }
    }
    // Through the parse entry as well.
    int32_t status = -1;
    doc_ptr parsed(zarvel_parse("k: v\n", 5, &status));
    ASSERT_EQ(status, 0);
    ASSERT_NE(zarvel_node_new_sequence(parsed), nullptr);
    EXPECT_EQ(root_text(parsed), R"({"k":"v"})");
}

TEST(EditParsed, ParsedNodesHangInOnePlace) {
    std::string text = "a x y b z";
    doc_ptr d(doc_test::pending_document(text, events_of_small_map(text)));
    zarvel_node *root = zarvel_document_root(d, 0);
    ASSERT_EQ(render(root), R"({"a":["x","y"],"b":"z"})");
    zarvel_node *list = zarvel_node_map_get(root, "a", 1);
    zarvel_node *z = zarvel_node_map_get(root, "b", 1);
    ASSERT_TRUE(list && z);
    // Parsed children and the parsed root are attached.
    EXPECT_EQ(zarvel_node_seq_add(list, z), 1);
    EXPECT_EQ(zarvel_node_seq_add(zarvel_node_new_sequence(d), zarvel_node_seq_at(list, 0)), 1);
    EXPECT_EQ(zarvel_node_map_add(root, "c", 1, list), 1);
    EXPECT_EQ(zarvel_document_set_root(d, list), 6);
    EXPECT_EQ(zarvel_document_set_root(d, root), 6);
    EXPECT_EQ(zarvel_node_seq_add(list, root), 1);  // would be a cycle anyway
    // Editing works on the parsed tree.
    ASSERT_EQ(zarvel_node_seq_add(list, scalar(d, "new")), 0);
    ASSERT_EQ(zarvel_node_map_set(root, "b", 1, scalar(d, "Z")), 0);
    ASSERT_EQ(zarvel_node_seq_add(list, z), 0);  // z was replaced, so it is free
    ASSERT_EQ(zarvel_node_map_del(root, "a", 1), 0);
    ASSERT_EQ(zarvel_node_map_add(root, "again", 5, list), 0);
    EXPECT_EQ(render(root), R"({"b":"Z","again":["x","y","new","z"]})");
}

TEST(EditParsed, ParsedDepthsAreRecorded) {
    // The store's growth limits follow the input length: give it room.
    std::string text(4096, 'x');
    // 999 parsed levels: the innermost sequence sits at depth 998.
    doc_ptr d(doc_test::pending_document(text, events_of_nested(999, {std::string_view(text.data(), 1)})));
    zarvel_node *n = zarvel_document_root(d, 0);
    for (int i = 1; i < 999; ++i) n = zarvel_node_seq_at(n, 0);
    ASSERT_EQ(zarvel_node_kind(n), ZARVEL_NODE_SEQUENCE);
    zarvel_node *leaf = zarvel_node_seq_at(n, 0);
    ASSERT_EQ(zarvel_node_kind(leaf), ZARVEL_NODE_SCALAR);
    ASSERT_EQ(zarvel_node_seq_add(n, zarvel_node_new_sequence(d)), 0);  // depth 999
    EXPECT_EQ(zarvel_node_seq_add(n, chain(d, 3)), 3);                  // would reach 1001
    EXPECT_EQ(zarvel_node_seq_add(n, chain(d, 2)), 0);                  // reaches 1000
    zarvel_node *last = zarvel_node_seq_at(n, 1);
    EXPECT_EQ(zarvel_node_seq_add(last, scalar(d, "deepest")), 0);  // depth 1000
    EXPECT_EQ(zarvel_node_seq_add(last, zarvel_node_new_mapping(d)), 0);
    zarvel_node *deepest_map = zarvel_node_seq_at(last, 1);
    EXPECT_EQ(zarvel_node_map_add(deepest_map, "k", 1, scalar(d, "v")), 3);
}

// ---- zarvel_document_build ------------------------------------------------------------------

// Records over a text that grows as they are added.
struct records {
    std::string text;
    std::vector<zarvel_build_record> list;
    records &add(uint8_t type, std::string_view s = {}, uint8_t style = 1) {
        list.push_back({type, style, uint32_t(text.size()), uint32_t(s.size())});
        text += s;
        return *this;
    }
    records &scalar(std::string_view s, uint8_t style = 1) { return add(ZARVEL_BUILD_SCALAR, s, style); }
    records &seq() { return add(ZARVEL_BUILD_SEQUENCE); }
    records &map() { return add(ZARVEL_BUILD_MAPPING); }
    records &end() { return add(ZARVEL_BUILD_END); }
    records &tag(std::string_view s) { return add(ZARVEL_BUILD_TAG, s); }
    records &raw(zarvel_build_record r) {
        list.push_back(r);
        return *this;
    }
    records &nested(int levels) {
        for (int i = 0; i < levels; ++i) seq();
        return *this;
    }
    records &close(int levels) {
        for (int i = 0; i < levels; ++i) end();
        return *this;
    }
};

struct build_row {
    const char *name;
    records input;
    int32_t status;
    const char *tree;  // rendering of the new root on success
};

TEST(EditBuild, Records) {
    const build_row rows[] = {
        {"sequence of two", records().seq().scalar("a").scalar("b").end(), 0, R"(["a","b"])"},
        {"trailing extra scalar", records().seq().scalar("a").scalar("b").end().scalar("c"), 1, nullptr},
        {"scalar root", records().scalar("x"), 0, R"("x")"},
        {"scalar root with tag", records().scalar("x").tag("!t"), 0, R"("x")"},
        {"two tags on the root", records().scalar("x").tag("!t").tag("!u"), 1, nullptr},
        {"empty root collection then tag", records().map().end().tag("!m"), 0, "{}"},
        {"tag after a root with children", records().seq().scalar("a").end().tag("!t"), 1, nullptr},
        {"mapping", records().map().scalar("k").scalar("v").scalar("j").seq().scalar("1").end().end(), 0,
         R"({"k":"v","j":["1"]})"},
        {"tag across an end", records().map().scalar("k").seq().scalar("1").end().tag("!t").end(), 0, R"({"k":["1"]})"},
        // The sequence becomes a key and is not opened: "a" is its value, "b"
        // a key left pending when the end closes the mapping.
        {"collection key stays empty", records().map().seq().scalar("a").scalar("b").end(), 0, R"({[]:"a"})"},
        {"collection key and value", records().map().seq().scalar("v").end(), 0, R"({[]:"v"})"},
        {"key pending at close is dropped", records().map().scalar("k").scalar("v").scalar("dangling").end(), 0,
         R"({"k":"v"})"},
        {"duplicate key", records().map().scalar("k").scalar("v").scalar("k").scalar("w").end(), 1, nullptr},
        {"unclosed", records().seq().scalar("a"), 1, nullptr},
        {"end with nothing open", records().end(), 1, nullptr},
        {"tag first", records().tag("!t"), 1, nullptr},
        {"unknown type", records().seq().raw({9, 0, 0, 0}).end(), 1, nullptr},
        {"type 0", records().raw({0, 0, 0, 0}), 1, nullptr},
        {"offset past the text", records().scalar("abc").raw({ZARVEL_BUILD_TAG, 0, 4, 0}), 1, nullptr},
        {"length past the text", records().raw({ZARVEL_BUILD_SCALAR, 1, 0, 1}), 1, nullptr},
        {"end record with a bad range", records().seq().raw({ZARVEL_BUILD_END, 0, 1, 0}), 1, nullptr},
        {"1000 open levels", records().nested(1000).close(1000), 0, nullptr},
        {"1001 open levels", records().nested(1001).close(1001), 3, nullptr},
        {"1000 levels with a leaf", records().nested(1000).scalar("x").close(1000), 3, nullptr},
        {"999 levels with a leaf", records().nested(999).scalar("x").close(999), 0, nullptr},
        {"any style is taken", records().seq().scalar("1", 9).scalar("2", 3).end(), 0, R"(["1","2"])"},
    };
    for (const build_row &row : rows) {
        doc_ptr d;
        const records &r = row.input;
        int32_t status = zarvel_document_build(d, r.list.data(), r.list.size(), r.text.data(), r.text.size());
        EXPECT_EQ(status, row.status) << row.name;
        EXPECT_EQ(zarvel_document_count(d), status == 0 ? 1u : 0u) << row.name;
        if (status == 0 && row.tree) {
            EXPECT_EQ(root_text(d), row.tree) << row.name;
        }
    }
}

TEST(EditBuild, LargeMappingsAndDuplicates) {
    for (int pairs : {15, 16, 17, 100, 20000}) {
        records r;
        r.map();
        for (int i = 0; i < pairs; ++i) r.scalar("k" + std::to_string(i)).scalar(std::to_string(i));
        r.end();
        doc_ptr d;
        ASSERT_EQ(zarvel_document_build(d, r.list.data(), r.list.size(), r.text.data(), r.text.size()), 0) << pairs;
        zarvel_node *root = zarvel_document_root(d, 0);
        EXPECT_EQ(zarvel_node_map_count(root), uint64_t(pairs));
        EXPECT_EQ(render(zarvel_node_map_get(root, "k7", 2)), R"("7")");
        for (int dup : {0, pairs / 2, pairs - 1}) {
            records again = r;
            again.list.pop_back();
            again.scalar("k" + std::to_string(dup)).scalar("x").end();
            doc_ptr e;
            EXPECT_EQ(
                zarvel_document_build(e, again.list.data(), again.list.size(), again.text.data(), again.text.size()), 1)
                << pairs << " pairs, duplicate of key " << dup;
        }
    }
}

TEST(EditBuild, Arguments) {
    doc_ptr d;
    zarvel_build_record r{ZARVEL_BUILD_SCALAR, 1, 0, 1};
    EXPECT_EQ(zarvel_document_build(nullptr, &r, 1, "x", 1), 6);
    EXPECT_EQ(zarvel_document_build(d, nullptr, 1, "x", 1), 6);
    EXPECT_EQ(zarvel_document_build(d, &r, 1, nullptr, 1), 6);
    EXPECT_EQ(zarvel_document_build(d, &r, 0x1000000000000000ull, "x", 1), 6);
    EXPECT_EQ(zarvel_document_build(d, nullptr, 0, nullptr, 0), 1);
    EXPECT_EQ(zarvel_document_build(d, &r, 0, "x", 1), 1);
    zarvel_build_record empty{ZARVEL_BUILD_SCALAR, 1, 0, 0};
    EXPECT_EQ(zarvel_document_build(d, &empty, 1, nullptr, 0), 0);
    EXPECT_EQ(zarvel_node_tag_id(zarvel_document_root(d, 0)), ZARVEL_TAG_NULL);
}

TEST(EditBuild, DetailsOfTheTree) {
    doc_ptr d;
    records r = records().seq().scalar("12").scalar("12", 2).tag("!!int").scalar("x", 13).end();
    ASSERT_EQ(zarvel_document_build(d, r.list.data(), r.list.size(), r.text.data(), r.text.size()), 0);
    zarvel_node *root = zarvel_document_root(d, 0);
    zarvel_node *a = zarvel_node_seq_at(root, 0), *b = zarvel_node_seq_at(root, 1), *c = zarvel_node_seq_at(root, 2);
    EXPECT_EQ(zarvel_node_tag_id(a), ZARVEL_TAG_INT);
    EXPECT_EQ(zarvel_node_tag_id(b), ZARVEL_TAG_STR);
    uint64_t len = 0;
    const char *tag = zarvel_node_tag(b, &len);
    EXPECT_EQ(std::string(tag, len), "!!int");
    EXPECT_EQ(zarvel_node_style(c), 5);  // low three bits of 13
    // Texts are copied: the records' text may go away.
    r.text.assign(r.text.size(), '#');
    const char *v = zarvel_node_value(a, &len);
    EXPECT_EQ(std::string(v, len), "12");
    // Building again adds a second document.
    records s = records().scalar("second");
    ASSERT_EQ(zarvel_document_build(d, s.list.data(), s.list.size(), s.text.data(), s.text.size()), 0);
    EXPECT_EQ(zarvel_document_count(d), 2u);
    // A failed build leaves its nodes unattached: they can be used.
    records bad = records().seq().scalar("left");
    uint32_t before = d.d->store->node_count;
    ASSERT_EQ(zarvel_document_build(d, bad.list.data(), bad.list.size(), bad.text.data(), bad.text.size()), 1);
    zarvel_node left{d.d, before};
    EXPECT_EQ(zarvel_document_set_root(d, &left), 0);
    EXPECT_EQ(root_text(d, 2), R"(["left"])");
}

// Allocation failure in every editing entry: tests/injection_test.cpp.

}  // namespace
