// A C++ host that uses only the C header: RAII owners around the C handles,
// std::string_view over the texts the library returns.
#include <cstdio>
#include <memory>
#include <string_view>

#include <zarvel.h>

namespace {

struct document_deleter {
    void operator()(zarvel_document *d) const { zarvel_document_free(d); }
};
struct text_deleter {
    void operator()(char *t) const { zarvel_free(t); }
};
using document_ptr = std::unique_ptr<zarvel_document, document_deleter>;
using text_ptr = std::unique_ptr<char, text_deleter>;

std::string_view value_of(const zarvel_node *node) {
    uint64_t length = 0;
    const char *text = zarvel_node_value(node, &length);
    return text ? std::string_view(text, length) : std::string_view();
}

}  // namespace

int main() {
    constexpr std::string_view input = "name: demo\nitems: [1, 2, 3]\nnested: {a: true}\n";
    int32_t status = 0;
    document_ptr document(zarvel_parse(input.data(), input.size(), &status));
    if (!document) {
        std::fprintf(stderr, "parse failed: %s\n", zarvel_last_error(nullptr, nullptr));
        return 1;
    }
    zarvel_node *root = zarvel_document_root(document.get(), 0);
    bool ok = value_of(zarvel_node_map_get(root, "name", 4)) == "demo";

    zarvel_node *items = zarvel_node_map_get(root, "items", 5);
    int64_t sum = 0;
    for (uint64_t i = 0; i < zarvel_node_seq_count(items); ++i) {
        int64_t v = 0;
        if (zarvel_node_int(zarvel_node_seq_at(items, i), &v) == 0) sum += v;
    }
    ok = ok && sum == 6;

    uint64_t length = 0;
    text_ptr json(zarvel_serialize_json(document.get(), &length));
    ok = ok && json && std::string_view(json.get(), length).find("\"items\"") != std::string_view::npos;
    if (!ok) {
        std::fprintf(stderr, "unexpected values\n");
        return 1;
    }
    std::puts("ok");
    return 0;
}
