// This machine's name and address (see localhost.h).
#include "localhost.h"

#include <arpa/inet.h>
#include <cstring>
#include <netdb.h>
#include <unistd.h>

namespace vesk {

LocalHost local_host(uint32_t fallback) {
    LocalHost me;
    char name[kLocalHostNameMax + 1] = {};
    if (gethostname(name, kLocalHostNameMax) < 0) strcpy(name, "localhost");
    name[kLocalHostNameMax] = '\0';
    me.name = name;
    uint32_t found = fallback;
    const hostent *he = gethostbyname(name);
    if (he != nullptr && he->h_addrtype == AF_INET && he->h_length == 4 &&
        he->h_addr_list[0] != nullptr)
        memcpy(&found, he->h_addr_list[0], 4);
    me.addr = ntohl(found);
    return me;
}

}  // namespace vesk
