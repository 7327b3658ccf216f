// The conformance corpora lie outside the project, where ZARVEL_CORPUS_DIR
// (a CMake cache variable) says. A test that reads one skips when it is
// absent, so that a checkout without them still runs everything else.
#pragma once

#include <filesystem>

#include <gtest/gtest.h>

namespace corpus {

// A file or directory of the corpora, e.g. corpus::path("json-test-suite").
inline std::filesystem::path path(const char *name) { return std::filesystem::path(ZARVEL_CORPUS_DIR) / name; }

}  // namespace corpus

// Ends the calling test as skipped when the named corpus is absent.
#define SKIP_WITHOUT_CORPUS(name)                                                           \
    do {                                                                                    \
        if (!std::filesystem::exists(corpus::path(name)))                                   \
            GTEST_SKIP() << "conformance corpus not found: " << corpus::path(name).string() \
                         << " (configure with -DZARVEL_CORPUS_DIR=DIR to run this test)";   \
    } while (0)
