// zarvel check-encoding: decodes an input as the YAML reader does (byte order
// mark, UTF-16/32 conversion, printable UTF-8) and prints
// the decoded length in bytes.
#include <cstdio>

#include "command.hpp"
#include "core/error.hpp"
#include "core/memory.hpp"
#include "yaml/decode.hpp"
#include "zarvel.h"

namespace {
int run(int argc, char **argv) {
    zarvel_tool::arguments args(argc, argv);
    if (!args.finish(1, 1)) return zarvel_tool::exit_usage;
    zarvel_tool::input in;
    if (!zarvel_tool::read_input(args.positional(0), in)) return zarvel_tool::exit_failure;
    char *owned = nullptr;
    const char *decoded = nullptr;
    uint64_t decoded_length = 0;
    const int status = zarvel_decode_input(in.bytes.data(), in.bytes.size(), &owned, &decoded, &decoded_length);
    if (status != 0) {
        std::fprintf(stderr, "%s\n", zarvel_last_error(nullptr, nullptr));
        return zarvel_tool::exit_failure;
    }
    zvl::deallocate(&zarvel_default_allocator, owned);
    std::printf("%llu\n", static_cast<unsigned long long>(decoded_length));
    return zarvel_tool::exit_ok;
}
}  // namespace

ZARVEL_COMMAND("check-encoding", "decode an input and print its UTF-8 length in bytes", "zarvel check-encoding FILE|-",
               "Decodes the input (UTF-8, or UTF-16/32 with a byte order mark) as the YAML reader\n"
               "does and prints the length of the UTF-8 text; an ill-formed input exits 1.\n"
               "\nexamples:\n"
               "  zarvel check-encoding config.yaml\n"
               "  iconv -t UTF-16 a.yaml | zarvel check-encoding -\n",
               run);
