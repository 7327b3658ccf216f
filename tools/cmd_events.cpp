// zarvel events: the parse events of a YAML stream, one per line, in the
// yaml-test-suite notation.
#include <string>

#include "command.hpp"
#include "core/error.hpp"
#include "yaml/decode.hpp"
#include "yaml/event_notation.hpp"
#include "yaml/parser.hpp"
#include "zarvel.h"

namespace {

int print_event(void *user, const zarvel_event *event) {
    auto *out = static_cast<std::string *>(user);
    zvl::yaml::write_event_notation(*event, [&](const char *s, size_t n) { out->append(s, n); });
    out->push_back('\n');
    return 0;
}

int run(int argc, char **argv) {
    zarvel_tool::arguments args(argc, argv);
    if (!args.finish(1, 1)) return zarvel_tool::exit_usage;
    zarvel_tool::input in;
    if (!zarvel_tool::read_input(args.positional(0), in)) return zarvel_tool::exit_failure;

    char *owned = nullptr;
    const char *text = nullptr;
    uint64_t length = 0;
    if (zarvel_decode_input(in.bytes.data(), in.bytes.size(), &owned, &text, &length) != 0)
        return zarvel_tool::fail(zarvel_last_error(nullptr, nullptr));
    zarvel_parser *parser = zarvel_parser_new(&zarvel_default_allocator);
    if (!parser) {
        zvl::deallocate(&zarvel_default_allocator, owned);
        return zarvel_tool::fail("out of memory");
    }
    std::string out;
    zarvel_sink sink{};
    sink.event = print_event;
    sink.user = &out;
    int result = zarvel_parser_run(parser, text, length, &sink, true, true);
    zarvel_tool::write_output(out.data(), out.size());
    int status = zarvel_tool::exit_ok;
    if (result != 0) {
        const zarvel_error *e = zarvel_parser_error(parser);
        status = zarvel_tool::fail("line " + std::to_string(e->line) + ", column " + std::to_string(e->column) + ": " +
                                   e->message);
    }
    zarvel_parser_free(parser);
    zvl::deallocate(&zarvel_default_allocator, owned);
    return status;
}

}  // namespace

ZARVEL_COMMAND("events", "print the parse events of a YAML stream", "zarvel events FILE|-",
               "One parse event per line (stream, document, collection starts and ends,\n"
               "scalars, aliases) with its position, style, anchor and tag.\n"
               "\nexamples:\n"
               "  zarvel events config.yaml\n"
               "  printf 'a: [1, 2]' | zarvel events -\n",
               run);
