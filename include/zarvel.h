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

/* Statuses the functions return or write through a status pointer. */
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
/* Byte offset into the caller's input of the calling thread's last failure
 * (0 when the failure has no position). JSON and encoding failures carry an
 * offset but no line and column; a host derives them from this. */
ZARVEL_API uint64_t zarvel_last_error_offset(void);

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

/* "tag:yaml.org,2002:<suffix>" for ids 0-10 (the id is taken modulo 256);
 * null for any other id. Constant, never freed. */
ZARVEL_API const char *zarvel_tag_uri(uint32_t id);

/* 1 when the text is exactly one of true True TRUE y Y yes Yes YES on On ON,
 * else 0. */
ZARVEL_API int zvl_num_bool(const char *text, uint32_t length);
/* 1 when the text is y, yes, true or on in any ASCII letter case, else 0. */
ZARVEL_API int zvl_num_bool_ci(const char *text, uint32_t length);
/* Integer of a resolved text as the core schema reads it: decimal (a
 * leading 0 too: 0644 is 644), 0x hex, 0o octal, 0b binary, h:m[:s]
 * sexagesimal; "_" and "," are ignored. 0 and *out written, or 1 (refused,
 * *out untouched). The typed reads of a YAML 1.1 document (zarvel_node_int
 * and the rest) read a leading 0 as octal instead: 0644 is 420 there. */
ZARVEL_API int zvl_num_i64(const char *text, uint32_t length, int64_t *out);
/* Double of a resolved text: decimal (correctly rounded, any length),
 * .inf/.nan in any case, h:m[:s] sexagesimal; "_" and "," are ignored.
 * 0 and *out written, or 1 (refused, *out untouched). */
ZARVEL_API int zvl_num_f64(const char *text, uint32_t length, double *out);

/* ==== scalar resolution: end ============================================= */

/* ==== YAML events: push, pull, recorder, iterparse ======================= */

/* A parse event as the streaming front ends hand it out. Spans are pointer
 * plus length; the pointer is null when the length is 0. */
typedef struct zarvel_event_view {
    uint32_t kind;  /* zarvel_event_kind */
    uint32_t style; /* scalars: 0 implied empty, 1 plain, 2 single, 3 double,
                       4 literal, 5 folded; otherwise 0 */
    uint32_t flow;  /* 1 for flow collections and scalars inside them */
#ifdef __cplusplus
    uint32_t explicit_; /* "explicit" in C (a keyword in C++) */
#else
    uint32_t explicit; /* document start/end: 1 when the marker is present */
#endif
    uint32_t plain_implicit; /* scalars: 1 when untagged plain or implied empty */
    const char *text;        /* scalar text, alias name */
    uint64_t text_length;
    const char *anchor; /* without '&' */
    uint64_t anchor_length;
    const char *tag; /* resolved tag */
    uint64_t tag_length;
    uint32_t start_line;   /* 1-based */
    uint32_t start_column; /* 1-based, in bytes */
    uint32_t end_line;     /* push: 0 */
    uint32_t end_column;   /* push: 0 */
} zarvel_event_view;

/* zarvel_record.flags */
enum {
    ZARVEL_RECORD_FLOW = 1,
    ZARVEL_RECORD_EXPLICIT = 2,      /* document start/end marker present */
    ZARVEL_RECORD_PLAIN_IMPLICIT = 4 /* scalars */
};

/* A recorded event: texts are (offset, length) pairs into the recorder's text
 * pool (zarvel_recorder_arena); an empty span is (0, 0). */
typedef struct zarvel_record {
    uint8_t kind;
    uint8_t style;  /* scalars only */
    uint8_t flags;  /* ZARVEL_RECORD_* */
    uint8_t tag_id; /* scalars only: ZARVEL_TAG_* resolved at emission */
    uint32_t start_line;
    uint32_t start_column;
    uint32_t end_line;
    uint32_t end_column;
    uint32_t text_offset;
    uint32_t text_length;
    uint32_t anchor_offset;
    uint32_t anchor_length;
    uint32_t tag_offset;
    uint32_t tag_length;
} zarvel_record;

/* Push: called once per event; a non-zero result stops the parse. The record
 * and its texts are valid only during the call. */
typedef int (*zarvel_event_callback)(void *user, const zarvel_event_view *event);

/* Parses the whole text, decoded as zarvel_parse decodes it, calling back for
 * every event (stream start and end included). 0 success; 1 parse error (see
 * zarvel_last_error) or stopped by the callback; 2 out of memory; 4 input
 * encoding (no events); 6 invalid argument. */
ZARVEL_API int zarvel_push_parse(const char *text, uint64_t length, zarvel_event_callback callback, void *user);

/* Pull: parses everything at once, then hands the events out one by one. The
 * text is not needed after zarvel_pull_new. Null for invalid arguments or
 * when out of memory; a parse error keeps the events before it and shows in
 * zarvel_pull_status. */
typedef struct zarvel_pull zarvel_pull;
ZARVEL_API zarvel_pull *zarvel_pull_new(const char *text, uint64_t length);
/* The next event (overwritten by the next call), or null at the end. */
ZARVEL_API const zarvel_event_view *zarvel_pull_next(zarvel_pull *pull);
/* Writes up to capacity further events; returns how many. */
ZARVEL_API uint64_t zarvel_pull_next_batch(zarvel_pull *pull, zarvel_event_view *events, uint64_t capacity);
/* 0, 1 when the parse failed (error line and column written), 4 when the
 * input encoding was refused (no events; see zarvel_last_error); 6 for null. */
ZARVEL_API int zarvel_pull_status(const zarvel_pull *pull, uint32_t *line, uint32_t *column);
/* Releases the pull object and its events; null is ignored. */
ZARVEL_API void zarvel_pull_free(zarvel_pull *pull);

/* Recorder: input arrives in chunks; each feed records the events of the
 * complete documents seen so far (everything on the final feed). Records and
 * pool are valid until the next feed. */
typedef struct zarvel_recorder zarvel_recorder;
ZARVEL_API zarvel_recorder *zarvel_recorder_new(void);
/* schema 1: the YAML 1.1 resolver; anything else the core schema. */
ZARVEL_API zarvel_recorder *zarvel_recorder_new_ex(int32_t schema);
/* 0 success; 1 failure (the recorder is closed); 2 out of memory creating the
 * parser; 4 input encoding (as zarvel_parse decodes it, over all feeds; the
 * recorder is closed); 6 invalid argument or a closed recorder. A non-zero
 * final closes. */
ZARVEL_API int zarvel_recorder_feed(zarvel_recorder *recorder, const char *data, uint64_t length, int final);
/* The records of the last feed, *count (optional) their number; null and 0
 * for a null recorder. */
ZARVEL_API const zarvel_record *zarvel_recorder_records(const zarvel_recorder *recorder, uint64_t *count);
/* The text pool the records' offsets point into, *size (optional) its length
 * in bytes; null and 0 for a null recorder. */
