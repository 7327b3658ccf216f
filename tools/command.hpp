// Subcommands of the zarvel command-line tool.
//
// Each subcommand lives in its own file, tools/cmd_<name>.cpp, and registers
// itself; nothing shared needs an edit (tools/CMakeLists.txt globs
// tools/*.cpp). A complete subcommand:
//
//     #include "command.hpp"
//
//     namespace {
//     int run(int argc, char **argv) {
//         zarvel_tool::arguments args(argc, argv);
//         const bool json = args.flag("--json");            // --json
//         const char *indent = args.value("--indent");      // --indent N or --indent=N
//         if (!args.finish(1, 1)) return zarvel_tool::exit_usage;  // one FILE|-
//         zarvel_tool::input in;
//         if (!zarvel_tool::read_input(args.positional(0), in)) return zarvel_tool::exit_failure;
//         ... use in.bytes.data(), in.bytes.size() ...
//         return zarvel_tool::exit_ok;
//     }
//     }  // namespace
//
//     ZARVEL_COMMAND("name", "one-line summary for zarvel --help",
//                    "zarvel name [--json] [--indent N] FILE|-",
//                    "  --json       write JSON\n"
//                    "  --indent N   blanks per level\n"
//                    "\nexamples:\n  zarvel name --json a.yaml\n", run);
//
// run receives argv[0] = the subcommand name and its own arguments after it.
// "zarvel name --help" is answered by main (usage, summary and the help
// text: one line per flag, then examples) and never
// reaches run. Return exit_ok (0), exit_failure (1: the operation failed; say
// why on stderr, e.g. with zarvel_tool::fail) or exit_usage (2: bad arguments;
// arguments::finish and zarvel_tool::usage_error print the usage line).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "zarvel.h"

namespace zarvel_tool {

inline constexpr int exit_ok = 0;
inline constexpr int exit_failure = 1;
inline constexpr int exit_usage = 2;

struct command {
    const char *name;     // as typed after "zarvel"
    const char *summary;  // one line for the command list
    const char *usage;    // "zarvel name ARGS"
    const char *help;     // one line per flag, then examples
    int (*run)(int argc, char **argv);
};

// Every registered subcommand, sorted by name.
const std::vector<const command *> &commands();
const command *find_command(std::string_view name);
// The subcommand main is running (null before dispatch).
const command *current_command();
void set_current_command(const command *c);

struct registrar {
    explicit registrar(const command &c);
};

// Prints "zarvel NAME: message" and the usage line to stderr; returns 2.
int usage_error(const std::string &message);
// Prints "zarvel NAME: message" to stderr; returns 1.
int fail(const std::string &message);

// Builds the parsed document's nodes; false (reported as "NAME: reason")
// when that fails, so that a failed build is never written as an empty
// stream.
bool document_built(const std::string &name, zarvel_document *document);

// A whole input: FILE, or "-" for standard input.
struct input {
    std::string name;  // as given ("-" for standard input)
    std::vector<char> bytes;
};
// Reads all of path; on failure prints the reason (via fail) and returns false.
bool read_input(const char *path, input &out);
// Writes all bytes to standard output; false (reported) on a write error.
bool write_output(const void *data, size_t length);
// Sends what write_output writes to path instead of standard output; false
// (reported) when it cannot be created.
bool redirect_output(const char *path);

// Reports the library's last failure for input `name` as
// "NAME:LINE:COLUMN: message" and returns 1. Failures that carry only a byte
// offset (JSON, encoding) get their line and column counted in bytes; a
// byte offset past them is fine. lines_before: lines of the input before
// bytes (a document cut from a stream).
int fail_parse(const std::string &name, std::string_view bytes, uint64_t lines_before = 0);

// --schema core|yaml11 into a parse schema; false (usage reported) otherwise.
bool parse_schema(const char *text, int32_t &schema);

// json_or_yaml: text that starts like JSON ("{" or "[" after blanks) but
// has no name saying so; read as JSON, and as YAML when it is not strict JSON.
enum class data_format { yaml, json, cbor, json_or_yaml };
// The file's extension, else the first bytes: CBOR starts with a byte no
// text starts with.
data_format detect_format(const char *path, std::string_view head);
// "yaml", "json" or "cbor" into f; false otherwise.
bool format_named(const char *name, data_format &f);

// A one-line "done of total, rate" on standard error after about two
// seconds of work, and only when standard error is a terminal.
class progress {
  public:
    explicit progress(uint64_t total);
    ~progress();
    void update(uint64_t done);

  private:
    uint64_t total_;
    double start_;
    double last_ = 0;
    bool shown_ = false;
    bool terminal_;
};

// Small option parser: options are read by name, then finish() checks what
// is left. "--" ends the options; "-" alone is a positional (standard input).
class arguments {
  public:
    arguments(int argc, char **argv);
    // True when --name was given (removed from the list).
    bool flag(std::string_view name);
    // The value of "--name VALUE" or "--name=VALUE", else null; a missing
    // value is reported by finish().
    const char *value(std::string_view name);
    // Checks for unknown options and min..max positionals; false after
    // printing the reason and the usage line.
    bool finish(size_t min_positional, size_t max_positional);
    // Valid after finish(): the words that are neither options nor values.
    size_t positional_count() const { return positional_.size(); }
    const char *positional(size_t i) const { return positional_[i]; }

  private:
    struct token {
        const char *text;
        bool option;   // starts with "-" (but is not "-"), before any "--"
        bool claimed;  // read by flag() or value()
    };
    std::vector<token> tokens_;  // the command line in order
    std::vector<const char *> positional_;
    std::string error_;
};

}  // namespace zarvel_tool

#define ZARVEL_COMMAND_CONCAT2(a, b) a##b
#define ZARVEL_COMMAND_CONCAT(a, b) ZARVEL_COMMAND_CONCAT2(a, b)
// Registers a subcommand at start-up; use once per tools/cmd_<name>.cpp.
// The record is static so that the registry can keep a pointer to it.
#define ZARVEL_COMMAND(name, summary, usage, help, run)                                                              \
    static const ::zarvel_tool::command ZARVEL_COMMAND_CONCAT(zarvel_command_, __LINE__){name, summary, usage, help, \
                                                                                         run};                       \
    static const ::zarvel_tool::registrar ZARVEL_COMMAND_CONCAT(zarvel_registrar_, __LINE__) {                       \
        ZARVEL_COMMAND_CONCAT(zarvel_command_, __LINE__)                                                             \
    }
