// CBOR decoder core: the generic decoder against a recording sink.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "zarvel.h"
#include "corpus.hpp"

namespace {

std::vector<uint8_t> from_hex(const std::string &spaced) {
    std::string hex;
    for (char c : spaced)
        if (c != ' ') hex += c;
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string tag_of(const char *tag, uint64_t len) {
    if (!tag) return len ? "<len without tag>" : "";
    return " tag=" + std::string(tag, len);
}
std::string key_of(int32_t is_key) { return is_key ? " key" : ""; }

std::string show_double(double v) {
    if (std::isnan(v)) return "NaN";
    std::ostringstream s;
    s.precision(17);
    s << v;
    return s.str();
}

// Records every callback as one line; can stop after n callbacks.
struct recorder {
    std::vector<std::string> events;
    int stop_after = -1;

    int32_t next(std::string line) {
        events.push_back(std::move(line));
        return stop_after < 0 || int(events.size()) < stop_after;
    }
    std::string joined() const {
        std::string out;
        for (const auto &e : events) out += (out.empty() ? "" : "|") + e;
        return out;
    }

    static recorder &of(void *c) { return *static_cast<recorder *>(c); }
    static zvl_cbor_sink sink(recorder *r) {
        zvl_cbor_sink s{};
        s.context = r;
        s.on_scalar = [](void *c, const char *t, uint64_t n, uint32_t id, int32_t k, const char *tag, uint64_t tl) {
            return of(c).next("scalar " + std::string(t, n) + " id=" + std::to_string(id) + key_of(k) +
                              tag_of(tag, tl));
        };
        s.on_integer = [](void *c, int32_t neg, uint64_t mag, int32_t k, const char *tag, uint64_t tl) {
            return of(c).next(std::string("int ") + (neg ? "-" : "") + std::to_string(mag) + key_of(k) +
                              tag_of(tag, tl));
        };
        s.on_float = [](void *c, int32_t k, const char *tag, uint64_t tl, double v) {
            return of(c).next("float " + show_double(v) + key_of(k) + tag_of(tag, tl));
        };
        s.on_text = [](void *c, const char *b, uint64_t n, int32_t in, int32_t k, const char *tag, uint64_t tl) {
            return of(c).next("text '" + std::string(b, n) + "'" + (in ? "" : " copy") + key_of(k) + tag_of(tag, tl));
        };
        s.on_bytes = [](void *c, const char *b, uint64_t n, int32_t in, int32_t k, const char *tag, uint64_t tl) {
            std::string hex;
            for (uint64_t i = 0; i < n; ++i) {
                char h[3];
                std::snprintf(h, sizeof h, "%02x", uint8_t(b[i]));
                hex += h;
            }
            return of(c).next("bytes " + hex + (in ? "" : " copy") + key_of(k) + tag_of(tag, tl));
        };
        s.on_begin = [](void *c, int32_t m, uint64_t count, const char *tag, uint64_t tl) {
            return of(c).next(std::string(m ? "map " : "array ") +
                              (count == ~uint64_t(0) ? std::string("*") : std::to_string(count)) + tag_of(tag, tl));
        };
        s.on_end = [](void *c, int32_t m) { return of(c).next(m ? "end map" : "end array"); };
        return s;
    }
};

struct outcome {
    int32_t status;
    std::string events;
    std::string message;
};

outcome decode(const std::vector<uint8_t> &bytes, bool strict, uint64_t *consumed = nullptr) {
    recorder r;
    zvl_cbor_sink sink = recorder::sink(&r);
    zarvel_error_clear(zarvel_error_current());
    int32_t status = zvl_cbor_decode_gen(bytes.data(), bytes.size(), strict, consumed, &sink);
    return {status, r.joined(), zarvel_last_error(nullptr, nullptr)};
}

// ---- well-formed items ----------------------------------------------------------

struct event_row {
    const char *hex;
    bool strict;
    const char *events;
};

const event_row event_rows[] = {
    {"00", true, "int 0"},
    {"17", true, "int 23"},
    {"1818", true, "int 24"},
    {"1805", false, "int 5"},
    {"1b7fffffffffffffff", true, "int 9223372036854775807"},
    {"1b8000000000000000", true, "float 9.2233720368547758e+18"},
    {"20", true, "int -1"},
    {"3b7fffffffffffffff", true, "int -9223372036854775808"},
    {"3b8000000000000000", true, "int -9223372036854775809"},
    {"3bffffffffffffffff", true, "float -1.8446744073709552e+19"},
    {"f4", true, "scalar false id=3"},
    {"f5", true, "scalar true id=3"},
    {"f6", true, "scalar null id=4"},
    {"f7", true, "scalar undefined id=0"},
    {"e0", true, "scalar simple(0) id=0"},
    {"f3", true, "scalar simple(19) id=0"},
    {"f820", true, "scalar simple(32) id=0"},
    {"f8ff", true, "scalar simple(255) id=0"},
    {"f97c00", true, "float inf"},
    {"f9fc00", true, "float -inf"},
    {"f97e00", true, "float NaN"},
    {"f9fe01", true, "float NaN"},
    {"f90001", true, "float 5.9604644775390625e-08"},
    {"f93e00", true, "float 1.5"},
    {"f9c400", true, "float -4"},
    {"fa47c35000", true, "float 100000"},
    {"fb3ff199999999999a", true, "float 1.1000000000000001"},
    {"6161", true, "text 'a'"},
    {"60", true, "text ''"},
    {"4401020304", true, "bytes 01020304"},
    {"7f616161626163ff", true, "text 'abc' copy"},
    {"7fff", true, "text '' copy"},
    {"5f4101420203ff", true, "bytes 010203 copy"},
    {"80", true, "array 0|end array"},
    {"9fff", true, "array *|end array"},
    {"820102", true, "array 2|int 1|int 2|end array"},
    {"9f01820203ff", true, "array *|int 1|array 2|int 2|int 3|end array|end array"},
    {"a0", true, "map 0|end map"},
    {"a1616101", true, "map 2|text 'a' key|int 1|end map"},
    {"bf6161f5ff", true, "map *|text 'a' key|scalar true id=3|end map"},
    {"828080", true, "array 2|array 0|end array|array 0|end array|end array"},
    {"c11a514b67b0", true, "int 1363896240 tag=1"},
    {"d9d9f7c100", true, "int 0 tag=55799 1"},
    {"c1820102", true, "array 2 tag=1|int 1|int 2|end array"},
    {"c182fb3ff199999999999afbfff0000000000000", true, "array 2 tag=1|float 1.1000000000000001|float -inf|end array"},
    {"8282f93e00fa47c3500081f9c400", true,
     "array 2|array 2|float 1.5|float 100000|end array|array 1|float -4|end array|end array"},
    {"81c101", true, "array 1|int 1 tag=1|end array"},
    {"a1c16161c202", true, "map 2|text 'a' key tag=1|int 2 tag=2|end map"},
    // Keys turned into text; integer keys only when lenient.
    {"a1f400", true, "map 2|scalar false id=0 key|int 0|end map"},
    {"a1f600", true, "map 2|scalar null id=0 key|int 0|end map"},
    {"a1f000", true, "map 2|scalar simple(16) id=0 key|int 0|end map"},
    {"a10102", false, "map 2|scalar 1 id=0 key|int 2|end map"},
    {"a12002", false, "map 2|scalar -1 id=0 key|int 2|end map"},
    {"a13bffffffffffffffff00", false, "map 2|scalar -18446744073709551616 id=0 key|int 0|end map"},
    // Byte-string keys stay bytes, whole, in both modes.
    {"a1420a0b00", true, "map 2|bytes 0a0b key|int 0|end map"},
    {"a1581801020304050607080910111213141516171819202122232400", false,
     "map 2|bytes 010203040506070809101112131415161718192021222324 key|int 0|end map"},
    {"a1f93c0000", false, "map 2|float 1 key|int 0|end map"},
    {"a1c1f500", true, "map 2|scalar true id=0 key tag=1|int 0|end map"},
};

TEST(CborDecode, WellFormedItemsReachTheSink) {
    for (const auto &row : event_rows) {
        outcome got = decode(from_hex(row.hex), row.strict);
        EXPECT_EQ(got.status, 0) << row.hex << ": " << got.message;
        EXPECT_EQ(got.events, row.events) << row.hex;
    }
}

// ---- not well-formed ------------------------------------------------------------

struct failure_row {
    const char *hex;
    bool strict;
    int32_t status;
    const char *message;
};

const failure_row failure_rows[] = {
    {"", false, 1, "truncated head at byte 0"},
    {"18", false, 1, "truncated head at byte 0"},
    {"1901", false, 1, "truncated head at byte 0"},
    {"811a0000", false, 1, "truncated head at byte 1"},
    {"1c", false, 1, "reserved additional information (28-30) at byte 0"},
    {"5d", false, 1, "reserved additional information (28-30) at byte 0"},
    {"dd", false, 1, "reserved additional information (28-30) at byte 0"},
    {"fc", false, 1, "reserved additional information at byte 0"},
    {"fe", false, 1, "reserved additional information at byte 0"},
    {"1805", true, 1, "non-minimal length argument at byte 0"},
    {"1900ff", true, 1, "non-minimal length argument at byte 0"},
    {"1a0000ffff", true, 1, "non-minimal length argument at byte 0"},
    {"1b00000000ffffffff", true, 1, "non-minimal length argument at byte 0"},
    {"5801ff", true, 1, "non-minimal length argument at byte 0"},
    {"d801f6", true, 1, "non-minimal length argument at byte 0"},
    {"9801f6", true, 1, "non-minimal length argument at byte 0"},
    {"1f", false, 1, "additional information 31 with major type 0, 1, 6, or as an item at byte 0"},
    {"3f", false, 1, "additional information 31 with major type 0, 1, 6, or as an item at byte 0"},
    {"df", false, 1, "additional information 31 with major type 0, 1, 6, or as an item at byte 0"},
    {"ff", false, 1, "additional information 31 with major type 0, 1, 6, or as an item at byte 0"},
    {"8101ff", false, 1, "trailing bytes after the data item at byte 2"},
    {"9fc1ff", false, 1, "additional information 31 with major type 0, 1, 6, or as an item at byte 2"},
    {"62", false, 1, "truncated string at byte 0"},
    {"4561", false, 1, "truncated string at byte 0"},
    {"5bffffffffffffffff00", false, 1, "truncated string at byte 0"},
    {"7f61", false, 1, "truncated string chunk at byte 1"},
    {"7f6161", false, 1, "unterminated indefinite-length string at byte 3"},
    {"7f", false, 1, "unterminated indefinite-length string at byte 1"},
    {"7f4161ff", false, 1, "indefinite-length string chunk must be definite, same major type at byte 2"},
    {"5f6161ff", false, 1, "indefinite-length string chunk must be definite, same major type at byte 2"},
    {"7f7fffff", false, 1, "indefinite-length string chunk must be definite, same major type at byte 2"},
    {"5f00ff", false, 1, "indefinite-length string chunk must be definite, same major type at byte 2"},
    {"83", false, 1, "array overruns the input at byte 0"},
    {"9bffffffffffffffff", false, 1, "array overruns the input at byte 0"},
    {"a20000", false, 1, "map overruns the input at byte 0"},
    {"bb8000000000000000", false, 1, "map overruns the input at byte 0"},
    {"f8", false, 1, "truncated simple value at byte 0"},
    {"f81f", false, 1, "two-byte simple value below 32 at byte 0"},
    {"f818", false, 1, "two-byte simple value below 32 at byte 0"},
    {"f900", false, 1, "truncated half float at byte 0"},
    {"fa000000", false, 1, "truncated single float at byte 0"},
    {"fb00000000000000", false, 1, "truncated double float at byte 0"},
    {"bf01ff", false, 1, "break in a map value position (odd item count) at byte 2"},
    {"a10102", true, 1, "string key required at byte 1"},
    {"a12002", true, 1, "string key required at byte 1"},
    {"a1f93c0000", true, 1, "string key required at byte 1"},
    {"a17f6161ff00", false, 1, "string key required at byte 1"},
    {"a15f4161ff00", false, 1, "string key required at byte 1"},
    {"a1800000", false, 1, "structure as map key at byte 1"},
    {"a1a00000", false, 1, "structure as map key at byte 1"},
    {"a19fff00", true, 1, "structure as map key at byte 1"},
    {"c1", false, 1, "truncated head at byte 1"},
    {"81c1", false, 1, "truncated head at byte 2"},
    {"61ff", false, 4, "ill-formed UTF-8 in text string at byte 1"},
    {"62c328", false, 4, "ill-formed UTF-8 in text string at byte 1"},
    {"63eda080", true, 4, "ill-formed UTF-8 in text string at byte 1"},
    // A character split between two chunks.
    {"7f61c361a9ff", false, 4, "ill-formed UTF-8 in text string at byte 2"},
};

TEST(CborDecode, IllFormedItemsAreRefusedWithTheirMessage) {
    for (const auto &row : failure_rows) {
        outcome got = decode(from_hex(row.hex), row.strict);
        EXPECT_EQ(got.status, row.status) << row.hex;
        EXPECT_EQ(got.message, row.message) << row.hex;
    }
}

TEST(CborDecode, ErrorRecordCarriesCodeAndOffset) {
    decode(from_hex("8101ff"), false);
    const zarvel_error *e = zarvel_error_current();
    EXPECT_EQ(e->code, 1u);
    EXPECT_EQ(e->offset, 2u);
    EXPECT_EQ(e->line, 0u);
    decode(from_hex("8261ff"), false);
    EXPECT_EQ(e->code, 4u);
    std::vector<uint8_t> deep(1001, 0x81);
    deep.push_back(0x00);
    decode(deep, false);
    EXPECT_EQ(e->code, 3u);
    EXPECT_EQ(e->offset, 1000u);
}

// ---- nesting, tags, sequences, arguments -----------------------------------------

TEST(CborDecode, DepthGuardAdmitsThousandLevels) {
    for (uint8_t open : {uint8_t(0x81), uint8_t(0x9f)}) {
        std::vector<uint8_t> ok(1000, open);
        ok.push_back(0x00);
        if (open == 0x9f) ok.insert(ok.end(), 1000, 0xff);
        EXPECT_EQ(decode(ok, true).status, 0) << int(open);
        std::vector<uint8_t> deep(1001, open);
        deep.push_back(0x00);
        outcome got = decode(deep, true);
        EXPECT_EQ(got.status, 3);
        EXPECT_EQ(got.message, "CBOR nesting exceeds the depth guard at byte 1000");
    }
    // An empty container opens a level too.
    std::vector<uint8_t> empty_at_1001(1000, 0x81);
    empty_at_1001.push_back(0x80);
    EXPECT_EQ(decode(empty_at_1001, true).status, 3);
    // Deep maps: a1 61 61 repeated.
    std::vector<uint8_t> maps;
    for (int i = 0; i < 1000; ++i) maps.insert(maps.end(), {0xa1, 0x61, 0x61});
    maps.push_back(0xf6);
    EXPECT_EQ(decode(maps, true).status, 0);
}

TEST(CborDecode, TagChainIsBoundedAt512Bytes) {
    // Tag 18446744073709551615 is 20 digits: 24 tags use 24*21-1 = 503 bytes,
    // the 25th would need 21 more.
    std::vector<uint8_t> tags;
    for (int i = 0; i < 24; ++i) tags.insert(tags.end(), {0xdb, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff});
    std::vector<uint8_t> ok = tags;
    ok.push_back(0x00);
    outcome got = decode(ok, true);
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.events.size(), std::string("int 0 tag=").size() + 503);
    // 24 long tags leave 9 bytes; a 1-digit tag still needs 21 free bytes.
    std::vector<uint8_t> over = tags;
    over.insert(over.end(), {0xc1, 0x00});
    got = decode(over, true);
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.message, "semantic-tag chain exceeds 512 bytes at byte 216");
    // Many short tags fit: 1-digit tags take 2 bytes each.
    std::vector<uint8_t> shortest(200, 0xc1);
    shortest.push_back(0x00);
    EXPECT_EQ(decode(shortest, true).status, 0);
}

