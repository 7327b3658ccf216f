// UTF-8 validation and the line scan, beside memchr.
#include "core/kernels.hpp"
#include "yaml/decode.hpp"
#include <string>
#include <vector>

#include "harness.hpp"

namespace {

using namespace zb;

void kernel_cases(const std::vector<named_input> &inputs) {
    const zarvel_kernels *k = zarvel_kernels_get();
    for (const auto &in : inputs) {
        const std::string &t = in.text;
        row &r = start_row("UTF-8 validation", in.name, t.size(), [&] {
            uint64_t at = 0;
            return zarvel_validate_utf8(t.data(), t.size(), &at, false);
        });
        peer(r, "memchr", [&] {
            sink_value = uint64_t(std::memchr(t.data(), 0x01, t.size()) != nullptr);
            return true;
        });
        std::vector<char> copy(t.size());
        peer(r, "memcpy", [&] {
            std::memcpy(copy.data(), t.data(), t.size());
            sink_value = uint64_t(copy[t.size() / 2]);
            return true;
        });
        row &l = start_row("line scan", in.name, t.size(), [&] {
            uint64_t pos = 0, lines = 0;
            zarvel_line_info info{};
            while (pos < t.size()) {
                k->line_scan(t.data(), t.size(), pos, zarvel_no_limit, &info);
                pos = uint64_t(info.line_end) + 1;
                lines += info.mark_found;
            }
            sink_value = lines;
            return true;
        });
        peer(l, "memchr", [&] {
            sink_value = uint64_t(std::memchr(t.data(), 0x01, t.size()) != nullptr);
            return true;
        });
        // The same line-by-line walk with memchr for the line feed: the cost
        // of one call per line without the kernel's extra findings.
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
    }
}

void run(const input_dirs &dirs) {
    auto inputs = load(dirs.generated, {"block.yaml"});
    auto shared = load(dirs.shared, {"k8s-argocd-install.yaml", "openapi-twilio-api-v2010.yaml", "i18n-faker-hy.yaml"});
    inputs.insert(inputs.end(), shared.begin(), shared.end());
    kernel_cases(inputs);
}

}  // namespace

ZB_FAMILY("kernels", 90, run);
