// CBOR properties over many generated and mutated items: decoding never
// crashes and either accepts or refuses with a status; whatever decodes
// re-encodes, and the encoding is a fixed point of decode -> encode. The same
// check the fuzz target runs, bounded for CI.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "zarvel.h"
#include "corpus.hpp"

namespace {

using bytes = std::vector<uint8_t>;

bytes from_hex(const std::string &hex) {
    bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}
std::string to_hex(const uint8_t *p, size_t n) {
    std::string out;
    char h[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(h, sizeof h, "%02x", p[i]);
        out += h;
    }
    return out;
}

// Decode (lenient) and encode; empty when the input does not decode.
// Fails the test when a decoded item cannot be encoded.
bool reencode(const bytes &in, bytes &out, uint32_t flags, const std::string &label) {
    int32_t status = -1;
    zarvel_document *doc = zarvel_cbor_decode(in.data(), in.size(), 0, &status);
    EXPECT_TRUE(doc ? status == 0 : status >= 1 && status <= 4) << label;
    if (!doc) return false;
    uint64_t n = 0;
    uint8_t *encoded = zarvel_cbor_encode(doc, flags, &n);
    EXPECT_NE(encoded, nullptr) << label << ": " << zarvel_last_error(nullptr, nullptr);
    if (encoded) {
        out.assign(encoded, encoded + n);
        // The default encoding's single walk makes the bytes of the measuring
        // and writing walks behind _into.
        bytes into(n);
        EXPECT_EQ(zarvel_cbor_encode_into(doc, flags, into.data(), n), n) << label;
        EXPECT_EQ(into, out) << label;
    }
    zarvel_free(encoded);
    zarvel_document_free(doc);
    return encoded != nullptr;
}

// decode -> encode -> decode -> encode gives the same bytes twice.
void check_fixed_point(const bytes &in, const std::string &label) {
    for (uint32_t flags : {0u, uint32_t(ZARVEL_CBOR_CANONICAL)}) {
        bytes once, twice;
        if (!reencode(in, once, flags, label)) return;
        ASSERT_TRUE(reencode(once, twice, flags, label + " again")) << to_hex(once.data(), once.size());
        EXPECT_EQ(to_hex(once.data(), once.size()), to_hex(twice.data(), twice.size())) << label;
        // Strict decoding accepts the encoder's output unless it has non-text keys.
        int32_t status = -1;
        zarvel_document *strict = zarvel_cbor_decode(once.data(), once.size(), 1, &status);
        EXPECT_TRUE(strict || status == 1) << label;
        zarvel_document_free(strict);
    }
}

// Random well-formed items: nested arrays and maps of every scalar kind.
class generator {
  public:
    explicit generator(uint32_t seed) : random_(seed) {}

    bytes item() {
        bytes out;
        value(out, 0);
        return out;
    }

