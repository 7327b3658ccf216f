// The subcommand registry and the helpers every subcommand shares.
#include "command.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "zarvel.h"

namespace zarvel_tool {
namespace {

// Function-local so that registrars in other files may run first.
std::vector<const command *> &registry() {
    static std::vector<const command *> list;
    return list;
}

const command *running = nullptr;

std::string prefix() { return running ? std::string("zarvel ") + running->name : std::string("zarvel"); }

}  // namespace

registrar::registrar(const command &c) {
    auto &list = registry();
    auto at = std::lower_bound(list.begin(), list.end(), &c,
                               [](const command *a, const command *b) { return std::strcmp(a->name, b->name) < 0; });
    list.insert(at, &c);
}

const std::vector<const command *> &commands() { return registry(); }

const command *find_command(std::string_view name) {
    for (const command *c : registry())
        if (name == c->name) return c;
    return nullptr;
}

const command *current_command() { return running; }
void set_current_command(const command *c) { running = c; }

int usage_error(const std::string &message) {
    std::fprintf(stderr, "%s: %s\n", prefix().c_str(), message.c_str());
    if (running) std::fprintf(stderr, "usage: %s\n", running->usage);
    return exit_usage;
}

int fail(const std::string &message) {
    std::fprintf(stderr, "%s: %s\n", prefix().c_str(), message.c_str());
    return exit_failure;
}

bool document_built(const std::string &name, zarvel_document *document) {
    const int32_t status = zarvel_document_status(document);
    if (status == 0) return true;
    fail(name + ": " + zarvel_last_error(nullptr, nullptr) + " (status " + std::to_string(status) + ")");
    return false;
}

bool read_input(const char *path, input &out) {
    out.name = path;
    out.bytes.clear();
    const bool standard_input = std::strcmp(path, "-") == 0;
    std::FILE *file = standard_input ? stdin : std::fopen(path, "rb");
    if (!file) {
        fail(std::string("cannot open ") + path + ": " + std::strerror(errno));
        return false;
    }
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) out.bytes.insert(out.bytes.end(), chunk, chunk + got);
    const bool failed = std::ferror(file) != 0;
    const int saved = errno;
    if (!standard_input) std::fclose(file);
    if (failed) {
        fail(std::string("cannot read ") + path + ": " + std::strerror(saved));
        return false;
    }
    return true;
}

bool redirect_output(const char *path) {
    if (std::strcmp(path, "-") == 0) return true;
    if (!std::freopen(path, "wb", stdout)) {
        fail(std::string("cannot create ") + path + ": " + std::strerror(errno));
        return false;
    }
    return true;
}

int fail_parse(const std::string &name, std::string_view bytes, uint64_t lines_before) {
    uint32_t line = 0, column = 0;
    const std::string message = zarvel_last_error(&line, &column);
    if (line == 0) {
        const uint64_t offset = std::min<uint64_t>(zarvel_last_error_offset(), bytes.size());
        line = 1;
        uint64_t line_start = 0;
        for (uint64_t i = 0; i < offset; ++i)
            if (bytes[i] == '\n') {
                ++line;
                line_start = i + 1;
            }
        column = uint32_t(offset - line_start + 1);
    }
    return fail(name + ":" + std::to_string(lines_before + line) + ":" + std::to_string(column) + ": " + message);
}

bool parse_schema(const char *text, int32_t &schema) {
    schema = 0;
    if (!text || std::strcmp(text, "core") == 0) return true;
    if (std::strcmp(text, "yaml11") == 0) {
        schema = 1;
        return true;
    }
    usage_error("--schema must be core or yaml11");
    return false;
}

bool format_named(const char *name, data_format &f) {
    if (std::strcmp(name, "yaml") == 0)
        f = data_format::yaml;
    else if (std::strcmp(name, "json") == 0)
        f = data_format::json;
    else if (std::strcmp(name, "cbor") == 0)
        f = data_format::cbor;
    else
        return false;
    return true;
}

