// zarvel tape: parses a JSON text into a tape and prints one entry per line:
// index, type code, start, length, and for scalars the raw span text.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "command.hpp"
#include "core/error.hpp"
#include "zarvel.h"

namespace {

bool is_scalar(uint8_t type) {
    return (type >= ZARVEL_TAPE_NULL && type <= ZARVEL_TAPE_STRING) || type == ZARVEL_TAPE_RAW;
}

int run(int argc, char **argv) {
    zarvel_tool::arguments args(argc, argv);
    const bool lenient = args.flag("--lenient");
    if (!args.finish(1, 1)) return zarvel_tool::exit_usage;
    zarvel_tool::input in;
    if (!zarvel_tool::read_input(args.positional(0), in)) return zarvel_tool::exit_failure;

    // The lenient parse refuses some texts without a message: start clean so
    // that a stale message is never shown for them.
    zarvel_error_clear(zarvel_error_current());
    zarvel_tape tape{};
    const char *text = in.bytes.data();
    const uint64_t len = in.bytes.size();
    int32_t status =
        lenient ? zarvel_parse_json_tape_lenient(text, len, &tape) : zarvel_parse_json_tape(text, len, &tape);
    if (status != 0) {
        std::string message = zarvel_last_error(nullptr, nullptr);
        if (status == ZARVEL_NO_MEMORY) message = "out of memory";
        if (message.empty()) message = "not JSON (status " + std::to_string(status) + ")";
        return zarvel_tool::fail(message);
    }
    zarvel_tape_columns(&tape);
    std::string out;
    char line[96];
    for (uint64_t i = 0; i < tape.count; ++i) {
        std::snprintf(line, sizeof line, "%" PRIu64 " %u %u %u", i, tape.types[i], tape.starts[i], tape.lens[i]);
        out += line;
        if (is_scalar(tape.types[i])) {
            out += ' ';
            out.append(text + tape.starts[i], tape.lens[i]);
        }
        out += '\n';
    }
    zarvel_tape_free(&tape);
    return zarvel_tool::write_output(out.data(), out.size()) ? zarvel_tool::exit_ok : zarvel_tool::exit_failure;
}

}  // namespace

ZARVEL_COMMAND("tape", "print the JSON tape of a text, one entry per line", "zarvel tape [--lenient] FILE|-",
               "  --lenient   also take unchecked number tokens and a bare scalar root\n"
               "\nexamples:\n"
               "  zarvel tape data.json\n"
               "  printf 1e5x | zarvel tape --lenient -\n",
               run);
