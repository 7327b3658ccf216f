// Many threads at once: each parses its own text while all of them read one
// shared document (its first read may build it; mapping lookups may build
// the key index). Every thread must see the same tree. Run it under the
// sanitizer builds (ThreadSanitizer shows races the assertions cannot).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/kernels.hpp"
#include "zarvel.h"

namespace {

std::string shared_text(int entries = 200) {
    std::string text;
    for (int i = 0; i < entries; ++i)
        text += "key" + std::to_string(i) + ": [" + std::to_string(i) + ", text " + std::to_string(i) +
                ", {inner: " + std::to_string(i * 2) + "}]\n";
    return text;
}

// Sum of the integers below the root, read through lookups by key.
int64_t read_sum(zarvel_document *doc) {
    zarvel_node *root = zarvel_document_root(doc, 0);
    int64_t sum = 0;
    for (int i = 0; i < 200; ++i) {
        std::string key = "key" + std::to_string(i);
        zarvel_node *seq = zarvel_node_map_get(root, key.data(), static_cast<int32_t>(key.size()));
        if (!seq || zarvel_node_seq_count(seq) != 3) return -1;
        int64_t value = 0;
        if (zarvel_node_int(zarvel_node_seq_at(seq, 0), &value) != 0) return -1;
        sum += value;
        zarvel_node *inner = zarvel_node_map_get(zarvel_node_seq_at(seq, 2), "inner", 5);
        if (!inner || zarvel_node_int(inner, &value) != 0) return -1;
        sum += value;
    }
    return sum;
}

TEST(Threads, ConcurrentReadsOfOneDocumentAndOwnParses) {
    const std::string text = shared_text();
    const int64_t expected = 3 * (199 * 200 / 2);
    for (int round = 0; round < 4; ++round) {
        int32_t status = -1;
        zarvel_document *doc = zarvel_parse(text.data(), text.size(), &status);
        ASSERT_NE(doc, nullptr) << "status " << status;
        // Decoded from CBOR (the document borrows the bytes): the first
        // positional read makes the children index from the links while
        // the others read.
        uint8_t *bytes = nullptr;
        if (round % 2) {
            uint64_t length = 0;
            bytes = zarvel_cbor_encode(doc, 0, &length);
            zarvel_document_free(doc);
            doc = zarvel_cbor_decode(bytes, length, 0, &status);
            ASSERT_NE(doc, nullptr) << "status " << status;
        }
        std::atomic<int> go{0}, wrong{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&, t] {
                while (!go.load()) std::this_thread::yield();
                if (read_sum(doc) != expected) ++wrong;
                // A private parse of a text of this thread's own.
                std::string own = "n: " + std::to_string(t) + "\nlist: [a, b]\n";
                int32_t own_status = -1;
                zarvel_document *mine = zarvel_parse(own.data(), own.size(), &own_status);
                int64_t n = -1;
                if (!mine || zarvel_node_int(zarvel_node_map_get(zarvel_document_root(mine, 0), "n", 1), &n) != 0 ||
                    n != t)
                    ++wrong;
                zarvel_document_free(mine);
                if (read_sum(doc) != expected) ++wrong;
            });
        }
        go = 1;
        for (auto &thread : threads) thread.join();
        EXPECT_EQ(wrong.load(), 0) << "round " << round;
        zarvel_document_free(doc);
        zarvel_free(bytes);
    }
}

TEST(Threads, ConcurrentJsonReads) {
    std::string text = "{";
    for (int i = 0; i < 300; ++i) text += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":" + std::to_string(i);
    text += "}";
    int32_t status = -1;
    zarvel_document *doc = zarvel_parse_json(text.data(), text.size(), &status);
    ASSERT_NE(doc, nullptr) << "status " << status;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            zarvel_node *root = zarvel_document_root(doc, 0);
            for (int i = 0; i < 300; ++i) {
                int k = (i * 7 + t * 13) % 300;
                std::string key = "k" + std::to_string(k);
                int64_t value = -1;
                if (zarvel_node_int(zarvel_node_map_get(root, key.data(), static_cast<int32_t>(key.size())), &value) !=
                        0 ||
                    value != k)
                    ++wrong;
            }
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    zarvel_document_free(doc);
}

// Starts n threads at once on body(t) and joins them; returns the number of
// threads whose body returned false.
template <typename Body>
int run_together(int n, Body body) {
    std::atomic<int> go{0}, wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < n; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            if (!body(t)) ++wrong;
        });
    }
    go = 1;
    for (auto &thread : threads) thread.join();
    return wrong.load();
}

