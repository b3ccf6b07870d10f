/* LD_PRELOAD shim for transfer tests, acting only on the file named by
 * VESK_SHIM_PATH:
 *   VESK_READFAIL_AT=N  read() fails with EIO once the offset reaches N bytes
 *   VESK_DELAY_US=N     read() and write() sleep N microseconds first, so that
 *                       a test can interrupt a transfer half-way
 *   VESK_SYNC_LOG=F     appends "sync" to F for each fsync()/fdatasync() and
 *                       "mode %o" for each chmod()/fchmod() of the file, in
 *                       the order they happen
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
#include <sys/stat.h>
#include <unistd.h>

typedef ssize_t (*read_fn)(int, void *, size_t);
typedef ssize_t (*write_fn)(int, const void *, size_t);
typedef int (*fd_fn)(int);
typedef int (*fchmod_fn)(int, mode_t);
typedef int (*chmod_fn)(const char *, mode_t);
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

static int is_target_path(const char *p) {
    const char *path = getenv("VESK_SHIM_PATH");
    char name[PATH_MAX];
    return path && p && realpath(p, name) && strcmp(name, path) == 0;
}

static void log_event(const char *what, unsigned mode) {
    const char *path = getenv("VESK_SYNC_LOG");
    if (!path) return;
    FILE *f = fopen(path, "a");
    if (!f) return;
    if (what[0] == 's')
        fputs("sync\n", f);
    else
        fprintf(f, "mode %o\n", mode);
    fclose(f);
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

int fsync(int fd) {
    static fd_fn real;
    if (!real) real = (fd_fn)dlsym(RTLD_NEXT, "fsync");
    int rc = real(fd);
    if (rc == 0 && is_target(fd)) log_event("sync", 0);
    return rc;
}

int fdatasync(int fd) {
    static fd_fn real;
    if (!real) real = (fd_fn)dlsym(RTLD_NEXT, "fdatasync");
    int rc = real(fd);
    if (rc == 0 && is_target(fd)) log_event("sync", 0);
    return rc;
}

int fchmod(int fd, mode_t mode) {
    static fchmod_fn real;
    if (!real) real = (fchmod_fn)dlsym(RTLD_NEXT, "fchmod");
    int rc = real(fd, mode);
    if (rc == 0 && is_target(fd)) log_event("mode", mode);
    return rc;
}

int chmod(const char *p, mode_t mode) {
    static chmod_fn real;
    if (!real) real = (chmod_fn)dlsym(RTLD_NEXT, "chmod");
    int rc = real(p, mode);
    if (rc == 0 && is_target_path(p)) log_event("mode", mode);
    return rc;
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
