/* Lets tests reach a whois responder on an unprivileged port: preloaded into
 * a program, getservbyname("whois", "tcp") answers with the port in
 * VESK_WHOIS_PORT, or with no entry at all when it is "none".  Every other
 * lookup goes to the C library. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>
#include <stdlib.h>
#include <string.h>

struct servent *getservbyname(const char *name, const char *proto) {
    static char whois_name[] = "whois";
    static char tcp_name[] = "tcp";
    static char *no_aliases[] = {NULL};
    static struct servent entry;
    const char *port = getenv("VESK_WHOIS_PORT");
    if (port != NULL && name != NULL && strcmp(name, "whois") == 0 &&
        (proto == NULL || strcmp(proto, "tcp") == 0)) {
        if (strcmp(port, "none") == 0) return NULL;
        entry.s_name = whois_name;
        entry.s_aliases = no_aliases;
        entry.s_port = (int)htons((unsigned short)atoi(port));
        entry.s_proto = tcp_name;
        return &entry;
    }
    struct servent *(*real)(const char *, const char *) =
        (struct servent * (*)(const char *, const char *)) dlsym(RTLD_NEXT, "getservbyname");
    return real ? real(name, proto) : NULL;
}