// Lookups on one mapping of a document whose nodes already exist: the first
// lookups race to build the mapping's key index.
TEST(Threads, ConcurrentLookupsInOneBuiltMapping) {
    const std::string text = shared_text();
    zarvel_document *doc = zarvel_parse(text.data(), text.size(), nullptr);
    ASSERT_NE(doc, nullptr);
    ASSERT_EQ(zarvel_document_count(doc), 1u);
    zarvel_node *root = zarvel_document_root(doc, 0);
    EXPECT_EQ(run_together(8,
                           [&](int t) {
                               for (int i = 0; i < 200; ++i) {
                                   int k = (i * 11 + t * 29) % 200;
                                   std::string key = "key" + std::to_string(k);
                                   zarvel_node *seq =
                                       zarvel_node_map_get(root, key.data(), static_cast<int32_t>(key.size()));
                                   int64_t value = -1;
                                   if (zarvel_node_int(zarvel_node_seq_at(seq, 0), &value) != 0 || value != k)
                                       return false;
                               }
                               return true;
                           }),
              0);
    zarvel_document_free(doc);
}

// Every thread keeps its own error record: each fails its own parse and
// must read back its own message and position.
TEST(Threads, ErrorRecordsArePerThread) {
    EXPECT_EQ(run_together(8,
                           [](int t) {
                               for (int round = 0; round < 50; ++round) {
                                   std::string text = std::string(size_t(t + 1), '\n') + "a: [1, 2\n";
                                   int32_t status = -1;
                                   if (zarvel_parse(text.data(), text.size(), &status) || status != 1) return false;
                                   uint32_t line = 0, column = 0;
                                   std::string message = zarvel_last_error(&line, &column);
                                   if (message.empty() || line < uint32_t(t + 1)) return false;
                                   // An own failure of another kind replaces it, on this thread only.
                                   zarvel_tape tape{};
                                   if (zarvel_parse_json_tape("[1,]", 4, &tape) != 1) return false;
                                   if (std::string(zarvel_last_error(&line, &column)).find("not strict JSON") ==
                                       std::string::npos)
                                       return false;
                               }
                               return true;
                           }),
              0);
}

// The kernel table is chosen at first use; many threads asking at once must
// all get the same table. (ctest runs each test in its own process, so this
// is the first use there.)
TEST(Threads, KernelTableFirstUse) {
    std::atomic<const zarvel_kernels *> seen[16] = {};
    EXPECT_EQ(run_together(16,
                           [&](int t) {
                               seen[t] = zarvel_kernels_get();
                               const char text[] = "a, b & c";
                               return seen[t].load() != nullptr &&
                                      seen[t].load()->count(text, sizeof text - 1, '&') == 1;
                           }),
              0);
    for (auto &s : seen) EXPECT_EQ(s.load(), seen[0].load());
}

// One compiled plan walked from many threads, over documents and tapes of
// their own and over one shared document.
TEST(Threads, ConcurrentWalksOfOnePlan) {
    const char plan_text[] =
        "{\"kind\": \"seq\", \"path\": \"rows\", \"children\": [{\"name\": \"id\", \"kind\": "
        "\"int\"}, {\"name\": \"name\", \"kind\": \"str\"}]}";
    zarvel_plan *plan = zarvel_plan_compile(plan_text, sizeof plan_text - 1, nullptr);
    ASSERT_NE(plan, nullptr);
    std::string text = "{\"rows\": [";
    for (int i = 0; i < 500; ++i)
        text += std::string(i ? "," : "") + "{\"id\": " + std::to_string(i) + ", \"name\": \"n\"}";
    text += "]}";
    zarvel_document *shared = zarvel_parse_json(text.data(), text.size(), nullptr);
    ASSERT_NE(shared, nullptr);
    auto sum_of = [](const zarvel_plan_result *r) {
        int64_t sum = 0;
        for (uint64_t i = 0; r && i < zarvel_plan_result_rows(r); ++i) sum += zarvel_plan_result_ints(r, 0)[i];
        return sum;
    };
    const int64_t expected = 499 * 500 / 2;
    EXPECT_EQ(run_together(8,
                           [&](int) {
                               for (int round = 0; round < 10; ++round) {
                                   // The shared document's first walk builds its nodes.
                                   zarvel_plan_result *a = zarvel_document_plan_walk(shared, plan, nullptr);
                                   zarvel_tape tape{};
                                   if (zarvel_parse_json_tape(text.data(), text.size(), &tape) != 0) return false;
                                   zarvel_plan_result *b = zarvel_tape_plan_walk(&tape, plan, nullptr);
                                   bool ok = sum_of(a) == expected && sum_of(b) == expected;
                                   zarvel_plan_result_free(a);
                                   zarvel_plan_result_free(b);
                                   zarvel_tape_free(&tape);
                                   if (!ok) return false;
                               }
                               return true;
                           }),
              0);
    zarvel_document_free(shared);
    zarvel_plan_free(plan);
}

}  // namespace

