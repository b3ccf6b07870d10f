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
std::string g_prefix = "veskd";

// Longest line printed, bytes before escaping.
constexpr size_t kLineMax = 2048;

__attribute__((format(printf, 1, 0))) void emit(const char *fmt, va_list ap) {
    char line[kLineMax];
    int n = vsnprintf(line, sizeof line, fmt, ap);
    if (n < 0) return;
    // One fprintf per line so that the two ends' messages on a shared
    // terminal do not interleave mid-line.
    fprintf(stderr, "%s: %s\n", g_prefix.c_str(), printable(std::string_view(line)).c_str());
}
}  // namespace

void set_prefix(std::string prefix) {
    g_prefix = std::move(prefix);
}

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
        fprintf(stderr, "%s: %s (and %u more like it)\n", g_prefix.c_str(), shown.c_str(), held_);
    } else {
        fprintf(stderr, "%s: %s\n", g_prefix.c_str(), shown.c_str());
    }
    held_ = 0;
}

// Length of the well-formed UTF-8 sequence at s[0], or 0 when there is none
// (a stray continuation byte, an overlong form, a surrogate, past U+10FFFF,
// or a sequence cut short).
size_t utf8_sequence(std::string_view s) {
    auto byte = [&](size_t i) { return i < s.size() ? static_cast<unsigned char>(s[i]) : 0; };
    unsigned char c = byte(0);
    size_t len;
    unsigned char lo = 0x80, hi = 0xbf;  // the second byte's range
    if (c >= 0xc2 && c <= 0xdf) {
        len = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        len = 3;
        if (c == 0xe0) lo = 0xa0;
        if (c == 0xed) hi = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        len = 4;
        if (c == 0xf0) lo = 0x90;
        if (c == 0xf4) hi = 0x8f;
    } else {
        return 0;
    }
    if (byte(1) < lo || byte(1) > hi) return 0;
    for (size_t i = 2; i < len; i++)
        if (byte(i) < 0x80 || byte(i) > 0xbf) return 0;
    return len;
}

std::string printable(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t len = c >= 0x80 ? utf8_sequence(text.substr(i)) : 1;
        // C1 controls (U+0080 to U+009F) act on terminals as C0 ones do.
        bool c1 = len == 2 && c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0;
        if (c < 0x20 || c == 0x7f || len == 0 || c1) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
            i++;
        } else {
            out.append(text.substr(i, len));
            i += len;
        }
    }
    return out;
}

}  // namespace vesk::log
