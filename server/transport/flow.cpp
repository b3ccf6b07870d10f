// The receiving side of a channel's credit (see flow.h): when to grant more
// and how the window grows.
#include "flow.h"

#include <algorithm>

namespace vesk {
namespace {
uint64_t g_session_total = 0;
// The growth test looks at intervals of at least this, microseconds: round
// trips on a local pair are too short to measure a rate over.
constexpr int64_t kMinEpochUs = 2000;
}  // namespace

Window::Window() {
    g_session_total += size_;
}
Window::~Window() {
    g_session_total -= size_;
}

uint32_t Window::consumed(size_t n, int64_t now_us, int64_t rtt_us) {
    pending_ += n;
    epoch_bytes_ += n;
    if (epoch_us_ == 0) epoch_us_ = now_us;
    int64_t epoch = std::max<int64_t>(2 * rtt_us, kMinEpochUs);
    if (now_us - epoch_us_ >= epoch) {
        epoch_us_ = now_us;
        epoch_bytes_ = 0;
    } else if (epoch_bytes_ >= size_ && size_ < kMax && g_session_total + size_ <= kSessionCap) {
        // A window's worth within the interval: the sender is window-bound.
        g_session_total += size_;
        pending_ += size_;  // the new half is granted at once
        size_ *= 2;
        epoch_us_ = now_us;
        epoch_bytes_ = 0;
    }
    // Grant in quarters: few credit frames, and the sender never runs dry
    // while a quarter is in flight back.
    if (pending_ < size_ / 4) return 0;
    uint32_t grant = uint32_t(std::min<uint64_t>(pending_, UINT32_MAX));
    pending_ -= grant;
    return grant;
}

}  // namespace vesk
