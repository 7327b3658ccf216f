// The exported tape functions: the strict and lenient parses (which try the
// builders first and validate only when they refuse), column filling,
// number conversion and release.
#include <cstring>

#include "core/error.hpp"
#include "core/kernels.hpp"
#include "core/memory.hpp"
#include "json/grammar.hpp"
#include "json/messages.hpp"
#include "json/validate.hpp"
#include "core/stage1.hpp"
#include "json/tape.hpp"
#include "core/utf8.hpp"
#include "zarvel.h"

namespace {

using namespace zvl;

// Statuses of this file beyond the frame's.
constexpr int32_t status_inconsistent = 8;

// Texts of this length or more cannot be addressed by 32-bit spans.
constexpr uint64_t tape_length_limit = 4294967281ull;

void zero(zarvel_tape *tape) { std::memset(tape, 0, sizeof *tape); }

void release(zarvel_tape *tape) {
    deallocate(&zarvel_default_allocator, tape->block);
    zero(tape);
}

uint64_t skip_ws(const char *text, uint64_t len, uint64_t p) {
    while (p < len && json::is_ws(text[p])) ++p;
    return p;
}

bool is_bracket(char c) { return c == '[' || c == '{'; }

// Steps 1-3 shared by both parses: 0 to go on, else the status to return.
int32_t check_arguments(const char *text, uint64_t len, zarvel_tape *tape) {
    if ((!text && len > 0) || !tape) return ZARVEL_INVALID_ARGUMENT;
    zero(tape);
    if (len >= tape_length_limit) {
        error_at_byte(ZARVEL_ERR_FAILED, 0, json::message::tape_too_long);
        return ZARVEL_INVALID_ARGUMENT;
    }
    return 0;
}

// A tape of entry 0 and one root scalar entry, in column form.
int32_t root_scalar_tape(const char *text, uint64_t len, zarvel_tape *tape, uint8_t type, uint64_t start,
                         uint64_t length) {
    if (!tape_allocate(tape, 2, tape_form::columns)) {
        zero(tape);
        return ZARVEL_NO_MEMORY;
    }
    tape->types[0] = ZARVEL_TAPE_DOCUMENT;
    tape->starts[0] = 0;
    tape->lens[0] = 0;
    tape->types[1] = type;
    tape->starts[1] = static_cast<uint32_t>(start);
    tape->lens[1] = static_cast<uint32_t>(length);
    tape->count = 2;
    tape->text = text;
    tape->text_len = len;
    return ZARVEL_OK;
}

// The strict root scalar at text[root] (already validated): its type and span.
bool strict_scalar(const char *text, uint64_t len, uint64_t root, uint8_t *type, uint64_t *start, uint64_t *length) {
    uint64_t p = root;
    char c = text[root];
    if (c == '"') {
        uint64_t close = 0;
        int32_t escaped = 0;
        if (!zvl_json_string(text, len, &p, &close, &escaped)) return false;
        *type = ZARVEL_TAPE_STRING;
        *start = root + 1;
        *length = close - root - 1;
        return true;
    }
    const char *word = c == 't' ? "true" : c == 'f' ? "false" : c == 'n' ? "null" : nullptr;
    if (word) {
        if (!zvl_json_literal(text, len, &p, word)) return false;
        *type = c == 't' ? ZARVEL_TAPE_TRUE : c == 'f' ? ZARVEL_TAPE_FALSE : ZARVEL_TAPE_NULL;
    } else {
        int32_t is_float = 0;
        if (!zvl_json_number_shape(text, len, &p, &is_float)) return false;
        *type = is_float ? ZARVEL_TAPE_FLOAT : ZARVEL_TAPE_INT;
    }
    *start = root;
    *length = p - root;
    return true;
}

}  // namespace

