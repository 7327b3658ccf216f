// Allocation failure in every exported entry that allocates: for every n up
// to the entry's allocation count on a representative input, allocation n
// fails, and the entry must report out of memory as it documents (status 2,
// or null; a status 1 only with out of memory recorded), never crash or
// leak (LeakSanitizer in the sanitizer build) and, for the editing entries,
// leave the tree unchanged and usable.
//
// Entries listed here (one table row or more each):
//   events      zarvel_push_parse zarvel_pull_new zarvel_recorder_new zarvel_recorder_new_ex
//               zarvel_recorder_feed zarvel_iterparse_new zarvel_iterparse_next
//   documents   zarvel_parse zarvel_parse_ex zarvel_document_count zarvel_document_root
//               zarvel_document_status
//               zarvel_node_seq_at zarvel_node_map_at zarvel_node_map_get zarvel_node_children
//               zarvel_node_alias_target zarvel_node_child_ids zarvel_node_child_views
//               zarvel_document_child_views zarvel_document_views zarvel_document_node
//   building    zarvel_document_new zarvel_node_new_scalar zarvel_node_new_sequence
//               zarvel_node_new_mapping zarvel_node_new_alias zarvel_node_set_anchor
//               zarvel_node_set_tag zarvel_document_set_root zarvel_node_map_add
//               zarvel_node_map_add_node zarvel_node_map_set zarvel_node_map_del
//               zarvel_node_seq_add zarvel_node_seq_set zarvel_node_seq_del zarvel_document_build
//   JSON        zarvel_parse_json zarvel_parse_json_ex zarvel_parse_json_tape
//               zarvel_parse_json_tape_lenient zarvel_plan_compile zarvel_document_plan_walk zarvel_tape_plan_walk
//   output      zarvel_serialize zarvel_serialize_ex zarvel_serialize_into
//               zarvel_serialize_into_ex zarvel_serialize_json zarvel_serialize_json_ex
//               zarvel_serialize_stream zarvel_visit zarvel_visit_node zarvel_visit_json
//   typed       zarvel_value_drain zarvel_value_drain_columns zarvel_marshal
//               zarvel_marshal_node zarvel_schema_load
//   CBOR        zvl_cbor_decode_gen zvl_cbor_decode_dom_sink zarvel_cbor_decode
//               zarvel_cbor_decode_sequence zarvel_cbor_encode zarvel_cbor_encode_into
//               zarvel_cbor_encode_sequence zarvel_cbor_encode_sequence_into
//   plain       zarvel_plain_json zarvel_plain_json_ex zarvel_plain_json_into
//               zarvel_plain_json_stream zarvel_plain_cbor zarvel_plain_cbor_ex
//               zarvel_plain_cbor_into zarvel_plain_cbor_stream
// The other exports (kernels, getters of records, free functions, status
// functions) allocate nothing; AllocationFreeEntries checks a sample of them.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/memory.hpp"
#include "doc/store.hpp"
#include "yaml/parse.hpp"
#include "zarvel.h"