data_format detect_format(const char *path, std::string_view head) {
    const std::string_view p = path;
    auto ends = [&](std::string_view suffix) {
        return p.size() > suffix.size() && p.substr(p.size() - suffix.size()) == suffix;
    };
    if (ends(".json")) return data_format::json;
    if (ends(".cbor")) return data_format::cbor;
    if (ends(".yaml") || ends(".yml")) return data_format::yaml;
    if (head.empty()) return data_format::yaml;
    const auto first = uint8_t(head[0]);
    const bool bom16 = head.size() >= 2 &&
                       ((first == 0xFE && uint8_t(head[1]) == 0xFF) || (first == 0xFF && uint8_t(head[1]) == 0xFE));
    const bool bom8 = first == 0xEF;
    // UTF-16/32 text without a byte order mark starts with a zero byte
    // beside a character; CBOR's 0x00 (the number 0) is rarely a whole input.
    const bool wide = first == 0 && head.size() >= 2;
    const bool text_start = first == '\t' || first == '\n' || first == '\r' || (first >= 0x20 && first < 0x7F) ||
                            (first >= 0xC2 && first <= 0xF4);
    if (!(text_start || bom16 || bom8 || wide)) return data_format::cbor;
    const size_t at = head.find_first_not_of(" \t\r\n");
    if (at != std::string_view::npos && (head[at] == '{' || head[at] == '[')) return data_format::json_or_yaml;
    return data_format::yaml;
}

namespace {
double seconds_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
}  // namespace

progress::progress(uint64_t total) : total_(total), start_(seconds_now()), terminal_(isatty(2) != 0) {}

progress::~progress() {
    if (shown_) std::fprintf(stderr, "\r\033[K");
}

void progress::update(uint64_t done) {
    if (!terminal_) return;
    const double now = seconds_now();
    if (now - start_ < 2.0 || now - last_ < 0.2) return;
    last_ = now;
    shown_ = true;
    const double mb = double(done) / 1e6, rate = mb / (now - start_);
    if (total_)
        std::fprintf(stderr, "\r\033[K%.1f of %.1f MB (%.0f%%), %.1f MB/s", mb, double(total_) / 1e6,
                     100.0 * double(done) / double(total_), rate);
    else
        std::fprintf(stderr, "\r\033[K%.1f MB, %.1f MB/s", mb, rate);
    std::fflush(stderr);
}

bool write_output(const void *data, size_t length) {
    if (length && std::fwrite(data, 1, length, stdout) != length) {
        fail(std::string("cannot write output: ") + std::strerror(errno));
        return false;
    }
    return true;
}

arguments::arguments(int argc, char **argv) {
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (!options_done && std::strcmp(a, "--") == 0) {
            options_done = true;
            continue;
        }
        const bool option = !options_done && a[0] == '-' && a[1] != '\0';
        tokens_.push_back({a, option, false});
    }
}

bool arguments::flag(std::string_view name) {
    for (token &t : tokens_) {
        if (t.option && !t.claimed && name == t.text) {
            t.claimed = true;
            return true;
        }
    }
    return false;
}

const char *arguments::value(std::string_view name) {
    for (size_t i = 0; i < tokens_.size(); ++i) {
        token &t = tokens_[i];
        if (!t.option || t.claimed) continue;
        const std::string_view text = t.text;
        if (text.size() > name.size() && text.substr(0, name.size()) == name && text[name.size()] == '=') {
            t.claimed = true;
            return t.text + name.size() + 1;
        }
        if (text == name) {
            t.claimed = true;
            if (i + 1 < tokens_.size() && !tokens_[i + 1].option && !tokens_[i + 1].claimed) {
                tokens_[i + 1].claimed = true;
                return tokens_[i + 1].text;
            }
            if (error_.empty()) error_ = std::string("option ") + t.text + " needs a value";
            return nullptr;
        }
    }
    return nullptr;
}

bool arguments::finish(size_t min_positional, size_t max_positional) {
    if (!error_.empty()) {
        usage_error(error_);
        return false;
    }
    positional_.clear();
    for (const token &t : tokens_) {
        if (t.claimed) continue;
        if (t.option) {
            usage_error(std::string("unknown option ") + t.text);
            return false;
        }
        positional_.push_back(t.text);
    }
    if (positional_.size() < min_positional) {
        usage_error("missing argument");
        return false;
    }
    if (positional_.size() > max_positional) {
        usage_error(std::string("unexpected argument ") + positional_[max_positional]);
        return false;
    }
    return true;
}

}  // namespace zarvel_tool