ZARVEL_API const char *zarvel_recorder_arena(const zarvel_recorder *recorder, uint64_t *size);
/* Releases the recorder with its records and pool; null is ignored. */
ZARVEL_API void zarvel_recorder_free(zarvel_recorder *recorder);

/* Iterparse: one document per call. The first batch starts with the stream
 * start, then one batch per document, then one batch with the stream end,
 * then null. Line numbers restart at 1 with every document after the first
 * (they count from the end of the previous document). The text must outlive
 * the iterator; a batch is valid until the next call. */
typedef struct zarvel_iterparse zarvel_iterparse;
ZARVEL_API zarvel_iterparse *zarvel_iterparse_new(const char *text, uint64_t length);
ZARVEL_API const zarvel_event_view *zarvel_iterparse_next(zarvel_iterparse *iterator, uint64_t *count);
/* 0, 1 parse error, 2 out of memory (error line and column written), 4 input
 * encoding (the text decodes as for zarvel_parse; the documents before the
 * fault are handed out, no events after it); 6 for null. */
ZARVEL_API int zarvel_iterparse_status(const zarvel_iterparse *iterator, uint32_t *line, uint32_t *column);
/* Releases the iterator and its batch; null is ignored. */
ZARVEL_API void zarvel_iterparse_free(zarvel_iterparse *iterator);


/* ==== YAML events: end =================================================== */

/* ==== YAML scanner kernel ================================================ */

/* Decodes the content of a double-quoted YAML scalar, text[start..end) without
 * the quotes, into buffer (capacity bytes): escapes are decoded, line breaks
 * are copied as they stand (no folding), an escaped line break drops the break
 * and the next line's leading blanks. Output that does not fit is dropped, a
 * multi-byte character whole. Returns the number of bytes written. */
ZARVEL_API uint64_t zvl_finish_double_into(const char *text, uint64_t start, uint64_t end, char *buffer,
                                           uint64_t capacity);

/* ==== YAML scanner kernel: end =========================================== */

/* ==== documents: parse entry, handles, read API ========================== */

/* A parsed or built document; opaque. Released with zarvel_document_free. */
typedef struct zarvel_document zarvel_document;

/* Node handle: the document and a 32-bit node id. Handles belong to the
 * document, one per node (every read that returns a node hands out the same
 * pointer for it, so memory stays bounded by the node count), and stay valid
 * until it is freed; never free or change them. */
typedef struct zarvel_node {
    zarvel_document *document;
    uint32_t id;
} zarvel_node;

/* Node id that names no node. */
#define ZARVEL_NODE_NONE 0xFFFFFFFFu

/* Node kinds (zarvel_node_kind). */
enum { ZARVEL_NODE_SCALAR = 0, ZARVEL_NODE_SEQUENCE = 1, ZARVEL_NODE_MAPPING = 2, ZARVEL_NODE_ALIAS = 3 };

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
 * parser mode: NEL, LS and PS then break lines, where YAML 1.2 reads them as
 * content); max_depth above 0 lowers the nesting limit (at most 1000). */
typedef struct zarvel_parse_options {
    int32_t schema;
    int32_t max_depth;
} zarvel_parse_options;

/* Parses a YAML stream (UTF-8, or UTF-16/32 with a byte order mark). Returns
 * the document, or null: *status (optional) is 0 with a document, 0 and null
 * for a stream without documents, else 1 (see zarvel_last_error), 2, 3, 4 or
 * 6. The text must stay unchanged while the document lives. */
ZARVEL_API zarvel_document *zarvel_parse(const char *text, uint64_t length, int32_t *status);
ZARVEL_API zarvel_document *zarvel_parse_ex(const char *text, uint64_t length, const zarvel_parse_options *options,
                                            int32_t *status);

/* Number of documents of the stream (0 for null or a failed build). */
ZARVEL_API uint32_t zarvel_document_count(zarvel_document *document);
/* Status of the document's nodes, building them first when the parse left
 * them pending: 0 when they are built, 2 when the build failed (out of
 * memory, or texts past the storage limit of the input's size; the message
 * is recorded, see zarvel_last_error), 6 for null. A count of 0 with status
 * 0 is an empty stream; with status 2, a failure. A failed build is tried
 * again by the next call that needs the nodes. */
ZARVEL_API int32_t zarvel_document_status(zarvel_document *document);
/* The handle of the root of document index (one handle per node: asking
 * again gives the same pointer); null when out of range. */
ZARVEL_API zarvel_node *zarvel_document_root(zarvel_document *document, uint64_t index);
/* Releases the document with its handles and texts; returns null. Takes no
 * lock: no other thread may use the document meanwhile. */
ZARVEL_API zarvel_document *zarvel_document_free(zarvel_document *document);

/* Read API. Never records errors; invalid handles give 0/null/11/6. Any number
 * of threads may read one document at once. Texts are not terminated. */

/* ZARVEL_NODE_SCALAR, _SEQUENCE, _MAPPING or _ALIAS. */
ZARVEL_API int32_t zarvel_node_kind(const zarvel_node *node);
/* ZARVEL_NODE_STYLE_*: how a scalar was written (0 for collections and aliases). */
ZARVEL_API int32_t zarvel_node_style(const zarvel_node *node);
/* ZARVEL_TAG_* of the node: SEQ and MAP for collections, the resolved tag
 * of a scalar or alias; ZARVEL_TAG_NONE (11) for an invalid handle. */
ZARVEL_API int32_t zarvel_node_tag_id(const zarvel_node *node);
/* The id the handle holds (whether or not it names a node);
 * ZARVEL_NODE_NONE for null. */
ZARVEL_API uint32_t zarvel_node_id(const zarvel_node *node);
/* The text of a scalar (an alias: its name), *length (optional) its length;
 * an empty text is "" with length 0; null for collections. */
ZARVEL_API const char *zarvel_node_value(const zarvel_node *node, uint64_t *length);
/* The node's tag text, or its anchor name without '&'; null and length 0
 * when it has none. */
ZARVEL_API const char *zarvel_node_tag(const zarvel_node *node, uint64_t *length);
ZARVEL_API const char *zarvel_node_anchor(const zarvel_node *node, uint64_t *length);
/* The node an alias refers to; null for other kinds or a dangling alias. */
ZARVEL_API zarvel_node *zarvel_node_alias_target(const zarvel_node *node);
/* Number of items of a sequence / pairs of a mapping; 0 for other kinds. */
ZARVEL_API uint64_t zarvel_node_seq_count(const zarvel_node *node);
ZARVEL_API uint64_t zarvel_node_map_count(const zarvel_node *node);
/* The item at index of a sequence; null for other kinds or out of range. */
ZARVEL_API zarvel_node *zarvel_node_seq_at(const zarvel_node *node, uint64_t index);
/* 0 and the pair's key and value (both optional); -1 out of range. */
ZARVEL_API int32_t zarvel_node_map_at(const zarvel_node *node, uint64_t index, zarvel_node **key, zarvel_node **value);
/* The value of the first pair whose scalar key has exactly these bytes. */
ZARVEL_API zarvel_node *zarvel_node_map_get(const zarvel_node *node, const char *key, int32_t length);
/* Number of children (keys and values of a mapping); writes up to capacity. */
ZARVEL_API uint64_t zarvel_node_children(const zarvel_node *node, zarvel_node **handles, uint64_t capacity);
/* Children by node id, for walks that read many: writes the ids of the
 * children at positions first .. first + capacity - 1 (keys and values of a
 * mapping alternate) into ids and, when kinds is not null, their
 * ZARVEL_NODE_* kinds into kinds; *count (required) gets the number of
 * children, 0 for a scalar or alias. Entries past the last child are not
 * written. 0; 2 when memory ran out; 6 for an invalid handle or a null
 * count. zarvel_document_node gives the handle of an id. */
