// Column plans beside simdjson DOM extraction into column vectors, the value
// drain beside libyaml's event parser, and Marshal output.
#if ZB_HAVE_SIMDJSON
#include <simdjson.h>
#endif
#if ZB_HAVE_LIBYAML
#include <yaml.h>
#endif
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "harness.hpp"

namespace {

using namespace zb;

// A JSON array of records of about `target` bytes, the same on every run:
// four flat fields the plan takes, and a nested array and object it skips.
std::string json_records(uint64_t target) {
    std::string out = "[";
    out.reserve(target + 256);
    char line[320];
    for (uint64_t i = 0; out.size() < target; ++i) {
        const uint64_t mix = i * 2654435761u % 1000003;
        const int n = std::snprintf(
            line, sizeof line,
            "%s{\"id\":%llu,\"name\":\"item %llu\",\"price\":%llu.%02llu,\"active\":%s,"
            "\"tags\":[\"a%llu\",\"b\",\"c\"],\"owner\":{\"login\":\"user%llu\",\"level\":%llu},"
            "\"note\":\"plain text %llu\"}",
            i ? ",\n" : "\n", static_cast<unsigned long long>(i), static_cast<unsigned long long>(i),
            static_cast<unsigned long long>(mix % 997), static_cast<unsigned long long>(mix % 100),
            i % 3 ? "true" : "false", static_cast<unsigned long long>(i), static_cast<unsigned long long>(i % 101),
            static_cast<unsigned long long>(i % 7), static_cast<unsigned long long>(mix));
        out.append(line, static_cast<size_t>(n));
    }
    out += "\n]\n";
    return out;
}

const char plan_text[] = R"({"kind":"seq","children":[{"name":"id","kind":"int"},{"name":"name","kind":"str"},)"
                         R"({"name":"price","kind":"float"},{"name":"active","kind":"bool"}]})";

// The columns a host builds by hand from a DOM: one vector per field plus
// its null flags.
struct host_columns {
    std::vector<int64_t> ids, actives;
    std::vector<double> prices;
    std::vector<std::string> names;
    std::vector<uint8_t> null_id, null_name, null_price, null_active;

