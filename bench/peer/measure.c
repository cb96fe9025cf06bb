/* zvfile_measure COMMAND [ARGS...]: runs COMMAND once, its output thrown
 * away, and prints "cpu_ms wall_ms peak_kib": the CPU time (user + system)
 * and peak resident memory the system counted for that process alone, and
 * the wall time from its start to its end. The end-to-end benchmark times
 * every run through it: a timer that is itself a large program (GNU time)
 * adds its own start to a shell's figures, which at a small design is as
 * much as the save; the kernel's counts for the one child add nothing. */
#define _DEFAULT_SOURCE /* wait4 */

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double milliseconds(struct timeval t) { return (double)t.tv_sec * 1e3 + (double)t.tv_usec / 1e3; }

static double now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: zvfile_measure COMMAND [ARGS...]\n");
        return 2;
    }
    const double start = now_ms();
    const pid_t child = fork();
    if (child < 0) {
        perror("zvfile_measure: fork");
        return 1;
    }
    if (child == 0) {
        const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (quiet < 0 || dup2(quiet, STDOUT_FILENO) < 0 || dup2(quiet, STDERR_FILENO) < 0) {
            _exit(127);
        }
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait4(child, &status, 0, &usage) != child) {
        perror("zvfile_measure: wait4");
        return 1;
    }
    const double wall = now_ms() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "zvfile_measure: %s failed\n", argv[1]);
        return 1;
    }
    printf("%.3f %.3f %ld\n", milliseconds(usage.ru_utime) + milliseconds(usage.ru_stime), wall, usage.ru_maxrss);
    return 0;
}
