// The rate model of a checked link's sender: how fast the line carries what
// is acknowledged, and from that how many bytes may be unacknowledged (the
// window) and how large a packet may be; the share of packets lost sizes
// packets too.  Pure arithmetic over the times and byte counts it is given.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "packet.h"

namespace vesk::arq {

class RateModel {
  public:
    // Packet payload bounds, bytes: a line that damages many packets gets
    // shorter ones, down to kPacketMin, which grow again while few are lost;
    // until the rate is known packets carry kPacketStart, which a slow line
    // carries in about half a second.
    static constexpr size_t kPacketMin = 128;
    static constexpr size_t kPacketStart = 512;
    // Bytes that may be unacknowledged before the line's rate is known.
    // Nothing knows how fast the line is yet, and a slow one should not queue
    // seconds of packets whose timers would all run out.
    static constexpr size_t kWindowStart = 2 * 1024;
    // Once known, the window is the bytes the line carries in kWindowRtts
    // of its shortest round trip, but at least kWindowPacketsMin packets:
    // enough to keep it busy, not so much that a queue hides the round trip.
    static constexpr int64_t kWindowRtts = 2;
    static constexpr size_t kWindowPacketsMin = 2;
    // Once the rate is known a packet takes at most this long on the line,
    // but may carry kPacketLineMin bytes: on a slow line the header of a
    // shorter one costs more of the line than ZMODEM's framing does.
    static constexpr int64_t kPacketLineUs = 40 * 1000;
    static constexpr size_t kPacketLineMin = 2048;
    // While an interactive channel is active (keystrokes), packets take at
    // most this long on the line, but may carry kInteractiveMin bytes: a
    // keystroke waits behind about a window of them, two packets.
    static constexpr int64_t kInteractiveLineUs = 15 * 1000;
    static constexpr size_t kInteractiveMin = 64;
    // The round trip the window is sized by is at least this long,
    // microseconds: on a pipe between two processes the shortest one seen is
    // tens of microseconds, shorter than the gaps in which the two get the
    // CPU, and a window that small starves the pipe.
    static constexpr int64_t kWindowRttMinUs = 5 * 1000;
    // The rate is measured over spans at least this long, microseconds.
    static constexpr int64_t kRateSpanMinUs = 20 * 1000;

    // bytes were acknowledged at now_us, each for the first time.  srtt_us
    // and min_rtt_us: the sender's round-trip estimates (0 while unknown).
    void delivered(size_t bytes, int64_t now_us, int64_t srtt_us, int64_t min_rtt_us);
    // A packet was sent again: the line lost it.
    void lost();
    // Whether an interactive channel is active: packets shrink to keep the
    // line's queue short, and grow back when it is not.
    void set_interactive(bool on) { interactive_ = on; }
    // Payload of the packets cut now, bytes.
    size_t packet_bytes() const {
        size_t cap = rate_ == 0 ? kPacketStart : interactive_ ? interactive_cap_ : packet_cap_;
        return std::min(packet_bytes_, cap);
    }
    // Bytes that may be unacknowledged now: the bandwidth-delay product, but
    // at least kWindowPacketsMin packets.
    size_t window() const {
        if (rate_ == 0) return kWindowStart;
        return std::clamp(bdp_, kWindowPacketsMin * packet_bytes(), packet::kStoreMax);
    }
    // Bytes a second the line has carried, 0 while unknown.
    uint64_t rate() const { return rate_; }
    // How long bytes of payload take to cross the line at the measured
    // rate, microseconds; 0 while the rate is unknown.
    int64_t line_us(size_t bytes) const;

  private:
    // Counts one transmission's fate; every so many, resizes packets.
    void adapt(bool lost);

    size_t packet_bytes_ = packet::kPayloadMax;  // what losses allow
    size_t packet_cap_ = packet::kPayloadMax;    // from the line's rate
    size_t interactive_cap_ = kInteractiveMin;
    size_t bdp_ = kWindowStart;
    bool interactive_ = false;
    uint64_t rate_ = 0;         // bytes a second acknowledged, 0 while unknown
    uint64_t acked_bytes_ = 0;  // since the span began
    int64_t span_start_us_ = -1;
    uint32_t window_tx_ = 0;  // transmissions and losses since the last adaptation
    uint32_t window_lost_ = 0;
};

}  // namespace vesk::arq
