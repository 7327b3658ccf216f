// Parse events in the yaml-test-suite notation (+STR, +DOC ---, =VAL :text,
// =ALI *a, ...): one line per event. Used by the events tool and the tests.
#pragma once

#include <cstdint>

#include "doc/event.hpp"

namespace zvl::yaml {

// Appends the notation of one event (without the line feed) through put,
// which takes (const char *, size_t). Scalar texts escape \, tab, line feed,
// carriage return and backspace the way the suite does.
template <typename Put>
void write_event_notation(const zarvel_event &e, Put &&put) {
    auto text = [&](const char *s) {
        uint64_t n = 0;
        while (s[n]) ++n;
        put(s, n);
    };
    auto properties = [&] {
        if (e.anchor.length) {
            text(" &");
            put(e.anchor.data, e.anchor.length);
        }
        if (e.tag.length) {
            text(" <");
            put(e.tag.data, e.tag.length);
            text(">");
        }
    };
    switch (e.kind) {
    case ZARVEL_EVENT_STREAM_START: text("+STR"); break;
    case ZARVEL_EVENT_STREAM_END: text("-STR"); break;
    case ZARVEL_EVENT_DOCUMENT_START: text(e.style ? "+DOC ---" : "+DOC"); break;
    case ZARVEL_EVENT_DOCUMENT_END: text(e.style ? "-DOC ..." : "-DOC"); break;
    case ZARVEL_EVENT_SEQUENCE_START:
        text(e.flow ? "+SEQ []" : "+SEQ");
        properties();
        break;
    case ZARVEL_EVENT_SEQUENCE_END: text("-SEQ"); break;
    case ZARVEL_EVENT_MAPPING_START:
        text(e.flow ? "+MAP {}" : "+MAP");
        properties();
        break;
    case ZARVEL_EVENT_MAPPING_END: text("-MAP"); break;
    case ZARVEL_EVENT_ALIAS:
        text("=ALI *");
        put(e.text.data, e.text.length);
        break;
    case ZARVEL_EVENT_SCALAR: {
        text("=VAL");
        properties();
        static const char indicators[] = {':', ':', '\'', '"', '|', '>'};
        char indicator[2] = {' ', e.style < 6 ? indicators[e.style] : ':'};
        put(indicator, 2);
        for (uint32_t i = 0; i < e.text.length; ++i) {
            char c = e.text.data[i];
            switch (c) {
            case '\\': text("\\\\"); break;
            case '\t': text("\\t"); break;
            case '\n': text("\\n"); break;
            case '\r': text("\\r"); break;
            case '\b': text("\\b"); break;
            default: put(&c, 1);
            }
        }
        break;
    }
    default: text("?");
    }
}

}  // namespace zvl::yaml
