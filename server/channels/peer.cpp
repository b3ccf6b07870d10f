// The work a channel's commands do on this machine (see peer.h): files,
// statistics, connected streams, lookups and UDP pairs.
#include "peer.h"

#include <arpa/inet.h>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "log.h"
#include "lookup.h"
#include "session.h"

namespace vesk {
namespace {
// File data held before it is written even within one batch, bytes.
constexpr size_t kSinkBufferMax = 256 * 1024;
// Bytes read from a file or a stream per step.
constexpr size_t kReadChunk = 64 * 1024;
// The far machine itself, for an 'A' without a host.
constexpr const char *kSelfHost = "127.0.0.1";
// Bytes a file check reads before it lets other checks waiting for a worker
// have a turn: about 40 ms at 400 MB/s.
constexpr size_t kCheckSliceBytes = 16 * 1024 * 1024;
// Why a lookup failed before it began.
constexpr const char *kNoWorker = "No thread to look the name up";

// Strict decimal: the whole text, within [lo, hi].
bool parse_long(std::string_view s, long lo, long hi, long *out) {
    if (s.empty() || s.size() > 20) return false;
    std::string t(s);
    char *end = nullptr;
    errno = 0;
    long v = strtol(t.c_str(), &end, 10);
    if (errno != 0 || end == t.c_str() || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

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
      alive_(std::make_shared<bool>(true)),
      sink_(session.scope(remote)),
      source_(session.scope(remote)) {}

Peer::~Peer() {
    flush_sink();
    *alive_ = false;
    session_.workers().cancel(job_);
    close_stream();
    session_.udp_drop_owner(key_);
}

void Peer::reply(bool ok, std::string_view text) {
    outlet_.reply(ok, text);
}
void Peer::reply_errno(int err) {
    reply(false, strerror(err));
}

void Peer::request(char code, std::string_view arg) {
    // Data before a command is in the file before the command acts.
    flush_sink();
    switch (code) {
        case 'F':
            stats(arg);
            return;
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
            return status_async(arg);
        case '6': {
            files::Reply r = sink_.open_fresh(arg);
            return reply(r.ok, r.text);
        }
        case '1': {
            files::Reply r = sink_.open_at(arg);
            return reply(r.ok, r.text);
        }
        case 'E': {
            files::Reply r = sink_.seek(arg);
            return reply(r.ok, r.text);
        }
        case 'M':
            sink_.flush();
            return;
        case 'O': {
            files::Reply r = files::set_final(arg, session_.scope(remote_));
            if (!r.ok) log::info("setting mode and times failed: %s", r.text.c_str());
            sink_.close();
            return;
        }
        case '7': {
            files::Reply r = source_.open(arg);
            reply(r.ok, r.text);
            if (r.ok) pump_source();
            return;
        }
        case '2':
            source_.close();
            outlet_.data_reset();
            return;
        case 'Z': {
            files::Reply r = files::remove(arg, session_.scope(remote_));
            return reply(r.ok, r.text);
        }
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
            return resolve(arg);
        case 'V':
        case 'T':
        case 'W':
            return udp_command(code, arg);
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

void Peer::stats(std::string_view arg) {
    long what = 0;
    if (!arg.empty() && !parse_long(arg, LONG_MIN / 2, LONG_MAX / 2, &what))
        return reply(false, "Bad statistics request");
    char text[512];
    if (what == proto::kStatsVersion) {
        const frame::Hello &far = session_.far_hello();
        snprintf(text, sizeof text, "VERSION %lu %lx %s %u", session_.reported_version(),
                 (unsigned long)far.addr, far.host.empty() ? "remotehost" : far.host.c_str(),
                 far.uid);
    } else if (what == proto::kStatsChannel) {
        snprintf(text, sizeof text, "%u", chan_id(key_));
    } else if (what == proto::kStatsClock) {
        timeval tv;
        gettimeofday(&tv, nullptr);
        snprintf(text, sizeof text, "%ld %ld", (long)tv.tv_sec, (long)tv.tv_usec);
    } else {
        snprintf(text, sizeof text, "veskd %s channels %zu rtt_us %lld", session_.host().c_str(),
                 session_.channel_count(), (long long)session_.rtt_us());
    }
    reply(true, text);
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
    if (sink_.is_open()) {
        sink_buf_.append(bytes);
        outlet_.consumed(bytes.size());
        if (sink_buf_.size() >= kSinkBufferMax) {
            flush_sink();
        } else if (!sink_flush_pending_) {
            sink_flush_pending_ = true;
            std::weak_ptr<bool> alive = alive_;
            session_.loop().defer([this, alive] {
                auto a = alive.lock();
                if (a && *a) flush_sink();
            });
        }
        return;
    }
    if (stream_fd_ < 0 || connecting_ || in_eof_) {
        // Nowhere to go: count it as taken so the sender is not stalled.
        outlet_.consumed(bytes.size());
        return;
    }
    out_.append(bytes);
    // Try at once: most writes to a local socket complete immediately.
    on_stream(EPOLLOUT);
}

void Peer::flush_sink() {
    sink_flush_pending_ = false;
    if (sink_buf_.empty()) return;
    if (sink_.is_open()) sink_.write(sink_buf_.data(), sink_buf_.size());
    sink_buf_.clear();
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
    if (source_.is_open()) pump_source();
    stream_events();
}

void Peer::pump_source() {
    char buf[kReadChunk];
    while (source_.is_open() && outlet_.data_room()) {
        ssize_t r = source_.read(buf, sizeof buf);
        if (r > 0) {
            outlet_.data({buf, size_t(r)});
            continue;
        }
        // End of file, or a read error: the client sees the stream end and
        // compares sizes.
        if (r < 0) log::info("channel %u: file read failed", chan_id(key_));
        source_.close();
        outlet_.eof();
    }
}

template <typename Result>
bool Peer::off_loop(Workers::Kind kind,
                    std::function<std::optional<Result>(const std::atomic<bool> &)> work,
                    std::function<void(Result)> done) {
    assert(!job_);  // one request in service per channel
    Workers::Origin origin = remote_ ? Workers::Origin::Far : Workers::Origin::Local;
    job_ = session_.workers().submit(
        origin, kind,
        [this, work = std::move(work), done = std::move(done)](
            const std::atomic<bool> &cancelled) mutable -> std::optional<Workers::Done> {
            std::optional<Result> result = work(cancelled);
            if (!result) return std::nullopt;
            // On the loop thread, and only while the job stands: the Peer
            // withdraws it when it goes.
            return Workers::Done(
                [this, r = std::make_shared<Result>(std::move(*result)), done = std::move(done)] {
                    job_.reset();
                    done(std::move(*r));
                });
        });
    return job_ != nullptr;
}

void Peer::status_async(std::string_view arg) {
    // The checksum reads the file: a large one would stop every channel for
    // as long as that takes, so it runs off the loop, in slices, waiting its
    // turn when the workers are busy.
    auto check = std::make_shared<files::Check>(arg, session_.scope(remote_));
    bool started = off_loop<files::Reply>(
        Workers::Kind::FileCheck,
        [check](const std::atomic<bool> &) -> std::optional<files::Reply> {
            if (!check->step(kCheckSliceBytes)) return std::nullopt;
            return check->reply();
        },
        [this](files::Reply r) { reply(r.ok, r.text); });
    // No thread at all: a probe that failed would pass for a missing file
    // (and an upload would then overwrite it), so answer it here, slowly.
    if (!started) {
        while (!check->step(SIZE_MAX)) {
        }
        reply(check->reply().ok, check->reply().text);
    }
}

void Peer::resolve(std::string_view arg) {
    std::string name(arg);
    if (name.empty() || name == "remotehost" || name == session_.host()) {
        char text[320];
        snprintf(text, sizeof text, "%lx %s", (unsigned long)session_.addr(),
                 session_.host().c_str());
        return reply(true, text);
    }
    if (name.size() > 255) return reply(false, "Host name too long");
    bool started = off_loop<lookup::Result>(
        Workers::Kind::Lookup,
        [name](const std::atomic<bool> &) -> std::optional<lookup::Result> {
            return lookup::canonical(name);
        },
        [this](lookup::Result r) { reply(r.ok, r.text); });
    if (!started) reply(false, kNoWorker);
}

void Peer::udp_command(char code, std::string_view arg) {
    size_t sp = arg.find(' ');
    long n;
    if (sp == std::string_view::npos || !parse_long(arg.substr(0, sp), 0, UINT32_MAX, &n))
        return reply(false, "Bad UDP request");
    std::string_view rest = arg.substr(sp + 1);
    // The pair number was given out by the veskd whose client asks: ours
    // when the request is local, the far end's when it came over the link.
    ChanKey pair = chan_key(uint32_t(n), !remote_);
    std::string why;
    bool ok = false;
    if (code == 'V') {
        ok = session_.udp_create(pair, key_, &why);
    } else if (code == 'T') {
        // "PORT" binds loopback; "PORT ADDR" the address the client's
        // VESKBIND named.
        size_t sp2 = rest.find(' ');
        long port;
        if (!parse_long(rest.substr(0, sp2), 0, 65535, &port))
            return reply(false, "Bad port number");
        in_addr local{};
        local.s_addr = htonl(INADDR_LOOPBACK);
        if (sp2 != std::string_view::npos &&
            !inet_aton(std::string(rest.substr(sp2 + 1)).c_str(), &local))
            return reply(false, "Bad bind address");
        ok = session_.udp_bind(pair, local.s_addr, uint16_t(port), &why);
    } else {
        // ":a.b.c.d:port"
        if (rest.empty() || rest[0] != ':') return reply(false, "Bad UDP target");
        rest.remove_prefix(1);
        size_t colon = rest.rfind(':');
        long port;
        if (colon == std::string_view::npos || !parse_long(rest.substr(colon + 1), 0, 65535, &port))
            return reply(false, "Bad UDP target");
        std::string host(rest.substr(0, colon));
        in_addr a;
        if (!inet_aton(host.c_str(), &a)) return reply(false, "Bad UDP target address");
        ok = session_.udp_aim(pair, a.s_addr, uint16_t(port), &why);
    }
    reply(ok, ok ? "OK" : why);
}

}  // namespace vesk
