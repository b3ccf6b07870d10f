// Strict decimal numbers in command arguments and veskd's options: what a
// number may look like is decided here once.
#pragma once

#include <string_view>

namespace vesk {

// The whole of s as a decimal within [lo, hi] (leading blanks and a sign
// are taken as strtol takes them).  Returns false, out untouched, when s is
// empty or longer than a long's text, has anything after the digits,
// overflows or is out of range.
bool parse_long(std::string_view s, long lo, long hi, long *out);

}  // namespace vesk
