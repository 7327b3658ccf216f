// Acceptance against an independent parser (RapidJSON, when its headers are
// installed): on mutated texts the strict tape accepts exactly what RapidJSON
// accepts, and its refusals agree with the validator. (Number values are
// checked against strtod elsewhere: RapidJSON 1.1 misreads some exponents.)
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "zarvel.h"

#if __has_include(<rapidjson/document.h>)
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#define HAVE_RAPIDJSON 1
#endif

namespace {

#ifdef HAVE_RAPIDJSON

constexpr unsigned oracle_flags = rapidjson::kParseValidateEncodingFlag | rapidjson::kParseFullPrecisionFlag;

// RapidJSON takes a lone escaped low surrogate, which this library refuses,
// so texts with escapes of surrogates are left out.
bool comparable(const std::string &text) {
    for (size_t i = 0; i + 2 < text.size(); ++i)
        if (text[i] == '\\' && text[i + 1] == 'u' && (text[i + 2] == 'd' || text[i + 2] == 'D')) return false;
    return true;
}

std::string mutate(std::string s, std::mt19937_64 &random) {
    static const char bytes[] = "[]{},:\"\\ \t\n0123456789-+.eEtrufalsnu\x01\x7f\x80\xc3\xa9\xff";
    int steps = 1 + static_cast<int>(random() % 3);
    for (int i = 0; i < steps; ++i) {
        size_t at = s.empty() ? 0 : random() % (s.size() + 1);
        switch (random() % 4) {
        case 0:
            if (at < s.size()) s[at] = bytes[random() % (sizeof bytes - 1)];
            break;
        case 1: s.insert(at, 1, bytes[random() % (sizeof bytes - 1)]); break;
        case 2:
            if (at < s.size()) s.erase(at, 1);
            break;
        default: s.resize(at); break;
        }
    }
    return s;
}

const std::vector<std::string> seeds = {
    "{\"a\":[1,2.5,true,null,\"x\\u00e9\"],\"b\":{\"c\":-0}}",
    "[1e5, -0.25E-3, 123456789012345678901234567890, 0.1, \"\\n\\t\\\\\"]",
    "{\"k\": \"v\", \"list\": [[], {}, [[\"deep\"]]], \"n\": 9223372036854775807}",
    "\"just a string \xc3\xa9\"",
    "  -12.5e+7  ",
    "[true,false,null]",
};

TEST(JsonOracle, AcceptanceMatchesRapidJson) {
    std::mt19937_64 random(8080);
    int compared = 0;
    for (int i = 0; i < 200000; ++i) {
        std::string text = mutate(seeds[random() % seeds.size()], random);
        if (!comparable(text)) continue;
        rapidjson::Document d;
        d.Parse<oracle_flags>(text.data(), text.size());
        // RapidJSON refuses numbers beyond the double range (1e400); JSON does not.
        if (d.HasParseError() && d.GetParseError() == rapidjson::kParseErrorNumberTooBig) continue;
        bool oracle = !d.HasParseError();
        zarvel_tape tape{};
        int32_t status = zarvel_parse_json_tape(text.data(), text.size(), &tape);
        zarvel_tape_free(&tape);
        uint64_t offset = 0;
        int32_t document = zvl_json_document(text.data(), text.size(), &offset);
        ASSERT_EQ(status == 0, oracle) << testing::PrintToString(text) << " status " << status;
        if (status == 4) {
            ASSERT_EQ(document, 1) << testing::PrintToString(text);
        }
        if (status == 1) {
            ASSERT_EQ(document, 0) << testing::PrintToString(text);
        }
        ++compared;
    }
    EXPECT_GT(compared, 100000);
}

#else

TEST(JsonOracle, RapidJsonAbsent) { GTEST_SKIP() << "rapidjson headers not installed"; }

#endif

}  // namespace
