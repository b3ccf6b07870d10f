// This machine's name and IPv4 address, as the library's handshake and
// veskd's HELLO give them.  Internal; never installed.
#ifndef VESK_COMMON_LOCALHOST_H
#define VESK_COMMON_LOCALHOST_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace vesk {

// Bytes of the name kept: what the library's vesk_localhost holds.
constexpr size_t kLocalHostNameMax = 255;

struct LocalHost {
    std::string name;   // at most kLocalHostNameMax bytes
    uint32_t addr = 0;  // host byte order
};

// The host name (gethostname, "localhost" when that fails) and the first
// IPv4 address it resolves to, or fallback (network byte order, as
// inet_addr gives it) when it resolves to none.  Blocks for the lookup.
LocalHost local_host(uint32_t fallback);

}  // namespace vesk

#endif
