// veskd's messages on standard error, one fprintf per line.
#include "log.h"

#include <cassert>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "loop.h"

namespace vesk::log {
namespace {
int g_level = 0;
constexpr const char *kPrefix = "veskd";

// Longest line printed, bytes before escaping.
constexpr size_t kLineMax = 2048;

__attribute__((format(printf, 1, 0))) void emit(const char *fmt, va_list ap) {
    char line[kLineMax];
    int n = vsnprintf(line, sizeof line, fmt, ap);
    if (n < 0) return;
    // One fprintf per line so that the two ends' messages on a shared
    // terminal do not interleave mid-line.
    fprintf(stderr, "%s: %s\n", kPrefix, printable(std::string_view(line)).c_str());
}
}  // namespace

void set_verbosity(int level) {
    g_level = level;
}
int verbosity() {
    return g_level;
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

void illegal_move(const char *who, const char *from, const char *to) {
    error("%s: illegal move from %s to %s", who, from, to);
    assert(!"illegal state move");
}

void Limited::error(const char *fmt, ...) {
    int64_t now = monotonic_ms();
    if (window_ms_ < 0 || now - window_ms_ >= interval_ms_) {
        window_ms_ = now;
        printed_ = 0;
    }
    if (printed_ >= burst_) {
        held_++;
        return;
    }
    printed_++;
    char line[kLineMax];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    std::string shown = printable(std::string_view(line));
    if (held_ > 0) {
        fprintf(stderr, "%s: %s (and %u more like it)\n", kPrefix, shown.c_str(), held_);
    } else {
        fprintf(stderr, "%s: %s\n", kPrefix, shown.c_str());
    }
    held_ = 0;
}

std::string printable(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += char(c);
        }
    }
    return out;
}

}  // namespace vesk::log