int32_t zarvel_parse_json_tape(const char *text, uint64_t len, zarvel_tape *tape) {
    if (int32_t status = check_arguments(text, len, tape)) return status;

    // The indexed builder takes every strict text with a container root,
    // whatever its bytes; what it refuses takes the roads below, which also
    // place the failure.
    if (const json::index_variant *indexed = zarvel_kernels_get()->json_index) {
        uint64_t root = skip_ws(text, len, 0);
        if (root < len && is_bracket(text[root]) &&
            tape_build_indexed(text, len, root, tape, false, *indexed) == tape_built)
            return ZARVEL_OK;
    }

    // Control bytes and bytes of 0x7F and above send the text through
    // validation (and the UTF-8 check) before any builder runs.
    bool check_utf8 = len > 0 && zarvel_kernels_get()->has_special(text, len);
    if (!check_utf8) {
        uint64_t root = skip_ws(text, len, 0);
        if (root < len && is_bracket(text[root])) {
            if (tape_build_columns(text, len, root, tape, column_mode::fast, true) == tape_built) return ZARVEL_OK;
            int result = tape_build_columns(text, len, root, tape, column_mode::plain, true);
            if (result == tape_built || result == tape_no_memory) return result;
        }
    } else {
        // Texts with bytes above 0x7E (most real documents with UTF-8 text):
        // a walk that succeeds within the validator's 255 levels has checked
        // everything validation would, and bytes of 0x80 and above can then
        // stand only in string bodies, which the walk checked as UTF-8. Any
        // other outcome takes the validating road below, which sets the
        // status and message.
        uint64_t root = skip_ws(text, len, 0);
        if (root < len && is_bracket(text[root]) &&
            tape_build_columns(text, len, root, tape, column_mode::plain_utf8, true, tape_builder_levels - 1) ==
                tape_built)
            return ZARVEL_OK;
    }

    // The tape keeps its own nesting limit (the validator's 255 levels, 256
    // for the texts the column builders take at once): a bracket past it is
    // reported as too deep, not as a fault of the text.
    zvl::json_validation v = zvl::json_validate(text, len, tape_builder_levels - 1);
    if (v.too_deep) {
        zarvel_error_set(zarvel_error_current(), ZARVEL_ERR_TOO_DEEP, 0, 0, v.failed_at, nullptr);
        return ZARVEL_TOO_DEEP;
    }
    if (!v.valid) {
        error_at_byte(ZARVEL_ERR_FAILED, v.failed_at, json::message::not_strict);
        return ZARVEL_FAILED;
    }
    if (check_utf8) {
        uint64_t bad = 0;
        if (!zarvel_validate_utf8(text, len, &bad, false)) {
            error_at_byte(ZARVEL_ERR_ENCODING, bad, json::message::ill_formed_utf8);
            return ZARVEL_BAD_ENCODING;
        }
    }

    uint64_t root = skip_ws(text, len, 0);
    if (is_bracket(text[root])) {
        int result = tape_build_columns(text, len, root, tape, column_mode::plain, false);
        if (result == tape_built || result == tape_no_memory) return result;
        error_at_byte(ZARVEL_ERR_INTERNAL, root, json::message::walk_rejected);
        return status_inconsistent;
    }
    uint8_t type = 0;
    uint64_t start = 0, length = 0;
    bool taken = strict_scalar(text, len, root, &type, &start, &length);
    if (int32_t status = root_scalar_tape(text, len, tape, type, start, length)) return status;
    if (!taken) {
        release(tape);
        error_at_byte(ZARVEL_ERR_INTERNAL, root, json::message::scalar_rejected);
        return status_inconsistent;
    }
    return ZARVEL_OK;
}

int32_t zarvel_parse_json_tape_lenient(const char *text, uint64_t len, zarvel_tape *tape) {
    if (int32_t status = check_arguments(text, len, tape)) return status;
    if (len > 0 && zarvel_kernels_get()->has_special(text, len)) return zarvel_parse_json_tape(text, len, tape);

    uint64_t root = skip_ws(text, len, 0);
    if (root >= len) {
        error_at_byte(ZARVEL_ERR_FAILED, 0, json::message::empty_lenient);
        return ZARVEL_FAILED;
    }
    if (is_bracket(text[root])) {
        tape_packed_switches switches{false, false, false};
        return tape_build_packed(text, len, root, tape, switches);
    }

    uint8_t type = ZARVEL_TAPE_RAW;
    uint64_t start = root, length = 0;
    bool taken = true;
    char c = text[root];
    if (c == '"' || c == 't' || c == 'f' || c == 'n') {
        taken = strict_scalar(text, len, root, &type, &start, &length);
        // strict_scalar reads only strings and literals here; only whitespace
        // may follow them.
        uint64_t after = c == '"' ? start + length + 1 : start + length;
        if (taken && skip_ws(text, len, after) < len) taken = false;
    } else {
        uint64_t end = len;
        while (end > root && json::is_ws(text[end - 1])) --end;
        length = end - root;
    }
    if (!taken) {
        error_at_byte(ZARVEL_ERR_FAILED, root, json::message::not_strict_lenient);
        return ZARVEL_FAILED;
    }
    return root_scalar_tape(text, len, tape, type, start, length);
}

void zarvel_tape_columns(zarvel_tape *tape) {
    if (!tape || tape->packed_ready != 1 || !tape->packed || tape->columns_ready) return;
    for (uint64_t i = 0; i < tape->count; ++i) {
        uint64_t entry = tape->packed[i];
        tape->types[i] = zvl::packed_type(entry);
        tape->lens[i] = zvl::packed_length(entry);
        tape->starts[i] = zvl::packed_start(entry);
    }
    tape->columns_ready = 1;
}

int64_t zarvel_tape_convert(zarvel_tape *tape, uint64_t first, uint64_t last, int64_t *ints, double *doubles) {
    if (!tape) return -1;
    zarvel_tape_columns(tape);
    if (!tape->text || last < first || last > tape->count) return -1;
    int64_t converted = 0;
    for (uint64_t i = first; i < last; ++i) {
        uint8_t type = tape->types[i];
        if (type != ZARVEL_TAPE_INT && type != ZARVEL_TAPE_FLOAT && type != ZARVEL_TAPE_RAW) continue;
        uint64_t start = tape->starts[i];
        uint64_t length = tape->lens[i];
        if (start > tape->text_len || length > tape->text_len - start) return -1;
        uint64_t pos = 0;
        uint32_t kind = 0;
        int64_t integer = 0;
        double real = 0;
        if (!zvl_json_number_scan(tape->text + start, length, &pos, &kind, &integer, &real) || pos != length) return -1;
        if (kind == ZVL_JSON_NUMBER_INT) {
            if (ints) ints[i] = integer;
        } else {
            if (doubles) doubles[i] = real;
            if (kind == ZVL_JSON_NUMBER_BIG) tape->has_big_int = 1;
        }
        ++converted;
    }
    return converted;
}

void zarvel_tape_free(zarvel_tape *tape) {
    if (!tape) return;
    release(tape);
}
