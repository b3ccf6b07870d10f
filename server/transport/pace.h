// The link's measured pace: how fast it carries bytes and how far away the
// far end is, learned from pings whose place in the byte stream this end
// knows, and what follows from it (the data frame size, the bytes the kernel
// may hold unsent, the bytes in flight).  No protocol change: a PONG proves
// that the far end has read everything this end wrote before the PING.
// Offsets count the frame bytes this end has assembled; times are monotonic
// microseconds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

namespace vesk {

class Pace {
  public:
    // A data frame takes about this long on the link: a small request waits
    // behind about two of them (the one being sent and the one before).
    static constexpr int64_t kFrameTimeUs = 2000;
    // The kernel may hold one frame plus this much of the rate unsent: enough
    // that the link does not run dry while veskd is scheduled, little enough
    // that an urgent frame does not wait long behind it (busy test link,
    // 10 Mbit/s: echo p99 51 ms with 3 ms here, 37 ms with 1.5 ms; 1 Gbit/s
    // at 100 ms kept 95% of its rate with both).
    static constexpr int64_t kUnsentTimeUs = 1500;
    // Unsent limit before the rate is known, and its bounds, bytes.
    static constexpr size_t kUnsentStart = 32 * 1024;
    static constexpr size_t kUnsentMin = 4 * 1024;
    static constexpr size_t kUnsentMax = 4 * 1024 * 1024;
    // Pings while data flows are at least this far apart: a local pair
    // answers in microseconds, and a rate needs bytes to be measured over.
    static constexpr int64_t kPingGapMinUs = 2000;
    // ... and far enough apart that a PING, its PONG and their framing (about
    // kPingWireBytes) take at most 1/kPingShareInverse of the measured rate:
    // on a 9,600-baud line sixteen pings a round trip would eat a quarter of it.
    static constexpr uint64_t kPingWireBytes = 64;
    static constexpr uint64_t kPingShareInverse = 100;
    // Pings that may be unanswered at once; a liveness ping beyond it
    // forgets the oldest.
    static constexpr size_t kPingsMax = 16;
    // Rate samples span at least this long (or a round trip, if longer): PONGs
    // come back in bunches, and shorter spans overstate the rate.
    static constexpr int64_t kRateSpanMinUs = 40000;
    // No in-flight cap below this smallest round trip: on a local pair what
    // queues drains in microseconds, and waiting for PONGs only costs
    // throughput (measured: uploads 20% slower).
    static constexpr int64_t kCapMinRttUs = 1000;
    // The rate is the largest of this many recent samples taken while this
    // end had more to send than the link took.
    static constexpr size_t kRateSamples = 8;

    // The ping with this token left at stream offset `offset` (its own bytes
    // included).
    void ping_sent(uint64_t token, uint64_t offset, int64_t now_us);
    // A PONG came back.  backlogged: this end had more to send than the
    // link took since the previous PONG (only then does the pace say what
    // the link can carry).  Returns false for a token of no ping in flight,
    // which measures nothing.
    bool pong(uint64_t token, int64_t now_us, bool backlogged);
    // Whether a ping may go now to keep measuring (the caller knows whether
    // data flowed since the last one): the last is at least a gap old and
    // fewer than kPingsMax are unanswered.
    bool ping_due(int64_t now_us) const;
    size_t pings_out() const { return out_.size(); }

    // Last and smallest round trips, microseconds (0 before the first).
    int64_t rtt_us() const { return rtt_us_; }
    int64_t min_rtt_us() const { return min_rtt_us_; }
    // When the last round trip was measured, monotonic microseconds (0: never).
    int64_t rtt_at_us() const { return rtt_at_us_; }
    // Bytes per second the link carries, 0 while unknown.
    uint64_t rate() const { return rate_; }
    // Offset the far end is known to have read up to.
    uint64_t acked() const { return acked_; }

    // Data frame payload for the measured rate, within [least, most]: most
    // while the rate is unknown.
    size_t frame_bytes(size_t least, size_t most) const;
    // Unsent bytes the kernel may hold for a link sending frames of frame
    // bytes (see kUnsentTimeUs).
    size_t unsent_limit(size_t frame) const;
    // Bytes assembled and not known to be read that keep the link busy
    // without queueing more than a fraction of a round trip: rate x
    // (1.25 x the smallest round trip + the gap between pings) + two frames.
    // UINT64_MAX while the pace is unknown or the far end is nearer than
    // kCapMinRttUs.
    uint64_t inflight_cap(size_t frame) const;

  private:
    struct Ping {
        uint64_t token;
        uint64_t offset;
        int64_t sent_us;
    };
    struct Mark {
        uint64_t offset;
        int64_t at_us;
        bool backlogged;  // since the previous mark
    };
    int64_t gap_us() const;
    void sample(const Mark &now);

    std::deque<Ping> out_;
    std::deque<Mark> marks_;
    std::deque<uint64_t> samples_;
    int64_t last_ping_us_ = 0;
    uint64_t acked_ = 0;
    int64_t rtt_us_ = 0;
    int64_t rtt_at_us_ = 0;
    int64_t min_rtt_us_ = 0;
    uint64_t rate_ = 0;
};

}  // namespace vesk