TEST(Threads, ConcurrentReadersShareOneHandlePerNode) {
    // Threads racing for the first handles of one built document each make
    // none twice: every thread gets the same pointer for the same node.
    // Enough nodes that handles are made in several steps, and by id from
    // both ends.
    const std::string text = shared_text(2000);
    const uint32_t nodes = 7 * 2000 + 1;
    for (int round = 0; round < 4; ++round) {
        zarvel_document *doc = zarvel_parse(text.data(), text.size(), nullptr);
        ASSERT_EQ(zarvel_document_count(doc), 1u);
        std::atomic<int> go{0};
        std::vector<std::vector<const zarvel_node *>> seen(8), by_id(8, std::vector<const zarvel_node *>(nodes));
        std::vector<std::vector<uint32_t>> order(8);
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&, t] {
                while (!go.load()) std::this_thread::yield();
                zarvel_node *root = zarvel_document_root(doc, 0);
                for (uint32_t k = 0; k < nodes; ++k) {
                    const uint32_t id = t % 2 ? nodes - 1 - k : k;
                    by_id[t][id] = zarvel_document_node(doc, id);
                }
                std::vector<zarvel_node *> children(zarvel_node_children(root, nullptr, 0));
                zarvel_node_children(root, children.data(), children.size());
                for (zarvel_node *child : children) {
                    seen[t].push_back(child);
                    seen[t].push_back(zarvel_node_seq_at(child, uint64_t(t) % 3));
                }
                // The same children by id.
                std::vector<uint32_t> ids(children.size());
                uint64_t count = 0;
                zarvel_node_child_ids(root, 0, ids.data(), nullptr, ids.size(), &count);
                for (size_t k = 0; k < children.size(); ++k)
                    if (count != children.size() || zarvel_document_node(doc, ids[k]) != children[k])
                        seen[t].push_back(nullptr);
                // The nodes in document order, whose list one of them makes.
                std::vector<zarvel_node_view> views(nodes);
                if (zarvel_document_views(doc, 0, 0, 0, views.data(), nodes, &count) == 0 && count == nodes)
                    for (const zarvel_node_view &v : views) order[t].push_back(v.id);
            });
        go = 1;
        for (auto &thread : threads) thread.join();
        for (int t = 1; t < 8; ++t) {
            ASSERT_EQ(seen[t].size(), seen[0].size());
            for (size_t i = 0; i < seen[t].size(); i += 2) EXPECT_EQ(seen[t][i], seen[0][i]) << "thread " << t;
            EXPECT_EQ(by_id[t], by_id[0]) << "thread " << t;
            EXPECT_EQ(order[t], order[0]) << "thread " << t;
        }
        EXPECT_EQ(order[0].size(), nodes);
        EXPECT_EQ(zarvel_document_node(doc, nodes), nullptr);
        for (uint32_t id = 0; id < nodes; ++id) ASSERT_EQ(zarvel_node_id(by_id[0][id]), id);
        zarvel_document_free(doc);
    }
}

TEST(Threads, DocumentReadInOrderWhileItsNodesAreMade) {
    // Threads reading the views of a document parsed to be read in order,
    // while others make its nodes: every thread reads the same views, and
    // the texts of escaped strings read before the nodes were made stay.
    std::string text = "[";
    for (int i = 0; i < 3000; ++i)
        text += std::string(i ? "," : "") + "{\"k\\n" + std::to_string(i) + "\": [" + std::to_string(i) +
                ", 1.5, \"v\\t\"]}";
    text += "]";
    const zarvel_json_options in_order{sizeof in_order, ZARVEL_JSON_IN_ORDER};
    for (int round = 0; round < 4; ++round) {
        zarvel_document *doc = zarvel_parse_json_ex(text.data(), text.size(), &in_order, nullptr);
        ASSERT_NE(doc, nullptr);
        std::atomic<int> go{0};
        std::vector<std::string> read(8);
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&, t] {
                while (!go.load()) std::this_thread::yield();
                if (t % 2) zarvel_document_root(doc, 0);
                zarvel_node_view views[100];
                uint64_t count = 0;
                for (uint64_t first = 0;
                     zarvel_document_views(doc, 0, first, ZARVEL_VIEW_NUMBERS, views, 100, &count) == 0 &&
                     first < count;
                     first += 100)
                    for (uint64_t k = 0; k < 100 && first + k < count; ++k) {
                        const zarvel_node_view &v = views[k];
                        read[t] += std::to_string(v.id) + ":" + std::to_string(v.number.integer) + ":" +
                                   (v.text ? std::string(v.text, v.length) : "-") + ";";
                    }
            });
        go = 1;
        for (auto &thread : threads) thread.join();
        EXPECT_GT(read[0].size(), text.size());
        for (int t = 1; t < 8; ++t) EXPECT_EQ(read[t], read[0]) << "thread " << t;
        zarvel_document_free(doc);
    }
}