ZARVEL_API int32_t zarvel_node_child_ids(const zarvel_node *node, uint64_t first, uint32_t *ids, uint8_t *kinds,
                                         uint64_t capacity, uint64_t *count);
/* One child as zarvel_node_child_views gives it: what the handle reads
 * (zarvel_node_value, _kind, _tag_id, _style, and with ZARVEL_VIEW_NUMBERS
 * _int or _float) say of it, without its handle. text: a scalar's text (""
 * when empty), an alias's name, null for a collection; length: the text's
 * length, or a collection's number of children (keys and values of a
 * mapping both count). number_kind: 1 when number.integer holds what
 * zarvel_node_int gives with status 0, 2 when number.real holds what
 * zarvel_node_float gives; 0 when not asked, not a number, or when that
 * read fails. id: the child's node id (zarvel_document_node gives its
 * handle). */
typedef struct zarvel_node_view {
    const char *text;
    uint64_t length;
    union {
        int64_t integer;
        double real;
    } number;
    uint32_t id;
    uint8_t kind;
    uint8_t tag_id;
    uint8_t number_kind;
    uint8_t style;
} zarvel_node_view;
#define ZARVEL_VIEW_NUMBERS 1u
/* Children read in bulk, with zarvel_node_child_ids's contract: writes the
 * views of the children at positions first .. first + capacity - 1; *count
 * (required) gets the number of children. flags: 0 or ZARVEL_VIEW_NUMBERS
 * (read int- and float-tagged scalars too). 0; 2 when memory ran out; 6 for
 * an invalid handle, a null count or unknown flags. */
ZARVEL_API int32_t zarvel_node_child_views(const zarvel_node *node, uint64_t first, uint32_t flags,
                                           zarvel_node_view *views, uint64_t capacity, uint64_t *count);
/* The same for node id of the document, without a handle: a walk that
 * follows the ids of the views makes none. The document's nodes are built
 * first when pending (a failed build gives its status). 6 also for a null
 * document or an id that names no node. */
ZARVEL_API int32_t zarvel_document_child_views(zarvel_document *document, uint32_t id, uint64_t first, uint32_t flags,
                                               zarvel_node_view *views, uint64_t capacity, uint64_t *count);
/* The nodes of the tree of root `root` (the index zarvel_document_root
 * takes) in document order: each node before the nodes under it, the
 * children of a collection in order (keys and values of a mapping
 * alternate), an alias as one node. Writes the views of the nodes at
 * positions first .. first + capacity - 1 of that order, the root at 0;
 * *count (required) gets the number of nodes. A collection's view is
 * followed by its `length` children, each with the nodes under it, so a
 * host rebuilds the tree in one pass over blocks of views, with no call per
 * collection. A parsed JSON document is read in that order as it stands
 * (one parsed with ZARVEL_JSON_IN_ORDER hands out the views its parse
 * wrote, without making its nodes); others have the order listed at the
 * first call (edits drop the list).
 * 0; 2 when memory ran out; 6 for a null document, a root past the last,
 * a null count or unknown flags; a pending document's failed build gives
 * its status. */
ZARVEL_API int32_t zarvel_document_views(zarvel_document *document, uint32_t root, uint64_t first, uint32_t flags,
                                         zarvel_node_view *views, uint64_t capacity, uint64_t *count);
/* The handle of node id of the document (the one handle of that node), its
 * nodes built first when pending; null when there is no such node. */
ZARVEL_API zarvel_node *zarvel_document_node(zarvel_document *document, uint32_t id);
/* Typed reads: 0 and the value; 1 when the tag id does not fit or the text
 * does not convert; 6 for an invalid handle or a null out. Integers are read
 * under the document's schema (0644 is 644 under the core schema, 420 under
 * YAML 1.1). */
ZARVEL_API int32_t zarvel_node_bool(const zarvel_node *node, int32_t *out);
ZARVEL_API int32_t zarvel_node_int(const zarvel_node *node, int64_t *out);
ZARVEL_API int32_t zarvel_node_float(const zarvel_node *node, double *out);

/* ==== documents: end ===================================================== */

/* ==== documents: building and editing ==================================== */

/* A new empty document (no roots) to build into; null when out of memory. */
ZARVEL_API zarvel_document *zarvel_document_new(void);

/* Free-standing nodes (not yet attached anywhere). Texts are copied. A scalar
 * takes style 1-5; style 1 resolves its tag id by the core schema, the others
 * are !!str. Null for bad arguments or no memory. Every building and editing
 * call first builds a freshly parsed document's nodes, as the reads do. */
ZARVEL_API zarvel_node *zarvel_node_new_scalar(zarvel_document *document, const char *text, uint64_t length,
                                               uint32_t style);
ZARVEL_API zarvel_node *zarvel_node_new_sequence(zarvel_document *document);
ZARVEL_API zarvel_node *zarvel_node_new_mapping(zarvel_document *document);
/* An alias named name to target (a node of the same document). The target's
 * anchor is not set. */
ZARVEL_API zarvel_node *zarvel_node_new_alias(zarvel_document *document, const zarvel_node *target, const char *name,
                                              int32_t length);

/* Replace the anchor / tag text (length 0 clears; the tag id is unchanged).
 * 0; 2 out of memory; 6 for a null node or text, or an unknown node. */
ZARVEL_API int32_t zarvel_node_set_anchor(const zarvel_node *node, const char *name, int32_t length);
ZARVEL_API int32_t zarvel_node_set_tag(const zarvel_node *node, const char *tag, int32_t length);

/* Makes a free-standing tree one more document of the stream. 0; 1 for a
 * null argument or a node of another document; 6 when the node is unknown
 * or already attached; 3 when the tree has more than 1000 levels; 2 out of
 * memory. */
ZARVEL_API int32_t zarvel_document_set_root(zarvel_document *document, const zarvel_node *node);

/* Editing. A node hangs in at most one place and no tree passes 1000 levels.
 * Map and sequence add/set: 0; 6 for a null argument or a node of another
 * document; 2 when the target is not a mapping/sequence (or an index is out
 * of range, or memory ran out); 3 when too deep; 1 when the key is present,
 * or the node is unknown, already attached or would hang inside itself.
 * Delete: 0; 6 for a null argument; 1 otherwise. Map operations compare keys
 * by their exact bytes. */