TEST(CborDecode, ConsumedAllowsFollowingBytes) {
    uint64_t consumed = 99;
    outcome got = decode(from_hex("820102ff00"), true, &consumed);
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(consumed, 3u);
    consumed = 99;
    EXPECT_EQ(decode(from_hex("9fff"), true, &consumed).status, 0);
    EXPECT_EQ(consumed, 2u);
    EXPECT_EQ(decode(from_hex("0000"), true, nullptr).message, "trailing bytes after the data item at byte 1");
}

TEST(CborDecode, CallbackStopGivesStatusTwo) {
    const auto bytes = from_hex("83616101a1616202");
    for (int n = 1; n <= 7; ++n) {
        recorder r;
        r.stop_after = n;
        zvl_cbor_sink sink = recorder::sink(&r);
        EXPECT_EQ(zvl_cbor_decode_gen(bytes.data(), bytes.size(), 1, nullptr, &sink), 2) << n;
        EXPECT_EQ(int(r.events.size()), n);
    }
}

TEST(CborDecode, InvalidArgumentsAndNullCallbacks) {
    recorder r;
    zvl_cbor_sink sink = recorder::sink(&r);
    EXPECT_EQ(zvl_cbor_decode_gen(nullptr, 1, 0, nullptr, &sink), 6);
    const uint8_t one = 0;
    EXPECT_EQ(zvl_cbor_decode_gen(&one, 1, 0, nullptr, nullptr), 6);
    zvl_cbor_sink empty{};
    const auto bytes = from_hex("a26161f56162827f6178ff5f41ffff");
    EXPECT_EQ(zvl_cbor_decode_gen(bytes.data(), bytes.size(), 1, nullptr, &empty), 0);
}