    void reserve(size_t n) {
        ids.reserve(n), actives.reserve(n), prices.reserve(n), names.reserve(n);
        null_id.reserve(n), null_name.reserve(n), null_price.reserve(n), null_active.reserve(n);
    }
    void add_row() {
        ids.push_back(0), actives.push_back(0), prices.push_back(0), names.emplace_back();
        null_id.push_back(1), null_name.push_back(1), null_price.push_back(1), null_active.push_back(1);
    }
};

void plan_cases(const std::string &text) {
    const std::string input = "records.json (generated)";
    int32_t status = 0;
    zarvel_plan *plan = zarvel_plan_compile(plan_text, sizeof plan_text - 1, &status);
    if (!plan) {
        std::fprintf(stderr, "plan compile failed (status %d)\n", status);
        return;
    }
    const uint64_t len = text.size();

#if ZB_HAVE_SIMDJSON
    simdjson::dom::parser dom;
    const simdjson::padded_string padded(text);
    // Parses the text and copies the four fields of every record, visiting
    // each record's members once as the plan walk does.
    auto simdjson_columns = [&] {
        simdjson::dom::element root;
        if (dom.parse(padded).get(root)) return false;
        simdjson::dom::array records;
        if (root.get_array().get(records)) return false;
        host_columns c;
        c.reserve(records.size());
        for (simdjson::dom::element record : records) {
            simdjson::dom::object fields;
            if (record.get_object().get(fields)) continue;
            c.add_row();
            const size_t row = c.ids.size() - 1;
            for (auto field : fields) {
                const std::string_view key = field.key;
                if (key == "id") {
                    int64_t v;
                    if (!field.value.get_int64().get(v)) c.ids[row] = v, c.null_id[row] = 0;
                } else if (key == "name") {
                    std::string_view v;
                    if (!field.value.get_string().get(v)) c.names[row] = v, c.null_name[row] = 0;
                } else if (key == "price") {
                    double v;
                    if (!field.value.get_double().get(v)) c.prices[row] = v, c.null_price[row] = 0;
                } else if (key == "active") {
                    bool v;
                    if (!field.value.get_bool().get(v)) c.actives[row] = v, c.null_active[row] = 0;
                }
            }
        }
        sink_value = c.ids.size() + c.names.back().size();
        return true;
    };
#endif

    row &tape = start_row("JSON tape + plan walk", input, len, [&] {
        zarvel_tape t{};
        if (zarvel_parse_json_tape(text.data(), len, &t) != 0) return false;
        int32_t st = 0;
        zarvel_plan_result *result = zarvel_tape_plan_walk(&t, plan, &st);
        sink_value = zarvel_plan_result_rows(result);
        zarvel_plan_result_free(result);
        zarvel_tape_free(&t);
        return result != nullptr;
    });
#if ZB_HAVE_SIMDJSON
    peer(tape, "simdjson DOM + column vectors", simdjson_columns);
#endif
    (void)tape;

    row &document = start_row("JSON document + plan walk", input, len, [&] {
        int32_t st = 0;
        zarvel_document *doc = zarvel_parse_json(text.data(), len, &st);
        if (!doc) return false;
        zarvel_plan_result *result = zarvel_document_plan_walk(doc, plan, &st);
        sink_value = zarvel_plan_result_rows(result);
        zarvel_plan_result_free(result);
        zarvel_document_free(doc);
        return result != nullptr;
    });
#if ZB_HAVE_SIMDJSON
    peer(document, "simdjson DOM + column vectors", simdjson_columns);
#endif
    (void)document;

    // zarvel_tape_plan_walk alone, over a tape that is already built, beside
    // the same extraction done through simdjson's DOM (parse included: the
    // DOM is its only way to reach the fields).
    zarvel_tape ready{};
    if (zarvel_parse_json_tape(text.data(), len, &ready) == 0) {
        row &walk = start_row("plan walk (tape built)", input, len, [&] {
            int32_t st = 0;
            zarvel_plan_result *result = zarvel_tape_plan_walk(&ready, plan, &st);
            sink_value = zarvel_plan_result_rows(result);
            zarvel_plan_result_free(result);
            return result != nullptr;
        });
#if ZB_HAVE_SIMDJSON
        peer(walk, "simdjson DOM + column vectors", simdjson_columns);
#endif
        (void)walk;
    }
    zarvel_tape_free(&ready);
    zarvel_plan_free(plan);
}

void drain_cases(const std::vector<named_input> &inputs) {
    for (const auto &in : inputs) {
        row &r = start_row("value drain", in.name, in.text.size(), [&] {
            zarvel_value *values = nullptr;
            char *pool = nullptr;
            uint64_t count = 0, pool_len = 0;
            if (zarvel_value_drain(in.text.data(), in.text.size(), 0, &values, &count, &pool, &pool_len) != 0)
                return false;
            sink_value = count + pool_len;
            zarvel_value_free(values, pool);
            return true;
        });
#if ZB_HAVE_LIBYAML
        peer(r, "libyaml events", [&] {
            yaml_parser_t p;
            yaml_parser_initialize(&p);
            yaml_parser_set_input_string(&p, reinterpret_cast<const unsigned char *>(in.text.data()), in.text.size());
            bool ok = true;
            uint64_t events = 0;
            for (;;) {
                yaml_event_t ev;
                if (!yaml_parser_parse(&p, &ev)) {
                    ok = false;
                    break;
                }
                const bool done = ev.type == YAML_STREAM_END_EVENT;
                ++events;
                yaml_event_delete(&ev);
                if (done) break;
            }
            yaml_parser_delete(&p);
            sink_value = events;
            return ok;
        });
#endif
        (void)r;
    }
}

// Marshal rates count the bytes written.
void marshal_cases(const std::vector<named_input> &inputs) {
    for (const auto &in : inputs) {
        char *bytes = nullptr;
        uint64_t out_len = 0;
        if (zarvel_marshal(in.text.data(), in.text.size(), 0, 1, &bytes, &out_len) != 0) {
            std::fprintf(stderr, "marshal of %s failed\n", in.name.c_str());
            continue;
        }
        zarvel_marshal_free(bytes);
        start_row("Marshal (output)", in.name, out_len, [&] {
            char *out = nullptr;
            uint64_t n = 0;
            if (zarvel_marshal(in.text.data(), in.text.size(), 0, 1, &out, &n) != 0) return false;
            sink_value = n;
            zarvel_marshal_free(out);
            return true;
        });
    }
}

// A sequence of `count` anchored one-item sequences followed by an alias to
// each: every alias is resolved against all anchors written before it.
std::string anchors_and_aliases(int count) {
    std::string out;
    char line[64];
    for (int i = 0; i < count; ++i)
        out.append(line, static_cast<size_t>(std::snprintf(line, sizeof line, "- &a%d [%d]\n", i, i)));
    for (int i = 0; i < count; ++i)
        out.append(line, static_cast<size_t>(std::snprintf(line, sizeof line, "- *a%d\n", i)));
    return out;
}

void run(const input_dirs &dirs) {
    const std::string records = json_records(20 * 1000 * 1000);
    plan_cases(records);
    auto block = load(dirs.generated, {"block.yaml"});
    drain_cases(block);
    block.push_back({"records.json (generated)", records});
    block.push_back({"20,000 anchors + 20,000 aliases (generated)", anchors_and_aliases(20000)});
    marshal_cases(block);
}

}  // namespace

ZB_FAMILY("typed", 100, run);
