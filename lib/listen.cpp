// TCP listening (on loopback unless VESKBIND says otherwise) and the
// accept-and-relay loop of the port forwarders.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "descriptors.h"
#include "failure.h"
#include "hostport.h"
#include "oneway.h"
#include "vesknet.h"

namespace {

// Names the address forwarded ports listen on, like ssh's bind_address.
constexpr const char *kBindVariable = "VESKBIND";
constexpr int kPortMin = 1;
constexpr size_t kRelayBufBytes = 64 * 1024;  // per direction; bounds memory per connection
constexpr int kMaxEvents = 64;
constexpr int kNoTimeout = -1;  // ms
// The forwarders ask for a backlog of 5, but their callback connects to the
// link server before the next accept, so a burst of clients would overflow
// it and wait out SYN retransmissions (1 s, 3 s, 7 s ...).  The queue is
// deepened once serving starts; the kernel caps it at somaxconn.
constexpr int kServingBacklog = SOMAXCONN;

struct Relay {
    int fd[2];
    bool dead = false;  // closed; storage kept until the current event batch is over
    // dir[i]: fd[i] -> fd[1 - i]
    vesk::OneWay dir[2] = {vesk::OneWay(kRelayBufBytes), vesk::OneWay(kRelayBufBytes)};
};

// epoll user data: listeners are tagged so they are never confused with relays.
struct Tag {
    bool listener;
    int index;     // listener index
    Relay *relay;  // relay owner
    int side;      // which fd of the relay
};

}  // namespace

int vesk_bind_address(struct in_addr *addr) {
    in_addr chosen{};
    chosen.s_addr = htonl(INADDR_LOOPBACK);
    const char *text = getenv(kBindVariable);
    if (text != nullptr && text[0] != '\0') {
        if (inet_pton(AF_INET, text, &chosen) != 1) {
            vesk::set_failure("%s=%s is not an IPv4 address", kBindVariable, text);
            errno = EINVAL;
            return -1;
        }
        // Binding port 0 tells whether the address is one of this machine's
        // before any forward is set up.
        int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr = chosen;
        if (probe < 0 || bind(probe, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0) {
            int saved = errno;
            if (probe >= 0) close(probe);
            vesk::set_failure("%s=%s is not an address of this machine: %s", kBindVariable, text,
                              strerror(saved));
            errno = saved;
            return -1;
        }
        close(probe);
    }
    *addr = chosen;
    return 0;
}

int bind_tcp_listen(int port, int backlog) {
    if (port < kPortMin || port > vesk::proto::kPortMax) return -1;
    in_addr local{};
    if (vesk_bind_address(&local) < 0) return -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = local;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return saved == EADDRINUSE ? -2 : -1;
    }
    if (listen(fd, backlog) < 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return saved == EADDRINUSE ? -2 : -1;
    }
    return fd;
}

namespace {

class Loop {
  public:
    explicit Loop(int ep) : ep_(ep) {}
    ~Loop() {
        for (auto &kv : relays_) {
            close(kv.first->fd[0]);
            close(kv.first->fd[1]);
        }
        close(ep_);
    }

    bool add_listener(int index, int fd) {
        auto tag = std::make_unique<Tag>(Tag{true, index, nullptr, 0});
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = tag.get();
        if (epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev) < 0) return false;
        listener_fd_[tag.get()] = fd;
        listeners_.push_back(std::move(tag));
        return true;
    }

    size_t live_listeners() const { return listener_fd_.size(); }

    void pause_listener(Tag *tag) {
        epoll_event ev{};
        ev.events = 0;
        ev.data.ptr = tag;
        if (epoll_ctl(ep_, EPOLL_CTL_MOD, listener_fd_[tag], &ev) == 0) paused_.push_back(tag);
    }

    void resume_listeners() {
        for (Tag *tag : paused_) {
            auto it = listener_fd_.find(tag);
            if (it == listener_fd_.end()) continue;
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.ptr = tag;
            epoll_ctl(ep_, EPOLL_CTL_MOD, it->second, &ev);
        }
        paused_.clear();
    }