// Every prefix of a valid item is refused (never accepted, never a crash),
// and every single-byte corruption decodes or fails cleanly.
TEST(CborDecode, TruncationsAndCorruptionsFailCleanly) {
    const auto item = from_hex("a56161f561628201026163 7f61786179ff6164bf616bf9fe00ff6165c1d81e5f4101420203ff");
    ASSERT_EQ(decode(item, true).status, 0) << decode(item, true).message;
    for (size_t n = 0; n < item.size(); ++n) {
        std::vector<uint8_t> prefix(item.begin(), item.begin() + long(n));
        outcome got = decode(prefix, false);
        EXPECT_NE(got.status, 0) << "prefix " << n;
    }
    for (size_t i = 0; i < item.size(); ++i)
        for (int b = 0; b < 256; b += 7) {
            auto copy = item;
            copy[i] = uint8_t(b);
            outcome got = decode(copy, false);
            EXPECT_TRUE(got.status >= 0 && got.status <= 4) << i << " " << b;
        }
}

// ---- RFC 8949 Appendix A ---------------------------------------------------------

nlohmann::json appendix_a() {
    std::ifstream in(corpus::path("cbor/appendix_a.json"));
    EXPECT_TRUE(in.good());
    return nlohmann::json::parse(in);
}

TEST(CborDecode, AppendixAVectorsDecode) {
    SKIP_WITHOUT_CORPUS("cbor/appendix_a.json");
    const auto vectors = appendix_a();
    ASSERT_GT(vectors.size(), 70u);
    for (const auto &v : vectors) {
        const std::string hex = v["hex"];
        outcome got = decode(from_hex(hex), false);
        // 0xf8 0x18 is simple(24) in RFC 7049 but not well-formed since RFC 8949.
        if (hex == "f818") {
            EXPECT_EQ(got.status, 1);
            EXPECT_EQ(got.message, "two-byte simple value below 32 at byte 0");
            continue;
        }
        EXPECT_EQ(got.status, 0) << hex << ": " << got.message;
        if (!v.contains("decoded")) continue;
        const auto &d = v["decoded"];
        // Bignums (tags 2 and 3) and containers are compared through documents.
        if (d.is_number()) {
            if (got.events.rfind("int ", 0) == 0 && d.is_number_integer()) {
                std::string expect =
                    d.is_number_unsigned() ? std::to_string(d.get<uint64_t>()) : std::to_string(d.get<int64_t>());
                EXPECT_EQ(got.events, "int " + expect) << hex;
            } else if (got.events.rfind("float ", 0) == 0) {
                EXPECT_EQ(got.events, "float " + show_double(d.get<double>())) << hex;
            }
        } else if (d.is_string()) {
            std::string expect = "text '" + d.get<std::string>() + "'";
            EXPECT_TRUE(got.events == expect || got.events == expect + " copy") << hex << " " << got.events;
        } else if (d.is_boolean()) {
            EXPECT_EQ(got.events, std::string("scalar ") + (d.get<bool>() ? "true" : "false") + " id=3") << hex;
        } else if (d.is_null()) {
            EXPECT_EQ(got.events, "scalar null id=4") << hex;
        }
    }
}

TEST(CborDecode, AppendixAStrictRefusesOnlyIntegerKeys) {
    SKIP_WITHOUT_CORPUS("cbor/appendix_a.json");
    for (const auto &v : appendix_a()) {
        const std::string hex = v["hex"];
        if (hex == "f818") continue;
        outcome got = decode(from_hex(hex), true);
        if (hex == "a201020304")
            EXPECT_EQ(got.message, "string key required at byte 1");
        else
            EXPECT_EQ(got.status, 0) << hex << ": " << got.message;
    }
}

}  // namespace
