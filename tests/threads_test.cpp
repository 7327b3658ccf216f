// Many threads at once: each parses its own text while all of them read one
// shared document (its first read may build it; mapping lookups may build
// the key index). Every thread must see the same tree. Run it under the
// sanitizer builds (ThreadSanitizer shows races the assertions cannot).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "zarvel.h"

namespace {

std::string shared_text() {
    std::string text;
    for (int i = 0; i < 200; ++i)
        text += "key" + std::to_string(i) + ": [" + std::to_string(i) + ", text " +
                std::to_string(i) + ", {inner: " + std::to_string(i * 2) + "}]\n";
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
                if (zarvel_node_int(zarvel_node_map_get(root, key.data(), static_cast<int32_t>(key.size())), &value) != 0 ||
                    value != k)
                    ++wrong;
            }
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    zarvel_document_free(doc);
}

}  // namespace
