// The subcommand registry and the helpers every subcommand shares.
#include "command.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zarvel_tool {
namespace {

// Function-local so that registrars in other files may run first.
std::vector<const command *> &registry() {
    static std::vector<const command *> list;
    return list;
}

const command *running = nullptr;

std::string prefix() {
    return running ? std::string("zarvel ") + running->name : std::string("zarvel");
}

}  // namespace

registrar::registrar(const command &c) {
    auto &list = registry();
    auto at = std::lower_bound(list.begin(), list.end(), &c, [](const command *a, const command *b) {
        return std::strcmp(a->name, b->name) < 0;
    });
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
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        out.bytes.insert(out.bytes.end(), chunk, chunk + got);
    const bool failed = std::ferror(file) != 0;
    const int saved = errno;
    if (!standard_input) std::fclose(file);
    if (failed) {
        fail(std::string("cannot read ") + path + ": " + std::strerror(saved));
        return false;
    }
    return true;
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
        if (text.size() > name.size() && text.substr(0, name.size()) == name &&
            text[name.size()] == '=') {
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
