// zarvel: command-line front end to the library. Subcommands register
// themselves (see command.hpp); this file only dispatches.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "command.hpp"
#include "zarvel.h"

namespace {

using namespace zarvel_tool;

bool is_help(const char *a) { return std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0; }

void print_overview(std::FILE *to) {
    std::fprintf(to,
                 "usage: zarvel COMMAND [ARGS]\n"
                 "       zarvel COMMAND --help\n\n"
                 "Reads and writes YAML 1.2, JSON and CBOR. FILE may be - for standard input.\n\n"
                 "commands:\n");
    size_t width = 0;
    for (const command *c : commands()) width = std::max(width, std::strlen(c->name));
    for (const command *c : commands()) std::fprintf(to, "  %-*s  %s\n", static_cast<int>(width), c->name, c->summary);
}

void print_command_help(const command &c) {
    std::printf("usage: %s\n\n%s\n", c.usage, c.summary);
    if (c.help && *c.help) std::printf("\n%s", c.help);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        print_overview(stderr);
        return exit_usage;
    }
    const char *name = argv[1];
    if (is_help(name) || std::strcmp(name, "help") == 0) {
        if (argc > 2 && std::strcmp(name, "help") == 0) {
            const command *c = find_command(argv[2]);
            if (!c) {
                std::fprintf(stderr, "zarvel: unknown command '%s'\n", argv[2]);
                return exit_usage;
            }
            print_command_help(*c);
            return exit_ok;
        }
        print_overview(stdout);
        return exit_ok;
    }
    if (std::strcmp(name, "--version") == 0) {
        std::printf("%s\n", zarvel_version());
        return exit_ok;
    }
    const command *c = find_command(name);
    if (!c) {
        std::fprintf(stderr, "zarvel: unknown command '%s' (zarvel --help lists them)\n", name);
        return exit_usage;
    }
    for (int i = 2; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (is_help(argv[i])) {
            print_command_help(*c);
            return exit_ok;
        }
    }
    set_current_command(c);
    const int status = c->run(argc - 1, argv + 1);
    if (std::fflush(stdout) != 0 && status == exit_ok) return fail("cannot write output");
    return status;
}
