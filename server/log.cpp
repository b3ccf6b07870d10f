#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace vesk::log {
namespace {
int g_level = 0;
std::string g_prefix = "veskd";

void emit(const char *fmt, va_list ap) {
    char line[2048];
    int n = vsnprintf(line, sizeof line, fmt, ap);
    if (n < 0) return;
    // One fprintf per line so that the two ends' messages on a shared
    // terminal do not interleave mid-line.
    fprintf(stderr, "%s: %s\n", g_prefix.c_str(), line);
}
}  // namespace

void set_verbosity(int level) {
    g_level = level;
}
int verbosity() {
    return g_level;
}
void set_prefix(const char *prefix) {
    g_prefix = prefix;
}

#define VESK_LOG_BODY(min)       \
    if (g_level < (min)) return; \
    va_list ap;                  \
    va_start(ap, fmt);           \
    emit(fmt, ap);               \
    va_end(ap)

void error(const char *fmt, ...) {
    VESK_LOG_BODY(0);
}
void notice(const char *fmt, ...) {
    VESK_LOG_BODY(0);
}
void info(const char *fmt, ...) {
    VESK_LOG_BODY(1);
}
void debug(const char *fmt, ...) {
    VESK_LOG_BODY(2);
}

}  // namespace vesk::log
