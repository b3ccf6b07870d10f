// The arithmetic of one clock pass: how long the exchange took on the local
// clock and which time to set from the remote reading.  Header-only so that the
// unit tests can check it without a link server.
#ifndef VESK_UTILS_CLOCK_STEP_H
#define VESK_UTILS_CLOCK_STEP_H

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace timesync {

constexpr int64_t kMicrosPerSecond = 1000000;  // microseconds in one second

// A clock value as gettimeofday gives it.  64-bit so that it keeps working
// after 2038; for every value a 32-bit clock can hold the results agree.
struct ClockReading {
    int64_t sec = 0;
    int64_t usec = 0;
};

// Microseconds from t0 to t1 (negative when the local clock stepped back).
inline int64_t round_trip_us(ClockReading t0, ClockReading t1) {
    return (t1.sec - t0.sec) * kMicrosPerSecond + t1.usec - t0.usec;
}

// The time to set: the remote reading plus the whole round trip, with the
// microseconds carried into the seconds.  A negative remainder borrows one
// second, since settimeofday refuses microseconds outside [0, 1000000) and the
// pass would otherwise leave the clock unset without a word.  Returns false
// when the sum does not fit in 64 bits (a reply no clock can give).
inline bool corrected_time(ClockReading remote, int64_t diff_us, ClockReading *out) {
    int64_t u = 0;
    int64_t s = 0;
    if (__builtin_add_overflow(remote.usec, diff_us, &u)) return false;
    if (__builtin_add_overflow(remote.sec, u / kMicrosPerSecond, &s)) return false;
    u %= kMicrosPerSecond;
    if (u < 0) {
        if (__builtin_sub_overflow(s, 1, &s)) return false;
        u += kMicrosPerSecond;
    }
    out->sec = s;
    out->usec = u;
    return true;
}

// Reads the remote clock from a reply text: two decimal integers, seconds
// first, separated by white space (leading white space and signs allowed, as
// "%ld %ld" reads them).  Returns false unless both are there and in range.
inline bool parse_remote_clock(const char *text, ClockReading *out) {
    if (text == nullptr) return false;
    char *end = nullptr;
    errno = 0;
    const long long sec = std::strtoll(text, &end, 10);
    if (end == text || errno == ERANGE) return false;
    const char *rest = end;
    const long long usec = std::strtoll(rest, &end, 10);
    if (end == rest || errno == ERANGE) return false;
    out->sec = sec;
    out->usec = usec;
    return true;
}

// Daemon mode is chosen by an invocation name (path included) ending in 'd'.
inline bool invoked_as_daemon(const char *argv0) {
    if (argv0 == nullptr) return false;
    const size_t n = std::strlen(argv0);
    return n > 0 && argv0[n - 1] == 'd';
}

}  // namespace timesync

#endif  // VESK_UTILS_CLOCK_STEP_H
