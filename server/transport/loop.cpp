// veskd's event loop (see loop.h): epoll, deferred work, the tick and the
// mailbox that worker threads post results to.
#include "loop.h"

#include <cerrno>
#include <ctime>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace vesk {
namespace {
constexpr int kMaxEventsPerWait = 256;
}

int64_t monotonic_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}
int64_t monotonic_ms() {
    return monotonic_us() / 1000;
}

Loop::Loop() {
    epfd_ = epoll_create1(EPOLL_CLOEXEC);
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    mailbox_ = std::make_shared<Mailbox>(wake_fd_);
    if (wake_fd_ >= 0) {
        add(wake_fd_, EPOLLIN, [this](uint32_t) {
            uint64_t v;
            while (read(wake_fd_, &v, sizeof v) > 0) {
            }
            for (auto &fn : mailbox_->take()) fn();
        });
    }
}

Loop::~Loop() {
    // Closes the wake-up descriptor under the box's lock: no thread writes
    // to it (or to a number reused by then) afterwards.
    mailbox_->close();
    if (epfd_ >= 0) close(epfd_);
}

bool Loop::add(int fd, uint32_t events, Callback cb) {
    uint64_t token = next_token_++;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = token;
    if (epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev) != 0) return false;
    entries_[fd] = Entry{token, events, std::make_shared<Callback>(std::move(cb))};
    token_fd_[token] = fd;
    return true;
}

void Loop::modify(int fd, uint32_t events) {
    auto it = entries_.find(fd);
    if (it == entries_.end() || it->second.events == events) return;
    Entry &e = it->second;
    if (events == 0) {
        if (e.armed && epoll_ctl(epfd_, EPOLL_CTL_DEL, fd, nullptr) == 0) e.armed = false;
        e.events = 0;
        return;
    }
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = e.token;
    if (epoll_ctl(epfd_, e.armed ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev) == 0) {
        e.armed = true;
        e.events = events;
    }
}

void Loop::remove(int fd) {
    auto it = entries_.find(fd);
    if (it == entries_.end()) return;
    if (it->second.armed) epoll_ctl(epfd_, EPOLL_CTL_DEL, fd, nullptr);
    token_fd_.erase(it->second.token);
    entries_.erase(it);
}

void Loop::defer(std::function<void()> fn) {
    deferred_.push_back(std::move(fn));
}

void Mailbox::post(std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) return;
    items_.push_back(std::move(fn));
    uint64_t one = 1;
    if (write(wake_fd_, &one, sizeof one) < 0) {
        // The counter is saturated: a wake-up is pending anyway.
    }
}

std::vector<std::function<void()>> Mailbox::take() {
    std::vector<std::function<void()>> work;
    std::lock_guard<std::mutex> lock(mu_);
    work.swap(items_);
    return work;
}

void Mailbox::close() {
    std::lock_guard<std::mutex> lock(mu_);
    closed_ = true;
    items_.clear();
    if (wake_fd_ >= 0) ::close(wake_fd_);
    wake_fd_ = -1;
}

void Loop::set_tick(int tick_ms, std::function<void()> fn) {
    tick_ms_ = tick_ms;
    tick_ = std::move(fn);
    next_tick_ms_ = monotonic_ms() + tick_ms;
}

uint64_t Loop::after(int ms, std::function<void()> fn) {
    uint64_t id = next_timer_++;
    int64_t due = monotonic_ms() + (ms > 0 ? ms : 0);
    timers_.emplace(std::make_pair(due, id), std::move(fn));
    timer_due_[id] = due;
    return id;
}

void Loop::cancel(uint64_t id) {
    auto it = timer_due_.find(id);
    if (it == timer_due_.end()) return;
    timers_.erase(std::make_pair(it->second, id));
    timer_due_.erase(it);
}

void Loop::run_timers() {
    int64_t now = monotonic_ms();
    // One at a time, so that a timer may cancel another that is also due.
    // Timers set from here on wait for the next round, after the descriptors
    // had their turn.
    const uint64_t newest = next_timer_;
    while (running_ && !timers_.empty()) {
        auto it = timers_.begin();
        if (it->first.first > now || it->first.second >= newest) break;
        std::function<void()> fn = std::move(it->second);
        timer_due_.erase(it->first.second);
        timers_.erase(it);
        fn();
    }
}

int Loop::wait_ms() const {
    int64_t next = -1;
    if (tick_ms_ > 0) next = next_tick_ms_;
    if (!timers_.empty() && (next < 0 || timers_.begin()->first.first < next))
        next = timers_.begin()->first.first;
    if (next < 0) return -1;
    int64_t left = next - monotonic_ms();
    return left < 0 ? 0 : int(left);
}

bool Loop::run() {
    running_ = true;
    epoll_event events[kMaxEventsPerWait];
    while (running_) {
        int timeout = wait_ms();
        if (!deferred_.empty()) timeout = 0;
        int n = epoll_wait(epfd_, events, kMaxEventsPerWait, timeout);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        for (int i = 0; i < n && running_; i++) {
            // epoll_event is packed: copy the token out rather than bind a
            // reference to a misaligned member.
            const uint64_t token = events[i].data.u64;
            auto tf = token_fd_.find(token);
            if (tf == token_fd_.end()) continue;  // removed earlier in this batch
            auto it = entries_.find(tf->second);
            if (it == entries_.end()) continue;
            // Hold a reference: the callback may remove its own entry.
            std::shared_ptr<Callback> cb = it->second.cb;
            (*cb)(events[i].events);
        }
        while (!deferred_.empty() && running_) {
            std::vector<std::function<void()>> work;
            work.swap(deferred_);
            for (auto &fn : work) fn();
        }
        if (running_) run_timers();
        if (running_ && tick_ms_ > 0 && monotonic_ms() >= next_tick_ms_) {
            next_tick_ms_ = monotonic_ms() + tick_ms_;
            if (tick_) tick_();
        }
    }
    return true;
}

}  // namespace vesk
