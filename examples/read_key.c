/* Parse a YAML file and read one nested key, reporting every failure.
 *   read_key [FILE]        (default: examples/config.yaml)  */
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zarvel.h>

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "examples/config.yaml";
    FILE *file = fopen(path, "rb");
    if (!file) {
        perror(path);
        return 1;
    }
    /* The document reads the text in place: keep it until the document is freed. */
    char *text = NULL;
    size_t length = 0, got;
    char chunk[4096];
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
        char *grown = realloc(text, length + got);
        if (!grown) {
            fprintf(stderr, "out of memory\n");
            free(text);
            fclose(file);
            return 1;
        }
        memcpy(grown + length, chunk, got);
        text = grown;
        length += got;
    }
    fclose(file);

    int32_t status = 0;
    zarvel_document *doc = zarvel_parse(text, length, &status);
    if (!doc) {
        uint32_t line = 0, column = 0;
        const char *why = status ? zarvel_last_error(&line, &column) : "no document";
        fprintf(stderr, "%s:%u:%u: %s (status %d)\n", path, line, column, why, (int)status);
        free(text);
        return 1;
    }

    /* service -> listen -> port; a missing key or a non-mapping gives null. */
    const char *keys[] = {"service", "listen", "port"};
    zarvel_node *node = zarvel_document_root(doc, 0);
    for (size_t i = 0; node && i < sizeof keys / sizeof *keys; ++i)
        node = zarvel_node_map_get(node, keys[i], (int32_t)strlen(keys[i]));
    int64_t port = 0;
    int result = 1;
    if (!node)
        fprintf(stderr, "%s: no key service.listen.port\n", path);
    else if (zarvel_node_int(node, &port) != 0)
        fprintf(stderr, "%s: service.listen.port is not an integer\n", path);
    else {
        printf("service.listen.port = %" PRId64 "\n", port);
        result = 0;
    }
    zarvel_document_free(doc);
    free(text);
    return result;
}
