// The rate model of a checked link's sender (see arq_rate.h).
#include "arq_rate.h"

namespace vesk::arq {
namespace {
// Losses among this many transmissions decide the packet size.
constexpr uint32_t kAdaptEvery = 32;
// Above this lost share packets halve; below the second they grow by a quarter.
constexpr uint32_t kShrinkPercent = 15;
constexpr uint32_t kGrowPercent = 4;
}  // namespace

int64_t RateModel::line_us(size_t bytes) const {
    if (rate_ == 0) return 0;
    return int64_t((bytes + packet::kHeaderBytes + packet::kCheckBytes) * 1000000 / rate_);
}

void RateModel::delivered(size_t bytes, int64_t now_us, int64_t srtt_us, int64_t min_rtt_us) {
    if (span_start_us_ < 0) span_start_us_ = now_us;
    acked_bytes_ += bytes;
    int64_t span = now_us - span_start_us_;
    if (span >= std::max(kRateSpanMinUs, srtt_us)) {
        uint64_t sample = acked_bytes_ * 1000000 / uint64_t(span);
        // Spans where the sender had little to send understate the line:
        // keep the larger, and let the estimate fall only slowly.
        rate_ = std::max(sample, rate_ - rate_ / 8);
        acked_bytes_ = 0;
        span_start_us_ = now_us;
        int64_t rtt = std::max(min_rtt_us, kWindowRttMinUs);
        bdp_ = size_t(
            std::min<uint64_t>(rate_ * uint64_t(rtt * kWindowRtts) / 1000000, packet::kStoreMax));
        packet_cap_ = std::clamp<size_t>(size_t(rate_ * uint64_t(kPacketLineUs) / 1000000),
                                         kPacketLineMin, packet::kPayloadMax);
        interactive_cap_ =
            std::clamp<size_t>(size_t(rate_ * uint64_t(kInteractiveLineUs) / 1000000),
                               kInteractiveMin, packet::kPayloadMax);
    }
    adapt(false);
}

void RateModel::lost() {
    adapt(true);
}

void RateModel::adapt(bool lost) {
    window_tx_++;
    if (lost) window_lost_++;
    if (window_tx_ < kAdaptEvery) return;
    if (window_lost_ * 100 > window_tx_ * kShrinkPercent) {
        packet_bytes_ = std::max(kPacketMin, packet_bytes() / 2);
    } else if (window_lost_ * 100 < window_tx_ * kGrowPercent) {
        packet_bytes_ = std::min(packet::kPayloadMax, packet_bytes_ + packet_bytes_ / 4);
    }
    window_tx_ = window_lost_ = 0;
}

}  // namespace vesk::arq