ZARVEL_API int32_t zarvel_node_map_add(const zarvel_node *mapping, const char *key, uint64_t key_length,
                                       const zarvel_node *value);
ZARVEL_API int32_t zarvel_node_map_add_node(const zarvel_node *mapping, const zarvel_node *key,
                                            const zarvel_node *value);
/* As map_add when the key is absent; otherwise replaces its value (the old
 * value becomes free-standing and may be attached elsewhere). */
ZARVEL_API int32_t zarvel_node_map_set(const zarvel_node *mapping, const char *key, uint64_t key_length,
                                       const zarvel_node *value);
/* Removes the pair of that key (the value becomes free-standing). */
ZARVEL_API int32_t zarvel_node_map_del(const zarvel_node *mapping, const char *key, uint64_t key_length);
/* Appends the item to the sequence. */
ZARVEL_API int32_t zarvel_node_seq_add(const zarvel_node *sequence, const zarvel_node *item);
/* Replaces the item at index (the old item becomes free-standing). */
ZARVEL_API int32_t zarvel_node_seq_set(const zarvel_node *sequence, uint32_t index, const zarvel_node *item);
/* Removes the item at index; the items after it move up. */
ZARVEL_API int32_t zarvel_node_seq_del(const zarvel_node *sequence, int32_t index);

/* Build record types. */
enum {
    ZARVEL_BUILD_SCALAR = 1,   /* scalar of style `style` with the record's text */
    ZARVEL_BUILD_SEQUENCE = 2, /* sequence start */
    ZARVEL_BUILD_MAPPING = 3,  /* mapping start */
    ZARVEL_BUILD_END = 4,      /* end of the innermost open collection */
    ZARVEL_BUILD_TAG = 5       /* tag text of the node made last */
};

/* One record of zarvel_document_build; offset and length select the text
 * (every record must lie inside the text). */
typedef struct zarvel_build_record {
    uint8_t type;
    uint8_t style;
    uint32_t offset;
    uint32_t length;
} zarvel_build_record;

/* Builds one tree from the records (texts copied) and makes it a new root.
 * 0; 6 for bad arguments; 2 out of memory; 3 deeper than 1000 levels;
 * 1 for any malformed record list (nodes made before stay unattached). */
ZARVEL_API int32_t zarvel_document_build(zarvel_document *document, const zarvel_build_record *records, uint64_t count,
                                         const char *text, uint64_t text_length);

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

/* Stage 1, portable form: classifies the text 64 bytes at a time. The masks
 * kernel writes one block record per 64 bytes (blocks holds (len + 63) / 64);
 * the positions kernel writes the offset of every structural byte (brackets,
 * braces, commas, colons and quotes outside strings; positions holds len).
 * *block_count / *count (optional) get the number written; ZVL_JSON_FLAG_*
 * are ORed into *flags (optional). 1, or 0 when a string is still open at
 * the end. */
ZARVEL_API int32_t zvl_json_stage1_masks_scalar(const char *text, uint64_t len, zvl_json_stage1_block *blocks,
                                                uint64_t *block_count, int32_t *flags);
ZARVEL_API int32_t zvl_json_stage1_scalar(const char *text, uint64_t len, uint32_t *positions, uint64_t *count,
                                          int32_t *flags);

/* Lexical kernels. Each takes the text as pointer plus length, never reads
 * past the length and never allocates or records an error. A cursor (pos) is
 * read at entry and advanced on acceptance (result 1); a refusal (0) leaves it
 * unchanged unless the function says otherwise. */

/* Skips spaces, line feeds and carriage returns: -1 at the end of the text,
 * 1 at another byte, 0 at a tab (which is reported through saw_tab, not
 * skipped). */
ZARVEL_API int32_t zvl_json_ws(const char *text, uint64_t len, uint64_t *pos, int32_t *saw_tab);
/* *pos at an opening quote: accepts a string; *close gets the offset of the
 * closing quote, *has_escape 1 when the body held an escape; *pos moves past
 * the closing quote. The body is not checked for UTF-8. */
ZARVEL_API int32_t zvl_json_string(const char *text, uint64_t len, uint64_t *pos, uint64_t *close, int32_t *has_escape);
/* Accepts word ("true", "false", "null") followed by the end or a delimiter.
 * When the word matched but no delimiter follows, *pos is already past the
 * word and 0 is returned. */
ZARVEL_API int32_t zvl_json_literal(const char *text, uint64_t len, uint64_t *pos, const char *word);
/* Accepts a JSON number (RFC 8259 grammar) at *pos. */
ZARVEL_API int32_t zvl_json_number(const char *text, uint64_t len, uint64_t *pos);
/* Number kinds written through kind. */
enum {
    ZVL_JSON_NUMBER_INT = 0,   /* fits a signed 64-bit integer: ival */
    ZVL_JSON_NUMBER_FLOAT = 1, /* fraction or exponent: dval */
    ZVL_JSON_NUMBER_BIG = 2    /* integer outside 64 bits: dval */
};
/* Accepts a JSON number at *pos and converts it: kind, ival and dval are
 * optional. */
ZARVEL_API int32_t zvl_json_number_scan(const char *text, uint64_t len, uint64_t *pos, uint32_t *kind, int64_t *ival,
                                        double *dval);
/* Accepts a JSON number at *pos; *is_float (optional) 1 when it has a
 * fraction or an exponent. */
ZARVEL_API int32_t zvl_json_number_shape(const char *text, uint64_t len, uint64_t *pos, int32_t *is_float);
/* 1 when the whole text is one JSON value (at most 255 open containers);
 * else 0 and *err_pos (optional) is the offset where it failed. */
ZARVEL_API int32_t zvl_json_document(const char *text, uint64_t len, uint64_t *err_pos);

/* Flags ORed in by the stage-1 kernels. */
enum { ZVL_JSON_FLAG_CONTROL_IN_STRING = 1, ZVL_JSON_FLAG_BACKSLASH = 2 };

/* JSON tape: one entry per value and per closing bracket, in text order.
 * The tape points into the caller's text, which must outlive it. */
enum {
    ZARVEL_TAPE_DOCUMENT = 0,
    ZARVEL_TAPE_NULL = 1,
    ZARVEL_TAPE_TRUE = 2,
    ZARVEL_TAPE_FALSE = 3,
    ZARVEL_TAPE_INT = 4,    /* number without fraction or exponent */
    ZARVEL_TAPE_FLOAT = 5,  /* number with a fraction or an exponent */
    ZARVEL_TAPE_STRING = 6, /* span of the raw body, escapes not decoded */
    ZARVEL_TAPE_ARRAY = 7,  /* starts: index of the closing entry */
    ZARVEL_TAPE_OBJECT = 8, /* starts: index of the closing entry */
    ZARVEL_TAPE_CLOSE = 9,  /* starts: index of the opening entry */
    ZARVEL_TAPE_RAW = 10    /* lenient only: unchecked number or bare root */
};

