// veskd's worker threads: one bounded pool for the work that would stall the
// loop (name lookups, file checksums).
//
// Jobs wait in arrival order, in one queue per origin (requests from the far
// end, requests of this end's own clients) and kind.  Each origin runs at most
// kPerOrigin jobs at once, so that neither can take every thread from the
// other; lookups, which hang for as long as a resolver does not answer, take
// at most kLookupsPerOrigin of those, so that a file check always finds a
// thread.  Since a channel has at most one request in service, and long jobs
// go back to the end of their queue after each slice, the clients of an
// origin are served in turn.  Nothing is refused for load.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>

#include "loop.h"

namespace vesk {

class Workers {
  public:
    enum class Origin { kFar, kLocal };
    enum class Kind { kLookup, kFileCheck };

    // Jobs an origin runs at once.
    static constexpr int kPerOrigin = 4;
    // ... of which lookups.
    static constexpr int kLookupsPerOrigin = 2;
    // Threads the pool ever starts: every origin's quota at once.
    static constexpr int kThreadsMax = 2 * kPerOrigin;
    // Stack of a worker thread, bytes: a lookup or a checksum needs little,
    // and the default 8 MiB each would count against an address-space limit.
    static constexpr size_t kStackBytes = 512 * 1024;

    // Runs on a worker thread.  Returns what to run on the loop thread once
    // the job is done (may be empty), or nullopt to be run again once the
    // jobs waiting behind it have had a turn: long work goes in slices, so
    // that one big file check does not hold a thread while others wait.
    // cancelled turns true when the owner withdraws the job.
    using Done = std::function<void()>;
    using Work = std::function<std::optional<Done>(const std::atomic<bool> &cancelled)>;
    struct Job;
    using Ticket = std::shared_ptr<Job>;

    explicit Workers(std::shared_ptr<Mailbox> box);
    // Waiting jobs are dropped; running ones finish on their own, and what
    // they post goes nowhere once the loop is gone.
    ~Workers();
    Workers(const Workers &) = delete;
    Workers &operator=(const Workers &) = delete;

    // Queues work.  Returns its ticket, or nullptr when no worker thread
    // exists and none can be started (nothing runs then: the caller fails the
    // request).  The returned function runs on the loop thread unless the job
    // was cancelled first.
    Ticket submit(Origin origin, Kind kind, Work work);
    // Withdraws a job (loop thread only): a waiting one never runs, a running
    // one sees cancelled, and its completion is not run.
    void cancel(const Ticket &ticket);

    // Threads started so far, jobs waiting and running: for tests and logs.
    int threads() const;
    // Worker threads of every pool still alive, those of destroyed pools
    // included (they end once their job does): for tests that must see every
    // thread gone.
    static int threads_alive();
    size_t waiting() const;
    int running() const;

    struct State;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace vesk
