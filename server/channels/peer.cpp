// The work a channel's commands do on this machine (see peer.h): the
// dispatch to each command's unit, the link's settings and statistics, and
// the connected stream.
#include "peer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "decimal.h"
#include "log.h"
#include "lookup.h"
#include "session.h"
#include "udp.h"

namespace vesk {
namespace {
// Bytes read from a stream per step.
constexpr size_t kReadChunk = 64 * 1024;
// The far machine itself, for an 'A' without a host.
constexpr const char *kSelfHost = "127.0.0.1";
// Why a lookup failed before it began.
constexpr const char *kNoWorker = OffLoop::kNoWorker;

// A port: a number 1-65535 or a TCP service name.  0 when it is neither.
int parse_port(std::string_view s) {
    long v;
    if (parse_long(s, 1, 65535, &v)) return int(v);
    if (s.empty() || s.size() > 64) return 0;
    std::string name(s);
    servent *se = getservbyname(name.c_str(), "tcp");
    return se ? ntohs(uint16_t(se->s_port)) : 0;
}
}  // namespace

Peer::Peer(Session &session, Outlet &outlet, ChanKey key, bool remote)
    : session_(session),
      outlet_(outlet),
      key_(key),
      remote_(remote),
      udp_(session.udp()),
      files_(session.loop(), outlet, session.scope(remote), key),
      off_(session.workers(), remote ? Workers::Origin::Far : Workers::Origin::Local, outlet) {}

Peer::~Peer() {
    close_stream();
    udp_.drop_owner(key_);
}

void Peer::reply(bool ok, std::string_view text) {
    outlet_.reply(ok, text);
}
void Peer::reply_errno(int err) {
    reply(false, strerror(err));
}

void Peer::request(char code, std::string_view arg) {
    // Data before a command is in the file before the command acts.
    files_.flush();
    switch (code) {
        case 'F': {
            long what = 0;
            if (!arg.empty() && !parse_long(arg, LONG_MIN / 2, LONG_MAX / 2, &what))
                return reply(false, "Bad statistics request");
            return reply(true, session_.stats(what, key_));
        }
        case 'C': {
            long v;
            if (!parse_long(arg, INT_MIN, INT_MAX, &v))
                return reply(false, "Bad compression setting");
            session_.set_compress(key_, v > 0);
            return reply(true, v > 0 ? "compression on" : "compression off");
        }
        case 'd':
        case 'B': {
            long v;
            bool ok = parse_long(arg, INT_MIN, INT_MAX, &v);
            if (ok) session_.set_priority(key_, int(v));
            if (code == 'B') reply(ok, ok ? "priority set" : "Bad priority");
            return;
        }
        case 'D':
            return off_.status(arg, session_.scope(remote_));
        case '6':
        case '1':
        case 'E':
        case 'M':
        case 'O':
        case '7':
        case '2':
        case 'Z':
            return files_.request(code, arg);
        case 'A':
            return connect_tcp(arg);
        case 'X':
        case '8':
            return connect_unix_path(arg);
        case 'e':
            log::info("channel %u: connection from %.*s", chan_id(key_), int(arg.size()),
                      arg.data());
            return;
        case '9':
            log::info("channel %u: %.*s", chan_id(key_), int(arg.size()), arg.data());
            return;
        case 'c':
            return off_.resolve(arg, session_.host(), session_.addr());
        case 'V':
        case 'T':
        case 'W': {
            std::string why;
            bool ok = udp_.command(code, arg, key_, remote_, &why);
            return reply(ok, ok ? "OK" : why);
        }
        case 'g':
        case 'h':
        case 'f':
        case 'N':
            log::info("channel %u: command '%c' has no effect here", chan_id(key_), code);
            return;
        default: {
            // A code without a reply gets none even when unknown: the client
            // would take it for the answer to its next request.
            if (!proto::has_reply(code)) {
                log::info("channel %u: unknown command '%c' ignored", chan_id(key_), code);
                return;
            }
            char text[64];
            snprintf(text, sizeof text, "Unknown command '%c' (%d)", code, code);
            return reply(false, text);
        }
    }
}

void Peer::connect_tcp(std::string_view arg) {
    if (stream_fd_ >= 0 || connecting_) return reply(false, "A stream is already connected");
    std::string_view host = kSelfHost, port = arg;
    size_t colon = arg.find(':');
    if (colon != std::string_view::npos) {
        host = arg.substr(0, colon);
        port = arg.substr(colon + 1);
        if (host.empty()) host = kSelfHost;
    }
    int p = parse_port(port);
    if (p == 0) return reply(false, "Bad port number");
    if (host.size() > 255) return reply(false, "Host name too long");
    std::string what = std::string(host) + ":" + std::to_string(p);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(p));
    std::string h(host);
    if (inet_aton(h.c_str(), &sa.sin_addr)) return connect_to(&sa, sizeof sa, what);
    // A name: look it up off the loop so that a slow resolver stalls no one.
    connecting_ = true;
    bool started = off_loop<lookup::Result>(
        Workers::Kind::Lookup,
        [h](const std::atomic<bool> &) -> std::optional<lookup::Result> {
            return lookup::address(h);
        },
        [this, h, sa, what](lookup::Result found) mutable {
            connecting_ = false;
            if (!found.ok) return reply(false, "Unknown host " + h + ": " + found.text);
            sa.sin_addr = found.addr;
            connect_to(&sa, sizeof sa, what);
        });
    if (!started) {
        connecting_ = false;
        reply(false, kNoWorker);
    }
}

