// The link's pace from pings placed in its byte stream: round trips, the
// rate over spans of answered pings, and the sizes that follow from them.
#include "pace.h"

#include <algorithm>
#include <cstdint>

namespace vesk {
namespace {
constexpr int64_t kUsPerSecond = 1000 * 1000;
}  // namespace

void Pace::ping_sent(uint64_t token, uint64_t offset, int64_t now_us) {
    if (out_.size() >= kPingsMax) out_.pop_front();  // its PONG was dropped
    out_.push_back(Ping{token, offset, now_us});
    last_ping_us_ = now_us;
}

bool Pace::pong(uint64_t token, int64_t now_us, bool backlogged) {
    auto it =
        std::find_if(out_.begin(), out_.end(), [&](const Ping &p) { return p.token == token; });
    if (it == out_.end()) return false;
    Ping p = *it;
    // PONGs come back in order: the pings before this one went unanswered.
    out_.erase(out_.begin(), it + 1);
    int64_t rtt = now_us - p.sent_us;
    if (rtt < 0) return true;
    rtt_us_ = rtt;
    rtt_at_us_ = now_us;
    if (min_rtt_us_ == 0 || rtt < min_rtt_us_) min_rtt_us_ = std::max<int64_t>(rtt, 1);
    acked_ = std::max(acked_, p.offset);
    sample(Mark{p.offset, now_us, backlogged});
    return true;
}

void Pace::sample(const Mark &now) {
    int64_t span = std::max(kRateSpanMinUs, min_rtt_us_);
    // The newest mark at least a span old is where the sample starts; older
    // ones are no longer needed.
    while (marks_.size() >= 2 && now.at_us - marks_[1].at_us >= span) marks_.pop_front();
    marks_.push_back(now);
    const Mark &from = marks_.front();
    int64_t took = now.at_us - from.at_us;
    if (took < span || now.offset <= from.offset) return;
    bool backlogged =
        std::all_of(marks_.begin() + 1, marks_.end(), [](const Mark &m) { return m.backlogged; });
    uint64_t r = (now.offset - from.offset) * uint64_t(kUsPerSecond) / uint64_t(took);
    // A span where this end had too little to send only says the link can
    // carry at least that much: it raises a rate measured before, and is no
    // rate by itself (a frame size or cap from it would throttle a link
    // that is merely quiet).
    if (!backlogged && (rate_ == 0 || r <= rate_)) return;
    samples_.push_back(r);
    if (samples_.size() > kRateSamples) samples_.pop_front();
    rate_ = *std::max_element(samples_.begin(), samples_.end());
}

int64_t Pace::gap_us() const {
    return std::max(kPingGapMinUs, min_rtt_us_ / 8);
}

bool Pace::ping_due(int64_t now_us) const {
    int64_t gap = gap_us();
    if (rate_ != 0)
        gap = std::max(gap, int64_t(kPingWireBytes * kPingShareInverse * 1000000 / rate_));
    return out_.size() < kPingsMax && now_us - last_ping_us_ >= gap;
}

size_t Pace::frame_bytes(size_t least, size_t most) const {
    if (rate_ == 0) return most;
    uint64_t b = rate_ * uint64_t(kFrameTimeUs) / uint64_t(kUsPerSecond);
    return size_t(std::clamp<uint64_t>(b, least, most));
}

size_t Pace::unsent_limit(size_t frame) const {
    if (rate_ == 0) return kUnsentStart;
    uint64_t b = frame + rate_ * uint64_t(kUnsentTimeUs) / uint64_t(kUsPerSecond);
    return size_t(std::clamp<uint64_t>(b, kUnsentMin, kUnsentMax));
}

uint64_t Pace::inflight_cap(size_t frame) const {
    if (rate_ == 0 || min_rtt_us_ < kCapMinRttUs) return UINT64_MAX;
    // What is known read lags what was written by a round trip plus up to
    // a gap between pings.
    int64_t lag = min_rtt_us_ + min_rtt_us_ / 4 + gap_us();
    return rate_ * uint64_t(lag) / uint64_t(kUsPerSecond) + 2 * uint64_t(frame);
}

}  // namespace vesk
