// The link's ends (see ends.h): standard input and output, an exec:
// command's socketpair, and TCP sockets that listen or connect.
#include "ends.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fd.h"
#include "linkarg.h"

namespace vesk::transport {
namespace {

// Connections the kernel may hold until veskd takes them: the listener takes
// them as they come and bounds the key checks itself, so the queue only has
// to ride out a burst between two turns of the loop.
constexpr int kListenBacklog = 128;

struct AddrInfoFree {
    void operator()(addrinfo *a) const { freeaddrinfo(a); }
};
using AddrInfo = std::unique_ptr<addrinfo, AddrInfoFree>;

bool resolve(const std::string &host, const std::string &port, bool passive, AddrInfo *out,
             std::string *error) {
    addrinfo hints{};
    // "" and "*" have always meant every IPv4 address; "[::]" asks for both.
    bool any = host.empty() || host == "*";
    hints.ai_family = any ? AF_INET : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
    addrinfo *res = nullptr;
    const char *node = host.empty() || host == "*" ? nullptr : host.c_str();
    int rc = getaddrinfo(node, port.c_str(), &hints, &res);
    if (rc != 0) {
        *error = "cannot resolve " + host + ": " + gai_strerror(rc);
        return false;
    }
    out->reset(res);
    return true;
}

// What a tcp-listen: or tcp: address resolves to.  Returns false with
// error set otherwise.
bool tcp_addresses(const std::string &where, bool listening, AddrInfo *ai, std::string *error) {
    std::string host, port;
    if (!split_host_port(where, listening, &host, &port, error)) return false;
    return resolve(host, port, listening, ai, error);
}

int new_socket(int family, std::string *error) {
    int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) *error = std::string("socket: ") + std::strerror(errno);
    return fd;
}

}  // namespace

LinkEnds stdio_ends() {
    LinkEnds ends;
    ends.in_fd = 0;
    ends.out_fd = 1;
    return ends;
}

bool ends_hung_up(const LinkEnds &ends) {
    if (ends.in_fd < 0) return true;
    pollfd p{ends.in_fd, POLLIN | POLLRDHUP, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL));
}

int tcp_listen(const std::string &where, std::string *error) {
    AddrInfo ai;
    if (!tcp_addresses(where, true, &ai, error)) return -1;
    Fd ls(new_socket(ai->ai_family, error));
    if (ls.get() < 0) return -1;
    int one = 1, zero = 0;
    setsockopt(ls.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // An IPv6 wildcard takes IPv4 connections too where the system lets it.
    if (ai->ai_family == AF_INET6)
        setsockopt(ls.get(), IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    if (::bind(ls.get(), ai->ai_addr, ai->ai_addrlen) != 0 ||
        ::listen(ls.get(), kListenBacklog) != 0) {
        *error = "cannot listen on " + where + ": " + std::strerror(errno);
        return -1;
    }
    return ls.release();
}

bool tcp_resolve(const std::string &where, std::vector<Address> *out, std::string *error) {
    AddrInfo ai;
    if (!tcp_addresses(where, false, &ai, error)) return false;
    out->clear();
    for (const addrinfo *a = ai.get(); a; a = a->ai_next) {
        if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
        Address to;
        std::memcpy(&to.sa, a->ai_addr, a->ai_addrlen);
        to.len = a->ai_addrlen;
        out->push_back(to);
    }
    if (out->empty()) *error = "cannot resolve " + where + ": no address";
    return !out->empty();
}

std::string address_text(const sockaddr *sa, bool with_port) {
    char host[INET6_ADDRSTRLEN] = "?";
    int port = 0;
    bool v6 = sa->sa_family == AF_INET6;
    if (v6) {
        const auto *s6 = reinterpret_cast<const sockaddr_in6 *>(sa);
        port = ntohs(s6->sin6_port);
        // An IPv4 peer of a dual-stack listener is shown as IPv4, and counted
        // as the same source whichever socket it came to.
        if (IN6_IS_ADDR_V4MAPPED(&s6->sin6_addr)) {
            v6 = false;
            inet_ntop(AF_INET, s6->sin6_addr.s6_addr + 12, host, sizeof host);
        } else {
            inet_ntop(AF_INET6, &s6->sin6_addr, host, sizeof host);
        }
    } else if (sa->sa_family == AF_INET) {
        const auto *s4 = reinterpret_cast<const sockaddr_in *>(sa);
        inet_ntop(AF_INET, &s4->sin_addr, host, sizeof host);
        port = ntohs(s4->sin_port);
    }
    if (!with_port) return host;
    return v6 ? "[" + std::string(host) + "]:" + std::to_string(port)
              : std::string(host) + ":" + std::to_string(port);
}

int tcp_connect_start(const Address &to, const std::string &where, int *err, std::string *error) {
    Fd fd(new_socket(to.sa.ss_family, error));
    if (fd.get() < 0) {
        *err = errno;
        return -1;
    }
    int rc;
    do {
        rc = ::connect(fd.get(), reinterpret_cast<const sockaddr *>(&to.sa), to.len);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0 && errno != EINPROGRESS) {
        *err = errno;
        *error = "cannot connect to " + where + ": " + std::strerror(errno);
        return -1;
    }
    *err = 0;
    return fd.release();
}

int tcp_connect_error(int fd) {
    int e = 0;
    socklen_t len = sizeof e;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &len) != 0) return errno;
    return e;
}

void tcp_tune(int fd, int user_timeout_ms) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    if (user_timeout_ms > 0) {
        unsigned int ms = static_cast<unsigned int>(user_timeout_ms);
        setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &ms, sizeof ms);
    }
}

bool set_unsent_limit(int fd, size_t bytes) {
    int v = static_cast<int>(std::min<size_t>(bytes, INT32_MAX));
    return setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &v, sizeof v) == 0;
}

long unsent_bytes(int fd) {
    int unsent = 0;
    return ioctl(fd, SIOCOUTQNSD, &unsent) == 0 && unsent >= 0 ? unsent : -1;
}

bool open_exec(const std::string &command, LinkEnds *ends, std::string *error) {
    if (command.empty()) {
        *error = "exec: link needs a command";
        return false;
    }
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        *error = std::string("socketpair: ") + std::strerror(errno);
        return false;
    }
    pid_t pid = ::fork();
    if (pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        ::close(sv[0]);
        ::close(sv[1]);
        return false;
    }
    if (pid == 0) {
        // Only async-signal-safe calls here.  The command must not inherit
        // an ignored SIGPIPE or a blocked signal mask from the daemon.
        ::signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (::dup2(sv[1], 0) < 0 || ::dup2(sv[1], 1) < 0) _exit(127);
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    ::close(sv[1]);
    ends->in_fd = sv[0];
    ends->out_fd = sv[0];
    ends->child = pid;
    ends->is_tcp = false;
    return true;
}

}  // namespace vesk::transport
