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

/* A parsed or built document; opaque. Released with zarvel_document_free. */
typedef struct zarvel_document zarvel_document;

/* Node handle: the document and a 32-bit node id. Handles are allocated by
 * the document and stay valid until it is freed; never free them singly. */
typedef struct zarvel_node {
    zarvel_document *document;
    uint32_t id;
} zarvel_node;

/* Node id that names no node. */
#define ZARVEL_NODE_NONE 0xFFFFFFFFu

/* Node kinds (zarvel_node_kind). */
enum {
    ZARVEL_NODE_SCALAR = 0,
    ZARVEL_NODE_SEQUENCE = 1,
    ZARVEL_NODE_MAPPING = 2,
    ZARVEL_NODE_ALIAS = 3
};

/* Node styles (zarvel_node_style). */
enum {
    ZARVEL_NODE_STYLE_NONE = 0,
    ZARVEL_NODE_STYLE_PLAIN = 1,
    ZARVEL_NODE_STYLE_SINGLE_QUOTED = 2,
    ZARVEL_NODE_STYLE_DOUBLE_QUOTED = 3,
    ZARVEL_NODE_STYLE_LITERAL = 4,
    ZARVEL_NODE_STYLE_FOLDED = 5
};

/* Options of zarvel_parse_ex. schema 1 selects the YAML 1.1 resolver (and
 * parser mode); max_depth above 0 lowers the nesting limit (at most 1000). */
typedef struct zarvel_parse_options {
    int32_t schema;
    int32_t max_depth;
} zarvel_parse_options;

/* Parses a YAML stream (UTF-8, or UTF-16/32 with a byte order mark). Returns
 * the document, or null: *status (optional) is 0 with a document, 0 and null
 * for a stream without documents, else 1 (see zarvel_last_error), 2, 3, 4 or
 * 6. The text must stay unchanged while the document lives. */
ZARVEL_API zarvel_document *zarvel_parse(const char *text, uint64_t length, int32_t *status);
ZARVEL_API zarvel_document *zarvel_parse_ex(const char *text, uint64_t length,
                                            const zarvel_parse_options *options,
                                            int32_t *status);

/* Number of documents of the stream (0 for null or a failed build). */
ZARVEL_API uint32_t zarvel_document_count(zarvel_document *document);
/* A new handle for the root of document index; null when out of range. */
ZARVEL_API zarvel_node *zarvel_document_root(zarvel_document *document, uint64_t index);
/* Releases the document with its handles and texts; returns null. Takes no
 * lock: no other thread may use the document meanwhile. */
ZARVEL_API zarvel_document *zarvel_document_free(zarvel_document *document);

/* Read API. Never records errors; invalid handles give 0/null/11/6. Any number
 * of threads may read one document at once. Texts are not terminated. */
ZARVEL_API int32_t zarvel_node_kind(const zarvel_node *node);
ZARVEL_API int32_t zarvel_node_style(const zarvel_node *node);
ZARVEL_API int32_t zarvel_node_tag_id(const zarvel_node *node);
ZARVEL_API uint32_t zarvel_node_id(const zarvel_node *node);
ZARVEL_API const char *zarvel_node_value(const zarvel_node *node, uint64_t *length);
ZARVEL_API const char *zarvel_node_tag(const zarvel_node *node, uint64_t *length);
ZARVEL_API const char *zarvel_node_anchor(const zarvel_node *node, uint64_t *length);
ZARVEL_API zarvel_node *zarvel_node_alias_target(const zarvel_node *node);
ZARVEL_API uint64_t zarvel_node_seq_count(const zarvel_node *node);
ZARVEL_API uint64_t zarvel_node_map_count(const zarvel_node *node);
ZARVEL_API zarvel_node *zarvel_node_seq_at(const zarvel_node *node, uint64_t index);
/* 0 and the pair's key and value (both optional); -1 out of range. */
ZARVEL_API int32_t zarvel_node_map_at(const zarvel_node *node, uint64_t index,
                                      zarvel_node **key, zarvel_node **value);
/* The value of the first pair whose scalar key has exactly these bytes. */
ZARVEL_API zarvel_node *zarvel_node_map_get(const zarvel_node *node, const char *key,
                                            int32_t length);
/* Number of children (keys and values of a mapping); writes up to capacity. */
ZARVEL_API uint64_t zarvel_node_children(const zarvel_node *node, zarvel_node **handles,
                                         uint64_t capacity);
/* Typed reads: 0 and the value; 1 when the tag id does not fit or the text
 * does not convert; 6 for an invalid handle or a null out. */
ZARVEL_API int32_t zarvel_node_bool(const zarvel_node *node, int32_t *out);
ZARVEL_API int32_t zarvel_node_int(const zarvel_node *node, int64_t *out);
ZARVEL_API int32_t zarvel_node_float(const zarvel_node *node, double *out);

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
