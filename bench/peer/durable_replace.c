/* zvfile_durable_replace FILE: the physical limit of rewriting a design.
 * Copies FILE's bytes and permission bits into a new temporary file beside
 * it, flushes that, renames it over FILE and flushes the folder, as every
 * save does, with no database work at all: what is left is the cost of
 * the bytes and the two flushes, below which no save can go. */
#define _POSIX_C_SOURCE 200809L /* fchmod, O_CLOEXEC, O_NOFOLLOW */

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "durable.h"

enum { kChunk = 1 << 20 };

int main(int argc, char **argv) {
    peer_program = "zvfile_durable_replace";
    if (argc != 2) {
        fprintf(stderr, "usage: %s FILE\n", peer_program);
        return 2;
    }
    const char *file = argv[1];
    const char *temporary = peer_temporary_name(file);
    unlink(temporary); /* a stale one from a run that was killed */

    const int source = open(file, O_RDONLY | O_CLOEXEC);
    if (source < 0) {
        peer_fail_errno("cannot open the design");
    }
    const int copy = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (copy < 0) {
        peer_fail_errno("cannot create the temporary file");
    }
    peer_temporary = temporary;
    struct stat design;
    if (fstat(source, &design) != 0 || fchmod(copy, design.st_mode & 07777) != 0) {
        peer_fail_errno("cannot give the temporary file the design's permissions");
    }

    static char buffer[kChunk];
    for (;;) {
        const ssize_t got = read(source, buffer, sizeof buffer);
        if (got < 0) {
            peer_fail_errno("cannot read the design");
        }
        if (got == 0) {
            break;
        }
        for (ssize_t written = 0; written < got;) {
            const ssize_t put = write(copy, buffer + written, (size_t)(got - written));
            if (put < 0) {
                peer_fail_errno("cannot write the temporary file");
            }
            written += put;
        }
    }
    close(source);
    if (close(copy) != 0) {
        peer_fail_errno("cannot write the temporary file");
    }
    peer_replace(temporary, file);
    return 0;
}