typedef struct zarvel_tape {
    uint64_t count;
    uint8_t *types;
    uint32_t *starts;
    uint32_t *lens;
    uint64_t *packed; /* type | length << 8 | start << 32 */
    uint32_t columns_ready;
    uint32_t packed_ready;
    uint64_t has_big_int;
    const char *text;
    uint64_t text_len;
    void *block; /* the one allocation behind all arrays */
} zarvel_tape;

/* Strict: status 0, 1 not JSON, 2 out of memory, 3 nesting past the tape's
 * own limit, 4 ill-formed UTF-8, 6 invalid argument or text too long,
 * 8 internal inconsistency. Column form. The tape holds at most 255 open
 * containers (256 when the text has no byte of 0x7F or above); deeper texts
 * give status 3 ("nesting depth exceeds the limit"): zarvel_parse_json takes
 * them up to 1000 levels. */
ZARVEL_API int32_t zarvel_parse_json_tape(const char *text, uint64_t len, zarvel_tape *tape);
/* Also takes unchecked number tokens and a bare root; packed form for a
 * container root (call zarvel_tape_columns before reading the columns). */
ZARVEL_API int32_t zarvel_parse_json_tape_lenient(const char *text, uint64_t len, zarvel_tape *tape);
/* Fills types, starts and lens from the packed form; does nothing when the
 * columns are ready already or the tape is null. */
ZARVEL_API void zarvel_tape_columns(zarvel_tape *tape);
/* Converts the number entries with index in [first, last) into ints/doubles
 * (optional, indexed by entry). Returns how many, or -1. */
ZARVEL_API int64_t zarvel_tape_convert(zarvel_tape *tape, uint64_t first, uint64_t last, int64_t *ints,
                                       double *doubles);
/* Releases the tape's arrays and zeroes the record (which stays the caller's); null is
 * ignored. */
ZARVEL_API void zarvel_tape_free(zarvel_tape *tape);

/* ==== JSON kernels and tape: end ========================================= */

/* ==== JSON documents and column plans ==================================== */

/* A strict JSON text (RFC 8259, UTF-8) as a document with one root. *status
 * (optional): 0; 1 not strict JSON ("not strict JSON at byte N"); 2 out of
 * memory; 3 more than 1000 nested containers ("nesting depth exceeds the
 * limit", the offset of the bracket in the error record); 4 ill-formed UTF-8
 * ("ill-formed UTF-8 at byte N"); 6 null text with a length. The text is used in place: it must stay unchanged while
 * the document lives. */
ZARVEL_API zarvel_document *zarvel_parse_json(const char *text, uint64_t len, int32_t *status);
/* Flags of zarvel_json_options. */
enum {
    /* The document is to be read in document order through
     * zarvel_document_views: the parse writes the views themselves, and the
     * nodes are made (by parsing the text again) at the first other read. */
    ZARVEL_JSON_IN_ORDER = 1
};
/* Options of zarvel_parse_json_ex; a null record, or one whose size is below
 * sizeof(zarvel_json_options), gives the defaults (all fields 0). */
typedef struct zarvel_json_options {
    uint32_t size;  /* sizeof(zarvel_json_options) */
    uint32_t flags; /* ZARVEL_JSON_* */
} zarvel_json_options;
/* zarvel_parse_json with options: the same document, statuses and messages,
 * and 6 for unknown flags. */
ZARVEL_API zarvel_document *zarvel_parse_json_ex(const char *text, uint64_t len, const zarvel_json_options *options,
                                                 int32_t *status);

/* Column plans. A plan text is a JSON object {"kind": "seq"|"map", "path":
 * key or [keys], "children": [{"name": ..., "kind": "int"|"float"|"str"|
 * "bool"}, ...]} (the grammar is in docs/API.md). Compile status: 0; 6 an
 * error of form (or null text with a length); 2 out of memory; a JSON parse
 * failure passes its status through. */
typedef struct zarvel_plan zarvel_plan;
ZARVEL_API zarvel_plan *zarvel_plan_compile(const char *text, uint64_t len, int32_t *status);
/* Number of columns (children) of the plan; 0 for null. */
ZARVEL_API uint64_t zarvel_plan_column_count(const zarvel_plan *plan);
/* Releases the plan; null is ignored. */
ZARVEL_API void zarvel_plan_free(zarvel_plan *plan);

/* The columns a walk fills, in one block; released with
 * zarvel_plan_result_free. */
typedef struct zarvel_plan_result zarvel_plan_result;
/* One string element of a document walk: bytes inside the document. */
typedef struct zarvel_plan_str {
    const char *ptr;
    uint64_t len;
} zarvel_plan_str;
/* Column kinds (zarvel_plan_result_kind). */
enum {
    ZARVEL_PLAN_INT = 0,
    ZARVEL_PLAN_FLOAT = 1,
    ZARVEL_PLAN_STR = 2,
    ZARVEL_PLAN_BOOL = 3 /* stored in ints: 1 or 0 */
};
/* Walks: null and *status (optional) 6 for a null argument, a document
 * without a root or a tape of at most one entry; 1 when the path leads to no
 * sequence/mapping; 2 out of memory or a result too large. Strings borrow the
 * document's bytes (document walk: strs) or are offsets into the tape's text
 * (tape walk: str_offs, str_lens). */
ZARVEL_API zarvel_plan_result *zarvel_document_plan_walk(zarvel_document *document, const zarvel_plan *plan,
                                                         int32_t *status);
ZARVEL_API zarvel_plan_result *zarvel_tape_plan_walk(zarvel_tape *tape, const zarvel_plan *plan, int32_t *status);
/* Number of rows; 0 for null. */
ZARVEL_API uint64_t zarvel_plan_result_rows(const zarvel_plan_result *result);
/* All ones for a null result or a column out of range. */
ZARVEL_API uint32_t zarvel_plan_result_kind(const zarvel_plan_result *result, uint64_t column);
/* The column's array; null when the column has no such array. nulls: one
 * byte per row, 1 = no value (the value element is then undefined). */
ZARVEL_API const int64_t *zarvel_plan_result_ints(const zarvel_plan_result *result, uint64_t column);
ZARVEL_API const double *zarvel_plan_result_floats(const zarvel_plan_result *result, uint64_t column);
ZARVEL_API const zarvel_plan_str *zarvel_plan_result_strs(const zarvel_plan_result *result, uint64_t column);
ZARVEL_API const uint32_t *zarvel_plan_result_str_offs(const zarvel_plan_result *result, uint64_t column);
ZARVEL_API const uint32_t *zarvel_plan_result_str_lens(const zarvel_plan_result *result, uint64_t column);
ZARVEL_API const uint8_t *zarvel_plan_result_nulls(const zarvel_plan_result *result, uint64_t column);
/* Releases the result; null is ignored. */
ZARVEL_API void zarvel_plan_result_free(zarvel_plan_result *result);

/* ==== JSON documents and column plans: end =============================== */

/* ==== output: serialiser, number formatting, visitors ==================== */

