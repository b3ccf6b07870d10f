// Strict decimal numbers in command arguments (see decimal.h).
#include "decimal.h"

#include <cerrno>
#include <cstdlib>
#include <string>

namespace vesk {
namespace {
// Longest text taken for a number: a long's digits and its sign.
constexpr size_t kDigitsMax = 20;
}  // namespace

bool parse_long(std::string_view s, long lo, long hi, long *out) {
    if (s.empty() || s.size() > kDigitsMax) return false;
    std::string t(s);
    char *end = nullptr;
    errno = 0;
    long v = strtol(t.c_str(), &end, 10);
    if (errno != 0 || end == t.c_str() || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

}  // namespace vesk
