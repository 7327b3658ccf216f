// zarvel_parse and zarvel_parse_ex. A YAML stream that is one JSON object or
// array (a JSON file read as YAML, as tools that take both do) is read by
// the JSON tape road: its nodes are the ones the YAML reader makes of the
// same text, at several times the speed. Every other text, and the JSON
// texts YAML reads differently, go to the YAML parse entry.
#include <cstdint>

#include "core/limits.hpp"
#include "core/utf8.hpp"
#include "doc/store.hpp"
#include "json/tape.hpp"
#include "jsondoc/json_document.hpp"
#include "yaml/parse.hpp"
#include "zarvel.h"

namespace {

// The longest body (quotes excluded) a key may have.
constexpr uint64_t longest_body = zvl::implicit_key_limit - 2;

// A string entry, with an escape or without.
constexpr bool is_string(uint64_t word) { return (zvl::packed_type(word) | 0x80) == zvl::tape_escaped_string; }

// True when a key of the tape's objects is longer than YAML's limit on
// implicit keys (quotes included), which the YAML reader refuses.
bool has_long_key(const zarvel_tape &tape, const zvl::tape_walk_facts &facts) {
    // Most texts have no string that long at all.
    if (facts.longest_string <= longest_body) return false;
    const uint64_t *const words = tape.packed;
    // Per open level: 0 an array, 1 an object before a key, 2 before a value.
    uint8_t levels[zvl::fast_levels + 1];
    uint32_t depth = 0;
    for (uint64_t i = 1; i < tape.count; ++i) {
        const uint64_t word = words[i];
        const uint8_t type = zvl::packed_type(word);
        if (type == ZARVEL_TAPE_CLOSE) {
            depth -= depth != 0;
            continue;
        }
        if (depth && levels[depth - 1]) {
            if (levels[depth - 1] == 1 && is_string(word) && zvl::packed_length(word) > longest_body) return true;
            levels[depth - 1] ^= 3;
        }
        if (type == ZARVEL_TAPE_ARRAY || type == ZARVEL_TAPE_OBJECT) {
            if (depth > zvl::fast_levels) return true;  // deeper than any tape: not this road's
            levels[depth++] = type == ZARVEL_TAPE_OBJECT ? 1 : 0;
        }
    }
    return false;
}

// YAML takes only printable characters; JSON strings may hold others (DEL,
// C1 controls, U+FFFE). A text the tape road took has no byte order mark.
bool printable(const char *text, uint64_t length) {
    uint64_t offset = 0;
    return zarvel_validate_utf8(text, length, &offset, true);
}

// The JSON tape road's document for a text the YAML reader would read to the
// same nodes; null when it does not apply (*status untouched) or memory ran
// out (*status 2).
zarvel_document *json_text_document(const char *text, uint64_t length, const zarvel_parse_options *options,
                                    int32_t *status) {
    // The YAML 1.1 resolver and a lowered nesting limit read otherwise.
    if (options && (options->schema == 1 || options->max_depth > 0)) return nullptr;
    uint64_t longest_key = 0;
    zarvel_document *document = zvl::json_tape_road(text, length, status, &longest_key);
    if (!document) return nullptr;
    const zvl::tape_walk_facts *facts = nullptr;
    const zarvel_tape *tape = zvl::json_pending_tape(document, &facts);
    // A document built at once knows its longest key; a held tape is read.
    const bool long_key = tape ? has_long_key(*tape, *facts) : !document->store || longest_key > longest_body;
    if (!long_key && printable(text, length)) return document;
    zarvel_document_free(document);
    return nullptr;
}

}  // namespace

zarvel_document *zarvel_parse_ex(const char *text, uint64_t length, const zarvel_parse_options *options,
                                 int32_t *status) {
    int32_t result = ZARVEL_FAILED;
    zarvel_document *document = json_text_document(text, length, options, &result);
    if (document || result == ZARVEL_NO_MEMORY) {
        if (status) *status = result;
        return document;
    }
    return zarvel_parse_internal(text, length, options, zarvel_parse_switches{}, status);
}

zarvel_document *zarvel_parse(const char *text, uint64_t length, int32_t *status) {
    return zarvel_parse_ex(text, length, nullptr, status);
}