/* Options of zarvel_serialize_ex, _into_ex and _stream. The first three
 * fields after size are read only when size is at least 16; otherwise the
 * record counts as absent. indent and style are read when size is at least
 * 24, so that records made for the 16-byte layout keep working. */
typedef struct zarvel_serialize_options {
    uint32_t size;           /* sizeof(zarvel_serialize_options) */
    uint32_t canonical;      /* nonzero: all-flow output with typed scalars */
    int32_t width;           /* flow wrapping width; 0 or less means 80 */
    uint32_t explicit_start; /* nonzero: "---" before every document */
    uint32_t indent;         /* blanks per nested block mapping, 1-16; 0 means 2 */
    uint32_t style;          /* a ZARVEL_STYLE_* value: how collections are written */
} zarvel_serialize_options;

/* zarvel_serialize_options.style. */
enum {
    ZARVEL_STYLE_KEEP = 0,  /* each collection as it was read (flow stays flow) */
    ZARVEL_STYLE_BLOCK = 1, /* every collection in block form where YAML allows it */
    ZARVEL_STYLE_FLOW = 2   /* every collection in flow form */
};

/* Receives the text in pieces; a nonzero result stops the delivery. */
typedef int (*zarvel_write_fn)(void *user, const char *bytes, uint64_t length);

/* YAML text of every document (block style by default), NUL-terminated,
 * allocated; free with zarvel_free. *out_len (optional) gets the length
 * without the NUL. Null on failure; never records an error. */
ZARVEL_API char *zarvel_serialize(zarvel_document *document, uint64_t *out_len);
ZARVEL_API char *zarvel_serialize_ex(zarvel_document *document, const zarvel_serialize_options *options,
                                     uint64_t *out_len);
/* Length of the full text; the text and a NUL are written only when buffer is
 * not null and capacity is at least that length + 1. 0 on failure. The text
 * is made once in memory of the call's own (freed before it returns), then
 * copied, here and in the plain _into calls. */
ZARVEL_API uint64_t zarvel_serialize_into(zarvel_document *document, char *buffer, uint64_t capacity);
ZARVEL_API uint64_t zarvel_serialize_into_ex(zarvel_document *document, const zarvel_serialize_options *options,
                                             char *buffer, uint64_t capacity);
/* JSON text of a single-document stream (empty for zero or several
 * documents); compact nonzero leaves out the blanks after "," and ":".
 * Integers are written as plain decimals (0644, 0x1F or +5 by their value
 * under the document's schema), here and in canonical output. */
ZARVEL_API char *zarvel_serialize_json(zarvel_document *document, uint64_t *out_len);
ZARVEL_API char *zarvel_serialize_json_ex(zarvel_document *document, uint64_t *out_len, int32_t compact);
/* Hands the text to callback in pieces of about 64 KiB; the total length, or
 * 0 on failure or once the callback returned nonzero. */
ZARVEL_API uint64_t zarvel_serialize_stream(zarvel_document *document, const zarvel_serialize_options *options,
                                            zarvel_write_fn callback, void *user);
/* Releases text and bytes the library allocated for the caller. */
ZARVEL_API void zarvel_free(void *pointer);

/* ---- output: serialiser: end ---- */

/* Visitors: typed callbacks instead of a document. Every callback gets the
 * caller's user pointer first and returns 0 to go on, anything else to stop.
 * Null slots are skipped. Texts are valid only during the callback. */
typedef struct zarvel_visitor {
    int32_t (*on_null)(void *user);
    int32_t (*on_bool)(void *user, int32_t value);
    int32_t (*on_int)(void *user, int64_t value);
    int32_t (*on_double)(void *user, double value);
    int32_t (*on_string)(void *user, const char *text, uint64_t length);
    int32_t (*on_seq_start)(void *user);
    int32_t (*on_seq_end)(void *user);
    int32_t (*on_map_start)(void *user);
    int32_t (*on_map_end)(void *user);
    /* Mapping keys; when null, keys go to the scalar callbacks. */
    int32_t (*on_key)(void *user, const char *text, uint64_t length);
    int32_t (*on_document)(void *user); /* zarvel_visit only */
    int32_t (*on_anchor)(void *user, const char *text, uint64_t length);
    int32_t (*on_alias)(void *user, const char *text, uint64_t length);
} zarvel_visitor;

/* Drains a YAML or JSON text (schema 1: YAML 1.1) into typed records and
 * replays them. 0; 1 not well-formed; 2 out of memory; 6 null visitor or null
 * text with a length; 8 a callback stopped the walk. */
ZARVEL_API int32_t zarvel_visit(const char *text, uint64_t length, int32_t schema, const zarvel_visitor *visitor,
                                void *user);
/* Walks a node and everything below it (aliases are reported, not followed).
 * 0; 6 null node or visitor, or a document without a built store; 8 a
 * callback stopped the walk or a mapping key had no value. */
ZARVEL_API int32_t zarvel_visit_node(const zarvel_node *node, const zarvel_visitor *visitor, void *user);
/* Streams one strict JSON value to the callbacks without building anything.
 * 0; 1 syntax error, empty text or trailing bytes (the callbacks up to there
 * have run); 2 a callback stopped the walk, or no memory for decoding a
 * string; 3 nesting deeper than 1000; 6 null visitor or null text with a
 * length. */
ZARVEL_API int32_t zarvel_visit_json(const char *text, uint64_t length, const zarvel_visitor *visitor, void *user);

/* ==== output: end ======================================================== */

/* ==== typed values and Marshal =========================================== */

/* One typed record of a drained stream (pre-order: collection start, its
 * children, end). kind: 0 document start, 1 null, 2 bool, 3 integer, 4 float,
 * 5 string, 6 timestamp, 7 sequence start, 8 mapping start, 9 end, 10 alias,
 * 11 anchor. tag: ZARVEL_TAG_* id. is_key: key toggle of the record's depth.
 * flag: the value of a bool, else the plain-implicit flag. offset/length: the
 * record's text in the string pool (NUL-terminated there). payload: the
 * integer (kind 3) or the double (kind 4). Written by zarvel_schema_load
 * (leaf type 5), offset/length place the text in the input instead; span
 * outputs (this offset, span elements) of a text the parser rewrote
 * (escapes, folding, UTF-16/32 input), which lies nowhere in the input,
 * hold offset 0 and the length of the text. */
typedef struct zarvel_value {
    uint8_t kind;
    uint8_t tag;
    uint8_t is_key;
    uint8_t flag;
    uint32_t offset;
    uint32_t length;
    uint32_t reserved;
    union {
        int64_t i;
        double f;
        uint64_t bits;
    } payload;
} zarvel_value;

/* The same records as parallel columns, carved from one block (count * 20
 * bytes); all seven pointers null for count 0. */
typedef struct zarvel_value_columns {
    uint64_t count;
    uint64_t pool_length;
    uint64_t *payload;
    uint32_t *offset;
    uint32_t *length;
    uint8_t *kind;
    uint8_t *tag;
    uint8_t *is_key;
    uint8_t *flag;
    char *pool;
} zarvel_value_columns;

