/*
 * A C host: parse a YAML configuration, read typed values with error
 * handling, walk the whole tree in blocks of views, edit the tree and write
 * it back as YAML.
 *
 *   c_host [CONFIG]       (default: examples/config.yaml)
 *
 * Prints "ok" last when every check passed; exit status 1 otherwise.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <zarvel.h>

static char *read_file(const char *path, size_t *length) {
    FILE *file = fopen(path, "rb");
    if (!file) return NULL;
    size_t capacity = 4096, used = 0;
    char *bytes = malloc(capacity);
    while (bytes) {
        size_t got = fread(bytes + used, 1, capacity - used, file);
        used += got;
        if (used < capacity) break;
        char *grown = realloc(bytes, capacity * 2);
        if (!grown) {
            free(bytes);
            bytes = NULL;
            break;
        }
        bytes = grown;
        capacity *= 2;
    }
    fclose(file);
    *length = used;
    return bytes;
}

/* The node at a path of mapping keys, or null. */
static zarvel_node *lookup(zarvel_node *node, const char *const *keys) {
    for (; node && *keys; ++keys) node = zarvel_node_map_get(node, *keys, (int32_t)strlen(*keys));
    return node;
}

static int failures = 0;
static void check(int condition, const char *what) {
    if (!condition) {
        fprintf(stderr, "check failed: %s\n", what);
        ++failures;
    }
}

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "examples/config.yaml";
    size_t length = 0;
    char *text = read_file(path, &length);
    if (!text) {
        fprintf(stderr, "cannot read %s\n", path);
        return 1;
    }

    int32_t status = 0;
    zarvel_document *document = zarvel_parse(text, length, &status);
    if (!document) {
        uint32_t line = 0, column = 0;
        const char *message = zarvel_last_error(&line, &column);
        fprintf(stderr, "%s:%u:%u: %s (status %d)\n", path, line, column, message, status);
        free(text);
        return 1;
    }
    zarvel_node *root = zarvel_document_root(document, 0);

    /* Typed reads: each reports 0 on success and leaves the out value alone
     * otherwise, so a default survives a missing or mistyped setting. */
    int64_t port = 0;
    const char *port_path[] = {"service", "listen", "port", NULL};
    check(zarvel_node_int(lookup(root, port_path), &port) == 0 && port == 8080, "service.listen.port is 8080");

    double timeout = 0;
    const char *timeout_path[] = {"service", "request_timeout", NULL};
    check(zarvel_node_float(lookup(root, timeout_path), &timeout) == 0 && timeout == 2.5,
          "service.request_timeout is 2.5");

    int32_t debug = 1;
    const char *debug_path[] = {"service", "debug", NULL};
    check(zarvel_node_bool(lookup(root, debug_path), &debug) == 0 && debug == 0, "service.debug is false");

    int64_t not_a_number = 42;
    const char *name_path[] = {"service", "name", NULL};
    check(zarvel_node_int(lookup(root, name_path), &not_a_number) != 0 && not_a_number == 42,
          "a string does not read as an integer");

    const char *servers_path[] = {"cache", "servers", NULL};
    zarvel_node *servers = lookup(root, servers_path);
    check(zarvel_node_seq_count(servers) == 2, "two cache servers");

    /* Every node in document order, 64 views a call: a collection's view is
     * followed by its `length` children, so a stack of the children each
     * open collection still has rebuilds the tree with no call per node. */
    uint64_t seen = 0, scalars = 0, next = 0, total = 0;
    {
        enum { block = 64, levels = 1024 }; /* deeper than any parsed tree */
        zarvel_node_view views[block];
        uint64_t left[levels], at = 0, got = 0;
        int depth = 0;
        left[0] = 1;
        while (depth >= 0) {
            if (left[depth] == 0) {
                --depth;
                continue;
            }
            --left[depth];
            if (at == got) {
                if (zarvel_document_views(document, 0, next, 0, views, block, &total) != 0 || next >= total) break;
                got = total - next < block ? total - next : block;
                next += got;
                at = 0;
            }
            const zarvel_node_view *view = &views[at++];
            ++seen;
            if (view->kind == ZARVEL_NODE_SCALAR) ++scalars;
            if ((view->kind == ZARVEL_NODE_SEQUENCE || view->kind == ZARVEL_NODE_MAPPING) && depth + 1 < levels)
                left[++depth] = view->length;
        }
    }
    check(seen == total && next == total && scalars > 0, "the walk in views met every node once");

    /* Edit: raise the worker count and add a server. */
    zarvel_node *workers = zarvel_node_new_scalar(document, "8", 1, 1);
    zarvel_node *service = zarvel_node_map_get(root, "service", 7);
    check(workers && zarvel_node_map_set(service, "workers", 7, workers) == 0, "workers replaced");
    zarvel_node *server = zarvel_node_new_scalar(document, "cache-3.internal:6379", 21, 1);
    check(server && zarvel_node_seq_add(servers, server) == 0, "server appended");

    uint64_t out_length = 0;
    char *yaml = zarvel_serialize(document, &out_length);
    check(yaml != NULL, "serialised");
    if (yaml) {
        check(strstr(yaml, "workers: 8") != NULL, "output holds the new worker count");
        check(strstr(yaml, "cache-3.internal:6379") != NULL, "output holds the new server");
        /* The output reads back to the same values. */
        zarvel_document *again = zarvel_parse(yaml, out_length, &status);
        int64_t workers_again = 0;
        const char *workers_path[] = {"service", "workers", NULL};
        check(again && zarvel_node_int(lookup(zarvel_document_root(again, 0), workers_path), &workers_again) == 0 &&
                  workers_again == 8,
              "re-read worker count is 8");
        zarvel_document_free(again);
        zarvel_free(yaml);
    }

    zarvel_document_free(document);
    free(text);
    if (failures) return 1;
    puts("ok");
    return 0;
}
