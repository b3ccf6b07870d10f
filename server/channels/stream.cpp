// A channel's connected stream (see stream.h): connecting, and relaying
// between the socket and the channel with half-close.
#include "stream.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "decimal.h"
#include "flow.h"
#include "hostport.h"
#include "log.h"
#include "lookup.h"

namespace vesk {
namespace {
// Bytes held for the socket at most: a full credit window from the far end
// (the local feeder stops at kInHigh).
constexpr size_t kToSocketCap = Window::kMax + Stream::kInHigh;
// Reads of kReadChunk per readiness.
constexpr int kReadsPerEvent = 4;
// The far machine itself, for an 'A' without a host.
constexpr const char *kSelfHost = "127.0.0.1";
constexpr size_t kServiceMax = 64;  // bytes of a service name

// A port: a number 1-65535 or a TCP service name.  0 when it is neither.
int parse_port(std::string_view s) {
    long v;
    if (parse_long(s, 1, proto::kPortMax, &v)) return int(v);
    if (s.empty() || s.size() > kServiceMax) return 0;
    std::string name(s);
    servent *se = getservbyname(name.c_str(), "tcp");
    return se ? ntohs(uint16_t(se->s_port)) : 0;
}
}  // namespace

Stream::Stream(Loop &loop, Outlet &outlet, ChanKey key, OffLoop &off)
    : loop_(loop), outlet_(outlet), key_(key), off_(off), to_socket_(kToSocketCap) {}

void Stream::connect_tcp(std::string_view arg) {
    if (phase_ != Phase::kIdle) return outlet_.reply(false, "A stream is already connected");
    std::string_view host = kSelfHost, port = arg;
    size_t colon = arg.find(':');
    if (!arg.empty() && arg[0] == '[') {
        // "[IPv6 address]:port": the address holds colons of its own.
        size_t close = arg.find("]:");
        if (close == std::string_view::npos) return outlet_.reply(false, "Bad IPv6 target");
        int p6 = parse_port(arg.substr(close + 2));
        if (p6 == 0) return outlet_.reply(false, "Bad port number");
        std::string h6(arg.substr(1, close - 1));
        sockaddr_in6 sa6{};
        sa6.sin6_family = AF_INET6;
        sa6.sin6_port = htons(uint16_t(p6));
        if (inet_pton(AF_INET6, h6.c_str(), &sa6.sin6_addr) != 1)
            return outlet_.reply(false, "Bad IPv6 address " + h6);
        return connect(&sa6, sizeof sa6, "[" + h6 + "]:" + std::to_string(p6));
    }
    if (colon != std::string_view::npos) {
        host = arg.substr(0, colon);
        port = arg.substr(colon + 1);
        if (host.empty()) host = kSelfHost;
    }
    int p = parse_port(port);
    if (p == 0) return outlet_.reply(false, "Bad port number");
    if (host.size() > proto::kHostNameMax) return outlet_.reply(false, "Host name too long");
    std::string what = std::string(host) + ":" + std::to_string(p);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(p));
    std::string h(host);
    if (inet_aton(h.c_str(), &sa.sin_addr)) return connect(&sa, sizeof sa, what);
    // A name: looked up off the loop so that a slow resolver stalls no one.
    if (!off_.admit(Workers::Kind::kLookup)) return outlet_.reply(false, OffLoop::kTooManyJobs);
    set_phase(Phase::kLookingUp);
    bool started = off_.run<lookup::Result>(
        Workers::Kind::kLookup,
        [h](const std::atomic<bool> &) -> std::optional<lookup::Result> {
            return lookup::address(h);
        },
        [this, h, sa, what](const lookup::Result &found) mutable {
            if (!found.ok) {
                set_phase(Phase::kIdle);
                return outlet_.reply(false, "Unknown host " + h + ": " + found.text);
            }
            sa.sin_addr = found.addr;
            connect(&sa, sizeof sa, what);
        });
    if (!started) {
        set_phase(Phase::kIdle);
        outlet_.reply(false, OffLoop::kNoWorker);
    }
}

void Stream::connect_unix(const std::string &path) {
    if (phase_ != Phase::kIdle) return outlet_.reply(false, "A stream is already connected");
    sockaddr_un su{};
    su.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof su.sun_path)
        return outlet_.reply(false, "Bad socket path");
    memcpy(su.sun_path, path.data(), path.size());
    connect(&su, sizeof su, path);
}

void Stream::connect(const void *addr, unsigned len, std::string what) {
    int family = static_cast<const sockaddr *>(addr)->sa_family;
    int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        int err = errno;
        set_phase(Phase::kIdle);  // after a lookup
        return outlet_.reply(false, strerror(err));
    }
    if (family == AF_INET || family == AF_INET6) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    int rc = ::connect(fd, static_cast<const sockaddr *>(addr), len);
    fd_ = fd;
    what_ = std::move(what);
    if (rc != 0 && errno != EINPROGRESS) return connect_failed(errno);
    loop_.add(fd, rc != 0 ? EPOLLOUT : EPOLLIN, [this](uint32_t ev) { on_event(ev); });
    if (rc != 0) return set_phase(Phase::kConnecting);
    connected();
}

