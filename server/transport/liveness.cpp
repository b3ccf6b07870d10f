// A link's liveness rules: the deadlines of the far HELLO and of silence,
// and the pings that keep a healthy link from falling silent.
#include "liveness.h"

#include <algorithm>
#include <cstdio>

namespace vesk {
namespace {
// The checks run ten times per deadline, so a silent far end is noticed at
// most a tenth late, but not more often than this, ms ...
constexpr int kCheckMinMs = 50;
// ... and at least this often while a deadline is watched, ms.
constexpr int kCheckMaxMs = 1000;

// "30" or "0.3": a deadline in a message, seconds.
std::string seconds_text(int ms) {
    char buf[32];
    snprintf(buf, sizeof buf, "%g", ms / 1000.0);
    return buf;
}
}  // namespace

Liveness::Liveness(int alive_ms, int hello_ms)
    : alive_ms_(std::max(alive_ms, 0)), hello_ms_(std::max(hello_ms, 0)) {}

void Liveness::started(int64_t now) {
    started_ms_ = heard_ms_ = now;
}

void Liveness::up(int64_t now) {
    up_ = true;
    heard_ms_ = now;
}

void Liveness::pinged(int64_t now) {
    // A third of the liveness time: two pings may be lost or late before a
    // healthy far end looks silent.
    int interval = kPingMaxMs;
    if (alive_ms_ > 0) interval = std::min(interval, std::max(alive_ms_ / 3, 1));
    next_ping_ms_ = now + interval;
}

Liveness::Verdict Liveness::check(int64_t now) const {
    if (!up_)
        return hello_ms_ > 0 && now - started_ms_ >= hello_ms_ ? Verdict::kLost : Verdict::kFine;
    if (alive_ms_ > 0 && now - heard_ms_ >= alive_ms_) return Verdict::kLost;
    return now >= next_ping_ms_ ? Verdict::kPing : Verdict::kFine;
}

std::string Liveness::lost_reason() const {
    if (!up_) return "no HELLO from the far end within " + seconds_text(hello_ms_) + " s";
    return "link lost: no answer from the far end for " + seconds_text(alive_ms_) + " s";
}

int Liveness::period_ms() const {
    // The deadline watched now: the HELLO's until the link is up.
    int limit = up_ ? alive_ms_ : hello_ms_;
    if (limit <= 0) return kPingMaxMs;
    return std::clamp(limit / 10, kCheckMinMs, kCheckMaxMs);
}

}  // namespace vesk
