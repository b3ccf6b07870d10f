// Name lookups for 'A' and 'c' (see lookup.h).
#include "lookup.h"

#include <arpa/inet.h>
#include <cstdio>
#include <netdb.h>
#include <sys/socket.h>

namespace vesk::lookup {
namespace {
// Room for "address-in-hex canonical-name": 8 digits, a blank, a name of at
// most 255 bytes and the NUL.
constexpr size_t kCanonicalTextMax = 320;

Result resolve(const std::string &host, int flags) {
    addrinfo hints{}, *res = nullptr;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
    Result r;
    r.ok = rc == 0 && res;
    if (r.ok) {
        r.addr = reinterpret_cast<sockaddr_in *>(res->ai_addr)->sin_addr;
        if (flags & AI_CANONNAME) {
            char buf[kCanonicalTextMax];
            snprintf(buf, sizeof buf, "%lx %s", (unsigned long)ntohl(r.addr.s_addr),
                     res->ai_canonname ? res->ai_canonname : host.c_str());
            r.text = buf;
        }
    } else {
        // 'c' says only that the name is unknown; 'A' gives the resolver's
        // reason after the name.
        bool unknown =
            rc == 0 || ((flags & AI_CANONNAME) && (rc == EAI_NONAME || rc == EAI_NODATA));
        r.text = unknown ? "Unknown host" : gai_strerror(rc);
    }
    if (res) freeaddrinfo(res);
    return r;
}
}  // namespace

Result address(const std::string &host) {
    return resolve(host, 0);
}

Result canonical(const std::string &host) {
    return resolve(host, AI_CANONNAME);
}

}  // namespace vesk::lookup
