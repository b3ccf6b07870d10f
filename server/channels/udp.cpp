// The UDP pairs of one link (see udp.h).
#include "udp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "decimal.h"
#include "frame.h"
#include "hostport.h"

namespace vesk {
namespace {
// Link-wide bytes queued before datagrams are dropped: UDP may lose them,
// and holding more only adds delay.
constexpr size_t kDgramQueueCap = 1024 * 1024;
// Largest UDP payload carried, bytes.
constexpr size_t kDgramMax = 65507;
// Datagrams read per readiness before other work has a turn.
constexpr int kReadsPerWake = 64;
}  // namespace

UdpPairs::~UdpPairs() {
    for (auto &[pair, end] : ends_) {
        loop_.remove(end.fd);
        close(end.fd);
    }
}

bool UdpPairs::command(char code, std::string_view arg, ChanKey owner, bool far, std::string *why) {
    size_t sp = arg.find(' ');
    long n;
    if (sp == std::string_view::npos || !parse_long(arg.substr(0, sp), 0, UINT32_MAX, &n)) {
        *why = "Bad UDP request";
        return false;
    }
    // The pair number was given out by the veskd whose client asks: ours
    // when the request is local, the far end's when it came over the link.
    ChanKey pair = chan_key(uint32_t(n), !far);
    std::string_view rest = arg.substr(sp + 1);
    if (code == 'V') return create(pair, owner, why);
    if (code == 'T') return bind(pair, rest, why);
    return aim(pair, rest, why);
}

UdpPairs::End *UdpPairs::find(ChanKey pair, std::string *why) {
    auto it = ends_.find(pair);
    if (it != ends_.end()) return &it->second;
    *why = "No such UDP pair";
    return nullptr;
}

bool UdpPairs::create(ChanKey pair, ChanKey owner, std::string *why) {
    if (ends_.count(pair)) {
        *why = "UDP pair exists";
        return false;
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *why = strerror(errno);
        return false;
    }
    End &e = ends_[pair];
    e.fd = fd;
    e.owner = owner;
    loop_.add(fd, EPOLLIN, [this, pair](uint32_t) { on_readable(pair); });
    return true;
}

// "PORT" binds loopback; "PORT ADDR" the address the client's VESKBIND
// named.
bool UdpPairs::bind(ChanKey pair, std::string_view arg, std::string *why) {
    size_t sp = arg.find(' ');
    long port;
    if (!parse_long(arg.substr(0, sp), 0, proto::kPortMax, &port)) {
        *why = "Bad port number";
        return false;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (sp != std::string_view::npos &&
        !inet_aton(std::string(arg.substr(sp + 1)).c_str(), &sa.sin_addr)) {
        *why = "Bad bind address";
        return false;
    }
    End *e = find(pair, why);
    if (!e) return false;
    int one = 1;
    setsockopt(e->fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(e->fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        *why = strerror(errno);
        return false;
    }
    return true;
}

// ":a.b.c.d:port" or ":[IPv6 address]:port".  The end that is aimed is
// never bound, so an IPv6 target only needs its socket made anew.
bool UdpPairs::aim(ChanKey pair, std::string_view arg, std::string *why) {
    *why = "Bad UDP target";
    if (arg.empty() || arg[0] != ':') return false;
    arg.remove_prefix(1);
    size_t colon = arg.rfind(':');
    long port;
    if (colon == std::string_view::npos ||
        !parse_long(arg.substr(colon + 1), 0, proto::kPortMax, &port))
        return false;
    std::string host(arg.substr(0, colon));
    sockaddr_storage to{};
    socklen_t to_len;
    bool v6 = host.size() > 2 && host.front() == '[' && host.back() == ']';
    if (v6) {
        auto *sa6 = reinterpret_cast<sockaddr_in6 *>(&to);
        sa6->sin6_family = AF_INET6;
        sa6->sin6_port = htons(uint16_t(port));
        to_len = sizeof *sa6;
        if (inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &sa6->sin6_addr) != 1) {
            *why = "Bad UDP target address";
            return false;
        }
    } else {
        auto *sa = reinterpret_cast<sockaddr_in *>(&to);
        sa->sin_family = AF_INET;
        sa->sin_port = htons(uint16_t(port));
        to_len = sizeof *sa;
        if (!inet_aton(host.c_str(), &sa->sin_addr)) {
            *why = "Bad UDP target address";
            return false;
        }
    }
    End *e = find(pair, why);
    if (!e) return false;
    if (v6) {
        int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            *why = strerror(errno);
            return false;
        }
        loop_.remove(e->fd);
        close(e->fd);
        e->fd = fd;
        loop_.add(fd, EPOLLIN, [this, pair](uint32_t) { on_readable(pair); });
    }
    e->aimed = true;
    e->target = to;
    e->target_len = to_len;
    return true;
}

void UdpPairs::drop_owner(ChanKey owner) {
    for (auto it = ends_.begin(); it != ends_.end();) {
        if (it->second.owner == owner) {
            loop_.remove(it->second.fd);
            close(it->second.fd);
            it = ends_.erase(it);
        } else {
            ++it;
        }
    }
}

void UdpPairs::on_readable(ChanKey pair) {
    auto it = ends_.find(pair);
    if (it == ends_.end()) return;
    End &e = it->second;
    static char buf[kDgramMax + 1];
    for (int i = 0; i < kReadsPerWake; i++) {
        sockaddr_storage from{};
        socklen_t len = sizeof from;
        ssize_t r = recvfrom(e.fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
        if (r < 0) return;  // EAGAIN, or an ICMP error of an earlier send
        if (!e.aimed) {
            // The bound end: answers go back to whoever asked last.
            e.last_sender = from;
            e.sender_len = len;
            e.have_sender = true;
        }
        if (size_t(r) > kDgramMax || link_.urgent_bytes() > kDgramQueueCap) continue;
        link_.send_urgent(pair, frame::kDgram, std::string_view(buf, size_t(r)));
    }
}

void UdpPairs::deliver(ChanKey pair, std::string_view datagram) {
    auto it = ends_.find(pair);
    if (it == ends_.end()) return;
    End &e = it->second;
    const sockaddr_storage *to = e.aimed ? &e.target : (e.have_sender ? &e.last_sender : nullptr);
    if (!to) return;
    sendto(e.fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr *>(to),
           e.aimed ? e.target_len : e.sender_len);
}

}  // namespace vesk
