// Aliases, merge keys and paths over a document, for `zarvel get`.
#include "loaded_tree.hpp"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

namespace zarvel_tool {
namespace {

// Merges nest through aliases, so a cycle (&a {<<: *a}) must stop somewhere.
constexpr int deepest_merge = 1000;

std::string text_of(zarvel_node *node) {
    uint64_t length = 0;
    const char *text = zarvel_node_value(node, &length);
    return text ? std::string(text, length) : std::string();
}

// "<<" merges under either schema: the core schema reads a plain "<<" as a
// string, but loaders apply it all the same.
bool is_merge_key(zarvel_node *key) {
    if (zarvel_node_kind(key) != ZARVEL_NODE_SCALAR) return false;
    if (zarvel_node_tag_id(key) == ZARVEL_TAG_MERGE) return true;
    uint64_t tag_length = 0;
    zarvel_node_tag(key, &tag_length);
    return zarvel_node_style(key) == 1 && tag_length == 0 && text_of(key) == "<<";
}

// Scalar keys are equal when type and text are; other keys never are.
bool identity(zarvel_node *key, std::string &out) {
    if (zarvel_node_kind(key) != ZARVEL_NODE_SCALAR) return false;
    out.assign(1, char(zarvel_node_tag_id(key)));
    out += text_of(key);
    return true;
}

struct pair_list {
    std::vector<node_pair> &pairs;
    std::unordered_map<std::string, size_t> where;
    std::string id;

