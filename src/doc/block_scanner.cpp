// Fused block scanner (fast path of zarvel_parse).
#include "doc/event_log.hpp"

int zarvel_block_scanner(zarvel_event_log *, const zarvel_resolver *) { return 1; }
