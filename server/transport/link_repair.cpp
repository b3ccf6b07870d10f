// The Link's side of a line that repairs (checked packets on stdio and
// exec: links): choosing it, the timer that wakes the writer when something
// is due again, and what the line's counters say, in the lost-link reason
// and the -v log.
#include <algorithm>
#include <random>

#include "link.h"
#include "log.h"

namespace vesk {
namespace {
// The line's counters are logged at most this often while they grow, ms.
constexpr int64_t kLineReportMs = 60 * 1000;
// The resend timer waits at most this long, ms: waking early only costs a
// look.
constexpr int64_t kResendWaitMaxMs = 10 * 1000;
}  // namespace

void Link::check_frames(bool flow_bytes) {
    // A random first sequence number: a stray packet of another link (one
    // carried inside a forwarded stream, say) is unlikely to fit the window.
    std::random_device rd;
    uint64_t key = (uint64_t(rd()) << 32) | rd();
    line_ = packet_line(rd(), key, flow_bytes);
    retune_frames();
}

void Link::arm_resend() {
    int64_t due = line_->next_due_us();
    if (due < 0) {
        if (resend_timer_ == 0) return;
        loop_.cancel(resend_timer_);
        resend_timer_ = 0;
        resend_at_us_ = -1;
        return;
    }
    // Keep a timer that fires first anyway; waking early only costs a look.
    if (resend_timer_ != 0 && resend_at_us_ <= due) return;
    loop_.cancel(resend_timer_);
    int64_t now = monotonic_us();
    int ms = int(std::clamp<int64_t>((due - now + 999) / 1000, 1, kResendWaitMaxMs));
    resend_at_us_ = now + int64_t(ms) * 1000;
    resend_timer_ = loop_.after(ms, [this] {
        resend_timer_ = 0;
        resend_at_us_ = -1;
        // A packet whose rest is overdue lets what follows it through.
        if (!take_taken(line_->expire(monotonic_us(), up(), in_))) return;
        flush();
    });
}

std::string Link::lost_reason() const {
    std::string why = live_.lost_reason();
    auto st = line_->stats();
    if (st && st->damaged > 0) why += " (" + std::to_string(st->damaged) + " damaged frames)";
    return why;
}

void Link::report_line(bool now) {
    auto got = line_->stats();
    if (!got) return;
    const LineStats &st = *got;
    if (st.damaged == reported_.damaged && st.resyncs == reported_.resyncs &&
        st.retransmits == reported_.retransmits)
        return;
    int64_t t = monotonic_ms();
    if (!now && t - reported_ms_ < kLineReportMs) return;
    reported_ms_ = t;
    reported_ = st;
    log::info(
        "link line: %llu damaged frames, %llu resynchronisations, %llu of %llu packets resent",
        (unsigned long long)st.damaged, (unsigned long long)st.resyncs,
        (unsigned long long)st.retransmits, (unsigned long long)st.sent);
}

}  // namespace vesk