    // Explicit pairs replace what is there; merged ones only fill gaps.
    void add(zarvel_node *key, zarvel_node *value, bool explicit_pair,
             const std::unordered_set<std::string> *explicit_keys) {
        if (!identity(key, id)) {
            pairs.push_back({key, value});
            return;
        }
        auto found = where.find(id);
        if (found != where.end()) {
            if (explicit_pair) pairs[found->second].value = value;
            return;
        }
        // The explicit pair comes later and wins.
        if (!explicit_pair && explicit_keys && explicit_keys->count(id)) return;
        where.emplace(id, pairs.size());
        pairs.push_back({key, value});
    }
};

bool collect(zarvel_node *mapping, pair_list &list, bool explicit_level,
             const std::unordered_set<std::string> *explicit_keys, int depth, std::string &error);

bool merge_from(zarvel_node *source, pair_list &list, const std::unordered_set<std::string> *explicit_keys, int depth,
                std::string &error) {
    source = resolve_alias(source);
    const int kind = zarvel_node_kind(source);
    if (kind == ZARVEL_NODE_MAPPING) return collect(source, list, false, explicit_keys, depth + 1, error);
    if (kind == ZARVEL_NODE_SEQUENCE) {
        const uint64_t count = zarvel_node_seq_count(source);
        for (uint64_t i = 0; i < count; ++i) {
            zarvel_node *item = resolve_alias(zarvel_node_seq_at(source, i));
            if (zarvel_node_kind(item) != ZARVEL_NODE_MAPPING) {
                error = "a merge key (<<) takes a mapping or a sequence of mappings";
                return false;
            }
            if (!collect(item, list, false, explicit_keys, depth + 1, error)) return false;
        }
        return true;
    }
    error = "a merge key (<<) takes a mapping or a sequence of mappings";
    return false;
}

bool collect(zarvel_node *mapping, pair_list &list, bool explicit_level,
             const std::unordered_set<std::string> *explicit_keys, int depth, std::string &error) {
    if (depth > deepest_merge) {
        error = "merge keys nest deeper than 1000 levels (a merge cycle?)";
        return false;
    }
    const uint64_t count = zarvel_node_map_count(mapping);
    for (uint64_t i = 0; i < count; ++i) {
        zarvel_node *key = nullptr, *value = nullptr;
        if (zarvel_node_map_at(mapping, i, &key, &value) != 0) break;
        zarvel_node *resolved_key = resolve_alias(key);
        if (is_merge_key(resolved_key)) {
            if (!merge_from(value, list, explicit_keys, depth, error)) return false;
        } else {
            list.add(resolved_key, value, explicit_level, explicit_keys);
        }
    }
    return true;
}

// Keys of a mapping's own pairs, so that a merge before them leaves them room.
std::unordered_set<std::string> own_keys(zarvel_node *mapping) {
    std::unordered_set<std::string> keys;
    std::string id;
    const uint64_t count = zarvel_node_map_count(mapping);
    for (uint64_t i = 0; i < count; ++i) {
        zarvel_node *key = nullptr;
        if (zarvel_node_map_at(mapping, i, &key, nullptr) != 0) break;
        key = resolve_alias(key);
        if (!is_merge_key(key) && identity(key, id)) keys.insert(id);
    }
    return keys;
}

bool has_merge_key(zarvel_node *mapping) {
    const uint64_t count = zarvel_node_map_count(mapping);
    for (uint64_t i = 0; i < count; ++i) {
        zarvel_node *key = nullptr;
        if (zarvel_node_map_at(mapping, i, &key, nullptr) != 0) break;
        if (is_merge_key(resolve_alias(key))) return true;
    }
    return false;
}

}  // namespace

zarvel_node *resolve_alias(zarvel_node *node) {
    // The library refuses alias chains that loop; the bound is a guard only.
    for (int hops = 0; node && zarvel_node_kind(node) == ZARVEL_NODE_ALIAS && hops < 1000; ++hops)
        node = zarvel_node_alias_target(node);
    return node;
}

bool loaded_pairs(zarvel_node *mapping, std::vector<node_pair> &out, std::string &error) {
    out.clear();
    pair_list list{out, {}, {}};
    if (!has_merge_key(mapping)) return collect(mapping, list, true, nullptr, 0, error);
    const std::unordered_set<std::string> keys = own_keys(mapping);
    return collect(mapping, list, true, &keys, 0, error);
}

// ---- paths ------------------------------------------------------------------

bool parse_path(const std::string &path, std::vector<path_step> &steps, std::string &error) {
    steps.clear();
    size_t i = 0;
    const size_t n = path.size();
    auto bad = [&](const char *what) {
        error = std::string(what) + " at character " + std::to_string(i + 1) + " of path '" + path + "'";
        return false;
    };
    if (n == 0 || path[0] != '.') return bad("a path starts with '.'");
    while (i < n) {
        if (path[i] == '.') {
            ++i;
            if (i == n) break;             // "." alone, or a trailing dot
            if (path[i] == '[') continue;  // ".[...]"
            if (path[i] == '"') {          // ."key"
                size_t close = path.find('"', i + 1);
                if (close == std::string::npos) return bad("unclosed quote");
                steps.push_back({path_step::key, path.substr(i + 1, close - i - 1)});
                i = close + 1;
                continue;
            }
            // Bare keys as jq takes them; others go in .["..."].
            size_t end = i;
            while (end < n && (std::isalnum(uint8_t(path[end])) || path[end] == '_' || path[end] == '-' ||
                               path[end] == '$' || uint8_t(path[end]) >= 0x80))
                ++end;
            if (end == i) return bad("a key is missing");
            steps.push_back({path_step::key, path.substr(i, end - i)});
            i = end;
        } else if (path[i] == '[') {
            ++i;
            if (i < n && path[i] == ']') {
                steps.push_back({path_step::each, {}});
                ++i;
                continue;
            }
            if (i < n && path[i] == '"') {
                std::string key;
                ++i;
                while (i < n && path[i] != '"') {
                    if (path[i] == '\\' && i + 1 < n) ++i;  // \" and \\ inside a quoted key
                    key += path[i++];
                }
                if (i + 1 >= n || path[i + 1] != ']') return bad("expected '\"]'");
                steps.push_back({path_step::key, key});
                i += 2;
                continue;
            }
            size_t end = path.find(']', i);
            if (end == std::string::npos) return bad("unclosed '['");
            const std::string number = path.substr(i, end - i);
            char *stop = nullptr;
            const long long value = std::strtoll(number.c_str(), &stop, 10);
            if (number.empty() || *stop) return bad("an index is a whole number");
            path_step step{path_step::index, number};
            step.number = value;
            steps.push_back(step);
            i = end + 1;
        } else {
            return bad("expected '.' or '['");
        }
    }
    return true;
}

bool evaluate_path(zarvel_node *root, const std::vector<path_step> &steps, std::vector<zarvel_node *> &results,
                   std::string &error) {
    std::vector<zarvel_node *> current{root}, next;
    std::vector<node_pair> pairs;
    for (const path_step &step : steps) {
        next.clear();
        for (zarvel_node *node : current) {
            node = resolve_alias(node);
            const int kind = node ? zarvel_node_kind(node) : -1;
            if (kind == ZARVEL_NODE_MAPPING && step.kind != path_step::each) {
                // An index on a mapping names the key of that text, as yq does.
                if (!loaded_pairs(node, pairs, error)) return false;
                zarvel_node *found = nullptr;
                for (const node_pair &p : pairs)
                    if (zarvel_node_kind(p.key) == ZARVEL_NODE_SCALAR && text_of(p.key) == step.text) found = p.value;
                next.push_back(found);
            } else if (kind == ZARVEL_NODE_MAPPING) {
                if (!loaded_pairs(node, pairs, error)) return false;
                for (const node_pair &p : pairs) next.push_back(p.value);
            } else if (kind == ZARVEL_NODE_SEQUENCE && step.kind == path_step::index) {
                const int64_t count = int64_t(zarvel_node_seq_count(node));
                const int64_t at = step.number < 0 ? count + step.number : step.number;
                next.push_back(at >= 0 && at < count ? zarvel_node_seq_at(node, uint64_t(at)) : nullptr);
            } else if (kind == ZARVEL_NODE_SEQUENCE && step.kind == path_step::each) {
                const uint64_t count = zarvel_node_seq_count(node);
                for (uint64_t i = 0; i < count; ++i) next.push_back(zarvel_node_seq_at(node, i));
            } else if (step.kind != path_step::each) {
                next.push_back(nullptr);  // missing, as jq gives null for .a of null
            }
        }
        current.swap(next);
    }
    results.clear();
    for (zarvel_node *node : current) results.push_back(resolve_alias(node));
    return true;
}

// ---- copies -----------------------------------------------------------------

namespace {

enum : uint8_t { style_plain = 1, style_double = 3 };

struct copier {
    std::vector<zarvel_build_record> records;
    std::string text;
    uint64_t budget;
    std::string &error;
    std::vector<node_pair> pairs;