namespace {

// The allocation window of one run: open() arms the failure of allocation
// n (counted from there), close() switches injection off and keeps the count.
struct window {
    uint64_t n = 0;
    uint64_t seen = 0;
    bool armed = false;
    void open() {
        zvl::testing::fail_allocation(n);
        armed = true;
    }
    void close() {
        if (!armed) return;
        seen = zvl::testing::fail_allocation(0);
        armed = false;
    }
};

// A run: prepares, opens the window around the entry, checks and releases.
// Returns 0 on success or the entry's failure status.
using run_fn = std::function<int32_t(window &)>;

struct entry_row {
    std::string name;
    run_fn run;
    std::vector<int32_t> failures;  // allowed statuses when an allocation failed
    bool allocates = true;          // false: the input may need no allocation
};

// Status 1 is an out-of-memory only when the thread's record says so.
constexpr int32_t recorded_oom = 101;

void drive(const entry_row &row) {
    zvl::testing::fail_allocation(0);
    window clean;  // n = 0: nothing fails
    int32_t ok = row.run(clean);
    clean.close();
    ASSERT_EQ(ok, 0) << row.name << ": run without failure";
    if (row.allocates) {
        EXPECT_GT(clean.seen, 0u) << row.name << ": no allocation seen";
    }
    for (uint64_t n = 1; n <= clean.seen + 1; ++n) {
        zarvel_error_clear(zarvel_error_current());
        window w;
        w.n = n;
        int32_t status = row.run(w);
        w.close();
        if (w.seen < n) {
            EXPECT_EQ(status, 0) << row.name << ": allocation " << n << " was not reached, yet status " << status;
            return;
        }
        // An absorbed failure (a fallback path, an optional pre-sizing) is
        // fine as long as the result is right, which the run itself checks.
        bool allowed = status == 0;
        for (int32_t f : row.failures) {
            if (f == status) allowed = true;
            if (f == recorded_oom && status == 1 && zarvel_error_current()->code == ZARVEL_ERR_NO_MEMORY)
                allowed = true;
        }
        EXPECT_TRUE(allowed) << row.name << ": allocation " << n << " of " << clean.seen << " failed, status " << status
                             << " (error code " << zarvel_error_current()->code << ", \""
                             << zarvel_error_current()->message << "\")";
        if (!allowed) return;
    }
}

void drive_all(const std::vector<entry_row> &rows) {
    for (const entry_row &row : rows) drive(row);
}

// ---- inputs -------------------------------------------------------------------------------

std::string yaml_general() {
    std::string text =
        "%YAML 1.2\n---\n"
        "anchors: &a {x: 1, y: [1, 2, \"e\\u00e9\\n\"]}\n"
        "ref: *a\n"
        "text: |\n  line one\n  line two\n"
        "folded: >-\n  folded\n  text\n"
        "tagged: !!str 12\n"
        "? [complex, key]\n: value\n"
        "list:\n- a\n- 'b c'\n- \"d\\te\"\n- {k: v, w: [x, y]}\n";
    for (int i = 0; i < 80; ++i) text += "key" + std::to_string(i) + ": value " + std::to_string(i) + "\n";
    text += "...\n--- [1, 2.5, three, {four: 4}]\n--- plain\n";
    return text;
}
std::string yaml_block() {  // taken by the block scanner
    std::string text = "name: block\nitems:\n";
    for (int i = 0; i < 100; ++i) text += "  - id: " + std::to_string(i) + "\n    tag: &t" + std::to_string(i) + " v\n";
    return text + "last: |\n  literal\n  text\n";
}
std::string json_text() {
    std::string text = "{\"rows\": [";
    for (int i = 0; i < 60; ++i) {
        if (i) text += ",";
        text += "{\"id\": " + std::to_string(i) + ", \"name\": \"n\\u00e9" + std::to_string(i) +
                "\", \"x\": " + std::to_string(i) + ".5, \"ok\": " + (i % 2 ? "true" : "false") + ", \"z\": null}";
    }
    return text + "], \"meta\": {\"k\": [1, 2, [3, [4]]], \"s\": \"a\\tb\"}}";
}
const std::string yaml_texts[] = {yaml_general(), yaml_block(), json_text(), "--- just a scalar\n"};
const std::string plan_text =
    "{\"kind\": \"seq\", \"path\": \"rows\", \"children\": [{\"name\": \"id\", \"kind\": \"int\"}, "
    "{\"name\": \"name\", \"kind\": \"str\"}, {\"name\": \"x\", \"kind\": \"float\"}, {\"name\": \"ok\", \"kind\": "
    "\"bool\"}]}";

// Documents prepared outside the window.
zarvel_document *parsed(const std::string &text, bool build = true) {
    zarvel_document *doc = zarvel_parse(text.data(), text.size(), nullptr);
    if (doc && build) zarvel_document_count(doc);
    return doc;
}
zarvel_document *parsed_json(const std::string &text, bool build = true) {
    zarvel_document *doc = zarvel_parse_json(text.data(), text.size(), nullptr);
    if (doc && build) zarvel_document_count(doc);
    return doc;
}

// Deep value check used after a run: the serialised text of every document.
std::string yaml_of(zarvel_document *doc) {
    uint64_t length = 0;
    char *text = zarvel_serialize(doc, &length);
    std::string out = text ? std::string(text, length) : "<null>";
    zarvel_free(text);
    return out;
}

// ---- YAML events and documents ------------------------------------------------------------

int count_event(void *user, const zarvel_event_view *) {
    ++*static_cast<uint64_t *>(user);
    return 0;
}

TEST(Injection, YamlEntries) {
    std::vector<entry_row> rows;
    for (const std::string &text : yaml_texts) {
        std::string tag = " on " + text.substr(0, 12);
        rows.push_back({"zarvel_parse" + tag,
                        [&text](window &w) {
                            int32_t status = -1;
                            w.open();
                            zarvel_document *doc = zarvel_parse(text.data(), text.size(), &status);
                            w.close();
                            if (doc && status != 0) status = 99;
                            zarvel_document_free(doc);
                            return doc ? 0 : status;
                        },
                        {2}});
        for (int32_t schema : {0, 1}) {
            rows.push_back({"zarvel_parse_ex schema " + std::to_string(schema) + tag,
                            [&text, schema](window &w) {
                                zarvel_parse_options options{schema, 50};
                                int32_t status = -1;
                                w.open();
                                zarvel_document *doc = zarvel_parse_ex(text.data(), text.size(), &options, &status);
                                uint32_t count = zarvel_document_count(doc);  // builds the nodes
                                w.close();
                                int32_t result = doc ? (count ? 0 : 2) : status;
                                if (doc && count == 0 && zarvel_document_count(doc) == 0) result = 98;  // no retry
                                zarvel_document_free(doc);
                                return result;
                            },
                            {2}});
        }
        rows.push_back({"zarvel_document_count/root (deferred build)" + tag,
                        [&text](window &w) {
                            zarvel_document *doc = parsed(text, false);
                            zarvel_document *reference = parsed(text);
                            w.open();
                            zarvel_node *root = zarvel_document_root(doc, 0);
                            w.close();
                            // A failed build answers as empty and is tried again.
                            std::string got = yaml_of(doc), want = yaml_of(reference);
                            int32_t result = root ? (got == want ? 0 : 97) : (got == want ? 2 : 96);
                            zarvel_document_free(doc);
                            zarvel_document_free(reference);
                            return result;
                        },
                        {2}});
        rows.push_back({"zarvel_push_parse" + tag,
                        [&text](window &w) {
                            uint64_t events = 0;
                            w.open();
                            int32_t status = zarvel_push_parse(text.data(), text.size(), count_event, &events);
                            w.close();
                            return status;
                        },
                        {2, recorded_oom}});
        rows.push_back({"zarvel_pull_new" + tag,
                        [&text](window &w) {
                            w.open();
                            zarvel_pull *pull = zarvel_pull_new(text.data(), text.size());
                            w.close();
                            if (!pull) return int32_t(2);
                            uint64_t n = 0;
                            while (zarvel_pull_next(pull)) ++n;
                            int32_t status = zarvel_pull_status(pull, nullptr, nullptr);
                            zarvel_pull_free(pull);
                            return status;
                        },
                        {2, recorded_oom}});
        for (int32_t schema : {-1, 1}) {
            rows.push_back(
                {"zarvel_recorder_new/_ex/_feed schema " + std::to_string(schema) + tag,
                 [&text, schema](window &w) {
                     w.open();
                     zarvel_recorder *r = schema < 0 ? zarvel_recorder_new() : zarvel_recorder_new_ex(schema);
                     int32_t status = r ? 0 : 2;
                     for (size_t at = 0; status == 0 && at < text.size(); at += 97)
                         status = zarvel_recorder_feed(r, text.data() + at, std::min<size_t>(97, text.size() - at), 0);
                     if (status == 0) status = zarvel_recorder_feed(r, nullptr, 0, 1);
                     w.close();
                     zarvel_recorder_free(r);
                     return status;
                 },
                 {2, recorded_oom}});
        }
        rows.push_back({"zarvel_iterparse_new/_next" + tag,
                        [&text](window &w) {
                            w.open();
                            zarvel_iterparse *it = zarvel_iterparse_new(text.data(), text.size());
                            if (!it) {
                                w.close();
                                return int32_t(2);
                            }
                            uint64_t count = 0;
                            while (zarvel_iterparse_next(it, &count)) {}
                            w.close();
                            int32_t status = zarvel_iterparse_status(it, nullptr, nullptr);
                            zarvel_iterparse_free(it);
                            return status;
                        },
                        {2, recorded_oom}});
    }
    drive_all(rows);
}

// The deferred build of a stream whose texts outside the input (literal
// blocks lose their indentation, tags are expanded) pass the first estimate
// of string storage, so the build grows it. Every allocation fails in turn,
// and every one after it (a retry must not hide the failure): the build
// reports status 2 with out of memory recorded, never a count of 0 with
// status 0, and a build that succeeds holds every text.
TEST(Injection, DeferredBuildGrowingStringStorage) {
    std::string text = "%TAG !e! tag:example.com,2000:app/\n---\n";
    for (int i = 0; i < 40; ++i)
        text += "- !e!item" + std::to_string(i % 4) + " |\n    line " + std::to_string(i) +
                " of a literal block\n    and its second line\n";
    zarvel_document *reference = parsed(text);
    ASSERT_GT(reference->store->strings_cap, text.size() / 16 + 256) << "string storage did not grow";
    const std::string want = yaml_of(reference);
    zarvel_document_free(reference);
    for (uint64_t n = 1;; ++n) {
        zarvel_document *doc = parsed(text, false);
        zarvel_error_clear(zarvel_error_current());
        zvl::testing::fail_allocation(n, true);
        uint32_t count = zarvel_document_count(doc);
        int32_t status = zarvel_document_status(doc);
        uint64_t seen = zvl::testing::fail_allocation(0);
        if (count == 0) {
            EXPECT_EQ(status, 2) << "allocation " << n;
            EXPECT_EQ(zarvel_error_current()->code, uint32_t(ZARVEL_ERR_NO_MEMORY)) << "allocation " << n;
        } else {
            EXPECT_EQ(status, 0) << "allocation " << n;
            EXPECT_EQ(yaml_of(doc), want) << "allocation " << n;
        }
        EXPECT_EQ(zarvel_document_count(doc), 1u) << "allocation " << n << ": no retry after the failure";
        zarvel_document_free(doc);
        if (seen < n) {
            EXPECT_EQ(count, 1u);
            EXPECT_GT(n, 8u) << "the build allocates: store, arena, tables, string growth";
            break;
        }
        ASSERT_LT(n, 10000u);
    }
}

// Read entries that hand out handles: null (or -1) under failure, the right
// node otherwise, and the next call succeeds.
TEST(Injection, HandleEntries) {
    const std::string text = yaml_general();
    // Composed directly, the tree comes without the children index (the
    // event-log replay fills it): the positional reads make it.
    auto fresh = [&](zarvel_node **root) {
        zarvel_parse_switches composed;
        composed.composer = zarvel_composer_choice::direct;
        int32_t status = 0;
        zarvel_document *doc = zarvel_parse_internal(text.data(), text.size(), nullptr, composed, &status);
        *root = zarvel_document_root(doc, 0);
        return doc;
    };
    // Up to four views read by `read` from a fresh document inside the
    // window: its status, or 97 when view k is not `want` or the count not
    // `total`. The document is freed.
    auto views_read = [](zarvel_document *doc, window &w, auto read, int k, std::string_view want, uint64_t total) {
        zarvel_node_view views[4] = {};
        uint64_t count = 0;
        w.open();
        int32_t r = read(doc, views, &count);
        w.close();
        const bool same = std::string_view(views[k].text, views[k].length) == want && count == total;
        zarvel_document_free(doc);
        return r != 0 ? r : same ? 0 : 97;
    };
    auto value_of = [](const zarvel_node *n) {
        uint64_t length = 0;
        const char *v = zarvel_node_value(n, &length);
        return v ? std::string(v, length) : std::string();
    };
    std::vector<entry_row> rows = {
        {"zarvel_node_map_get",
         [&](window &w) {
             zarvel_node *root;
             zarvel_document *doc = fresh(&root);
             w.open();
             zarvel_node *v = zarvel_node_map_get(root, "key42", 5);
             w.close();
             int32_t result = !v ? 2 : value_of(v) == "value 42" ? 0 : 97;
             if (value_of(zarvel_node_map_get(root, "key42", 5)) != "value 42") result = 96;
             zarvel_document_free(doc);
             return result;
         },
         {2}},
        {"zarvel_node_seq_at",
         [&](window &w) {
             zarvel_node *root;
             zarvel_document *doc = fresh(&root);
             zarvel_node *list = zarvel_node_map_get(root, "list", 4);
             w.open();
             zarvel_node *item = zarvel_node_seq_at(list, 1);
             w.close();
             int32_t result = !item ? 2 : value_of(item) == "b c" ? 0 : 97;
             if (value_of(zarvel_node_seq_at(list, 1)) != "b c") result = 96;
             zarvel_document_free(doc);
             return result;
         },
         {2}},
        {"zarvel_node_map_at",
         [&](window &w) {
             zarvel_node *root;
             zarvel_document *doc = fresh(&root);
             zarvel_node *key = nullptr, *value = nullptr;
             w.open();
             int32_t r = zarvel_node_map_at(root, 10, &key, &value);
             w.close();
             int32_t result = r != 0 || !key || !value ? 2 : value_of(key) == "key3" ? 0 : 97;
             zarvel_document_free(doc);
             return result;
         },
         {2}},
        {"zarvel_node_children",
         [&](window &w) {
             zarvel_node *root;
             zarvel_document *doc = fresh(&root);
             std::vector<zarvel_node *> handles(400);
             w.open();
             uint64_t n = zarvel_node_children(root, handles.data(), handles.size());
             w.close();
             int32_t result = n == zarvel_node_map_count(root) * 2 ? 0 : 97;
             for (uint64_t i = 0; i < n && result == 0; ++i)
                 if (!handles[i]) result = 2;
             zarvel_document_free(doc);
             return result;
         },
         {2},
         false},
        {"zarvel_node_child_ids",
         [&](window &w) {
             zarvel_node *root;
             zarvel_document *doc = fresh(&root);
             uint32_t ids[4] = {};
             uint64_t count = 0;
             w.open();
             int32_t r = zarvel_node_child_ids(root, 20, ids, nullptr, 4, &count);
             w.close();
             zarvel_node *key = zarvel_document_node(doc, ids[0]);
             int32_t result = r != 0 ? r : value_of(key) == "key3" && count == zarvel_node_map_count(root) * 2 ? 0 : 97;
             zarvel_document_free(doc);
             return result;
         },
         {2},
         false},
        {"zarvel_node_child_views",
         [&](window &w) {
             zarvel_node *root;
             zarvel_document *doc = fresh(&root);
             zarvel_node_view views[4] = {};
             uint64_t count = 0;
             w.open();
             int32_t r = zarvel_node_child_views(root, 20, ZARVEL_VIEW_NUMBERS, views, 4, &count);
             w.close();
             int32_t result = r != 0 ? r
                              : std::string_view(views[0].text, views[0].length) == "key3" &&
                                      count == zarvel_node_map_count(root) * 2
                                  ? 0
                                  : 97;
             zarvel_document_free(doc);
             return result;
         },
         {2},
         false},
        {"zarvel_document_child_views",  // the deferred build inside the call
         [&](window &w) {
             const std::string json = R"({"a":[1,2.5,"x"],"b":true})";
             return views_read(
                 zarvel_parse_json(json.data(), json.size(), nullptr), w,
                 [](zarvel_document *doc, zarvel_node_view *views, uint64_t *count) {
                     return zarvel_document_child_views(doc, 0, 0, ZARVEL_VIEW_NUMBERS, views, 4, count);
                 },
                 0, "a", 4);
         },
         {2},
         false},
        {"zarvel_document_views",  // the deferred build and the order list inside the call
         [&](window &w) {
             const std::string yaml = "a: [1, {b: c}]\n--- [x]\n";
             return views_read(
                 zarvel_parse(yaml.data(), yaml.size(), nullptr), w,
                 [](zarvel_document *doc, zarvel_node_view *views, uint64_t *count) {
                     return zarvel_document_views(doc, 1, 0, ZARVEL_VIEW_NUMBERS, views, 4, count);
                 },
                 1, "x", 2);
         },
         {2},
         false},
        {"zarvel_document_node",
         [&](window &w) {
             zarvel_document *doc = parsed(text);
             w.open();
             zarvel_node *node = zarvel_document_node(doc, 1);
             w.close();
             int32_t result = !node ? 2 : value_of(node) == "anchors" ? 0 : 97;
             zarvel_document_free(doc);
             return result;
         },
         {2}},
        {"zarvel_node_alias_target",
         [&](window &w) {
             zarvel_node *root;
             zarvel_document *doc = fresh(&root);
             zarvel_node *alias = zarvel_node_map_get(root, "ref", 3);
             w.open();
             zarvel_node *target = zarvel_node_alias_target(alias);
             w.close();
             int32_t result = !target ? 2 : zarvel_node_kind(target) == ZARVEL_NODE_MAPPING ? 0 : 97;
             zarvel_document_free(doc);
             return result;
         },
         {2},
         false},
    };
    drive_all(rows);
}

// ---- building and editing -------------------------------------------------------------------

// An editing operation on a parsed document and free-standing nodes made
// before the window. A failure must leave the serialised stream unchanged
// and the same operation must then succeed.
struct edit_case {
    const char *name;
    std::function<void *(zarvel_document *, zarvel_node *root)> prepare;  // free-standing nodes
    std::function<int32_t(zarvel_node *root, void *prepared)> op;
};

TEST(Injection, EditingEntries) {
    const std::string text = "a: [1, 2, 3]\nb: x\nc: {d: e}\n";
    auto scalar = [](zarvel_document *d, const char *s) { return zarvel_node_new_scalar(d, s, std::strlen(s), 1); };
    auto list = [](zarvel_node *root) { return zarvel_node_map_get(root, "a", 1); };
    const edit_case cases[] = {
        {"zarvel_node_map_add",
         [&](zarvel_document *d, zarvel_node *) { return (void *)scalar(d, std::string(300, 'v').c_str()); },
         [](zarvel_node *root, void *p) { return zarvel_node_map_add(root, "new", 3, (zarvel_node *)p); }},
        {"zarvel_node_map_add_node",
         [&](zarvel_document *d, zarvel_node *) {
             auto *pair = new zarvel_node *[2] { scalar(d, "k2"), scalar(d, "v2") };
             return (void *)pair;
         },
         [](zarvel_node *root, void *p) {
             auto *pair = (zarvel_node **)p;
             int32_t s = zarvel_node_map_add_node(root, pair[0], pair[1]);
             return s;
         }},
        {"zarvel_node_map_set (replace)", [&](zarvel_document *d, zarvel_node *) { return (void *)scalar(d, "y"); },
         [](zarvel_node *root, void *p) { return zarvel_node_map_set(root, "b", 1, (zarvel_node *)p); }},
        {"zarvel_node_map_set (add)", [&](zarvel_document *d, zarvel_node *) { return (void *)scalar(d, "y"); },
         [](zarvel_node *root, void *p) { return zarvel_node_map_set(root, "z", 1, (zarvel_node *)p); }},
        {"zarvel_node_map_del", [](zarvel_document *, zarvel_node *) { return (void *)nullptr; },
         [](zarvel_node *root, void *) { return zarvel_node_map_del(root, "b", 1); }},
        {"zarvel_node_seq_add", [&](zarvel_document *d, zarvel_node *) { return (void *)scalar(d, "4"); },
         [&](zarvel_node *root, void *p) { return zarvel_node_seq_add(list(root), (zarvel_node *)p); }},
        {"zarvel_node_seq_set", [&](zarvel_document *d, zarvel_node *) { return (void *)scalar(d, "two"); },
         [&](zarvel_node *root, void *p) { return zarvel_node_seq_set(list(root), 1, (zarvel_node *)p); }},
        {"zarvel_node_seq_del", [](zarvel_document *, zarvel_node *) { return (void *)nullptr; },
         [&](zarvel_node *root, void *) { return zarvel_node_seq_del(list(root), 0); }},
        {"zarvel_node_set_anchor", [](zarvel_document *, zarvel_node *) { return (void *)nullptr; },
         [&](zarvel_node *root, void *) { return zarvel_node_set_anchor(list(root), "anchor", 6); }},
        {"zarvel_node_set_tag", [](zarvel_document *, zarvel_node *) { return (void *)nullptr; },
         [&](zarvel_node *root, void *) { return zarvel_node_set_tag(list(root), "!local", 6); }},
        {"zarvel_document_set_root", [&](zarvel_document *d, zarvel_node *) { return (void *)scalar(d, "second"); },
         [](zarvel_node *root, void *p) { return zarvel_document_set_root(root->document, (zarvel_node *)p); }},
    };
    std::vector<entry_row> rows;
    for (const edit_case &c : cases) {
        rows.push_back({c.name,
                        [&c, &text](window &w) {
                            zarvel_document *doc = parsed(text);
                            zarvel_node *root = zarvel_document_root(doc, 0);
                            void *prepared = c.prepare(doc, root);
                            std::string before = yaml_of(doc);
                            w.open();
                            int32_t status = c.op(root, prepared);
                            w.close();
                            int32_t result = status;
                            if (status != 0) {
                                if (yaml_of(doc) != before)
                                    result = 95;  // changed by a failed edit
                                else if (c.op(root, prepared) != 0)
                                    result = 94;  // not usable afterwards
                            }
                            if (std::strcmp(c.name, "zarvel_node_map_add_node") == 0) delete[](zarvel_node **) prepared;
                            zarvel_document_free(doc);
                            return result;
                        },
                        // Delete reports every failure as 1.
                        {2, std::strstr(c.name, "_del") ? 1 : 2},
                        false});
    }
    // Creating nodes and documents: null under failure.
    rows.push_back({"zarvel_document_new, zarvel_node_new_*",
                    [](window &w) {
                        w.open();
                        zarvel_document *d = zarvel_document_new();
                        int32_t status = d ? 0 : 2;
                        zarvel_node *m = status ? nullptr : zarvel_node_new_mapping(d);
                        zarvel_node *s = m ? zarvel_node_new_sequence(d) : nullptr;
                        zarvel_node *v = s ? zarvel_node_new_scalar(d, std::string(500, 'x').c_str(), 500, 2) : nullptr;
                        zarvel_node *a = v ? zarvel_node_new_alias(d, v, "x", 1) : nullptr;
                        for (int i = 0; a && i < 200 && status == 0; ++i)
                            if (!zarvel_node_new_scalar(d, "item", 4, 1)) status = 2;
                        w.close();
                        if (status == 0 && !a) status = 2;
                        zarvel_document_free(d);
                        return status;
                    },
                    {2}});
    // A sequence of edits on a new document, each checked.
    rows.push_back({"editing a built document",
                    [](window &w) {
                        zarvel_document *d = zarvel_document_new();
                        w.open();
                        int32_t status = 0;
                        auto check = [&](zarvel_node *n) {
                            if (!n && status == 0) status = 2;
                            return n;
                        };
                        auto step = [&](int32_t s) {
                            if (status == 0) status = s;
                        };
                        zarvel_node *m = d ? check(zarvel_node_new_mapping(d)) : nullptr;
                        zarvel_node *s = status ? nullptr : check(zarvel_node_new_sequence(d));
                        for (int i = 0; i < 70 && status == 0; ++i)
                            step(zarvel_node_seq_add(s, check(zarvel_node_new_scalar(d, "value", 5, 1))));
                        if (status == 0) step(zarvel_node_map_add(m, "list", 4, s));
                        for (int i = 0; i < 40 && status == 0; ++i) {
                            std::string key = "k" + std::to_string(i);
                            zarvel_node *v = check(zarvel_node_new_scalar(d, key.data(), key.size(), 1));
                            if (status == 0) step(zarvel_node_map_set(m, key.data(), key.size(), v));
                        }
                        if (status == 0) step(zarvel_document_set_root(d, m));
                        w.close();
                        if (status == 0 && zarvel_document_count(d) != 1) status = 99;
                        zarvel_document_free(d);
                        return status;
                    },
                    {2}});
    // Whole trees from build records.
    rows.push_back({"zarvel_document_build",
                    [](window &w) {
                        std::string text;
                        std::vector<zarvel_build_record> records{{ZARVEL_BUILD_MAPPING, 0, 0, 0}};
                        auto scalar = [&](const std::string &s) {
                            records.push_back({ZARVEL_BUILD_SCALAR, 1, uint32_t(text.size()), uint32_t(s.size())});
                            text += s;
                        };
                        for (int i = 0; i < 70; ++i) {
                            scalar("key" + std::to_string(i));
                            records.push_back({ZARVEL_BUILD_SEQUENCE, 0, 0, 0});
                            scalar(std::string(100, 'v'));
                            records.push_back({ZARVEL_BUILD_END, 0, 0, 0});
                        }
                        records.push_back({ZARVEL_BUILD_END, 0, 0, 0});
                        zarvel_document *d = zarvel_document_new();
                        w.open();
                        int32_t status =
                            zarvel_document_build(d, records.data(), records.size(), text.data(), text.size());
                        w.close();
                        if (status == 0 && zarvel_document_count(d) != 1) status = 99;
                        if (status != 0 && zarvel_document_count(d) != 0) status = 98;  // a failed build adds no root
                        zarvel_document_free(d);
                        return status;
                    },
                    {2}});
    drive_all(rows);
}

// ---- JSON ---------------------------------------------------------------------------------

TEST(Injection, JsonEntries) {
    static const std::string texts[] = {json_text(), "[1, 2, \"x\\ny\", {\"a\": [true, null]}]", "\"root \\u00e9\"",
                                        "{\"a\":\t1}", "[1.2.3, 4]"};
    std::vector<entry_row> rows;
    for (const std::string &text : texts) {
        std::string tag = " on " + text.substr(0, 10);
        bool strict = text != "[1.2.3, 4]";
        if (strict) {
            // The parse, also of a document read in order.
            for (const bool in_order : {false, true})
                rows.push_back({(in_order ? "zarvel_parse_json_ex in order" : "zarvel_parse_json") + tag,
                                [&text, in_order](window &w) {
                                    const zarvel_json_options options{sizeof options, ZARVEL_JSON_IN_ORDER};
                                    int32_t status = -1;
                                    w.open();
                                    zarvel_document *doc =
                                        in_order ? zarvel_parse_json_ex(text.data(), text.size(), &options, &status)
                                                 : zarvel_parse_json(text.data(), text.size(), &status);
                                    w.close();
                                    zarvel_document_free(doc);
                                    return doc ? 0 : status;
                                },
                                {2}});
            rows.push_back({"zarvel_parse_json deferred build" + tag,
                            [&text](window &w) {
                                zarvel_document *doc = parsed_json(text, false);
                                w.open();
                                zarvel_node *root = zarvel_document_root(doc, 0);
                                w.close();
                                int32_t result = root ? 0 : 2;
                                if (!zarvel_document_root(doc, 0)) result = 96;  // the build is tried again
                                zarvel_document_free(doc);
                                return result;
                            },
                            {2}});
            // A document read in order: views, then its nodes.
            rows.push_back({"zarvel_parse_json_ex in order, views and build" + tag,
                            [&text](window &w) {
                                const zarvel_json_options in_order{sizeof in_order, ZARVEL_JSON_IN_ORDER};
                                zarvel_document *doc =
                                    zarvel_parse_json_ex(text.data(), text.size(), &in_order, nullptr);
                                zarvel_node_view views[4];
                                uint64_t count = 0;
                                w.open();
                                int32_t status =
                                    zarvel_document_views(doc, 0, 0, ZARVEL_VIEW_NUMBERS, views, 4, &count);
                                zarvel_node *root = status == 0 ? zarvel_document_root(doc, 0) : nullptr;
                                w.close();
                                if (status == 0) status = root ? 0 : 2;
                                if (!zarvel_document_root(doc, 0)) status = 96;  // the build is tried again
                                zarvel_document_free(doc);
                                return status;
                            },
                            {2}});
            rows.push_back({"zarvel_parse_json_tape" + tag,
                            [&text](window &w) {
                                zarvel_tape tape{};
                                w.open();
                                int32_t status = zarvel_parse_json_tape(text.data(), text.size(), &tape);
                                w.close();
                                if (status != 0 && tape.block) status = 93;  // a failed parse holds nothing
                                zarvel_tape_free(&tape);
                                return status;
                            },
                            {2}});
        }
        rows.push_back({"zarvel_parse_json_tape_lenient" + tag,
                        [&text](window &w) {
                            zarvel_tape tape{};
                            w.open();
                            int32_t status = zarvel_parse_json_tape_lenient(text.data(), text.size(), &tape);
                            w.close();
                            if (status != 0 && tape.block) status = 93;
                            zarvel_tape_free(&tape);
                            return status;
                        },
                        {2}});
    }
    const std::string &rows_text = texts[0];
    rows.push_back({"zarvel_plan_compile",
                    [](window &w) {
                        int32_t status = -1;
                        w.open();
                        zarvel_plan *plan = zarvel_plan_compile(plan_text.data(), plan_text.size(), &status);
                        w.close();
                        zarvel_plan_free(plan);
                        return plan ? 0 : status;
                    },
                    {2}});
    for (bool built : {false, true}) {
        rows.push_back({std::string("zarvel_document_plan_walk") + (built ? " (built)" : " (pending)"),
                        [&, built](window &w) {
                            zarvel_plan *plan = zarvel_plan_compile(plan_text.data(), plan_text.size(), nullptr);
                            zarvel_document *doc = parsed_json(rows_text, built);
                            int32_t status = -1;
                            w.open();
                            zarvel_plan_result *result = zarvel_document_plan_walk(doc, plan, &status);
                            w.close();
                            if (result && zarvel_plan_result_rows(result) != 60) status = 99;
                            zarvel_plan_result_free(result);
                            zarvel_document_free(doc);
                            zarvel_plan_free(plan);
                            return result ? 0 : status;
                        },
                        {2}});
    }
    rows.push_back({"zarvel_document_plan_walk (YAML)",
                    [](window &w) {
                        zarvel_plan *plan = zarvel_plan_compile(plan_text.data(), plan_text.size(), nullptr);
                        std::string yaml = "rows:\n";
                        for (int i = 0; i < 40; ++i)
                            yaml += "- {id: " + std::to_string(i) + ", name: n, x: 1.5, ok: true}\n";
                        zarvel_document *doc = parsed(yaml, false);
                        int32_t status = -1;
                        w.open();
                        zarvel_plan_result *result = zarvel_document_plan_walk(doc, plan, &status);
                        w.close();
                        zarvel_plan_result_free(result);
                        zarvel_document_free(doc);
                        zarvel_plan_free(plan);
                        return result ? 0 : status;
                    },
                    {2}});
    rows.push_back({"zarvel_tape_plan_walk",
                    [&](window &w) {
                        zarvel_plan *plan = zarvel_plan_compile(plan_text.data(), plan_text.size(), nullptr);
                        zarvel_tape tape{};
                        zarvel_parse_json_tape(rows_text.data(), rows_text.size(), &tape);
                        int32_t status = -1;
                        w.open();
                        zarvel_plan_result *result = zarvel_tape_plan_walk(&tape, plan, &status);
                        w.close();
                        if (result && zarvel_plan_result_rows(result) != 60) status = 99;
                        zarvel_plan_result_free(result);
                        zarvel_tape_free(&tape);
                        zarvel_plan_free(plan);
                        return result ? 0 : status;
                    },
                    {2}});
    drive_all(rows);
}

// ---- output -------------------------------------------------------------------------------

int32_t count_callback(void *user) {
    ++*static_cast<uint64_t *>(user);
    return 0;
}
int32_t count_text(void *user, const char *, uint64_t) {
    ++*static_cast<uint64_t *>(user);
    return 0;
}
zarvel_visitor counting_visitor() {
    zarvel_visitor v{};
    v.on_null = count_callback;
    v.on_string = count_text;
    v.on_key = count_text;
    v.on_seq_start = count_callback;
    v.on_map_start = count_callback;
    v.on_anchor = count_text;
    v.on_alias = count_text;
    return v;
}
int write_nothing(void *, const char *, uint64_t) { return 0; }

TEST(Injection, OutputEntries) {
    const zarvel_serialize_options canonical{sizeof(zarvel_serialize_options), 1, 40, 1, 0, 0};
    using writer = std::function<uint64_t(zarvel_document *)>;
    const std::pair<const char *, writer> writers[] = {
        {"zarvel_serialize",
         [](zarvel_document *d) {
             uint64_t n = 0;
             char *t = zarvel_serialize(d, &n);
             zarvel_free(t);
             return t ? n : 0;
         }},
        {"zarvel_serialize_ex",
         [&](zarvel_document *d) {
             uint64_t n = 0;
             char *t = zarvel_serialize_ex(d, &canonical, &n);
             zarvel_free(t);
             return t ? n : 0;
         }},
        {"zarvel_serialize_json",
         [](zarvel_document *d) {
             uint64_t n = 0;
             char *t = zarvel_serialize_json(d, &n);
             zarvel_free(t);
             return t ? n + 1 : 0;
         }},
        {"zarvel_serialize_json_ex",
         [](zarvel_document *d) {
             uint64_t n = 0;
             char *t = zarvel_serialize_json_ex(d, &n, 1);
             zarvel_free(t);
             return t ? n + 1 : 0;
         }},
        {"zarvel_serialize_into",
         [](zarvel_document *d) {
             std::vector<char> buffer(1 << 16);
             return zarvel_serialize_into(d, buffer.data(), buffer.size());
         }},
        {"zarvel_serialize_into_ex",
         [&](zarvel_document *d) {
             std::vector<char> buffer(1 << 16);
             return zarvel_serialize_into_ex(d, &canonical, buffer.data(), buffer.size());
         }},
        {"zarvel_serialize_stream",
         [](zarvel_document *d) { return zarvel_serialize_stream(d, nullptr, write_nothing, nullptr); }},
    };
    std::vector<entry_row> rows;
    for (const auto &[name, write] : writers) {
        for (bool built : {true, false}) {
            std::string row_name = std::string(name) + (built ? " (built)" : " (pending)");
            rows.push_back({row_name,
                            [write = write, built](window &w) {
                                zarvel_document *doc = parsed(yaml_texts[0], built);
                                w.open();
                                uint64_t n = write(doc);
                                w.close();
                                zarvel_document_free(doc);
                                return n ? 0 : 2;
                            },
                            {2},
                            false});
        }
    }
    for (const std::string &text : yaml_texts) {
        rows.push_back({"zarvel_visit on " + text.substr(0, 10),
                        [&text](window &w) {
                            zarvel_visitor v = counting_visitor();
                            uint64_t calls = 0;
                            w.open();
                            int32_t status = zarvel_visit(text.data(), text.size(), 0, &v, &calls);
                            w.close();
                            return status;
                        },
                        {2}});
    }
    rows.push_back({"zarvel_visit_json",
                    [](window &w) {
                        std::string text = json_text();
                        zarvel_visitor v = counting_visitor();
                        uint64_t calls = 0;
                        w.open();
                        int32_t status = zarvel_visit_json(text.data(), text.size(), &v, &calls);
                        w.close();
                        return status;
                    },
                    {2},
                    false});
    rows.push_back({"zarvel_visit_node",
                    [](window &w) {
                        zarvel_document *doc = parsed(yaml_texts[0]);
                        zarvel_node *root = zarvel_document_root(doc, 0);
                        zarvel_visitor v = counting_visitor();
                        uint64_t calls = 0;
                        w.open();
                        int32_t status = zarvel_visit_node(root, &v, &calls);
                        w.close();
                        zarvel_document_free(doc);
                        return status;
                    },
                    {2},
                    false});
    drive_all(rows);
}

// ---- typed values -----------------------------------------------------------------------------

TEST(Injection, TypedEntries) {
    std::vector<entry_row> rows;
    for (const std::string &text : yaml_texts) {
        std::string tag = " on " + text.substr(0, 10);
        for (int32_t schema : {0, 1}) {
            std::string s = " schema " + std::to_string(schema);
            rows.push_back({"zarvel_value_drain" + s + tag,
                            [&text, schema](window &w) {
                                zarvel_value *values = nullptr;
                                char *pool = nullptr;
                                uint64_t count = 0, pool_len = 0;
                                w.open();
                                int32_t status = zarvel_value_drain(text.data(), text.size(), schema, &values, &count,
                                                                    &pool, &pool_len);
                                w.close();
                                if (status != 0 && (values || pool || count)) status = 93;
                                zarvel_value_free(values, pool);
                                return status;
                            },
                            {2}});
            rows.push_back({"zarvel_value_drain_columns" + s + tag,
                            [&text, schema](window &w) {
                                zarvel_value_columns columns{};
                                w.open();
                                int32_t status = zarvel_value_drain_columns(text.data(), text.size(), schema, &columns);
                                w.close();
                                if (status != 0 && (columns.kind || columns.pool || columns.count)) status = 93;
                                zarvel_value_free_columns(&columns);
                                return status;
                            },
                            {2}});
        }
    }
    // Marshal takes what it can express: no merge keys, timestamps, tags.
    static const std::string marshal_texts[] = {
        "a: &x [1, 2.5, \"s\", true, null]\nb: *x\nc: {d: e}\nbig: 123456789012345678901234567890\n", json_text()};
    for (const std::string &text : marshal_texts) {
        for (uint32_t single : {0u, 1u}) {
            rows.push_back({"zarvel_marshal single " + std::to_string(single) + " on " + text.substr(0, 6),
                            [&text, single](window &w) {
                                char *bytes = nullptr;
                                uint64_t length = 0;
                                w.open();
                                int32_t status = zarvel_marshal(text.data(), text.size(), 0, single, &bytes, &length);
                                w.close();
                                if (status != 0 && bytes) status = 93;
                                zarvel_marshal_free(bytes);
                                return status;
                            },
                            {2}});
        }
        rows.push_back({"zarvel_marshal_node on " + text.substr(0, 6),
                        [&text](window &w) {
                            zarvel_document *doc = parsed(text);
                            zarvel_node *root = zarvel_document_root(doc, 0);
                            char *bytes = nullptr;
                            uint64_t length = 0;
                            w.open();
                            int32_t status = zarvel_marshal_node(root, &bytes, &length);
                            w.close();
                            if (status != 0 && bytes) status = 93;
                            zarvel_marshal_free(bytes);
                            zarvel_document_free(doc);
                            return status;
                        },
                        {2}});
    }
    rows.push_back({"zarvel_schema_load",
                    [](window &w) {
                        std::string text = json_text();
                        zarvel_descriptor_node nodes[] = {
                            {nullptr, 2, 0, 0, 1, 1, 0}, {"rows", 1, 0, 0, 2, 1, 0}, {nullptr, 2, 0, 0, 3, 4, 0},
                            {"id", 0, 1, 1, 0, 0, 0},    {"x", 0, 2, 0, 0, 0, 0},    {"ok", 0, 3, 0, 0, 0, 0},
                            {"name", 0, 0, 0, 0, 0, 0},
                        };
                        std::vector<int64_t> ids(100);
                        std::vector<double> xs(100);
                        std::vector<uint8_t> oks(100);
                        std::vector<uint32_t> names(400);
                        zarvel_column columns[] = {{nullptr, 0, 0},       {nullptr, 0, 0},     {nullptr, 0, 0},
                                                   {ids.data(), 100, 0},  {xs.data(), 100, 0}, {oks.data(), 100, 0},
                                                   {names.data(), 100, 0}};
                        w.open();
                        int32_t status = zarvel_schema_load(text.data(), text.size(), 0, nodes, 7, 1, columns);
                        w.close();
                        if (status == 0 && columns[3].count != 60) status = 99;
                        return status;
                    },
                    {2}});
    drive_all(rows);
}

// ---- CBOR ---------------------------------------------------------------------------------

std::vector<uint8_t> from_hex(const std::string &hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size();) {
        if (hex[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

int32_t drop_document(void *user, zarvel_document *document, uint64_t) {
    ++*static_cast<uint64_t *>(user);
    zarvel_document_free(document);
    return 0;
}

TEST(Injection, CborEntries) {
    std::vector<std::vector<uint8_t>> inputs = {
        from_hex("a56161f561628201026163 7f61786179ff6164bf616bf9fe00ff6165c1d81e5f4101420203ff"),
        from_hex("9f 7f 6161 6162 6163 6164 6165 6166 6167 6168 6169 6170 6171 6172 6173 6174 6175 6176 6177 "
                 "6178 6179 ff 1bffffffffffffffff f93c00 c1c2c3c4 00 ff"),
    };
    std::vector<uint8_t> big{0x99, 0x03, 0xe8};  // 1000 items with text and numbers
    for (int i = 0; i < 1000; ++i) {
        if (i % 2)
            big.insert(big.end(), {0x3a, 0x00, 0x01, 0x00, 0x00});
        else
            big.insert(big.end(), {0xc1, 0x63, 'a', 'b', 'c'});
    }
    inputs.push_back(big);
    std::vector<uint8_t> doubles{0x98, 0x40};  // 64 arrays of 0 to 63 doubles
    for (int i = 0; i < 64; ++i) {
        doubles.push_back(uint8_t(0x98));
        doubles.push_back(uint8_t(i));
        for (int j = 0; j < i; ++j)
            doubles.insert(doubles.end(), {0xfb, 0x40, 0x09, 0x21, 0xfb, 0x54, 0x44, 0x2d, 0x18});
    }
    inputs.push_back(doubles);
    std::vector<entry_row> rows;
    for (const auto &bytes : inputs) {
        std::string tag = " on " + std::to_string(bytes.size()) + " bytes";
        rows.push_back({"zarvel_cbor_decode" + tag,
                        [&bytes](window &w) {
                            int32_t status = -1;
                            w.open();
                            zarvel_document *doc = zarvel_cbor_decode(bytes.data(), bytes.size(), 0, &status);
                            uint32_t count = zarvel_document_count(doc);
                            w.close();
                            if (doc && count != 1) status = 99;
                            zarvel_document_free(doc);
                            return status;
                        },
                        {2}});
        rows.push_back({"zarvel_cbor_decode_sequence" + tag,
                        [&bytes](window &w) {
                            std::vector<uint8_t> twice = bytes;
                            twice.insert(twice.end(), bytes.begin(), bytes.end());
                            int32_t status = -1;
                            uint64_t seen = 0;
                            w.open();
                            uint64_t n = zarvel_cbor_decode_sequence(twice.data(), twice.size(), 0, drop_document,
                                                                     &seen, &status);
                            w.close();
                            if (status == 0 && (n != 2 || seen != 2)) status = 99;
                            return status;
                        },
                        {2}});
        rows.push_back({"zvl_cbor_decode_gen" + tag,
                        [&bytes](window &w) {
                            zvl_cbor_sink sink{};
                            w.open();
                            int32_t status = zvl_cbor_decode_gen(bytes.data(), bytes.size(), 0, nullptr, &sink);
                            w.close();
                            return status;
                        },
                        {2},
                        false});
        rows.push_back({"zvl_cbor_decode_dom_sink" + tag,
                        [&bytes](window &w) {
                            zarvel_node_store *store = zarvel_store_new(&zarvel_default_allocator);
                            w.open();
                            int32_t status = zvl_cbor_decode_dom_sink(store, bytes.data(), bytes.size(), 0, nullptr);
                            w.close();
                            zarvel_store_free(store);
                            return status;
                        },
                        {2}});
    }
    using encoder = std::function<uint64_t(zarvel_document *)>;
    const std::pair<const char *, encoder> encoders[] = {
        {"zarvel_cbor_encode",
         [](zarvel_document *d) {
             uint64_t n = 0;
             uint8_t *b = zarvel_cbor_encode(d, 0, &n);
             zarvel_free(b);
             return b ? n : 0;
         }},
        {"zarvel_cbor_encode canonical",
         [](zarvel_document *d) {
             uint64_t n = 0;
             uint8_t *b = zarvel_cbor_encode(d, ZARVEL_CBOR_CANONICAL, &n);
             zarvel_free(b);
             return b ? n : 0;
         }},
        {"zarvel_cbor_encode_into",
         [](zarvel_document *d) {
             std::vector<uint8_t> buffer(1 << 16);
             return zarvel_cbor_encode_into(d, ZARVEL_CBOR_CANONICAL, buffer.data(), buffer.size());
         }},
        {"zarvel_cbor_encode_sequence",
         [](zarvel_document *d) {
             zarvel_document *docs[] = {d, d};
             uint64_t n = 0;
             uint8_t *b = zarvel_cbor_encode_sequence(docs, 2, 0, &n);
             zarvel_free(b);
             return b ? n : 0;
         }},
        {"zarvel_cbor_encode_sequence_into",
         [](zarvel_document *d) {
             zarvel_document *docs[] = {d, d};
             std::vector<uint8_t> buffer(1 << 16);
             return zarvel_cbor_encode_sequence_into(docs, 2, ZARVEL_CBOR_CANONICAL, buffer.data(), buffer.size());
         }},
    };
    for (const auto &[name, encode] : encoders) {
        for (bool built : {true, false}) {
            rows.push_back({std::string(name) + (built ? " (built)" : " (pending)"),
                            [encode = encode, built](window &w) {
                                zarvel_document *doc = parsed(yaml_texts[1], built);  // the text outlives it
                                w.open();
                                uint64_t n = encode(doc);
                                w.close();
                                zarvel_document_free(doc);
                                return n ? 0 : 2;
                            },
                            {2},
                            false});
        }
    }
    drive_all(rows);
}

// Plain output: aliases, merge keys, a mapping large enough for the hash
// table of duplicate detection, binary, a big integer, typed keys.
TEST(Injection, PlainEntries) {
    static const std::string text = [] {
        std::string t =
            "base: &b {k: v, n: 0x10}\nbin: !!binary aGVsbG8=\nbig: 123456789012345678901234567890\n"
            "list: [{<<: *b, k: w}, {<<: [*b, {z: 1}]}, *b]\n1.5: {a: 1, a: 2}\n";
        for (int i = 0; i < 40; ++i) t += "key" + std::to_string(i) + ": " + std::to_string(i) + ".5\n";
        return t + "--- [1, 2]\n";
    }();
    static const zarvel_plain_options all = {sizeof(zarvel_plain_options), ZARVEL_PLAIN_ALL, 0, 0, 0};
    using writer = std::function<int32_t(zarvel_document *)>;
    const std::pair<const char *, writer> writers[] = {
        {"zarvel_plain_json",
         [](zarvel_document *d) {
             int32_t status = -1;
             zarvel_free(zarvel_plain_json(d, nullptr, &status));
             return status;
         }},
        {"zarvel_plain_json_ex",
         [](zarvel_document *d) {
             int32_t status = -1;
             zarvel_free(zarvel_plain_json_ex(d, &all, nullptr, &status));
             return status;
         }},
        {"zarvel_plain_json_into",
         [](zarvel_document *d) {
             std::vector<char> buffer(1 << 16);
             return zarvel_plain_json_into(d, &all, buffer.data(), buffer.size(), nullptr);
         }},
        {"zarvel_plain_json_stream",
         [](zarvel_document *d) { return zarvel_plain_json_stream(d, &all, write_nothing, nullptr, nullptr); }},
        {"zarvel_plain_cbor",
         [](zarvel_document *d) {
             int32_t status = -1;
             zarvel_free(zarvel_plain_cbor(d, nullptr, &status));
             return status;
         }},
        {"zarvel_plain_cbor_ex",
         [](zarvel_document *d) {
             int32_t status = -1;
             zarvel_free(zarvel_plain_cbor_ex(d, &all, nullptr, &status));
             return status;
         }},
        {"zarvel_plain_cbor_into",
         [](zarvel_document *d) {
             std::vector<uint8_t> buffer(1 << 16);
             return zarvel_plain_cbor_into(d, &all, buffer.data(), buffer.size(), nullptr);
         }},
        {"zarvel_plain_cbor_stream",
         [](zarvel_document *d) { return zarvel_plain_cbor_stream(d, &all, write_nothing, nullptr, nullptr); }},
    };
    // A row: the document `make` gives (outside the window), written by `write`.
    auto row_of = [](std::string name, writer write, std::function<zarvel_document *()> make) {
        return entry_row{std::move(name),
                         [write, make](window &w) {
                             zarvel_document *doc = make();
                             w.open();
                             const int32_t status = write(doc);
                             w.close();
                             zarvel_document_free(doc);
                             return status;
                         },
                         {2},
                         false};
    };
    std::vector<entry_row> rows;
    for (const auto &[name, write] : writers)
        for (bool built : {true, false})
            rows.push_back(row_of(std::string(name) + (built ? " (built)" : " (pending)"), write,
                                  [built] { return parsed(text, built); }));
    // A JSON parse's document, which the fast writers write whole into a
    // buffer of their own (a mapping past the small size, so that its keys
    // go through the duplicate table).
    static const std::string json = [] {
        std::string t = "[{\"e\":\"a\\u00e9\",";
        for (int i = 0; i < 40; ++i) t += "\"key" + std::to_string(i) + "\":" + std::to_string(i) + ".5,";
        return t + "\"z\":[1,2]}]";
    }();
    const std::pair<const char *, writer> fast_writers[] = {
        {"zarvel_plain_cbor_ex (JSON)",
         [](zarvel_document *d) {
             int32_t status = -1;
             zarvel_free(zarvel_plain_cbor_ex(d, nullptr, nullptr, &status));
             return status;
         }},
        {"zarvel_plain_cbor_into (JSON)",
         [](zarvel_document *d) {
             std::vector<uint8_t> buffer(1 << 12);
             return zarvel_plain_cbor_into(d, nullptr, buffer.data(), buffer.size(), nullptr);
         }},
        {"zarvel_plain_cbor_stream (JSON)",
         [](zarvel_document *d) { return zarvel_plain_cbor_stream(d, nullptr, write_nothing, nullptr, nullptr); }},
        {"zarvel_plain_json_into (JSON)",
         [](zarvel_document *d) {
             std::vector<char> buffer(1 << 12);
             return zarvel_plain_json_into(d, nullptr, buffer.data(), buffer.size(), nullptr);
         }},
        {"zarvel_plain_json_stream (JSON)",
         [](zarvel_document *d) { return zarvel_plain_json_stream(d, nullptr, write_nothing, nullptr, nullptr); }},
    };
    for (const auto &[name, write] : fast_writers)
        rows.push_back(row_of(name, write, [] { return parsed_json(json); }));
    drive_all(rows);
}

// Entries that must not allocate at all.
TEST(Injection, AllocationFreeEntries) {
    std::string json = json_text();
    zarvel_document *doc = parsed(yaml_texts[0]);
    zarvel_node *root = zarvel_document_root(doc, 0);
    zarvel_node *tagged = zarvel_node_map_get(root, "tagged", 6), *key1 = zarvel_node_map_get(root, "key1", 4);
    zarvel_tape tape{};
    ASSERT_EQ(zarvel_parse_json_tape_lenient(json.data(), json.size(), &tape), 0);
    zvl::testing::fail_allocation(1, true);
    uint64_t at = 0;
    EXPECT_EQ(zvl_json_document(json.data(), json.size(), &at), 1);
    uint64_t length = 0;
    EXPECT_NE(zarvel_node_value(tagged, &length), nullptr);
    int64_t i = 0;
    EXPECT_EQ(zarvel_node_int(key1, &i), 1);  // "value 1" is a string
    double f = 0;
    EXPECT_EQ(zarvel_node_float(key1, &f), 1);
    EXPECT_EQ(zarvel_node_kind(tagged), ZARVEL_NODE_SCALAR);
    EXPECT_EQ(zarvel_node_map_count(root), 87u);
    zarvel_tape_columns(&tape);
    std::vector<int64_t> ints(tape.count);
    std::vector<double> doubles(tape.count);
    EXPECT_GT(zarvel_tape_convert(&tape, 0, tape.count, ints.data(), doubles.data()), 0);
    char buffer[64];
    EXPECT_EQ(zvl_finish_double_into("a\\tb", 0, 4, buffer, sizeof buffer), 3u);
    zvl::testing::fail_allocation(0);
    zarvel_tape_free(&tape);
    zarvel_document_free(doc);
}

}  // namespace
