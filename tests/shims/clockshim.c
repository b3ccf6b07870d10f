/* A clock that tests may script and that never changes: preloaded into a
 * program, it records settimeofday and clock_settime calls instead of making
 * them, replays gettimeofday readings from a script, and records sleep calls
 * while waiting only briefly.
 *
 *   VESK_CLOCK_LOG     file that gets one line per call:
 *                      "settimeofday SEC USEC", "clock_settime SEC NSEC", "sleep SEC"
 *   VESK_CLOCK_SCRIPT  file of "SEC USEC" lines; the n-th gettimeofday call
 *                      returns line n, later calls the real time
 *   VESK_CLOCK_NAP_MS  how long a recorded sleep really waits (default 20 ms)
 *   VESK_CLOCK_REFUSE  when "1", settimeofday is still recorded but fails with
 *                      EPERM, as it does for a user who may not set the clock
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

enum { kScriptMax = 256 };   /* readings a script may hold */
enum { kDefaultNapMs = 20 }; /* ms: keeps daemon loops quick but not spinning */
enum { kLineMax = 128 };     /* bytes of one log line */

static struct timeval script[kScriptMax];
static int script_len = -1; /* -1: not read yet */
static int script_next;

static void load_script(void) {
    script_len = 0;
    const char *path = getenv("VESK_CLOCK_SCRIPT");
    if (path == NULL || *path == '\0') return;
    FILE *f = fopen(path, "r");
    if (f == NULL) return;
    long long s, u;
    while (script_len < kScriptMax && fscanf(f, "%lld %lld", &s, &u) == 2) {
        script[script_len].tv_sec = (time_t)s;
        script[script_len].tv_usec = (suseconds_t)u;
        script_len++;
    }
    fclose(f);
}

static void log_line(const char *line) {
    const char *path = getenv("VESK_CLOCK_LOG");
    if (path == NULL || *path == '\0') return;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    /* One write per line keeps lines whole for a reader polling the file. */
    ssize_t n = write(fd, line, strlen(line));
    (void)n;
    close(fd);
}

int gettimeofday(struct timeval *restrict tv, void *restrict tz) {
    (void)tz;
    if (script_len < 0) load_script();
    if (script_next < script_len) {
        *tv = script[script_next++];
        return 0;
    }
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tv->tv_sec = now.tv_sec;
    tv->tv_usec = now.tv_nsec / 1000;
    return 0;
}

int settimeofday(const struct timeval *tv, const struct timezone *tz) {
    (void)tz;
    char line[kLineMax];
    if (tv == NULL) {
        snprintf(line, sizeof line, "settimeofday null\n");
    } else {
        snprintf(line, sizeof line, "settimeofday %lld %lld\n", (long long)tv->tv_sec,
                 (long long)tv->tv_usec);
    }
    log_line(line);
    const char *refuse = getenv("VESK_CLOCK_REFUSE");
    if (refuse != NULL && strcmp(refuse, "1") == 0) {
        errno = EPERM;
        return -1;
    }
    return 0;
}

int clock_settime(clockid_t clock, const struct timespec *ts) {
    char line[kLineMax];
    snprintf(line, sizeof line, "clock_settime %lld %lld\n", (long long)ts->tv_sec,
             (long long)ts->tv_nsec);
    (void)clock;
    log_line(line);
    return 0;
}

unsigned int sleep(unsigned int seconds) {
    char line[kLineMax];
    snprintf(line, sizeof line, "sleep %u\n", seconds);
    log_line(line);
    const char *nap = getenv("VESK_CLOCK_NAP_MS");
    long ms = nap ? strtol(nap, NULL, 10) : kDefaultNapMs;
    if (ms < 0) ms = kDefaultNapMs;
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) < 0 && errno == EINTR) {
    }
    return 0;
}