void Stream::connected() {
    set_phase(Phase::kConnected);
    log::info("channel %u: connected to %s", chan_id(key_), what_.c_str());
    outlet_.reply(true, "Connected to " + what_);
}

void Stream::connect_failed(int err) {
    log::info("channel %u: connect to %s failed: %s", chan_id(key_), what_.c_str(), strerror(err));
    close();
    outlet_.reply(false, strerror(err));
}

void Stream::on_event(uint32_t ev) {
    if (phase_ == Phase::kConnecting) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err == EINPROGRESS) return;
        if (err != 0) return connect_failed(err);
        connected();
        if (write_socket()) update_events();
        return;
    }
    if ((ev & EPOLLOUT) && !write_socket()) return;
    if (ev & (EPOLLIN | EPOLLHUP | EPOLLERR)) read_socket();
    update_events();
}

bool Stream::write_socket() {
    OneWay::Moved m = to_socket_.pump(-1, fd_);
    if (m.written > 0) outlet_.consumed(m.written);
    if (m.error == 0) return fd_ >= 0;
    failed(m.error);
    return false;
}

void Stream::read_socket() {
    // Read while the outlet takes it; level-triggered epoll brings us back
    // for the rest.
    char buf[kReadChunk];
    for (int i = 0; i < kReadsPerEvent && fd_ >= 0 && !rd_eof_ && outlet_.data_room(); i++) {
        ssize_t r = read(fd_, buf, sizeof buf);
        if (r < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) break;
            return failed(errno);
        }
        if (r == 0) {
            rd_eof_ = true;
            outlet_.eof();
            break;
        }
        outlet_.data({buf, size_t(r)});
    }
}

// Level-triggered interest: read while the outlet has room and the socket
// has not ended; write while something is held.
void Stream::update_events() {
    if (fd_ < 0 || phase_ != Phase::kConnected) return;
    uint32_t ev = 0;
    if (!rd_eof_ && outlet_.data_room()) ev |= EPOLLIN;
    if (to_socket_.wants_write()) ev |= EPOLLOUT;
    loop_.modify(fd_, ev);
}

void Stream::failed(int err) {
    log::info("channel %u: stream to %s failed: %s", chan_id(key_), what_.c_str(), strerror(err));
    close();
    outlet_.closed();
}

void Stream::close() {
    if (fd_ >= 0) {
        if (phase_ == Phase::kConnecting || phase_ == Phase::kConnected) loop_.remove(fd_);
        ::close(fd_);
        fd_ = -1;
    }
    set_phase(Phase::kIdle);
}

const char *Stream::phase_name(Phase p) {
    switch (p) {
        case Phase::kIdle:
            return "idle";
        case Phase::kLookingUp:
            return "looking up";
        case Phase::kConnecting:
            return "connecting";
        case Phase::kConnected:
            return "connected";
    }
    return "?";
}

bool Stream::legal_move(Phase from, Phase to) {
    switch (from) {
        case Phase::kIdle:
            return to != Phase::kIdle;
        case Phase::kLookingUp:
            return to != Phase::kLookingUp;  // found and connecting, or failed
        case Phase::kConnecting:
            return to == Phase::kConnected || to == Phase::kIdle;
        case Phase::kConnected:
            return to == Phase::kIdle;
    }
    return false;
}

void Stream::set_phase(Phase to) {
    if (to == phase_) return;
    unsigned id = chan_id(key_);
    if (!legal_move(phase_, to)) {
        std::string who = "channel " + std::to_string(id) + " stream";
        return log::illegal_move(who.c_str(), phase_name(phase_), phase_name(to));
    }
    log::debug("channel %u: stream %s -> %s", id, phase_name(phase_), phase_name(to));
    phase_ = to;
}

void Stream::data_in(std::string_view bytes) {
    if (phase_ != Phase::kConnected || to_socket_.ended()) {
        // Nowhere to go: counted as taken so that the sender is not stalled.
        outlet_.consumed(bytes.size());
        return;
    }
    if (!to_socket_.put(bytes)) {
        log::error("channel %u: more stream data than the credit allows, closing", chan_id(key_));
        return failed(ENOBUFS);
    }
    // Tried at once: most writes to a local socket complete immediately.
    if (write_socket()) update_events();
}

void Stream::eof_in(bool end_idle) {
    if (to_socket_.ended()) return;
    to_socket_.end();
    if (phase_ == Phase::kIdle) {
        if (!end_idle) return;
        // '5' with nothing connected (or after it failed): no data will ever
        // come back, so that direction ends too or the client's channel
        // would wait for ever.
        outlet_.eof();
        return;
    }
    if (phase_ == Phase::kConnected && write_socket()) update_events();
}

}  // namespace vesk
