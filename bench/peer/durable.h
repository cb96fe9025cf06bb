/* What the two peer programs of the end-to-end benchmark share: the name
 * of a design's temporary file, the durable replace that puts it in place,
 * and how they give up. */
#ifndef ZV_BENCH_PEER_DURABLE_H
#define ZV_BENCH_PEER_DURABLE_H

/* Set by main: the prefix of every error message. */
extern const char *peer_program;
/* Set once the temporary file exists: removed when the program gives up. */
extern const char *peer_temporary;

/* Prints "<program>: <what>: <reason>" and exits with status 1. */
_Noreturn void peer_fail(const char *what, const char *reason);
/* Like peer_fail, with strerror(errno) as the reason. */
_Noreturn void peer_fail_errno(const char *what);

/* The file a save of `file` writes first: its extension prefixed with
 * ".tmp" ("a.zvd" -> "a.tmp.zvd"). Allocated; never fails. */
char *peer_temporary_name(const char *file);

/* Flushes `temporary`, renames it over `file` and flushes the folder:
 * exactly two flushes. */
void peer_replace(const char *temporary, const char *file);

#endif
