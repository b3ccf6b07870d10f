// Address text for command arguments.
#include <cstdio>

#include <arpa/inet.h>

#include "vesknet.h"

namespace {
constexpr size_t kAddrTextMax = 32;  // "255.255.255.255:65535" plus slack
char addr_text[kAddrTextMax];
}  // namespace

char *sockaddr_to_str(struct sockaddr_in *addr, int flags) {
    if (addr == nullptr || flags != 0) {
        addr_text[0] = '\0';
        return addr_text;
    }
    const uint32_t a = ntohl(addr->sin_addr.s_addr);
    std::snprintf(addr_text, sizeof addr_text, "%u.%u.%u.%u:%u", (a >> 24) & 0xFF, (a >> 16) & 0xFF,
                  (a >> 8) & 0xFF, a & 0xFF, static_cast<unsigned>(addr->sin_port));
    return addr_text;
}