    void accept_on(Tag *tag, int (*callback)(int, sockaddr_in *)) {
        int lfd = listener_fd_[tag];
        sockaddr_in peer{};
        socklen_t plen = sizeof peer;
        int cfd = accept4(lfd, reinterpret_cast<sockaddr *>(&peer), &plen, SOCK_CLOEXEC);
        if (cfd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // The pending connection stays queued; a level-triggered
                // listener would report it again at once and spin, so stop
                // watching it until a relay has given its descriptors back.
                pause_listener(tag);
                return;
            }
            if (errno == EAGAIN || errno == EINTR || errno == ECONNABORTED) return;
            epoll_ctl(ep_, EPOLL_CTL_DEL, lfd, nullptr);
            listener_fd_.erase(tag);
            return;
        }
        peer.sin_port = ntohs(peer.sin_port);
        int rfd = callback(tag->index, &peer);
        if (rfd < 0) {
            close(cfd);
            return;
        }
        auto relay = std::make_unique<Relay>();
        relay->fd[0] = cfd;
        relay->fd[1] = rfd;
        set_nonblock(cfd);
        set_nonblock(rfd);
        Relay *r = relay.get();
        auto tags = std::make_unique<Tag[]>(2);
        for (int side = 0; side < 2; ++side) {
            tags[side] = Tag{false, 0, r, side};
            epoll_event ev{};
            ev.events = 0;
            ev.data.ptr = &tags[side];
            epoll_ctl(ep_, EPOLL_CTL_ADD, r->fd[side], &ev);
        }
        relays_.emplace(r, Owned{std::move(relay), std::move(tags)});
        pump(r, 0, 0);
    }

    // Moves whatever can move without blocking, then re-arms interest.
    // events are what epoll reported for fd[side].
    void pump(Relay *r, int side, uint32_t events) {
        if (events & (EPOLLHUP | EPOLLERR)) {
            // Hang-up and error are reported whatever the interest set, so a
            // relay still waiting for the other side to speak would be woken
            // again and again.  Nothing more can be delivered to this side:
            // pending bytes get one last attempt below, which fails; with none
            // pending that direction ends here.
            vesk::OneWay &into = r->dir[1 - side];
            if (!into.done() && into.queue().empty()) {
                into.stop();
                shutdown(r->fd[1 - side], SHUT_RD);
            }
        }
        for (int i = 0; i < 2; ++i) r->dir[i].pump(r->fd[i], r->fd[1 - i]);
        if (r->dir[0].done() && r->dir[1].done()) {
            close(r->fd[0]);
            close(r->fd[1]);
            resume_listeners();
            r->dead = true;
            auto it = relays_.find(r);
            graveyard_.push_back(std::move(it->second));
            relays_.erase(it);
            return;
        }
        for (int s = 0; s < 2; ++s) {
            uint32_t want = 0;
            if (r->dir[s].wants_read()) want |= EPOLLIN | EPOLLRDHUP;  // s is the source
            if (r->dir[1 - s].wants_write()) want |= EPOLLOUT;         // s is the destination
            epoll_event ev{};
            ev.events = want;
            ev.data.ptr = &relays_[r].tags[s];
            epoll_ctl(ep_, EPOLL_CTL_MOD, r->fd[s], &ev);
        }
    }

    static bool alive(const Tag *tag) { return !tag->relay->dead; }
    void bury() { graveyard_.clear(); }

    int ep_;

  private:
    struct Owned {
        std::unique_ptr<Relay> relay;
        std::unique_ptr<Tag[]> tags;
    };
    std::vector<std::unique_ptr<Tag>> listeners_;
    std::vector<Tag *> paused_;  // listeners not watched until a relay closes
    std::unordered_map<Tag *, int> listener_fd_;
    std::unordered_map<Relay *, Owned> relays_;
    std::vector<Owned> graveyard_;
};

}  // namespace

int do_connect(int n, int *fds, int (*callback)(int index, struct sockaddr_in *peer)) {
    if (n < 0 || (n > 0 && fds == nullptr) || callback == nullptr) return -1;
    // SIGPIPE is left alone: the relay's sends carry MSG_NOSIGNAL, and when the
    // signal is ignored is the calling program's decision.
    // Every relayed connection costs two descriptors (and the callback a
    // third while it connects).
    vesk::raise_descriptor_limit();
    int ep = epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0) return -1;
    Loop loop(ep);
    for (int i = 0; i < n; ++i) {
        if (fds[i] < 0) continue;
        listen(fds[i], kServingBacklog);  // best effort: the old backlog still works
        loop.add_listener(i, fds[i]);
    }
    epoll_event events[kMaxEvents];
    while (loop.live_listeners() > 0) {
        int ready = epoll_wait(ep, events, kMaxEvents, kNoTimeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        for (int k = 0; k < ready; ++k) {
            auto *tag = static_cast<Tag *>(events[k].data.ptr);
            if (tag->listener) loop.accept_on(tag, callback);
        }
        // Relays are pumped after accepts so a relay closed in this batch is never touched.
        for (int k = 0; k < ready; ++k) {
            auto *tag = static_cast<Tag *>(events[k].data.ptr);
            if (!tag->listener && Loop::alive(tag))
                loop.pump(tag->relay, tag->side, events[k].events);
        }
        loop.bury();
    }
    return 0;
}
