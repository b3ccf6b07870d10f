// TCP link attempts on the event loop: a non-blocking connect watched by
// epoll, the key check on a thread of its own, and the listener that admits
// unauthenticated connections within its bounds.
#include "tcplink.h"

#include <arpa/inet.h>
#include <cerrno>
#include <iterator>
#include <cstring>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include "keyfile.h"

namespace vesk::tcplink {

// ---- Connect ----

Connect::Connect(Loop &loop, const std::string &where, int timeout_ms, Done done)
    : loop_(loop), where_(where), done_(std::move(done)) {
    std::string why;
    if (!transport::tcp_resolve(where, &addresses_, &why)) {
        // The callback never runs inside the constructor.
        timer_ = loop_.after(0, [this, why] {
            timer_ = 0;
            finish(-1, EINVAL, why);
        });
        return;
    }
    // The first start, too, runs on the loop: its failure calls back.
    start_timer_ = loop_.after(0, [this] {
        start_timer_ = 0;
        try_next(0, "");
    });
    timer_ = loop_.after(timeout_ms, [this, timeout_ms] {
        timer_ = 0;
        finish(-1, ETIMEDOUT,
               "cannot connect to " + where_ + ": no answer within " +
                   std::to_string(timeout_ms / 1000) + " s");
    });
}

Connect::~Connect() {
    loop_.cancel(timer_);
    loop_.cancel(start_timer_);
    if (watched_) loop_.remove(fd_);
    if (fd_ >= 0) close(fd_);
}

std::string Connect::label(const transport::Address &to) const {
    if (addresses_.size() < 2) return where_;
    return where_ + " (" +
           transport::address_text(reinterpret_cast<const sockaddr *>(&to.sa), false) + ")";
}

void Connect::try_next(int err, const std::string &why) {
    if (watched_) loop_.remove(fd_);
    watched_ = false;
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    while (next_ < addresses_.size()) {
        const transport::Address &to = addresses_[next_++];
        std::string at = label(to);
        fd_ = transport::tcp_connect_start(to, at, &err, &why_);
        if (fd_ < 0) continue;
        watched_ = loop_.add(fd_, EPOLLOUT, [this](uint32_t) { on_ready(); });
        if (watched_) return;
        err = errno;
        why_ = "cannot connect to " + at + ": " + strerror(err);
        close(fd_);
        fd_ = -1;
    }
    finish(-1, err, why_.empty() ? why : why_);
}

void Connect::on_ready() {
    int err = transport::tcp_connect_error(fd_);
    if (err != 0) {
        why_ = "cannot connect to " + label(addresses_[next_ - 1]) + ": " + strerror(err);
        return try_next(err, why_);
    }
    finish(fd_, 0, "");
}

void Connect::finish(int fd, int err, const std::string &why) {
    loop_.cancel(timer_);
    timer_ = 0;
    loop_.cancel(start_timer_);
    start_timer_ = 0;
    if (watched_) loop_.remove(fd_);
    watched_ = false;
    if (fd != fd_ && fd_ >= 0) close(fd_);
    fd_ = -1;
    // The callback may destroy this object: nothing of it is touched after.
    Done done = std::move(done_);
    done(fd, err, why);
}

// ---- KeyCheck ----

KeyCheck::KeyCheck(Loop &loop, int fd, const std::string &key_path, bool initiator, int deadline_ms,
                   int answer_ms, Done done)
    : loop_(loop),
      fd_(fd),
      key_path_(key_path),
      initiator_(initiator),
      deadline_ms_(deadline_ms),
      done_(std::move(done)),
      shared_(std::make_shared<Shared>()) {
    shared_->owner = this;
    if (answer_ms <= 0) {
        begin();
        return;
    }
    awaiting_ = loop_.add(fd_, EPOLLIN, [this](uint32_t) {
        loop_.remove(fd_);
        awaiting_ = false;
        loop_.cancel(timer_);
        timer_ = 0;
        begin();
    });
    if (!awaiting_) {
        std::string why = std::string("key check failed: ") + strerror(errno);
        timer_ = loop_.after(0, [this, why] { fail_now(why); });
        return;
    }
    timer_ = loop_.after(answer_ms, [this, answer_ms] {
        fail_now("no answer from the far end within " + std::to_string(answer_ms / 1000) + " s");
    });
}

KeyCheck::~KeyCheck() {
    loop_.cancel(timer_);
    if (awaiting_) loop_.remove(fd_);
    shared_->owner = nullptr;
    if (worker_.joinable()) {
        // Wakes the thread out of its wait on the socket at once.
        if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
        worker_.join();
    }
    if (fd_ >= 0) close(fd_);
}

void KeyCheck::begin() {
    std::shared_ptr<Mailbox> box = loop_.mailbox();
    worker_ = std::thread(
        [shared = shared_, box, fd = fd_, key_path = key_path_, initiator = initiator_] {
            shared->ok = transport::key_check(fd, key_path, initiator, &shared->ends, &shared->why,
                                              &shared->fault);
            box->post([shared] {
                if (shared->owner) shared->owner->finish();
            });
        });
    timer_ = loop_.after(deadline_ms_, [this] {
        timer_ = 0;
        cut_short();
    });
}

void KeyCheck::cut_short() {
    timed_out_ = true;
    shutdown(fd_, SHUT_RDWR);
}

void KeyCheck::fail_now(const std::string &why) {
    timer_ = 0;
    if (awaiting_) loop_.remove(fd_);
    awaiting_ = false;
    shared_->owner = nullptr;
    close(fd_);
    fd_ = -1;
    // The callback may destroy this object: nothing of it is touched after.
    Done done = std::move(done_);
    done(false, transport::LinkEnds{}, why);
}

void KeyCheck::finish() {
    worker_.join();
    loop_.cancel(timer_);
    timer_ = 0;
    shared_->owner = nullptr;
    bool ok = shared_->ok && !timed_out_;
    std::string why = shared_->why;
    fault_ = shared_->fault;
    if (timed_out_) {
        // A far end that stalls may be frozen or overloaded: no key failure.
        why = "no answer from the far end within " + std::to_string(deadline_ms_ / 1000) + " s";
        fault_ = transport::CheckFault::kOther;
    }
    if (!ok) close(fd_);
    fd_ = -1;
    transport::LinkEnds ends = shared_->ends;
    // The callback may destroy this object: nothing of it is touched after.
    Done done = std::move(done_);
    done(ok, ends, why);
}

// ---- Listener ----

namespace {
// A listener rests this long when it runs out of descriptors, ms.
constexpr int kNoDescriptorRestMs = 1000;
// Connections taken per wake-up, so that a flood cannot keep the loop from
// everything else; the rest are taken on the next turn.
constexpr int kAcceptsPerWake = 64;
// At most this many lines per this much time about refused link
// connections, ms and lines.
constexpr int kRefusalLogMs = 60 * 1000;
constexpr unsigned kRefusalLogBurst = 10;
}  // namespace

std::string source_of(const sockaddr *sa) {
    if (sa->sa_family != AF_INET6) return transport::address_text(sa, false);
    const auto *six = reinterpret_cast<const sockaddr_in6 *>(sa);
    if (IN6_IS_ADDR_V4MAPPED(&six->sin6_addr)) {
        sockaddr_in four{};
        four.sin_family = AF_INET;
        std::memcpy(&four.sin_addr, &six->sin6_addr.s6_addr[12], sizeof four.sin_addr);
        return transport::address_text(reinterpret_cast<const sockaddr *>(&four), false);
    }
    in6_addr net = six->sin6_addr;
    std::memset(&net.s6_addr[8], 0, 8);
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(AF_INET6, &net, text, sizeof text);
    return std::string(text) + "/64";
}

size_t make_room(const std::vector<Seat> &seats, std::string_view source, int64_t now_ms) {
    size_t from_source = 0;
    for (const Seat &s : seats) from_source += s.source == source;
    bool source_full = from_source >= kSeatsPerSource;
    if (!source_full && seats.size() < kSeatsMax) return seats.size();
    for (size_t i = 0; i < seats.size(); i++)
        if ((!source_full || seats[i].source == source) && seats[i].talking_since_ms < 0) return i;
    for (size_t i = 0; i < seats.size(); i++)
        if ((!source_full || seats[i].source == source) &&
            now_ms - seats[i].talking_since_ms >= kTalkGraceMs)
            return i;
    return kNoRoom;
}

Listener::Listener(Loop &loop, int listen_fd, std::string key_path, int alive_ms, int check_ms,
                   Linked linked)
    : loop_(loop),
      fd_(listen_fd),
      key_path_(std::move(key_path)),
      alive_ms_(alive_ms),
      check_ms_(check_ms),
      linked_(std::move(linked)),
      refusals_(kRefusalLogMs, kRefusalLogBurst),
      evictions_(kRefusalLogMs, kRefusalLogBurst) {
    loop_.add(fd_, EPOLLIN, [this](uint32_t) { on_ready(); });
}

Listener::~Listener() {
    loop_.cancel(rest_timer_);
    clear();
    loop_.remove(fd_);
    close(fd_);
}

void Listener::clear() {
    while (!conns_.empty()) drop(conns_.begin(), "", "");
}

void Listener::set_taken(bool taken) {
    taken_ = taken;
    if (taken) clear();
}

void Listener::rest(int ms) {
    loop_.modify(fd_, 0);
    loop_.cancel(rest_timer_);
    rest_timer_ = loop_.after(ms, [this] {
        rest_timer_ = 0;
        loop_.modify(fd_, EPOLLIN);
    });
}

void Listener::on_ready() {
    for (int n = 0; n < kAcceptsPerWake; n++) {
        sockaddr_storage sa{};
        socklen_t len = sizeof sa;
        int fd =
            accept4(fd_, reinterpret_cast<sockaddr *>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            log::error("link accept failed: %s", strerror(errno));
            return rest(kNoDescriptorRestMs);
        }
        const auto *from = reinterpret_cast<const sockaddr *>(&sa);
        take(fd, source_of(from), transport::address_text(from));
    }
}

void Listener::drop(Conns::iterator it, const char *what, const std::string &why) {
    if (!why.empty())
        (std::strcmp(what, "closed") == 0 ? evictions_ : refusals_)
            .error("link connection from %s %s: %s", it->who.c_str(), what, why.c_str());
    loop_.cancel(it->timer);
    loop_.remove(it->fd);
    close(it->fd);
    conns_.erase(it);
}

void Listener::take(int fd, const std::string &source, const std::string &who) {
    if (taken_) {
        // The connecting end hears why, rather than a bare close it would
        // take for a key failure.
        refusals_.error("link connection from %s refused: a link is up already", who.c_str());
        if (transport::send_busy(fd)) shutdown(fd, SHUT_WR);
        close(fd);
        return;
    }
    std::vector<Seat> seats;
    seats.reserve(conns_.size());
    for (const Conn &c : conns_) seats.push_back(Seat{c.source, c.talking_since_ms});
    size_t room = make_room(seats, source, monotonic_ms());
    if (room == kNoRoom) {
        refusals_.error(
            "link connection from %s refused: every place it may take is held by "
            "a connection still within its key check",
            who.c_str());
        close(fd);
        return;
    }
    if (room < conns_.size())
        drop(std::next(conns_.begin(), std::ptrdiff_t(room)), "closed",
             "it makes room for one from " + who);
    log::info("link connection from %s", who.c_str());
    transport::tcp_tune(fd, alive_ms_);
    auto it = conns_.emplace(conns_.end());
    it->fd = fd;
    it->source = source;
    it->who = who;
    if (!loop_.add(fd, EPOLLIN, [this, it](uint32_t) { on_readable(it); })) {
        close(fd);
        conns_.erase(it);
        return;
    }
    it->timer = loop_.after(kQuietMaxMs, [this, it] {
        it->timer = 0;
        drop(it, "ended",
             "no answer from the far end within " + std::to_string(kQuietMaxMs / 1000) + " s");
    });
    std::string hello, why;
    if (!it->exchange.start(&hello, &why)) return drop(it, "ended", why);
    // A fresh socket's buffer takes the 37 bytes whole.
    if (send(fd, hello.data(), hello.size(), MSG_NOSIGNAL | MSG_DONTWAIT) != ssize_t(hello.size()))
        return drop(it, "ended", "the far end closed the connection during the key check");
}

void Listener::on_readable(Conns::iterator it) {
    constexpr size_t kHello = transport::Acceptor::kMessageBytes;
    for (;;) {
        size_t want = (it->got < kHello ? kHello : sizeof it->in) - it->got;
        // Exactly the exchange's bytes: what follows belongs to the frames.
        ssize_t n = recv(it->fd, it->in + it->got, want, MSG_DONTWAIT);
        if (n == 0)
            return drop(it, "ended", "the far end closed the connection during the key check");
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            return drop(it, "ended", std::string("key check failed: ") + strerror(errno));
        }
        if (it->got == 0) {
            it->talking_since_ms = monotonic_ms();
            loop_.cancel(it->timer);
            it->timer = loop_.after(check_ms_, [this, it] {
                it->timer = 0;
                drop(
                    it, "ended",
                    "no answer from the far end within " + std::to_string(check_ms_ / 1000) + " s");
            });
        }
        size_t had = it->got;
        it->got += size_t(n);
        std::string why;
        if (had < transport::Acceptor::kHeaderBytes &&
            !transport::Acceptor::hello_start_ok(it->in, it->got))
            return drop(it, "ended", "key check failed: the far end does not speak the key check");
        if (it->got == kHello) {
            std::string key, reply;
            bool ok = keyfile::load(key_path_, &key, &why) &&
                      it->exchange.hello(it->in, key, &reply, &why);
            OPENSSL_cleanse(key.data(), key.size());
            if (!ok) return drop(it, "ended", why);
            // The socket's buffer takes the 37 bytes whole: nothing else
            // has been sent.
            if (send(it->fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT) !=
                ssize_t(reply.size()))
                return drop(it, "ended", "the far end closed the connection during the key check");
        } else if (it->got == sizeof it->in) {
            transport::LinkEnds ends;
            record::Keys keys;
            transport::CheckFault fault = transport::CheckFault::kOther;
            if (!it->exchange.proof(it->in + kHello, &keys, &why, &fault))
                // Whoever can reach the port can fail the check: that ends
                // this connection only.
                return drop(it, fault == transport::CheckFault::kWrongKey ? "refused" : "ended",
                            why);
            ends.in_fd = ends.out_fd = it->fd;
            ends.child = -1;
            ends.is_tcp = true;
            ends.keys = keys;
            std::string who = it->who;
            loop_.cancel(it->timer);
            loop_.remove(it->fd);
            conns_.erase(it);
            linked_(ends, who);
            return;
        }
    }
}

}  // namespace vesk::tcplink
