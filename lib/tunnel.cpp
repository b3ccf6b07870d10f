// Socket-like calls that reach remote hosts through the link server.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include "hostport.h"
#include "vesknet.h"

namespace {

constexpr size_t kHostNameBytes = vesk::proto::kHostNameMax + 1;  // and its NUL
constexpr size_t kReasonMax = 1024;

// The last failure of the tunnel calls was the link server's when this is set.
bool reason_from_link = false;
char link_reason[kReasonMax];

char host_name[kHostNameBytes];
in_addr_t host_addr;
char *host_addr_list[2];
char *host_aliases[1];
hostent host_entry;

void remember_link_failure() {
    std::snprintf(link_reason, sizeof link_reason, "%s",
                  command_result ? command_result : "link server failure");
    reason_from_link = true;
}

// addr in network order.
hostent *fill_entry(const char *name, in_addr_t addr) {
    std::snprintf(host_name, sizeof host_name, "%s", name);
    host_addr = addr;
    host_addr_list[0] = reinterpret_cast<char *>(&host_addr);
    host_addr_list[1] = nullptr;
    host_aliases[0] = nullptr;
    host_entry.h_name = host_name;
    host_entry.h_aliases = host_aliases;
    host_entry.h_addrtype = AF_INET;
    host_entry.h_length = sizeof host_addr;
    host_entry.h_addr_list = host_addr_list;
    return &host_entry;
}

}  // namespace

// A dotted address names itself on either machine, so it is answered here
// without a round trip (and without a far server that must understand 'c').
struct hostent *vesk_gethostbyname(const char *name) {
    if (name == nullptr) {
        h_errno = HOST_NOT_FOUND;
        return nullptr;
    }
    in_addr dotted{};
    if (inet_aton(name, &dotted) != 0) return fill_entry(name, dotted.s_addr);
    int fd = socket_connect_server(-1, vesk_server);
    if (fd < 0) {
        h_errno = HOST_NOT_FOUND;
        return nullptr;
    }
    int r = send_command(fd, 'c', 0, "%s", name);
    close(fd);
    unsigned long addr = 0;
    char official[kHostNameBytes] = {0};
    static_assert(kHostNameBytes == 256, "the width of the %s below");
    if ((r != 0 && r != 1) || command_result == nullptr ||
        std::sscanf(command_result, "%lx %255s", &addr, official) != 2) {
        h_errno = HOST_NOT_FOUND;
        return nullptr;
    }
    return fill_entry(official, htonl(static_cast<uint32_t>(addr)));
}

// The link carries TCP only, which leaves no protocol to choose.
int vesk_socket(int family, int type, int /*protocol*/) {
    if (family != AF_INET || type != SOCK_STREAM) {
        reason_from_link = false;
        errno = EAFNOSUPPORT;
        return -1;
    }
    int fd = socket_connect_server(-1, vesk_server);
    if (fd < 0) remember_link_failure();
    return fd;
}

int vesk_connect(int fd, const struct sockaddr *addr, socklen_t len) {
    if (addr == nullptr || len < sizeof(sockaddr_in) || addr->sa_family != AF_INET) {
        reason_from_link = false;
        errno = EAFNOSUPPORT;
        return -1;
    }
    sockaddr_in sin{};
    std::memcpy(&sin, addr, sizeof sin);
    sin.sin_port = ntohs(sin.sin_port);
    if (send_command(fd, 'A', 0, "%s", sockaddr_to_str(&sin, 0)) < 1) {
        remember_link_failure();
        return -1;
    }
    if (send_command(fd, '5', 1, nullptr) < 0) {
        remember_link_failure();
        return -1;
    }
    return 0;
}

int vesk_close(int fd) {
    return close(fd);
}

void vesk_perror(const char *text) {
    const char *reason = reason_from_link ? link_reason : std::strerror(errno);
    if (text != nullptr && *text != '\0')
        std::fprintf(stderr, "%s: %s\n", text, reason);
    else
        std::fprintf(stderr, "%s\n", reason);
}
