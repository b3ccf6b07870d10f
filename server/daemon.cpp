// veskd's lifecycle: the state machine that opens links, reacts to their
// end, and keeps the client socket across them (what becomes of the ends
// after a session: daemon_ends.cpp).
#include "daemon.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include "descriptors.h"
#include "keyfile.h"

namespace vesk {
namespace {
// A TCP connect that gets no answer at all gives up after this, ms.
constexpr int kConnectTimeoutMs = 10 * 1000;
// Without --reconnect, a refused first connect is tried again for this long,
// so that the two ends may be started in either order, ms ...
constexpr int kConnectRetryMs = 10 * 1000;
// ... this far apart, ms.
constexpr int kConnectRetryPauseMs = 200;
// The key check must be over this soon after it starts, ms: a stranger
// that stalls in it holds a listener's check no longer.
constexpr int kKeyCheckMs = 5 * 1000;
// The connecting end's check starts with the listener's first bytes, which
// must come within this, ms: a listener that takes its time to accept does
// not eat into the exchange's own deadline.
constexpr int kKeyAnswerMs = 10 * 1000;
// A connection to a listener that has begun the key check must finish it
// this soon, ms: a peer needs one round trip, a stranger that talks slowly
// holds its place no longer.
constexpr int kListenCheckMs = 3 * 1000;
// Reconnect backoff: the first wait and the longest, ms.
constexpr int kBackoffFirstMs = 1000;
constexpr int kBackoffMaxMs = 60 * 1000;
// A link up at least this long starts the backoff afresh when it ends, ms.
constexpr int kStableUpMs = 10 * 1000;
// How often the daemon looks after its children and a paused socket, ms.
constexpr int kTickMs = 1000;
// The --alive defaults, ms (see default_alive_ms).
constexpr int kAliveTcpMs = 30 * 1000;
constexpr int kAliveCheckedMs = 90 * 1000;
}  // namespace

int backoff_ms(int attempt, uint32_t random) {
    int64_t base = kBackoffFirstMs;
    for (int i = 0; i < attempt && base < kBackoffMaxMs; i++) base *= 2;
    base = std::min<int64_t>(base, kBackoffMaxMs);
    int64_t spread = base / 4;
    int64_t ms = base - spread + int64_t(random % uint32_t(2 * spread + 1));
    return int(std::min<int64_t>(ms, kBackoffMaxMs));
}

int default_alive_ms(transport::LinkKind kind, bool checked) {
    return checked && transport::carries_packets(kind) ? kAliveCheckedMs : kAliveTcpMs;
}

Daemon::Daemon(Loop &loop, Config config, LinkOptions options)
    : loop_(loop),
      config_(std::move(config)),
      opt_(std::move(options)),
      gate_(loop, config_.share, config_.socket_path,
            [this](int fd, const ucred &cred) { on_client(fd, cred); }),
      desk_(loop),
      rng_(std::random_device{}()) {}

Daemon::~Daemon() {
    loop_.cancel(timer_);
    loop_.cancel(bury_timer_);
    check_.reset();
    listener_.reset();
    connect_.reset();
    retire_session(false);
    bury();
    gate_.close();
    reap_children(true);
}

bool Daemon::start(std::string *error) {
    using transport::LinkKind;
    LinkKind kind = opt_.link.kind;
    bool tcp = kind == LinkKind::kTcp || kind == LinkKind::kTcpListen;
    if (opt_.reconnect && kind == LinkKind::kTcpListen) {
        *error = "--reconnect is not for tcp-listen: links (such an end always listens again)";
        return false;
    }
    if (tcp) {
        if (opt_.key_path.empty()) {
            *error = "tcp links need --key FILE";
            return false;
        }
        std::string key;
        if (!keyfile::load(opt_.key_path, &key, error)) return false;
        OPENSSL_cleanse(key.data(), key.size());
    }
    loop_.set_tick(kTickMs, [this] {
        gate_.resume();
        reap_children(false);
        if (session_ && state_ == State::kUp)
            rates_.sample(monotonic_ms(), session_->link().bytes_in(),
                          session_->link().bytes_out());
    });
    desk_.set_status([this](bool json) { return status_report(json); });
    if (kind == LinkKind::kTcpListen) {
        int fd = transport::tcp_listen(opt_.link.where, error);
        if (fd < 0) return false;
        listener_ = std::make_unique<tcplink::Listener>(
            loop_, fd, opt_.key_path, config_.alive_ms, kListenCheckMs,
            [this](const transport::LinkEnds &ends, const std::string &who) {
                log::info("link connection from %s passed the key check", who.c_str());
                open_session(ends);
            });
        listen_again(true);
        // Clients (veskd --status among them) are answered from the start:
        // until the first link they hear that it is awaited, and where.
        return gate_.open(error);
    }
    // The first try runs on the loop, like every later one: whatever it
    // decides (even to end veskd at once) takes effect there.
    timer_ = loop_.after(0, [this] {
        timer_ = 0;
        first_try_ms_ = monotonic_ms();
        if (opt_.link.kind == transport::LinkKind::kStdio)
            return open_session(transport::stdio_ends());
        try_link();
    });
    return true;
}

void Daemon::stop() {
    if (state_ == State::kDone) return;
    log::notice("shutting down");
    set_state(State::kDone);
    loop_.cancel(timer_);
    check_.reset();
    listener_.reset();
    connect_.reset();
    if (session_) session_->shut_down();
    loop_.stop();
}

bool Daemon::legal_move(State from, State to) {
    if (to == State::kDone) return from != State::kDone;  // a stop or an exit, from anywhere
    switch (from) {
        case State::kStarting:
            return to == State::kConnecting || to == State::kListening || to == State::kGreeting;
        case State::kConnecting:
            return to == State::kKeyCheck || to == State::kGreeting || to == State::kWaiting;
        case State::kKeyCheck:
            return to == State::kGreeting || to == State::kWaiting;
        case State::kGreeting:
            return to == State::kUp || to == State::kWaiting || to == State::kListening;
        case State::kUp:
            // greeting: a new session on the same line, the far end's restarted.
            return to == State::kWaiting || to == State::kListening || to == State::kGreeting;
        case State::kWaiting:
            return to == State::kConnecting;
        case State::kListening:
            return to == State::kGreeting;
        case State::kDone:
            break;
    }
    return false;
}

void Daemon::set_state(State to) {
    if (to == state_) return;
    if (!legal_move(state_, to))
        return log::illegal_move("daemon", state_name(state_), state_name(to));
    log::info("daemon: %s -> %s", state_name(state_), state_name(to));
    // The report's "for how long" counts from the link's last change between
    // up, listening and neither: the tries of a long outage do not reset it.
    auto phase = [](State s) { return s == State::kUp ? 1 : s == State::kListening ? 2 : 0; };
    if (phase(to) != phase(state_)) {
        state_since_ms_ = monotonic_ms();
        state_since_s_ = time(nullptr);
    }
    state_ = to;
}

const char *Daemon::state_name(State s) {
    switch (s) {
        case State::kStarting:
            return "starting";
        case State::kConnecting:
            return "connecting";
        case State::kKeyCheck:
            return "key check";
        case State::kGreeting:
            return "greeting";
        case State::kUp:
            return "up";
        case State::kWaiting:
            return "down";
        case State::kListening:
            return "waiting";
        case State::kDone:
            break;
    }
    return "stopping";
}

std::string Daemon::status_report(bool json) {
    status::View v;
    int64_t now = monotonic_ms();
    v.now_ms = now;
    v.state = state_name(state_);
    v.state_ms = now - state_since_ms_;
    v.since_s = state_since_s_;
    v.reason = last_reason_;
    if (opt_.link.kind == transport::LinkKind::kTcpListen) v.listening_on = opt_.link.where;
    if (state_ == State::kWaiting && timer_ != 0)
        v.next_try_ms = std::max<int64_t>(0, next_try_ms_ - now);
    v.link = opt_.link_text;
    v.reconnections = ups_ > 0 ? ups_ - 1 : 0;
    if (session_ && state_ == State::kUp) {
        const Link &link = session_->link();
        const frame::Hello &far = link.far();
        v.up = true;
        v.far_host = far.host;
        if (!far_peer_.empty()) {
            v.far_addr = far_peer_;
        } else {
            char addr[INET_ADDRSTRLEN] = "?";
            in_addr a{htonl(far.addr)};
            inet_ntop(AF_INET, &a, addr, sizeof addr);
            v.far_addr = addr;
        }
        v.far_version = far.server_version;
        v.far_uid = far.uid;
        v.rtt_us = link.rtt_us();
        if (link.pace().rtt_at_us() > 0)
            v.rtt_age_ms = std::max<int64_t>(0, now - link.pace().rtt_at_us() / 1000);
        v.heard_ago_ms = std::max<int64_t>(0, now - link.heard_ms());
        v.bytes_in = link.bytes_in();
        v.bytes_out = link.bytes_out();
        rates_.last(now, v.bytes_in, v.bytes_out, &v.rate_in, &v.rate_out);
        int64_t up_ms = std::max<int64_t>(1, now - up_since_ms_);
        v.rate_in_up = v.bytes_in * 1000 / uint64_t(up_ms);
        v.rate_out_up = v.bytes_out * 1000 / uint64_t(up_ms);
        if (auto line = link.line_stats()) {
            v.checked = true;
            v.srtt_us = line->srtt_us;
            v.damaged = line->damaged;
            v.resent = line->retransmits;
        }
        v.far_channels = session_->far_channels();
        v.clients = session_->clients();
    }
    return json ? status::json(v) : status::text(v);
}

void Daemon::finish(int status) {
    status_ = status;
    set_state(State::kDone);
    loop_.stop();
}

// ---- opening a link ----

void Daemon::try_link() {
    using transport::LinkKind;
    switch (opt_.link.kind) {
        case LinkKind::kExec:
            return try_exec();
        case LinkKind::kSerial:
            return try_serial();
        case LinkKind::kStdio:
            // Only --reconnect comes here, with the ends kept: standard input
            // and output cannot be opened again, only taken up again.
            set_state(State::kConnecting);
            if (attempt_ > 0) log::info("greeting the far end again (try %d)", attempt_ + 1);
            return open_session(transport::LinkEnds(ends_));
        case LinkKind::kTcp:
        case LinkKind::kTcpListen:
            break;
    }
    try_connect();
}

void Daemon::try_serial() {
    set_state(State::kConnecting);
    // The device given up last time must be closed, its lock given back,
    // before it is opened again.
    bury();
    if (attempt_ > 0)
        log::info("opening %s (try %d)", opt_.link.serial.device.c_str(), attempt_ + 1);
    serial_ = std::make_unique<transport::SerialPort>(opt_.link.serial);
    std::string why;
    bool absent = false;
    if (!serial_->open(&why, &absent)) {
        serial_.reset();
        // An unplugged adapter comes back under the same name.
        if (absent && opt_.reconnect) why += " (waiting for it)";
        return attempt_failed(why);
    }
    transport::LinkEnds ends;
    ends.in_fd = serial_->fd();
    ends.out_fd = serial_->fd();
    ends.flow_bytes = opt_.link.serial.xonxoff;
    open_session(ends);
}

void Daemon::try_exec() {
    set_state(State::kConnecting);
    if (attempt_ > 0) log::info("starting the link command (try %d)", attempt_ + 1);
    transport::LinkEnds ends;
    std::string why;
    if (!transport::open_exec(opt_.link.command, &ends, &why)) return attempt_failed(why);
    open_session(ends);
}

void Daemon::try_connect(bool quick) {
    set_state(State::kConnecting);
    if (!quick) log::info("connecting to %s (try %d)", opt_.link.where.c_str(), attempt_ + 1);
    connect_ = std::make_unique<tcplink::Connect>(
        loop_, opt_.link.where, kConnectTimeoutMs,
        [this](int fd, int err, const std::string &why) { connected(fd, err, why); });
}

void Daemon::connected(int fd, int err, const std::string &why_given) {
    // why_given may live in the Connect, which goes now: the copy is the point.
    std::string why = why_given;  // NOLINT(performance-unnecessary-copy-initialization)
    connect_.reset();
    if (fd < 0) {
        if (!opt_.reconnect && !ever_up_ && err == ECONNREFUSED &&
            monotonic_ms() - first_try_ms_ < kConnectRetryMs) {
            timer_ = loop_.after(kConnectRetryPauseMs, [this] {
                timer_ = 0;
                try_connect(true);
            });
            return;
        }
        return attempt_failed(why);
    }
    transport::tcp_tune(fd, config_.alive_ms);
    check_key(fd);
}

void Daemon::check_key(int fd) {
    set_state(State::kKeyCheck);
    check_ = std::make_unique<tcplink::KeyCheck>(
        loop_, fd, opt_.key_path, true, kKeyCheckMs, kKeyAnswerMs,
        [this](bool ok, const transport::LinkEnds &ends, const std::string &why) {
            key_checked(ok, ends, why);
        });
}

void Daemon::key_checked(bool ok, const transport::LinkEnds &ends_given,
                         const std::string &why_given) {
    bool wrong_key = !ok && check_->fault() == transport::CheckFault::kWrongKey;
    // Both may live in the KeyCheck, which goes now: the copies are the point.
    std::string why = why_given;            // NOLINT(performance-unnecessary-copy-initialization)
    transport::LinkEnds ends = ends_given;  // NOLINT(performance-unnecessary-copy-initialization)
    check_.reset();
    if (ok) return open_session(ends);
    // A wrong key does not heal by waiting: --reconnect would retry forever.
    if (wrong_key) {
        log::error("%s; not trying again", why.c_str());
        last_reason_ = why;
        return finish(1);
    }
    attempt_failed(why);
}

void Daemon::open_session(const transport::LinkEnds &ends) {
    if (!set_nonblocking(ends.in_fd) || !set_nonblocking(ends.out_fd)) {
        std::string why = std::string("cannot make the link non-blocking: ") + strerror(errno);
        close_link_ends(ends);
        if (ends.child > 0) reap_later(ends.child, true);
        return attempt_failed(why);
    }
    set_state(State::kGreeting);
    ends_ = ends;
    far_peer_.clear();
    if (ends.is_tcp) {
        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        if (getpeername(ends.in_fd, reinterpret_cast<sockaddr *>(&peer), &len) == 0)
            far_peer_ = transport::address_text(reinterpret_cast<sockaddr *>(&peer));
    }
    // Further link connections are refused while this link lives.
    if (listener_) listener_->set_taken(true);
    session_ = std::make_unique<Session>(loop_, config_, ends, *this);
    // A TCP link's records are sealed with keys this connection's key check
    // derived from fresh nonces: a new link never reuses an old one's keys.
    if (ends.keys && !session_->link().protect(*ends.keys)) {
        retire_session(true);
        return attempt_failed("cannot set up the link's encryption");
    }
    ends_.keys.reset();  // the link holds what it needs
    session_->start();
}

void Daemon::attempt_failed(const std::string &why) {
    last_reason_ = why;
    if (!opt_.reconnect) {
        log::error("%s", why.c_str());
        return finish(1);
    }
    if (attempt_ == 0 && !ever_up_) {
        log::error("%s; trying again with backoff", why.c_str());
    } else {
        log::info("try %d failed: %s", attempt_ + 1, why.c_str());
    }
    schedule_retry();
}

void Daemon::schedule_retry() {
    set_state(State::kWaiting);
    int ms = backoff_ms(attempt_, uint32_t(rng_()));
    attempt_++;
    log::info("next try in %.1f s", ms / 1000.0);
    next_try_ms_ = monotonic_ms() + ms;
    timer_ = loop_.after(ms, [this] {
        timer_ = 0;
        try_link();
    });
}

// ---- the link's life ----

void Daemon::session_up(const frame::Hello &far) {
    set_state(State::kUp);
    up_since_ms_ = monotonic_ms();
    ups_++;
    rates_.clear();
    ever_up_ = true;
    last_reason_.clear();
    far_host_ = far.host;
    desk_.set_reason("link to " + far_host_ + " is down, reconnecting");
    // Who came while it was down heard why; the rest start afresh.
    desk_.close_all();
    if (gate_.is_open()) return;
    std::string why;
    if (!gate_.open(&why)) {
        log::error("%s", why.c_str());
        session_->shut_down();
        return finish(1);
    }
    log::info("serving on %s", gate_.path().c_str());
}

void Daemon::session_down(bool clean, const std::string &why_given) {
    std::string why = why_given;
    // The far end was restarted on a line that still works: its first packet
    // comes again until a new session here takes it.
    // A serial line outlives the far veskd: after its goodbye, the next one
    // there is greeted the same way.
    bool restarted = session_ && (session_->link().far_restarted() || (clean && serial_));
    // The link's end as the far end's going reads the same as the local link
    // command's: when the command has ended, that is what happened.
    if (!clean && !restarted && ends_.child > 0) {
        std::string ended = command_ended();
        if (!ended.empty()) why = "link lost: " + ended;
    }
    if (!clean && !restarted && serial_ && serial_->hung_up())
        why = "link lost: the serial line hung up";
    last_reason_ = why;
    bool was_up = state_ == State::kUp;
    bool listening = opt_.link.kind == transport::LinkKind::kTcpListen;
    bool stdio = opt_.link.kind == transport::LinkKind::kStdio;
    // Standard input and output cannot be opened again: a stdio end tries
    // again on them only while they still work.
    bool retry = opt_.reconnect && !(stdio && transport::ends_hung_up(ends_));
    retire_session(!clean, restarted || (stdio && retry));
    if (state_ == State::kDone) return;
    if (was_up && monotonic_ms() - up_since_ms_ >= kStableUpMs) attempt_ = 0;
    if (restarted) {
        log::notice("%s; greeting it on the same line", why.c_str());
        return open_session(transport::LinkEnds(ends_));
    }
    // A try that never came up is logged as a try; every other end always.
    if (!was_up && retry) return attempt_failed(why);
    if (clean) {
        log::notice("%s", why.c_str());
    } else {
        log::error("%s", why.c_str());
    }
    if (listening) return listen_again(true);
    if (!retry) return finish(clean ? 0 : 1);
    log::notice("link to %s is down, reconnecting", far_host_.c_str());
    schedule_retry();
}

void Daemon::on_client(int fd, const ucred &cred) {
    if (state_ == State::kUp && session_) return session_->adopt(fd, cred);
    desk_.take(fd);
}

// ---- tcp-listen: ----

void Daemon::listen_again(bool announce) {
    set_state(State::kListening);
    desk_.set_reason(far_host_.empty()
                         ? "no link yet: waiting for the far end on " + opt_.link.where
                         : "link to " + far_host_ + " is down: waiting for it on " +
                               opt_.link.where);
    listener_->set_taken(false);
    if (announce) log::notice("listening on %s for the far end", opt_.link.where.c_str());
}

}  // namespace vesk
