// YAML push-parse events, beside libyaml's and rapidyaml's event parsers.
#if ZB_HAVE_LIBYAML
#include <yaml.h>
#endif
#if ZB_HAVE_RYML
#include <c4/yml/extra/event_handler_ints.hpp>

#include "ryml_source.hpp"
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
                t.data(), t.size(),
                [](void *u, const zarvel_event_view *) {
                    ++*static_cast<uint64_t *>(u);
                    return 0;
                },
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
#if ZB_HAVE_RYML
        ryml_source source(t);
        std::vector<c4::yml::extra::ievt::evt_bits> events(
            size_t(c4::yml::extra::estimate_events_ints_size(c4::csubstr(t.data(), t.size()))));
        std::vector<char> arena(t.size());
        peer(r, "rapidyaml events", [&] {
            try {
                c4::yml::extra::EventHandlerInts handler;
                c4::yml::ParseEngine<c4::yml::extra::EventHandlerInts> parser(&handler);
                c4::substr src = source.fresh();
                handler.reset(src, c4::substr(arena.data(), arena.size()), events.data(),
                              c4::yml::extra::evt_size(events.size()));
                parser.parse_in_place_ev({}, src);
                sink_value = uint64_t(handler.required_size_events());
                return handler.fits_buffers();
            } catch (...) {
                return false;
            }
        });
#endif
        (void)r;
    }
}

void run(const input_dirs &dirs) { push_cases(yaml_inputs(dirs)); }

}  // namespace

ZB_FAMILY("push", 20, run);