void Peer::connect_unix_path(std::string_view arg) {
    if (stream_fd_ >= 0 || connecting_) return reply(false, "A stream is already connected");
    std::string path(arg);
    path = session_.map_socket_path(path);
    sockaddr_un su{};
    su.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof su.sun_path) return reply(false, "Bad socket path");
    memcpy(su.sun_path, path.data(), path.size());
    connect_to(&su, sizeof su, path);
}

void Peer::connect_to(const void *addr, unsigned len, std::string what) {
    int family = static_cast<const sockaddr *>(addr)->sa_family;
    int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return reply_errno(errno);
    if (family == AF_INET) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    int rc = connect(fd, static_cast<const sockaddr *>(addr), len);
    if (rc != 0 && errno != EINPROGRESS) {
        int err = errno;
        close(fd);
        log::info("channel %u: connect to %s failed: %s", chan_id(key_), what.c_str(),
                  strerror(err));
        return reply_errno(err);
    }
    stream_fd_ = fd;
    connect_what_ = what;
    connecting_ = rc != 0;
    session_.loop().add(fd, connecting_ ? EPOLLOUT : EPOLLIN,
                        [this](uint32_t ev) { on_stream(ev); });
    if (!connecting_) {
        log::info("channel %u: connected to %s", chan_id(key_), what.c_str());
        reply(true, "Connected to " + what);
    }
}

void Peer::on_stream(uint32_t ev) {
    if (connecting_) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(stream_fd_, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err == EINPROGRESS) return;
        connecting_ = false;
        if (err != 0) {
            log::info("channel %u: connect to %s failed: %s", chan_id(key_), connect_what_.c_str(),
                      strerror(err));
            close_stream();
            return reply_errno(err);
        }
        log::info("channel %u: connected to %s", chan_id(key_), connect_what_.c_str());
        reply(true, "Connected to " + connect_what_);
        stream_events();
        return;
    }
    if (ev & EPOLLOUT) {
        while (out_off_ < out_.size()) {
            ssize_t w =
                send(stream_fd_, out_.data() + out_off_, out_.size() - out_off_, MSG_NOSIGNAL);
            if (w < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN) break;
                return stream_failed(errno);
            }
            out_off_ += size_t(w);
            outlet_.consumed(size_t(w));
        }
        if (out_off_ == out_.size()) {
            out_.clear();
            out_off_ = 0;
            if (in_eof_ && !wr_shut_) {
                shutdown(stream_fd_, SHUT_WR);
                wr_shut_ = true;
            }
        }
    }
    if (stream_fd_ < 0) return;
    if (ev & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        char buf[kReadChunk];
        // Read while the outlet takes it; level-triggered epoll brings us
        // back for the rest.
        for (int i = 0; i < 4 && !stream_rd_eof_ && outlet_.data_room(); i++) {
            ssize_t r = read(stream_fd_, buf, sizeof buf);
            if (r < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN) break;
                return stream_failed(errno);
            }
            if (r == 0) {
                stream_rd_eof_ = true;
                outlet_.eof();
                break;
            }
            outlet_.data({buf, size_t(r)});
        }
    }
    if (stream_fd_ >= 0) stream_events();
}

// Level-triggered interest: read while the outlet has room and the socket
// has not ended; write while something is held.
void Peer::stream_events() {
    if (stream_fd_ < 0 || connecting_) return;
    uint32_t ev = 0;
    if (!stream_rd_eof_ && outlet_.data_room()) ev |= EPOLLIN;
    if (out_off_ < out_.size()) ev |= EPOLLOUT;
    session_.loop().modify(stream_fd_, ev);
    if (ev == 0 && stream_rd_eof_ && wr_shut_) {
        // Both directions are done; the channel's close frees the rest.
    }
}

void Peer::stream_failed(int err) {
    log::info("channel %u: stream to %s failed: %s", chan_id(key_), connect_what_.c_str(),
              strerror(err));
    close_stream();
    outlet_.closed();
}

void Peer::close_stream() {
    if (stream_fd_ < 0) return;
    session_.loop().remove(stream_fd_);
    close(stream_fd_);
    stream_fd_ = -1;
    connecting_ = false;
}

void Peer::data_in(std::string_view bytes) {
    if (files_.data_in(bytes)) return;
    if (stream_fd_ < 0 || connecting_ || in_eof_) {
        // Nowhere to go: count it as taken so the sender is not stalled.
        outlet_.consumed(bytes.size());
        return;
    }
    out_.append(bytes);
    // Try at once: most writes to a local socket complete immediately.
    on_stream(EPOLLOUT);
}

void Peer::eof_in() {
    if (in_eof_) return;
    in_eof_ = true;
    if (stream_fd_ < 0 && !connecting_) {
        // '5' with nothing connected (or after it failed): no data will
        // ever come back, so end that direction too or the client's
        // channel would wait for ever.
        outlet_.eof();
        return;
    }
    if (stream_fd_ >= 0 && !connecting_ && out_off_ == out_.size() && !wr_shut_) {
        shutdown(stream_fd_, SHUT_WR);
        wr_shut_ = true;
    }
}

void Peer::outlet_room() {
    files_.outlet_room();
    stream_events();
}

}  // namespace vesk
