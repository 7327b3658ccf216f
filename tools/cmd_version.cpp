// zarvel version: the library's version text.
#include <cstdio>

#include "command.hpp"
#include "zarvel.h"

namespace {
int run(int argc, char **argv) {
    zarvel_tool::arguments args(argc, argv);
    if (!args.finish(0, 0)) return zarvel_tool::exit_usage;
    std::printf("%s\n", zarvel_version());
    return zarvel_tool::exit_ok;
}
}  // namespace

ZARVEL_COMMAND("version", "print the library version", "zarvel version", "\nexamples:\n  zarvel version\n", run);
