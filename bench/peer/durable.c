#define _POSIX_C_SOURCE 200809L /* fsync, O_DIRECTORY, O_CLOEXEC */

#include "durable.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

const char *peer_program = "peer";
const char *peer_temporary = NULL;

_Noreturn void peer_fail(const char *what, const char *reason) {
    fprintf(stderr, "%s: %s: %s\n", peer_program, what, reason);
    if (peer_temporary != NULL) {
        unlink(peer_temporary);
    }
    exit(1);
}

_Noreturn void peer_fail_errno(const char *what) { peer_fail(what, strerror(errno)); }

static void *allocate(size_t size) {
    void *memory = malloc(size);
    if (memory == NULL) {
        peer_fail("cannot allocate memory", strerror(ENOMEM));
    }
    return memory;
}

char *peer_temporary_name(const char *file) {
    const char *slash = strrchr(file, '/');
    const char *leaf = slash != NULL ? slash + 1 : file;
    const char *dot = strrchr(leaf, '.');
    const size_t stem = dot != NULL ? (size_t)(dot - file) : strlen(file);
    const char *extension = file + stem;
    char *name = allocate(strlen(file) + sizeof ".tmp");
    memcpy(name, file, stem);
    strcpy(name + stem, ".tmp");
    strcat(name, extension);
    return name;
}

/* The folder holding `file`: "." for a bare name. Allocated. */
static char *folder_of(const char *file) {
    const char *slash = strrchr(file, '/');
    if (slash == NULL) {
        return strcpy(allocate(2), ".");
    }
    const size_t length = slash == file ? 1 : (size_t)(slash - file); /* "/a.zvd" lives in "/" */
    char *folder = allocate(length + 1);
    memcpy(folder, file, length);
    folder[length] = '\0';
    return folder;
}

static void flush(const char *path, int flags) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC | flags);
    if (fd < 0) {
        peer_fail_errno(flags != 0 ? "cannot open the folder" : "cannot open the temporary file");
    }
    if (fsync(fd) != 0) {
        peer_fail_errno(flags != 0 ? "cannot flush the folder" : "cannot flush the temporary file");
    }
    close(fd);
}

void peer_replace(const char *temporary, const char *file) {
    flush(temporary, 0);
    if (rename(temporary, file) != 0) {
        peer_fail_errno("cannot rename the temporary file over the design");
    }
    peer_temporary = NULL; /* it is the design now */
    char *folder = folder_of(file);
    flush(folder, O_DIRECTORY);
    free(folder);
}
