// veskd's worker threads (see workers.h).  Threads are started as jobs need
// them, up to kThreadsMax, and stay until the pool goes; they share the
// pool's state so that one still busy when the pool is destroyed finds it.
#include "workers.h"

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <cstdint>
#include <deque>
#include <mutex>
#include <new>
#include <pthread.h>

#include "log.h"

namespace vesk {
namespace {
constexpr int kOrigins = 2;
constexpr int kKinds = 2;
// Waiting jobs that were withdrawn are swept out once they are this many and
// more than half of their queue: withdrawal stays cheap, and a far end that
// opens and closes channels cannot grow a queue of dead jobs.
constexpr size_t kSweepMin = 16;
// Worker threads alive in the process.
std::atomic<int> g_threads_alive{0};
}  // namespace

struct Workers::Job {
    int origin = 0;
    int kind = 0;
    uint64_t seq = 0;
    Work work;
    std::atomic<bool> cancelled{false};
    bool waiting = true;  // under State::mu
};

struct Workers::State {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<Ticket> queue[kOrigins][kKinds];
    size_t stale[kOrigins][kKinds] = {};  // withdrawn jobs still queued
    int running[kOrigins] = {};
    int lookups[kOrigins] = {};
    int threads = 0;
    int turn = 0;  // the origin looked at first by the next pick
    uint64_t next_seq = 0;
    bool stopping = false;
    std::shared_ptr<Mailbox> box;
};

namespace {
using State = Workers::State;
using Ticket = Workers::Ticket;
constexpr int kLookup = int(Workers::Kind::kLookup);
constexpr int kCheck = int(Workers::Kind::kFileCheck);

// The first job of a queue that is still wanted; withdrawn ones before it go.
Ticket live_front(State &st, int o, int k) {
    auto &q = st.queue[o][k];
    while (!q.empty() && q.front()->cancelled) {
        q.pop_front();
        st.stale[o][k]--;
    }
    return q.empty() ? nullptr : q.front();
}

size_t live(const State &st, int o, int k) {
    return st.queue[o][k].size() - st.stale[o][k];
}

// Jobs that could start now within the quotas.
int startable(const State &st) {
    int n = 0;
    for (int o = 0; o < kOrigins; o++) {
        int room = Workers::kPerOrigin - st.running[o];
        if (room <= 0) continue;
        size_t lookups = std::min<size_t>(
            live(st, o, kLookup), size_t(std::max(0, Workers::kLookupsPerOrigin - st.lookups[o])));
        n += int(std::min<size_t>(size_t(room), live(st, o, kCheck) + lookups));
    }
    return n;
}

// Takes the next job the quotas allow, oldest first within an origin, the
// origins in turn.  Called with the lock held.
Ticket pick(State &st) {
    for (int i = 0; i < kOrigins; i++) {
        int o = (st.turn + i) % kOrigins;
        if (st.running[o] >= Workers::kPerOrigin) continue;
        Ticket check = live_front(st, o, kCheck);
        Ticket lookup =
            st.lookups[o] < Workers::kLookupsPerOrigin ? live_front(st, o, kLookup) : nullptr;
        Ticket job = check && (!lookup || check->seq < lookup->seq) ? check : lookup;
        if (!job) continue;
        st.queue[o][job->kind].pop_front();
        job->waiting = false;
        st.running[o]++;
        if (job->kind == kLookup) st.lookups[o]++;
        st.turn = (o + 1) % kOrigins;
        return job;
    }
    return nullptr;
}

// Runs one slice of the job.  Returns true when it wants another.
bool run_job(State &st, const Ticket &job) {
    std::optional<Workers::Done> done;
    try {
        done = job->work(job->cancelled);
    } catch (const std::exception &e) {
        // Out of memory or the like: that request goes unanswered, the
        // daemon lives on.
        log::error("worker: job failed: %s", e.what());
        done = Workers::Done();
    }
    if (!done) return true;
    job->work = nullptr;
    if (*done) {
        st.box->post([job, fn = std::move(*done)] {
            if (!job->cancelled) fn();
        });
    }
    return false;
}

void *thread_main(void *arg) {
    std::shared_ptr<State> st = std::move(*static_cast<std::shared_ptr<State> *>(arg));
    delete static_cast<std::shared_ptr<State> *>(arg);
    std::unique_lock<std::mutex> lock(st->mu);
    while (!st->stopping) {
        Ticket job = pick(*st);
        if (!job) {
            st->cv.wait(lock);
            continue;
        }
        lock.unlock();
        bool again = run_job(*st, job);
        lock.lock();
        st->running[job->origin]--;
        if (job->kind == kLookup) st->lookups[job->origin]--;
        if (again && !job->cancelled && !st->stopping) {
            // To the back of its queue: the others waiting go first.
            job->seq = st->next_seq++;
            job->waiting = true;
            st->queue[job->origin][job->kind].push_back(job);
        }
    }
    st->threads--;
    lock.unlock();
    st.reset();  // the last thread of a destroyed pool frees its state
    g_threads_alive--;
    return nullptr;
}

// Starts one detached worker with every signal blocked (the loop thread
// handles them).  Returns false when the system refuses.
bool spawn(const std::shared_ptr<State> &st) {
    auto *arg = new (std::nothrow) std::shared_ptr<State>(st);
    if (!arg) return false;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, Workers::kStackBytes);
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_t tid;
    int rc = pthread_create(&tid, &attr, thread_main, arg);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete arg;
        log::error("worker: cannot start a thread: %s", strerror(rc));
        return false;
    }
    st->threads++;
    g_threads_alive++;
    return true;
}
}  // namespace

Workers::Workers(std::shared_ptr<Mailbox> box) : state_(std::make_shared<State>()) {
    state_->box = std::move(box);
}

Workers::~Workers() {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->stopping = true;
    for (auto &per_origin : state_->queue)
        for (auto &q : per_origin) q.clear();
    state_->cv.notify_all();
}

Workers::Ticket Workers::submit(Origin origin, Kind kind, Work work) {
    auto job = std::make_shared<Job>();
    job->origin = int(origin);
    job->kind = int(kind);
    job->work = std::move(work);
    State &st = *state_;
    std::lock_guard<std::mutex> lock(st.mu);
    if (st.stopping) return nullptr;
    job->seq = st.next_seq++;
    st.queue[job->origin][job->kind].push_back(job);
    int busy = st.running[0] + st.running[1];
    if (st.threads < kThreadsMax && st.threads < busy + startable(st) && !spawn(state_) &&
        st.threads == 0) {
        st.queue[job->origin][job->kind].pop_back();
        return nullptr;
    }
    st.cv.notify_one();
    return job;
}

void Workers::cancel(const Ticket &ticket) {
    if (!ticket) return;
    State &st = *state_;
    std::lock_guard<std::mutex> lock(st.mu);
    if (ticket->cancelled.exchange(true) || !ticket->waiting) return;
    auto &q = st.queue[ticket->origin][ticket->kind];
    size_t &stale = st.stale[ticket->origin][ticket->kind];
    if (++stale >= kSweepMin && stale * 2 > q.size()) {
        std::erase_if(q, [](const Ticket &t) { return t->cancelled.load(); });
        stale = 0;
    }
}

int Workers::threads_alive() {
    return g_threads_alive.load();
}

int Workers::threads() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->threads;
}

size_t Workers::waiting() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    size_t n = 0;
    for (int o = 0; o < kOrigins; o++)
        for (int k = 0; k < kKinds; k++) n += live(*state_, o, k);
    return n;
}

int Workers::running() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->running[0] + state_->running[1];
}

}  // namespace vesk
