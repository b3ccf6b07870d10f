/* LD_PRELOAD shim for transfer tests, acting only on the file named by
 * VESK_SHIM_PATH:
 *   VESK_READFAIL_AT=N  read() fails with EIO once the offset reaches N bytes
 *   VESK_DELAY_US=N     read() and write() sleep N microseconds first, so that
 *                       a test can interrupt a transfer half-way
 * and, for any descriptor:
 *   VESK_SELECT_LOG=F   at exit, appends to F a line with how many select()
 *                       calls waited for a descriptor to become writable */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <unistd.h>

typedef ssize_t (*read_fn)(int, void *, size_t);
typedef ssize_t (*write_fn)(int, const void *, size_t);
typedef int (*select_fn)(int, fd_set *, fd_set *, fd_set *, struct timeval *);

static long write_waits;

static int is_target(int fd) {
    const char *path = getenv("VESK_SHIM_PATH");
    if (!path || fd <= 2) return 0;
    char link[64], name[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t len = readlink(link, name, sizeof name - 1);
    if (len <= 0) return 0;
    name[len] = '\0';
    return strcmp(name, path) == 0;
}

static void delay(void) {
    const char *us = getenv("VESK_DELAY_US");
    if (us) usleep((useconds_t)atol(us));
}

ssize_t read(int fd, void *buf, size_t n) {
    static read_fn real;
    if (!real) real = (read_fn)dlsym(RTLD_NEXT, "read");
    if (is_target(fd)) {
        delay();
        const char *at = getenv("VESK_READFAIL_AT");
        if (at) {
            off_t pos = lseek(fd, 0, SEEK_CUR);
            off_t limit = (off_t)atol(at);
            if (pos >= limit) {
                errno = EIO;
                return -1;
            }
            if (pos + (off_t)n > limit) n = (size_t)(limit - pos);
        }
    }
    return real(fd, buf, n);
}

ssize_t write(int fd, const void *buf, size_t n) {
    static write_fn real;
    if (!real) real = (write_fn)dlsym(RTLD_NEXT, "write");
    if (is_target(fd)) delay();
    return real(fd, buf, n);
}

int select(int n, fd_set *r, fd_set *w, fd_set *e, struct timeval *t) {
    static select_fn real;
    if (!real) real = (select_fn)dlsym(RTLD_NEXT, "select");
    if (w) write_waits++;
    return real(n, r, w, e, t);
}

__attribute__((destructor)) static void report_waits(void) {
    const char *path = getenv("VESK_SELECT_LOG");
    if (!path) return;
    /* One line per process: a wrapper such as timeout(1) inherits the shim. */
    FILE *f = fopen(path, "a");
    if (!f) return;
    fprintf(f, "%ld\n", write_waits);
    fclose(f);
}
