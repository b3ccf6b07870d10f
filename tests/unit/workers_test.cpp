// veskd's worker pool: quotas per origin and for lookups, withdrawn jobs, the
// thread bound.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <unistd.h>

#include "loop.h"
#include "workers.h"

using vesk::Loop;
using vesk::Workers;

namespace {

constexpr int kWatchdogMs = 5000;  // no test waits longer for the loop

// A job that holds its thread until released (or withdrawn).
Workers::Work holder(std::atomic<bool> &release, std::atomic<int> &started) {
    return [&](const std::atomic<bool> &cancelled) {
        started++;
        while (!release && !cancelled) usleep(1000);
        return std::function<void()>();
    };
}

bool wait_until(const std::function<bool()> &cond) {
    for (int ms = 0; ms < kWatchdogMs; ms += 5) {
        if (cond()) return true;
        usleep(5000);
    }
    return cond();
}

// Runs the loop until a completion stops it, or the watchdog does.
void run_until_stopped(Loop &loop) {
    loop.set_tick(kWatchdogMs, [&] { loop.stop(); });
    loop.run();
}

TEST(Workers, StuckLookupsLeaveRoomForFileChecksAndTheOtherOrigin) {
    Loop loop;
    Workers w(loop.mailbox());
    std::atomic<bool> release{false};
    std::atomic<int> started{0};
    for (int i = 0; i < 3 * Workers::kPerOrigin; i++)
        ASSERT_NE(w.submit(Workers::Origin::kFar, Workers::Kind::kLookup, holder(release, started)),
                  nullptr);
    ASSERT_TRUE(wait_until([&] { return started == Workers::kLookupsPerOrigin; }));
    usleep(50 * 1000);
    EXPECT_EQ(started, Workers::kLookupsPerOrigin);

    int done = 0;
    auto check = [&](const std::atomic<bool> &) {
        return std::function<void()>([&] {
            if (++done == 2) loop.stop();
        });
    };
    ASSERT_NE(w.submit(Workers::Origin::kFar, Workers::Kind::kFileCheck, check), nullptr);
    ASSERT_NE(w.submit(Workers::Origin::kLocal, Workers::Kind::kFileCheck, check), nullptr);
    run_until_stopped(loop);
    EXPECT_EQ(done, 2);
    EXPECT_LE(w.threads(), Workers::kThreadsMax);
    release = true;
    ASSERT_TRUE(wait_until([&] { return w.running() == 0 && w.waiting() == 0; }));
    EXPECT_EQ(started, 3 * Workers::kPerOrigin);
    EXPECT_LE(w.threads(), Workers::kThreadsMax);
}

TEST(Workers, LongJobsGoInSlicesSoThatLaterOnesGetATurn) {
    Loop loop;
    Workers w(loop.mailbox());
    constexpr int kSlices = 500;  // of about a millisecond each
    std::atomic<int> long_done{0};
    bool short_first = false;
    for (int i = 0; i < Workers::kPerOrigin; i++) {
        auto left = std::make_shared<int>(kSlices);
        w.submit(Workers::Origin::kLocal, Workers::Kind::kFileCheck,
                 [left, &long_done](const std::atomic<bool> &) -> std::optional<Workers::Done> {
                     usleep(1000);
                     if (--*left > 0) return std::nullopt;
                     long_done++;
                     return Workers::Done();
                 });
    }
    w.submit(Workers::Origin::kLocal, Workers::Kind::kFileCheck, [&](const std::atomic<bool> &) {
        return Workers::Done([&] {
            short_first = long_done == 0;
            loop.stop();
        });
    });
    run_until_stopped(loop);
    EXPECT_TRUE(short_first);
    // The long jobs use this frame: they end before it does.
    EXPECT_TRUE(wait_until([&] { return long_done == Workers::kPerOrigin; }));
}

TEST(Workers, WithdrawnJobsNeitherRunNorComplete) {
    Loop loop;
    Workers w(loop.mailbox());
    std::atomic<bool> release{false};
    std::atomic<int> started{0};
    for (int i = 0; i < Workers::kPerOrigin; i++)
        w.submit(Workers::Origin::kLocal, Workers::Kind::kFileCheck, holder(release, started));
    ASSERT_TRUE(wait_until([&] { return started == Workers::kPerOrigin; }));
    std::atomic<bool> ran{false};
    bool completed = false;
    std::vector<Workers::Ticket> tickets;
    for (int i = 0; i < 100; i++)
        tickets.push_back(w.submit(Workers::Origin::kLocal, Workers::Kind::kFileCheck,
                                   [&](const std::atomic<bool> &) {
                                       ran = true;
                                       return std::function<void()>([&] { completed = true; });
                                   }));
    for (auto &t : tickets) w.cancel(t);
    EXPECT_EQ(w.waiting(), 0u);
    // A running job sees its withdrawal.
    auto last =
        w.submit(Workers::Origin::kFar, Workers::Kind::kFileCheck, holder(release, started));
    ASSERT_TRUE(wait_until([&] { return started == Workers::kPerOrigin + 1; }));
    w.cancel(last);
    ASSERT_TRUE(wait_until([&] { return w.running() == Workers::kPerOrigin; }));
    release = true;
    ASSERT_TRUE(wait_until([&] { return w.running() == 0; }));
    EXPECT_FALSE(ran);
    EXPECT_FALSE(completed);
}

}  // namespace