    bool add(uint8_t type, uint8_t style, const char *bytes, uint64_t length) {
        if (records.size() >= budget) {
            error =
                "the result expands to more than " + std::to_string(budget) + " nodes through aliases (an alias bomb?)";
            return false;
        }
        records.push_back({type, style, uint32_t(text.size()), uint32_t(length)});
        if (length) text.append(bytes, length);
        return true;
    }

    // The style that keeps the scalar's type once its tag is gone.
    static uint8_t typed_style(zarvel_node *node) {
        const int32_t style = zarvel_node_style(node);
        const int32_t tag_id = zarvel_node_tag_id(node);
        uint64_t tag_length = 0;
        zarvel_node_tag(node, &tag_length);
        const bool tagged = tag_length != 0;
        if (tagged && tag_id == ZARVEL_TAG_STR && style <= style_plain) return style_double;
        if (tagged && (tag_id == ZARVEL_TAG_INT || tag_id == ZARVEL_TAG_FLOAT || tag_id == ZARVEL_TAG_BOOL ||
                       tag_id == ZARVEL_TAG_NULL))
            return style_plain;
        return uint8_t(style == 0 ? style_plain : style);
    }

    bool copy(zarvel_node *node, int depth) {
        node = resolve_alias(node);
        if (!node) return add(ZARVEL_BUILD_SCALAR, style_plain, "null", 4);
        if (depth > 1000) {
            error = "the result nests deeper than 1000 levels";
            return false;
        }
        switch (zarvel_node_kind(node)) {
        case ZARVEL_NODE_SEQUENCE: {
            if (!add(ZARVEL_BUILD_SEQUENCE, 0, nullptr, 0)) return false;
            const uint64_t count = zarvel_node_seq_count(node);
            for (uint64_t i = 0; i < count; ++i)
                if (!copy(zarvel_node_seq_at(node, i), depth + 1)) return false;
            return add(ZARVEL_BUILD_END, 0, nullptr, 0);
        }
        case ZARVEL_NODE_MAPPING: {
            std::vector<node_pair> own;
            if (!loaded_pairs(node, own, error)) return false;
            if (!add(ZARVEL_BUILD_MAPPING, 0, nullptr, 0)) return false;
            for (const node_pair &p : own)
                if (!copy(p.key, depth + 1) || !copy(p.value, depth + 1)) return false;
            return add(ZARVEL_BUILD_END, 0, nullptr, 0);
        }
        default: {
            uint64_t length = 0;
            const char *bytes = zarvel_node_value(node, &length);
            if (!add(ZARVEL_BUILD_SCALAR, typed_style(node), bytes, length)) return false;
            if (zarvel_node_tag_id(node) == ZARVEL_TAG_BINARY) {
                static const char binary[] = "tag:yaml.org,2002:binary";
                return add(ZARVEL_BUILD_TAG, 0, binary, sizeof binary - 1);
            }
            return true;
        }
        }
    }
};

}  // namespace

zarvel_document *copy_loaded(zarvel_node *node, uint64_t budget, std::string &error) {
    copier c{{}, {}, budget, error, {}};
    if (!c.copy(node, 0)) return nullptr;
    zarvel_document *document = zarvel_document_new();
    if (!document) {
        error = "out of memory";
        return nullptr;
    }
    const int32_t status =
        zarvel_document_build(document, c.records.data(), c.records.size(), c.text.data(), c.text.size());
    if (status != 0) {
        zarvel_document_free(document);
        error = status == 2 ? "out of memory" : "the result cannot be built (status " + std::to_string(status) + ")";
        return nullptr;
    }
    return document;
}

}  // namespace zarvel_tool
