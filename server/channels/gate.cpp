// Accepting veskd's clients, and answering them while the link is down.
#include "gate.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/epoll.h>
#include <unistd.h>
#include <vector>

#include "commands.h"
#include "log.h"
#include "messages.h"
#include "runner.h"
#include "sockdir.h"

namespace vesk {
namespace {
// Clients accepted per readiness event before others get their turn.
constexpr int kAcceptBatch = 64;
// Clients the Desk holds at once; more are closed unanswered.
constexpr size_t kDeskMax = 64;
// Supplementary groups asked for at first; more when the client has more.
constexpr size_t kPeerGroupsGuess = 64;

// Whether the client on fd is a member of group: its primary group, or one of
// its supplementary groups as they were when it connected.
bool in_group(int fd, gid_t primary, gid_t group) {
    if (primary == group) return true;
    std::vector<gid_t> groups(kPeerGroupsGuess);
    for (int attempt = 0; attempt < 2; attempt++) {
        socklen_t len = socklen_t(groups.size() * sizeof(gid_t));
        if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len) == 0) {
            groups.resize(len / sizeof(gid_t));
            return std::find(groups.begin(), groups.end(), group) != groups.end();
        }
        if (errno != ERANGE) return false;
        groups.resize(len / sizeof(gid_t) + 1);
    }
    return false;
}
}  // namespace

// ---- Gate ----

Gate::Gate(Loop &loop, int share, std::string path, Handler handler)
    : loop_(loop), share_(share), path_(std::move(path)), handler_(std::move(handler)) {}

void Gate::close() {
    if (fd_ < 0) return;
    loop_.remove(fd_);
    ::close(fd_);
    fd_ = -1;
    unlink(path_.c_str());
}

bool Gate::open(std::string *error) {
    fd_ = sockdir::listen_at(path_, share_, error);
    if (fd_ < 0) return false;
    loop_.add(fd_, EPOLLIN, [this](uint32_t) { accept_clients(); });
    return true;
}

void Gate::resume() {
    if (!paused_ || fd_ < 0) return;
    paused_ = false;
    loop_.modify(fd_, EPOLLIN);
}

void Gate::accept_clients() {
    for (int i = 0; i < kAcceptBatch; i++) {
        int fd = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) continue;
            if (errno == EMFILE || errno == ENFILE) {
                // Out of descriptors: stop watching the socket (it would
                // wake us for ever) until a client closes or the next tick.
                log::error("accept failed: %s; pausing new clients", strerror(errno));
                paused_ = true;
                loop_.modify(fd_, 0);
            } else if (errno != EAGAIN) {
                log::error("accept failed: %s", strerror(errno));
            }
            return;
        }
        ucred cred{};
        socklen_t len = sizeof cred;
        bool allowed = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0;
        if (allowed) {
            // Private: our own user only.  Shared by group: the socket's
            // directory lets the group in, so membership of our group
            // decides.  The super-user may always ask.
            bool self = cred.uid == geteuid() || cred.uid == 0;
            allowed = share_ == 1 ? self || in_group(fd, cred.gid, getegid()) : self;
        }
        if (!allowed) {
            log::notice("refused a client of uid %u", unsigned(cred.uid));
            ::close(fd);
            continue;
        }
        handler_(fd, cred);
    }
}

// ---- Desk ----

void Desk::take(int fd) {
    if (waiting_.size() >= kDeskMax ||
        !loop_.add(fd, EPOLLIN, [this, fd](uint32_t) { on_readable(fd); })) {
        close(fd);
        return;
    }
    waiting_[fd];
}

void Desk::close_all() {
    for (auto &[fd, in] : waiting_) {
        loop_.remove(fd);
        close(fd);
    }
    waiting_.clear();
}

void Desk::drop(int fd) {
    loop_.remove(fd);
    close(fd);
    waiting_.erase(fd);
}

void Desk::on_readable(int fd) {
    auto it = waiting_.find(fd);
    if (it == waiting_.end()) return;
    std::string &in = it->second;
    char buf[proto::kRequestMax];
    ssize_t r = read(fd, buf, sizeof buf);
    if (r < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (r <= 0) return drop(fd);
    in.append(buf, size_t(r));
    // Requests without a reply (priority, a log line) pass unanswered; the
    // first that expects one is refused, and that ends the connection.
    size_t nul;
    while ((nul = in.find('\0')) != std::string::npos) {
        std::string request = in.substr(0, nul);
        in.erase(0, nul + 1);
        if (request.size() < 3 || request[0] != proto::kMessageStart ||
            proto::has_reply(request[2])) {
            bool status = status_ && request.size() >= 3 && request[1] == proto::kToNear &&
                          request[2] == proto::kStatusCode;
            std::string reply(1, proto::kMessageStart);
            reply += request.size() > 1 ? request[1] : proto::kToNear;
            reply += status ? proto::kReplyOk : proto::kReplyFailed;
            reply += status ? status_(request.substr(3) == proto::kStatusJson) : reason_;
            reply += '\0';
            // A few dozen bytes on a fresh socket, a few kB for a status
            // report: the write does not block.
            if (send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0)
                log::debug("could not tell a client the link is down: %s", strerror(errno));
            return drop(fd);
        }
    }
    if (in.size() >= proto::kRequestMax) drop(fd);
}

}  // namespace vesk
