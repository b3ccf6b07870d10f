// TCP link attempts on the event loop: a non-blocking connect watched by
// epoll, and the key check on a thread of its own.
#include "tcplink.h"

#include <cerrno>
#include <cstring>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vesk::tcplink {

// ---- Connect ----

Connect::Connect(Loop &loop, const std::string &where, int timeout_ms, Done done)
    : loop_(loop), where_(where), done_(std::move(done)) {
    int err = 0;
    std::string why;
    fd_ = transport::tcp_connect_start(where, &err, &why);
    if (fd_ >= 0) {
        watched_ = loop_.add(fd_, EPOLLOUT, [this](uint32_t) { on_ready(); });
        if (!watched_) {
            err = errno;
            why = "cannot connect to " + where + ": " + strerror(err);
        }
    }
    if (fd_ < 0 || !watched_) {
        // The callback never runs inside the constructor.
        timer_ = loop_.after(0, [this, err, why] {
            timer_ = 0;
            finish(-1, err, why);
        });
        return;
    }
    timer_ = loop_.after(timeout_ms, [this, timeout_ms] {
        timer_ = 0;
        finish(-1, ETIMEDOUT,
               "cannot connect to " + where_ + ": no answer within " +
                   std::to_string(timeout_ms / 1000) + " s");
    });
}

Connect::~Connect() {
    loop_.cancel(timer_);
    if (watched_) loop_.remove(fd_);
    if (fd_ >= 0) close(fd_);
}

void Connect::on_ready() {
    int err = transport::tcp_connect_error(fd_);
    if (err != 0) return finish(-1, err, "cannot connect to " + where_ + ": " + strerror(err));
    finish(fd_, 0, "");
}

void Connect::finish(int fd, int err, const std::string &why) {
    loop_.cancel(timer_);
    timer_ = 0;
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
                   Done done)
    : loop_(loop),
      fd_(fd),
      deadline_ms_(deadline_ms),
      done_(std::move(done)),
      shared_(std::make_shared<Shared>()) {
    shared_->owner = this;
    std::shared_ptr<Mailbox> box = loop_.mailbox();
    worker_ = std::thread([shared = shared_, box, fd, key_path, initiator] {
        shared->ok = transport::key_check(fd, key_path, initiator, &shared->ends, &shared->why);
        box->post([shared] {
            if (shared->owner) shared->owner->finish();
        });
    });
    timer_ = loop_.after(deadline_ms, [this] {
        timer_ = 0;
        cut_short();
    });
}

KeyCheck::~KeyCheck() {
    loop_.cancel(timer_);
    shared_->owner = nullptr;
    if (worker_.joinable()) {
        // Wakes the thread out of its wait on the socket at once.
        if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
        worker_.join();
    }
    if (fd_ >= 0) close(fd_);
}

void KeyCheck::cut_short() {
    timed_out_ = true;
    shutdown(fd_, SHUT_RDWR);
}

void KeyCheck::finish() {
    worker_.join();
    loop_.cancel(timer_);
    timer_ = 0;
    shared_->owner = nullptr;
    bool ok = shared_->ok && !timed_out_;
    std::string why = shared_->why;
    if (timed_out_) {
        why = "key check failed: the far end did not finish it within " +
              std::to_string(deadline_ms_ / 1000) + " s";
    }
    if (!ok) close(fd_);
    fd_ = -1;
    transport::LinkEnds ends = shared_->ends;
    // The callback may destroy this object: nothing of it is touched after.
    Done done = std::move(done_);
    done(ok, ends, why);
}

}  // namespace vesk::tcplink
