// Host names and port numbers as the library, veskd and the programs read
// them: the longest name a request or a HELLO may carry, and the port range.
#pragma once

#include <cstddef>

namespace vesk::proto {

// Longest host name, bytes, its NUL not counted: what the resolver and
// gethostname(2) allow.
constexpr size_t kHostNameMax = 255;

// Port numbers, as TCP and UDP carry them; 0 is "any" where a bind allows it.
constexpr int kPortMax = 65535;

}  // namespace vesk::proto
