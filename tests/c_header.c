/* The public header must compile as strict C11 and link against the shared
 * library. */
#include "zarvel.h"

#include <stdio.h>
#include <string.h>

int main(void) {
    uint32_t line = 99, column = 99;
    const char *message = zarvel_last_error(&line, &column);
    if (strcmp(zarvel_version(), "0.6.32") != 0) {
        fprintf(stderr, "version: %s\n", zarvel_version());
        return 1;
    }
    if (message == NULL || message[0] != '\0' || line != 0 || column != 0) {
        fprintf(stderr, "fresh thread has an error: '%s' %u:%u\n", message ? message : "(null)", (unsigned)line,
                (unsigned)column);
        return 1;
    }
    if (zarvel_last_error(NULL, NULL) != message) return 1;
    if (zarvel_tag_uri(ZARVEL_TAG_INT) == NULL || zarvel_tag_uri(ZARVEL_TAG_NONE) != NULL) return 1;
    printf("zarvel %s from C\n", zarvel_version());
    return 0;
}
