/* A resolver that never answers, for tests of what waits on one.  Preloaded
 * into a program, getaddrinfo of a name that ends in ".stall" waits
 * VESK_STALL_S seconds (default 60) and then fails with EAI_AGAIN, as a lookup
 * against an unreachable DNS server would; every other name goes to the
 * library that would have answered it.  No query ever leaves the machine. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netdb.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { kStallDefaultS = 60 };

static const char kSuffix[] = ".stall";

int getaddrinfo(const char *node, const char *service, const struct addrinfo *hints,
                struct addrinfo **res) {
    size_t n = node ? strlen(node) : 0;
    if (n >= sizeof kSuffix - 1 && strcmp(node + n - (sizeof kSuffix - 1), kSuffix) == 0) {
        const char *s = getenv("VESK_STALL_S");
        unsigned left = s ? (unsigned)atoi(s) : kStallDefaultS;
        while (left > 0) left = sleep(left);
        return EAI_AGAIN;
    }
    int (*real)(const char *, const char *, const struct addrinfo *, struct addrinfo **) =
        (int (*)(const char *, const char *, const struct addrinfo *, struct addrinfo **))dlsym(
            RTLD_NEXT, "getaddrinfo");
    return real ? real(node, service, hints, res) : EAI_FAIL;
}
