// vesk_strherror and vesk_herror: the texts of the hostname lookup error
// codes, kept in a buffer of the library's own for callers that print them.
#include <cstdio>

#include "vesknet.h"

namespace {

// Callers get a pointer that stays the same across calls, as with the
// classic resolver helpers.
char string[80];

const char *const texts[] = {
    "Hostname lookup failed; no error reported",
    "Host not found",
    "Non-authoritative `host not found', or server failed",
    "Non-recoverable hostname lookup error",
    "Valid name, no data record of requested type",
};

}  // namespace

char *vesk_strherror(int code) {
    // Unsigned so that negative codes cannot index before the table.
    if (static_cast<unsigned>(code) < sizeof texts / sizeof texts[0]) {
        std::snprintf(string, sizeof string, "%s", texts[static_cast<unsigned>(code)]);
    } else {
        std::snprintf(string, sizeof string, "Hostname lookup error %d", code);
    }
    return string;
}

void vesk_herror(const char *prefix) {
    std::fprintf(stderr, "%s: %s\n", prefix, vesk_strherror(h_errno));
}
