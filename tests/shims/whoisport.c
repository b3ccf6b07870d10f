/* Lets tests reach a whois responder on loopback.  Preloaded into a program:
 *
 *   VESK_WHOIS_PORT  getservbyname("whois", "tcp") answers with this port, or
 *                    with no entry at all when it is "none"
 *   VESK_FAR_NAMES   when set, vesk_gethostbyname knows only the names listed
 *                    here, as "name=a.b.c.d" entries separated by commas (an
 *                    empty list knows none), so that the default server can be
 *                    pointed at 127.0.0.1 and a name lookup made to fail
 *
 * Every other lookup goes to the library that would have answered it. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

enum { kNameMax = 256 }; /* bytes of a host name, NUL included */

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

/* Finds name in the "name=addr,..." list; fills *addr and returns 1 if found. */
static int listed_address(const char *list, const char *name, struct in_addr *addr) {
    const size_t name_len = strlen(name);
    for (const char *p = list; *p != '\0';) {
        const char *comma = strchr(p, ',');
        const size_t len = comma ? (size_t)(comma - p) : strlen(p);
        const char *eq = memchr(p, '=', len);
        if (eq != NULL && (size_t)(eq - p) == name_len && memcmp(p, name, name_len) == 0) {
            char text[INET_ADDRSTRLEN];
            const size_t addr_len = len - name_len - 1;
            if (addr_len >= sizeof text) return 0;
            memcpy(text, eq + 1, addr_len);
            text[addr_len] = '\0';
            return inet_pton(AF_INET, text, addr) == 1;
        }
        if (comma == NULL) break;
        p = comma + 1;
    }
    return 0;
}

struct hostent *vesk_gethostbyname(const char *name) {
    const char *list = getenv("VESK_FAR_NAMES");
    if (list == NULL) {
        struct hostent *(*real)(const char *) =
            (struct hostent * (*)(const char *)) dlsym(RTLD_NEXT, "vesk_gethostbyname");
        return real ? real(name) : NULL;
    }
    static char official[kNameMax];
    static struct in_addr address;
    static char *addresses[2];
    static char *aliases[1];
    static struct hostent entry;
    if (name == NULL || strlen(name) >= sizeof official || !listed_address(list, name, &address)) {
        h_errno = HOST_NOT_FOUND;
        return NULL;
    }
    strcpy(official, name);
    addresses[0] = (char *)&address;
    addresses[1] = NULL;
    aliases[0] = NULL;
    entry.h_name = official;
    entry.h_aliases = aliases;
    entry.h_addrtype = AF_INET;
    entry.h_length = (int)sizeof address;
    entry.h_addr_list = addresses;
    return &entry;
}