/* Flattens every document of a YAML or JSON text (schema 1: YAML 1.1
 * resolver). 0 success; 1 not well-formed (zarvel_last_error); 2 out of
 * memory; 6 invalid argument. Outputs are null/0 on failure. */
ZARVEL_API int32_t zarvel_value_drain(const char *text, uint64_t length, int32_t schema, zarvel_value **out_values,
                                      uint64_t *out_count, char **out_pool, uint64_t *out_pool_len);
ZARVEL_API int32_t zarvel_value_drain_columns(const char *text, uint64_t length, int32_t schema,
                                              zarvel_value_columns *columns);
/* Either may be null. */
ZARVEL_API void zarvel_value_free(zarvel_value *values, char *pool);
/* Frees the block and the pool and zeroes the record; null ignored. */
ZARVEL_API void zarvel_value_free_columns(zarvel_value_columns *columns);

/* Ruby Marshal 4.8 bytes of a text (single_document 1: first document only;
 * 0: an array of all documents) or of one node. 0 success; 1 not well-formed;
 * 2 out of memory; 6 invalid argument; 7 not expressible in Marshal (merge
 * key, timestamp, binary, forward alias, explicit tag on a node: build the
 * objects from zarvel_value_drain instead); 8 internal length mismatch.
 * An alias of a string, float or collection is a link to the same object,
 * also inside the collection it names (a self-referencing array or hash).
 * Release the bytes with zarvel_marshal_free. */
ZARVEL_API int32_t zarvel_marshal(const char *text, uint64_t length, int32_t schema, uint32_t single_document,
                                  char **out_bytes, uint64_t *out_len);
ZARVEL_API int32_t zarvel_marshal_node(const zarvel_node *node, char **out_bytes, uint64_t *out_len);
/* Releases bytes from zarvel_marshal or zarvel_marshal_node; null is ignored. */
ZARVEL_API void zarvel_marshal_free(void *bytes);

/* Schema load: a descriptor tree (node 0 is the root) walked against the
 * first document; each matching value is appended to its node's column.
 * kind: 0 leaf, 1 sequence, 2 mapping, 3 span. type (leaves): 0 span,
 * 1 int64, 2 double, 3 byte bool, 4 count only, 5 zarvel_value. flags: bit 0
 * required, bit 1 unique. Span elements are four uint32 words {offset,
 * length, offset (kind 3) or 0 (type 0), 0 (kind 3) or unchanged (type 0)}
 * of the text in the input; a text the parser rewrote (escapes, folding)
 * does not lie in the input and gets offset 0 with its own length, and a
 * collection gets {0, 0, 0, 0}. Booleans: with schema 1 the YAML 1.1 true
 * words in any case (y, yes, true, on), else a first byte of T Y o t y 1. */
#define ZARVEL_DESCRIPTOR_ABI 1u
typedef struct zarvel_descriptor_node {
    const char *name;
    uint8_t kind;
    uint8_t type;
    uint16_t flags;
    uint32_t first_child;
    uint32_t child_count;
    uint32_t reserved;
} zarvel_descriptor_node;
typedef struct zarvel_column {
    void *data;
    uint32_t capacity;
    uint32_t count;
} zarvel_column;
/* 0 success; 1 not well-formed, no document, or "node %d: value is not a
 * number"; 2 out of memory or "output column capacity exceeded"; 6 invalid
 * argument or ABI; 9 "required descriptor node %u missing". */
ZARVEL_API int32_t zarvel_schema_load(const char *text, uint64_t length, int32_t schema,
                                      const zarvel_descriptor_node *nodes, uint32_t node_count, uint32_t abi,
                                      zarvel_column *columns);


/* ==== typed values: end ================================================== */

/* ==== CBOR =============================================================== */

/* Receiver of decoded CBOR items. Every callback returns non-zero to go on and
 * 0 to stop the decode (status 2). is_key is 1 for an item in key position of
 * a map; tag/tag_len is the item's pending tag chain as decimal numbers
 * separated by single spaces, outermost first (null and 0 without tags). A
 * null callback is skipped as if it had returned 1. */
typedef struct zvl_cbor_sink {
    void *context;
    /* false/true/null/undefined/simple(N), and integer keys turned into text;
     * tag id 0 str, 3 bool or 4 null. */
    int32_t (*on_scalar)(void *context, const char *text, uint64_t length, uint32_t tag_id, int32_t is_key,
                         const char *tag, uint64_t tag_len);
    /* The value is magnitude, or minus magnitude when negative is 1. */
    int32_t (*on_integer)(void *context, int32_t negative, uint64_t magnitude, int32_t is_key, const char *tag,
                          uint64_t tag_len);
    /* Floats, and integers too large for on_integer. */
    int32_t (*on_float)(void *context, int32_t is_key, const char *tag, uint64_t tag_len, double value);
    /* in_input 1: the bytes lie in the input and stay valid; 0: a temporary
     * copy (joined indefinite-length string). Text is checked UTF-8. */
    int32_t (*on_text)(void *context, const char *bytes, uint64_t length, int32_t in_input, int32_t is_key,
                       const char *tag, uint64_t tag_len);
    int32_t (*on_bytes)(void *context, const char *bytes, uint64_t length, int32_t in_input, int32_t is_key,
                        const char *tag, uint64_t tag_len);
    /* count: items that follow (array elements, twice the pairs of a map), or
     * all ones for indefinite length. */
    int32_t (*on_begin)(void *context, int32_t is_map, uint64_t count, const char *tag, uint64_t tag_len);
    int32_t (*on_end)(void *context, int32_t is_map);
} zvl_cbor_sink;

/* Decodes one data item. consumed null: the item must fill the buffer; else
 * bytes may follow and the item's length is written. Status 0 well-formed,
 * 1 not well-formed (message recorded), 2 stopped by a callback or out of
 * memory, 3 nesting deeper than 1000, 4 ill-formed UTF-8 in a text string,
 * 6 invalid argument. strict refuses non-minimal heads and keys other than
 * text and byte strings. A byte-string key reaches on_bytes with is_key 1. */
ZARVEL_API int32_t zvl_cbor_decode_gen(const uint8_t *data, uint64_t len, int32_t strict, uint64_t *consumed,
                                       const zvl_cbor_sink *sink);
/* The same decode with the document sink writing into a node store (the
 * library's internal builder context). */
ZARVEL_API int32_t zvl_cbor_decode_dom_sink(void *context, const uint8_t *data, uint64_t len, int32_t strict,
                                            uint64_t *consumed);
/* A document holding the one item, or null with *status (optional) set.
 * flags: 0, or 1 for strict. The document borrows the input buffer. Byte
 * strings, map keys included, become binary-tagged scalars of their raw
 * bytes, which the serialiser writes as !!binary base64 scalars and plain
 * JSON as base64 text; undefined and simple values become the texts "undefined" and
 * "simple(N)", marked as such for the encoder. */
