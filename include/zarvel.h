/*
 * zarvel: YAML 1.2, JSON and CBOR reader and writer with a flat C interface.
 *
 * Every exported function is a plain C function; records that cross the
 * interface are plain structures. Texts are pointer plus length and are not
 * NUL-terminated unless stated. Statuses: 0 success, 1 failure (see
 * zarvel_last_error), 2 out of memory, 3 nesting limit, 4 input encoding,
 * 6 invalid argument; 7, 8 and 9 where a function says so.
 *
 * This header compiles as C11 and as C++.
 */
#ifndef ZARVEL_H
#define ZARVEL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(ZARVEL_BUILDING)
#define ZARVEL_API __attribute__((visibility("default")))
#else
#define ZARVEL_API
#endif

/* ==== frame: statuses, error record, version ============================ */

enum {
    ZARVEL_OK = 0,
    ZARVEL_FAILED = 1,
    ZARVEL_NO_MEMORY = 2,
    ZARVEL_TOO_DEEP = 3,
    ZARVEL_BAD_ENCODING = 4,
    ZARVEL_INVALID_ARGUMENT = 6
};

/* Error codes recorded in the per-thread error record. */
enum {
    ZARVEL_ERR_NONE = 0,
    ZARVEL_ERR_FAILED = 1,
    ZARVEL_ERR_NO_MEMORY = 2,
    ZARVEL_ERR_TOO_DEEP = 3,
    ZARVEL_ERR_ENCODING = 4,
    ZARVEL_ERR_TAB_INDENT = 5,
    ZARVEL_ERR_UNTERMINATED_QUOTE = 6,
    ZARVEL_ERR_INDENTATION = 7,
    ZARVEL_ERR_LONG_KEY = 8,
    ZARVEL_ERR_UNDEFINED_ALIAS = 9,
    ZARVEL_ERR_BAD_ESCAPE = 10,
    ZARVEL_ERR_DIRECTIVE = 11,
    ZARVEL_ERR_INTERNAL = 12,
    ZARVEL_ERR_DESCRIPTOR_MISSING = 13
};

/* "0.6.32"; constant, never freed. */
ZARVEL_API const char *zarvel_version(void);

/* The calling thread's last failure message (never null; empty when nothing
 * failed on this thread). Line and column are written when the pointers are
 * not null. A success does not clear it. */
ZARVEL_API const char *zarvel_last_error(uint32_t *line, uint32_t *column);

/* ==== event kinds ======================================================== */

typedef enum zarvel_event_kind {
    ZARVEL_EVENT_STREAM_START = 1,
    ZARVEL_EVENT_STREAM_END = 2,
    ZARVEL_EVENT_DOCUMENT_START = 3,
    ZARVEL_EVENT_DOCUMENT_END = 4,
    ZARVEL_EVENT_SEQUENCE_START = 5,
    ZARVEL_EVENT_SEQUENCE_END = 6,
    ZARVEL_EVENT_MAPPING_START = 7,
    ZARVEL_EVENT_MAPPING_END = 8,
    ZARVEL_EVENT_SCALAR = 9,
    ZARVEL_EVENT_ALIAS = 10
} zarvel_event_kind;

/* ==== scalar resolution ================================================== */

/* Tag ids of the !! tags; ZARVEL_TAG_NONE when a text names no such tag. */
enum {
    ZARVEL_TAG_STR = 0,
    ZARVEL_TAG_INT = 1,
    ZARVEL_TAG_FLOAT = 2,
    ZARVEL_TAG_BOOL = 3,
    ZARVEL_TAG_NULL = 4,
    ZARVEL_TAG_TIMESTAMP = 5,
    ZARVEL_TAG_SEQ = 6,
    ZARVEL_TAG_MAP = 7,
    ZARVEL_TAG_BINARY = 8,
    ZARVEL_TAG_MERGE = 9,
    ZARVEL_TAG_VALUE = 10,
    ZARVEL_TAG_NONE = 11
};

/* ==== scalar resolution: end ============================================= */

/* ==== YAML events: push, pull, recorder, iterparse ======================= */

/* ==== YAML events: end =================================================== */

/* ==== YAML scanner kernel ================================================ */

/* ==== YAML scanner kernel: end =========================================== */

/* ==== documents: parse entry, handles, read API ========================== */

/* ==== documents: end ===================================================== */

/* ==== documents: building and editing ==================================== */

/* ==== documents building: end ============================================ */

/* ==== JSON kernels and tape ============================================== */

/* Stage-1 block record: one per 64 input bytes; bit i stands for byte 64*b+i. */
typedef struct zvl_json_stage1_block {
    uint64_t quotes;
    uint64_t backslashes;
    uint64_t operators;
    uint64_t controls;
    uint64_t structurals;
} zvl_json_stage1_block;

ZARVEL_API int32_t zvl_json_stage1_masks_scalar(const char *text, uint64_t len,
                                                zvl_json_stage1_block *blocks,
                                                uint64_t *block_count, int32_t *flags);
ZARVEL_API int32_t zvl_json_stage1_scalar(const char *text, uint64_t len, uint32_t *positions,
                                          uint64_t *count, int32_t *flags);

/* ==== JSON kernels and tape: end ========================================= */

/* ==== JSON documents and column plans ==================================== */

/* ==== JSON documents and column plans: end =============================== */

/* ==== output: serialiser, number formatting, visitors ==================== */

/* ==== output: end ======================================================== */

/* ==== typed values and Marshal =========================================== */

/* ==== typed values: end ================================================== */

/* ==== CBOR =============================================================== */

/* ==== CBOR: end ========================================================== */

#ifdef __cplusplus
}
#endif

#endif /* ZARVEL_H */
