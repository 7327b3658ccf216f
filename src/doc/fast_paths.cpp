// Fast paths of the event log: the flow-collection recorder, the flow-root
// path and the fused block scanner.
#include "doc/composer.hpp"
#include "doc/event_log.hpp"

int zarvel_composer_flow_raw(void *, const char *, uint64_t, uint64_t, uint32_t, uint64_t,
                             zarvel_text_span, zarvel_text_span, uint32_t, uint32_t, uint64_t *) {
    return 0;
}

int zarvel_flow_recorder(zarvel_event_log *, const char *, uint64_t, uint64_t, zarvel_text_span,
                         zarvel_text_span, uint32_t, uint32_t, uint64_t *) {
    return 0;
}

bool zarvel_flow_root(zarvel_event_log *, const zarvel_resolver *) { return false; }
int zarvel_block_scanner(zarvel_event_log *, const zarvel_resolver *) { return 1; }
