// A channel's requests whose answers would stall the loop: name lookups and
// file checksums run on a worker thread, and their answers come back on the
// loop thread unless the channel has gone first.  A channel has at most one
// such request in service.
#pragma once

#include <atomic>
#include <cassert>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "budget.h"
#include "outlet.h"
#include "scope.h"
#include "workers.h"

namespace vesk {

class OffLoop {
  public:
    // Why a lookup failed before it began.
    static constexpr const char *kNoWorker = "No thread to look the name up";
    static constexpr const char *kTooManyJobs = "Too many lookups from the far end";

    // Answers go to the outlet; workers, outlet and budget (the far end's,
    // charged a job for each request in service; none for this end's own
    // clients) must outlive this.
    OffLoop(Workers &workers, Workers::Origin origin, Outlet &outlet, FarBudget *budget = nullptr)
        : workers_(workers), origin_(origin), outlet_(outlet), budget_(budget) {}
    // Withdraws the request in service: its answer is never given.
    ~OffLoop() {
        workers_.cancel(job_);
        release();
    }
    OffLoop(const OffLoop &) = delete;
    OffLoop &operator=(const OffLoop &) = delete;

    // A request's answer is being worked out.
    bool busy() const { return job_ != nullptr; }

    // Takes a job of kind from the far end's budget for the next run().
    // Returns false past it: the request must not run.
    bool admit(Workers::Kind kind);

    // Runs work on a worker thread (again while it gives nullopt: see
    // Workers::Work), then done with its result on the loop thread unless
    // this has gone.  Returns false when no worker could take it (nothing
    // runs then).  Far requests are admitted first.
    template <typename Result>
    bool run(Workers::Kind kind,
             std::function<std::optional<Result>(const std::atomic<bool> &)> work,
             std::function<void(Result)> done);

    // 'D': the file's status and checksum.  Answers at once, slowly, when no
    // worker can take it; past the far end's budget its channel closes (a
    // failed probe would pass for a missing file).
    void status(std::string_view arg, const Scope &scope);
    // 'Q': the tree's listing, made on a worker; serve is handed its
    // descriptor on the loop thread after the reply (its byte count).
    // Refused like a file check past the far end's budget.
    void list_tree(std::string_view arg, const Scope &scope, std::function<void(int)> serve);
    // 'c': the name's address and canonical name.  This machine's own names
    // (empty, "remotehost", host) are answered at once with addr and host.
    void resolve(std::string_view arg, const std::string &host, uint32_t addr);

  private:
    // The request in service is over: its job goes back to the budget.
    void release();

    Workers &workers_;
    Workers::Origin origin_;
    Outlet &outlet_;
    FarBudget *budget_;
    // What the request in service holds of the budget, if anything.
    FarBudget::What charged_ = FarBudget::kKinds;
    Workers::Ticket job_;  // the request in service
};

template <typename Result>
bool OffLoop::run(Workers::Kind kind,
                  std::function<std::optional<Result>(const std::atomic<bool> &)> work,
                  std::function<void(Result)> done) {
    assert(!job_);  // one request in service per channel
    job_ = workers_.submit(
        origin_, kind,
        [this, work = std::move(work), done = std::move(done)](
            const std::atomic<bool> &cancelled) mutable -> std::optional<Workers::Done> {
            std::optional<Result> result = work(cancelled);
            if (!result) return std::nullopt;
            // On the loop thread, and only while the job stands: the owner
            // withdraws it when it goes.
            return Workers::Done(
                [this, r = std::make_shared<Result>(std::move(*result)), done = std::move(done)] {
                    job_.reset();
                    release();
                    done(std::move(*r));
                });
        });
    if (!job_) release();
    return job_ != nullptr;
}

}  // namespace vesk