  private:
    uint32_t pick(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(random_); }
    void head(bytes &out, uint8_t major, uint64_t v) {
        // Sometimes a longer head than needed: the encoder must shorten it.
        uint32_t width = v < 24 ? 0 : v < 256 ? 1 : v < 65536 ? 2 : v < 4294967296ull ? 4 : 8;
        if (pick(4) == 0 && width < 8) width = width == 0 ? 1 : width * 2;
        if (width == 0) {
            out.push_back(uint8_t(major << 5 | v));
            return;
        }
        const uint8_t info = width == 1 ? 24 : width == 2 ? 25 : width == 4 ? 26 : 27;
        out.push_back(uint8_t(major << 5 | info));
        for (int i = int(width) - 1; i >= 0; --i) out.push_back(uint8_t(v >> (8 * i)));
    }
    uint64_t number() {
        switch (pick(4)) {
        case 0: return pick(24);
        case 1: return pick(70000);
        case 2: return uint64_t(random_()) << 32 | random_();
        default: return ~uint64_t(0) - pick(3);
        }
    }
    void text(bytes &out, uint8_t major, bool may_split = true) {
        static const char *samples[] = {
            "",          "a",        "key", "\xc3\xa9t\xc3\xa9", "undefined",
            "simple(7)", "\x01\x02", "x y", "seventeen letters", "\xc3\xa9 and then sixteen"};
        std::string s = samples[pick(10)];
        if (major == 2 && pick(2)) s += char(0xff);
        if (may_split && pick(5) == 0) {  // indefinite, split in chunks at character boundaries (ASCII only)
            out.push_back(uint8_t(major << 5 | 31));
            head(out, major, 1);
            out.push_back('z');
            head(out, major, s.size());
            out.insert(out.end(), s.begin(), s.end());
            out.push_back(0xff);
            return;
        }
        head(out, major, s.size());
        out.insert(out.end(), s.begin(), s.end());
    }
    void value(bytes &out, int depth) {
        if (pick(6) == 0) head(out, 6, number());  // a tag
        const uint32_t kind = depth > 4 ? pick(7) : pick(9);
        switch (kind) {
        case 0: head(out, 0, number()); break;
        case 1: head(out, 1, number()); break;
        case 2: text(out, 2); break;
        case 3: text(out, 3); break;
        case 4: {
            static const uint8_t simple[] = {0xf4, 0xf5, 0xf6, 0xf7, 0xe3, 0xf8};
            const uint8_t b = simple[pick(6)];
            out.push_back(b);
            if (b == 0xf8) out.push_back(uint8_t(32 + pick(224)));
            break;
        }
        case 5: {
            const uint8_t widths[] = {0xf9, 0xfa, 0xfb};
            const uint8_t w = widths[pick(3)];
            out.push_back(w);
            for (int i = 0; i < (w == 0xf9 ? 2 : w == 0xfa ? 4 : 8); ++i) out.push_back(uint8_t(random_()));
            break;
        }
        case 6: {
            static const char *floats[] = {"fb3ff199999999999a", "fa47c35000", "f93e00", "fb0000000000000001",
                                           "f98000"};
            auto b = from_hex(floats[pick(5)]);
            out.insert(out.end(), b.begin(), b.end());
            break;
        }
        case 7: {
            const uint32_t n = pick(4);
            const bool indefinite = pick(3) == 0;
            if (indefinite)
                out.push_back(0x9f);
            else
                head(out, 4, n);
            for (uint32_t i = 0; i < n; ++i) value(out, depth + 1);
            if (indefinite) out.push_back(0xff);
            break;
        }
        default: {
            const uint32_t n = pick(4);
            const bool indefinite = pick(3) == 0;
            if (indefinite)
                out.push_back(0xbf);
            else
                head(out, 5, n);
            for (uint32_t i = 0; i < n; ++i) {
                // Keys: texts, integers, simple values and floats (lenient).
                switch (pick(4)) {
                case 0: head(out, 0, number()); break;
                case 1: out.push_back(0xf5); break;
                case 2: out.insert(out.end(), {0xf9, 0x3c, 0x00}); break;
                default: text(out, 3, false);  // indefinite keys are refused
                }
                value(out, depth + 1);
            }
            if (indefinite) out.push_back(0xff);
        }
        }
    }

    std::mt19937 random_;
};

TEST(CborRoundTrip, GeneratedItemsReachAFixedPoint) {
    generator g(12345);
    for (int i = 0; i < 3000; ++i) {
        const bytes item = g.item();
        int32_t status = -1;
        zarvel_document *doc = zarvel_cbor_decode(item.data(), item.size(), 0, &status);
        // Random half/single/double bits and text keys are all well-formed.
        EXPECT_NE(doc, nullptr) << to_hex(item.data(), item.size()) << ": " << zarvel_last_error(nullptr, nullptr);
        zarvel_document_free(doc);
        check_fixed_point(item, to_hex(item.data(), item.size()));
    }
}

TEST(CborRoundTrip, MutatedVectorsNeverCrash) {
    SKIP_WITHOUT_CORPUS("cbor/appendix_a.json");
    std::ifstream in(corpus::path("cbor/appendix_a.json"));
    ASSERT_TRUE(in.good());
    const auto vectors = nlohmann::json::parse(in);
    std::vector<bytes> seeds;
    for (const auto &v : vectors) seeds.push_back(from_hex(v["hex"].get<std::string>()));
    generator g(99);
    for (int i = 0; i < 200; ++i) seeds.push_back(g.item());
    std::mt19937 random(7);
    for (int round = 0; round < 20000; ++round) {
        bytes item = seeds[random() % seeds.size()];
        const int edits = 1 + int(random() % 3);
        for (int e = 0; e < edits; ++e) {
            const uint32_t what = random() % 4;
            if (item.empty() || what == 0) {
                item.insert(item.begin() + long(item.empty() ? 0 : random() % (item.size() + 1)), uint8_t(random()));
            } else if (what == 1) {
                item[random() % item.size()] = uint8_t(random());
            } else if (what == 2) {
                item.erase(item.begin() + long(random() % item.size()));
            } else {
                item.resize(random() % (item.size() + 1));
            }
        }
        const std::string label = to_hex(item.data(), item.size());
        check_fixed_point(item, label);
        // The sequence entry on the same bytes.
        struct counter {
            static int32_t take(void *user, zarvel_document *doc, uint64_t) {
                ++*static_cast<int *>(user);
                zarvel_document_free(doc);
                return 0;
            }
        };
        int seen = 0;
        int32_t status = -1;
        const uint64_t n = zarvel_cbor_decode_sequence(item.data(), item.size(), 0, counter::take, &seen, &status);
        EXPECT_EQ(n, uint64_t(seen)) << label;
        EXPECT_TRUE(status >= 0 && status <= 2) << label;
    }
}

}  // namespace