ZARVEL_API zarvel_document *zarvel_cbor_decode(const uint8_t *data, uint64_t len, uint32_t flags, int32_t *status);
/* Receives each document of a sequence (and owns it); non-zero stops. */
typedef int32_t (*zarvel_cbor_document_fn)(void *user, zarvel_document *document, uint64_t index);
/* Decodes a CBOR sequence, one document per item. Returns the number of items
 * delivered, or the index of the item that failed or stopped the walk. */
ZARVEL_API uint64_t zarvel_cbor_decode_sequence(const uint8_t *data, uint64_t len, uint32_t flags,
                                                zarvel_cbor_document_fn callback, void *user, int32_t *status);

/* Encoder flags. */
enum { ZARVEL_CBOR_CANONICAL = 2 }; /* map keys sorted by their encoded bytes */

/* Encodes the document's first root: a new buffer (release with zarvel_free)
 * and its length, or null ("cbor encode failed (status %d)" recorded).
 * Scalars are written by their tag id; only those decoded from CBOR
 * undefined or simple values are written back as those (a text "undefined"
 * stays a text string). */
ZARVEL_API uint8_t *zarvel_cbor_encode(zarvel_document *document, uint32_t flags, uint64_t *out_len);
/* Writes when buf is given and cap is large enough; returns the length (the
 * length needed when nothing was written), 0 on failure. */
ZARVEL_API uint64_t zarvel_cbor_encode_into(zarvel_document *document, uint32_t flags, uint8_t *buf, uint64_t cap);
/* The first roots of count documents one after another (a CBOR sequence). */
ZARVEL_API uint8_t *zarvel_cbor_encode_sequence(zarvel_document *const *documents, uint64_t count, uint32_t flags,
                                                uint64_t *out_len);
ZARVEL_API uint64_t zarvel_cbor_encode_sequence_into(zarvel_document *const *documents, uint64_t count, uint32_t flags,
                                                     uint8_t *buf, uint64_t cap);

/* ==== CBOR: end ========================================================== */

/* ==== plain data: JSON and CBOR ========================================== */

/* Plain data out of a document: what a mainstream loader builds from it, in
 * strict JSON or in CBOR, without YAML properties. Aliases are expanded
 * (within a budget of output nodes), merge keys "<<" are applied (explicit
 * keys win over merged ones, earlier mappings of a merge sequence over later
 * ones), scalars are written by their resolved type (integers in decimal,
 * floats in shortest round-trip form, true/false/null; a tag of the
 * application's own gives the value it tags; !!binary is base64 text in JSON
 * and a byte string in CBOR; timestamps are their text), and a duplicate key
 * keeps the value of its last occurrence at the place of its first. In JSON
 * every scalar key becomes a string and a collection key fails; CBOR keeps
 * the key's type and takes collection keys. Integers beyond 64 bits keep
 * their digits in JSON and are bignums (tags 2 and 3) in CBOR. JSON is
 * written without blanks. Failures record a message naming the place
 * ("$.a.b[3]", with the line and column when the value's text lies in the
 * input): status 1 (budget exceeded, a non-finite float in JSON, a
 * collection key in JSON, a duplicate key when refused, a scalar whose text
 * does not read as its tagged type, a merge key whose value is not a mapping
 * or a sequence of mappings, a document index beyond the stream), 2 out of
 * memory, 3 nesting (with aliases expanded) deeper than 1000 levels, 6
 * invalid argument. */
enum {
    ZARVEL_PLAIN_KEEP_MERGE_KEYS = 1,     /* "<<" stays an ordinary key */
    ZARVEL_PLAIN_DUPLICATE_KEYS_FAIL = 2, /* a repeated key fails instead */
    ZARVEL_PLAIN_SEQUENCE = 4,            /* every document: JSON texts each ended by a
                                             line feed, or a CBOR sequence */
    ZARVEL_PLAIN_ALL = 8                  /* every document as one array */
};
/* JSON output of infinities and NaN. CBOR writes them as floats. */
enum {
    ZARVEL_PLAIN_NON_FINITE_FAIL = 0,  /* status 1 (the default) */
    ZARVEL_PLAIN_NON_FINITE_NULL = 1,  /* null */
    ZARVEL_PLAIN_NON_FINITE_STRING = 2 /* "Infinity", "-Infinity", "NaN" */
};
/* Options of the plain calls; a null record, or one whose size is below
 * sizeof(zarvel_plain_options), gives the defaults (all fields 0). */
typedef struct zarvel_plain_options {
    uint32_t size;       /* sizeof(zarvel_plain_options) */
    uint32_t flags;      /* ZARVEL_PLAIN_* */
    uint32_t non_finite; /* ZARVEL_PLAIN_NON_FINITE_* */
    uint32_t document;   /* without SEQUENCE or ALL: the document to write */
    uint64_t budget;     /* most output nodes (keys count); 0: the larger of
                            10 x the stream's node count and 1,000,000 */
} zarvel_plain_options;

/* Plain JSON text, NUL-terminated, allocated (free with zarvel_free);
 * *out_len (optional) gets its length. Null on failure, with *status
 * (optional) set. */
ZARVEL_API char *zarvel_plain_json(zarvel_document *document, uint64_t *out_len, int32_t *status);
ZARVEL_API char *zarvel_plain_json_ex(zarvel_document *document, const zarvel_plain_options *options, uint64_t *out_len,
                                      int32_t *status);
/* Writes the text and a NUL when buffer is not null and capacity is at
 * least the length + 1; *out_len (optional) gets the length either way.
 * Returns the status. */
ZARVEL_API int32_t zarvel_plain_json_into(zarvel_document *document, const zarvel_plain_options *options, char *buffer,
                                          uint64_t capacity, uint64_t *out_len);
/* Hands the text to callback in pieces of about 64 KiB; *out_len (optional)
 * gets the total. A nonzero callback result stops the call with status 1. */
ZARVEL_API int32_t zarvel_plain_json_stream(zarvel_document *document, const zarvel_plain_options *options,
                                            zarvel_write_fn callback, void *user, uint64_t *out_len);
/* The same four for plain CBOR (preferred serialisation: shortest heads,
 * narrowest exact float width; maps and arrays of definite length). */
ZARVEL_API uint8_t *zarvel_plain_cbor(zarvel_document *document, uint64_t *out_len, int32_t *status);
ZARVEL_API uint8_t *zarvel_plain_cbor_ex(zarvel_document *document, const zarvel_plain_options *options,
                                         uint64_t *out_len, int32_t *status);
/* Writes when buffer is not null and capacity is at least the length. */
ZARVEL_API int32_t zarvel_plain_cbor_into(zarvel_document *document, const zarvel_plain_options *options,
                                          uint8_t *buffer, uint64_t capacity, uint64_t *out_len);
ZARVEL_API int32_t zarvel_plain_cbor_stream(zarvel_document *document, const zarvel_plain_options *options,
                                            zarvel_write_fn callback, void *user, uint64_t *out_len);

/* ==== plain data: end ==================================================== */

#ifdef __cplusplus
}
#endif

#endif /* ZARVEL_H */
