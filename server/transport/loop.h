// veskd's event loop: epoll, one callback per descriptor, deferred work run
// after each batch of events, one-shot timers, a coarse periodic tick and a
// wake-up that other threads may post completions through.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace vesk {

// Completions from other threads.  Shared with them, so that a thread that
// ends after its Loop is gone posts into a closed box instead of freed memory.
class Mailbox {
  public:
    explicit Mailbox(int wake_fd) : wake_fd_(wake_fd) {}
    // Queues fn for the loop thread and wakes it; dropped once closed.
    void post(std::function<void()> fn);
    std::vector<std::function<void()>> take();
    void close();

  private:
    std::mutex mu_;
    int wake_fd_;
    bool closed_ = false;
    std::vector<std::function<void()>> items_;
};

class Loop {
  public:
    using Callback = std::function<void(uint32_t events)>;

    Loop();
    ~Loop();
    Loop(const Loop &) = delete;
    Loop &operator=(const Loop &) = delete;

    // Watches fd for events (EPOLLIN, EPOLLOUT...).  Returns false when epoll
    // refuses the descriptor.  A callback may remove any descriptor, its own
    // included: removed descriptors get no further calls, even in this batch.
    bool add(int fd, uint32_t events, Callback cb);
    // Changes what fd is watched for.  0 takes it out of epoll until a later
    // modify asks for something: epoll reports a hang-up or an error whatever
    // the mask, and a descriptor that waits for nothing would wake us for ever.
    void modify(int fd, uint32_t events);
    void remove(int fd);

    // Runs fn once after the current batch of events (coalescing work such
    // as assembling link frames).
    void defer(std::function<void()> fn);
    // Runs fn on the loop thread soon; safe to call from any thread.
    void post(std::function<void()> fn) { mailbox_->post(std::move(fn)); }
    // What threads keep to post with (see Mailbox).
    std::shared_ptr<Mailbox> mailbox() const { return mailbox_; }
    // Called about every tick_ms milliseconds.
    void set_tick(int tick_ms, std::function<void()> fn);
    // Runs fn once, ms milliseconds from now (0: after the current batch of
    // events).  Returns a nonzero id for cancel().
    uint64_t after(int ms, std::function<void()> fn);
    // Forgets a timer that has not run yet; unknown or spent ids are ignored.
    void cancel(uint64_t id);

    // Runs until stop().  Returns false when epoll_wait fails for good.
    bool run();
    void stop() { running_ = false; }

  private:
    struct Entry {
        uint64_t token;
        uint32_t events;
        std::shared_ptr<Callback> cb;
        bool armed = true;  // registered with epoll
    };

    int epfd_ = -1;
    int wake_fd_ = -1;
    bool running_ = false;
    uint64_t next_token_ = 1;
    std::unordered_map<int, Entry> entries_;
    std::unordered_map<uint64_t, int> token_fd_;
    std::vector<std::function<void()>> deferred_;
    std::shared_ptr<Mailbox> mailbox_;
    void run_timers();
    // Milliseconds until the next timer or tick is due (-1: none).
    int wait_ms() const;

    // Timers by (due time in ms, id); timer_due_ finds an id's due time.
    std::map<std::pair<int64_t, uint64_t>, std::function<void()>> timers_;
    std::unordered_map<uint64_t, int64_t> timer_due_;
    uint64_t next_timer_ = 1;
    int tick_ms_ = -1;
    std::function<void()> tick_;
    int64_t next_tick_ms_ = 0;
};

// Milliseconds of a monotonic clock.
int64_t monotonic_ms();
// Microseconds of a monotonic clock.
int64_t monotonic_us();

}  // namespace vesk
