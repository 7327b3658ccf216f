// YAML push-parse events, beside libyaml's event parser.
#if ZB_HAVE_LIBYAML
#include <yaml.h>
#endif
#include <string>
#include <vector>

#include "harness.hpp"
#include "inputs.hpp"

namespace {

using namespace zb;

void push_cases(const std::vector<named_input> &inputs) {
    for (const auto &in : inputs) {
        const std::string &t = in.text;
        row &r = start_row("YAML push events", in.name, t.size(), [&] {
            uint64_t count = 0;
            int rc = zarvel_push_parse(
                t.data(), t.size(), [](void *u, const zarvel_event_view *) { ++*static_cast<uint64_t *>(u); return 0; },
                &count);
            sink_value = count;
            return rc == 0;
        });
#if ZB_HAVE_LIBYAML
        peer(r, "libyaml", [&] {
            yaml_parser_t p;
            yaml_parser_initialize(&p);
            yaml_parser_set_input_string(&p, reinterpret_cast<const unsigned char *>(t.data()), t.size());
            yaml_event_t ev;
            bool ok = true;
            for (;;) {
                if (!yaml_parser_parse(&p, &ev)) {
                    ok = false;
                    break;
                }
                bool end = ev.type == YAML_STREAM_END_EVENT;
                yaml_event_delete(&ev);
                if (end) break;
            }
            yaml_parser_delete(&p);
            return ok;
        });
#endif
        (void)r;
    }
}

void run(const input_dirs &dirs) { push_cases(yaml_inputs(dirs)); }

}  // namespace

ZB_FAMILY("push", 20, run);
