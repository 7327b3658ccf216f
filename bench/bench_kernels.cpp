// The scanning kernels beside memchr and memcpy: UTF-8 validation, the line
// scan and the kernels the YAML reader calls through the table (stop-set
// and quote searches, census, special-byte test). Every kernel row also
// runs the portable kernel as a peer, so the gain of the vector table is
// measured in the same run.
//
// memchr looks for a byte that never occurs. For the whole-text kernels it
// reads the whole text in one call, as they do. The line scan is called once
// per line (as the parser calls it), so its memchr peer is the same walk:
// one memchr call per line over exactly that line's bytes, for a byte that
// never occurs. A single memchr over the whole text would run from the cache
// at the load ports' limit with no per-call cost, which no per-line walk can
// approach. "memchr per line" searches the line feed itself.
#include <cstring>
#include <string>
#include <vector>

#include "core/kernels.hpp"
#include "core/utf8.hpp"
#include "harness.hpp"

namespace {

using namespace zb;

const uint8_t block_stops[32] = {0x00, 0x24, 0x00, 0x00, 0x08, 0x00, 0x00, 0x04};  // LF CR # :

void memchr_peers(row &r, const std::string &t) {
    peer(r, "memchr", [&] {
        sink_value = uint64_t(std::memchr(t.data(), 0x01, t.size()) != nullptr);
        return true;
    });
}

void utf8_cases(const named_input &in) {
    const std::string &t = in.text;
    const auto *bytes = reinterpret_cast<const uint8_t *>(t.data());
    const auto &portable = zvl::utf8_variants()[0];
    for (bool printable : {false, true}) {
        const std::string op = printable ? "UTF-8 validation, printable" : "UTF-8 validation";
        row &r = start_row(op, in.name, t.size(),
                           [&] { return zvl::first_invalid_utf8(bytes, t.size(), printable) == t.size(); });
        peer(r, "portable", [&] { return portable.first_invalid(bytes, t.size(), printable) == t.size(); });
        memchr_peers(r, t);
        if (printable) continue;
        std::vector<char> copy(t.size());
        peer(r, "memcpy", [&] {
            std::memcpy(copy.data(), t.data(), t.size());
            sink_value = uint64_t(copy[t.size() / 2]);
            return true;
        });
    }
}

void line_scan_cases(const named_input &in, const zarvel_kernels &k, const zarvel_kernels &portable) {
    const std::string &t = in.text;
    auto walk = [&t](const zarvel_kernels &table) {
        uint64_t pos = 0, lines = 0;
        zarvel_line_info info{};
        while (pos < t.size()) {
            table.line_scan(t.data(), t.size(), pos, zarvel_no_limit, &info);
            pos = uint64_t(info.line_end) + 1;
            lines += info.mark_found;
        }
        sink_value = lines;
        return true;
    };
    row &l = start_row("line scan", in.name, t.size(), [&] { return walk(k); });
    peer(l, "portable", [&] { return walk(portable); });
    // The line ends, found once outside the timing, give the memchr walk.
    std::vector<uint64_t> ends;
    for (uint64_t pos = 0; pos < t.size();) {
        const void *hit = std::memchr(t.data() + pos, '\n', t.size() - pos);
        uint64_t end = hit ? uint64_t(static_cast<const char *>(hit) - t.data()) : t.size();
        ends.push_back(end);
        pos = end + 1;
    }
    peer(l, "memchr", [&] {
        uint64_t pos = 0, found = 0;
        for (uint64_t end : ends) {
            found += std::memchr(t.data() + pos, 0x01, end + 1 - pos) != nullptr;
            pos = end + 1;
        }
        sink_value = found;
        return true;
    });
    peer(l, "memchr per line", [&] {
        uint64_t pos = 0, lines = 0;
        while (pos < t.size()) {
            const void *hit = std::memchr(t.data() + pos, '\n', t.size() - pos);
            pos = hit ? uint64_t(static_cast<const char *>(hit) - t.data()) + 1 : t.size();
            ++lines;
        }
        sink_value = lines;
        return true;
    });
    peer(l, "memchr whole text", [&] {
        sink_value = uint64_t(std::memchr(t.data(), 0x01, t.size()) != nullptr);
        return true;
    });
}

// Searches from one hit to the next, as the scanner walks plain scalars and
// quoted strings: the per-call cost counts.
void search_cases(const named_input &in, const zarvel_kernels &k, const zarvel_kernels &portable) {
    const std::string &t = in.text;
    auto stops = [&t](const zarvel_kernels &table) {
        uint64_t pos = 0, hits = 0;
        while (pos < t.size()) {
            int64_t i = table.find_in_set(block_stops, t.data() + pos, t.size() - pos);
            if (i < 0) break;
            pos += uint64_t(i) + 1;
            ++hits;
        }
        sink_value = hits;
        return true;
    };
    row &s = start_row("stop-set search walk", in.name, t.size(), [&] { return stops(k); });
    peer(s, "portable", [&] { return stops(portable); });
    auto quotes = [&t](const zarvel_kernels &table) {
        uint64_t pos = 0, hits = 0;
        uint32_t escaped = 0;
        while (pos < t.size()) {
            int64_t i = table.find_quote(t.data() + pos, t.size() - pos, '"', &escaped);
            if (i < 0) break;
            pos += uint64_t(i) + 1;
            hits += 1 + escaped;
        }
        sink_value = hits;
        return true;
    };
    row &q = start_row("quote search walk", in.name, t.size(), [&] { return quotes(k); });
    peer(q, "portable", [&] { return quotes(portable); });
}

void whole_text_cases(const named_input &in, const zarvel_kernels &k, const zarvel_kernels &portable) {
    const std::string &t = in.text;
    zarvel_census census{};
    row &c = start_row("census", in.name, t.size(), [&] {
        k.census(t.data(), t.size(), &census);
        sink_value = census.ampersands;
        return true;
    });
    peer(c, "portable", [&] {
        portable.census(t.data(), t.size(), &census);
        sink_value = census.ampersands;
        return true;
    });
    memchr_peers(c, t);
    row &h = start_row("special-byte test", in.name, t.size(), [&] {
        sink_value = uint64_t(k.has_special(t.data(), t.size()));
        return true;
    });
    peer(h, "portable", [&] {
        sink_value = uint64_t(portable.has_special(t.data(), t.size()));
        return true;
    });
    memchr_peers(h, t);
    row &n = start_row("count '&'", in.name, t.size(), [&] {
        sink_value = k.count(t.data(), t.size(), '&');
        return true;
    });
    peer(n, "portable", [&] {
        sink_value = portable.count(t.data(), t.size(), '&');
        return true;
    });
    memchr_peers(n, t);
}

void run(const input_dirs &dirs) {
    auto inputs = load(dirs.generated, {"block.yaml"});
    auto shared = load(dirs.shared, {"k8s-argocd-install.yaml", "openapi-twilio-api-v2010.yaml", "i18n-faker-hy.yaml"});
    inputs.insert(inputs.end(), shared.begin(), shared.end());
    const zarvel_kernels &k = *zarvel_kernels_get();
    const zarvel_kernels &portable = zvl::portable_kernels();
    for (const auto &in : inputs) {
        utf8_cases(in);
        line_scan_cases(in, k, portable);
        search_cases(in, k, portable);
        whole_text_cases(in, k, portable);
    }
}

}  // namespace

ZB_FAMILY("kernels", 90, run);
