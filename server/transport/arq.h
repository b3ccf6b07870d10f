// Repair of a checked link: sequence numbers, acknowledgements (cumulative
// plus selective) carried by the packets going the other way, a bounded store
// of what is not yet acknowledged, fast retransmission of a packet that later
// ones overtook and a retransmission timeout from the measured round trip.
// Above it the frame stream arrives once, in order, whatever the line lost,
// damaged or doubled.  No I/O and no clock of its own: the Link feeds it bytes
// and times (monotonic microseconds), so that tests can drive it through any
// line they like.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>

#include "packet.h"

namespace vesk {

class Arq {
  public:
    // Bytes of frames sent and not yet acknowledged, at most: enough for a
    // fast pipe's bandwidth-delay product (1 Gbit/s over 100 ms is 12.5 MB),
    // and the most out-of-order bytes a receiver keeps.
    static constexpr size_t kStoreMax = 16 * 1024 * 1024;
    // Packets in flight at once; the receiver keeps no packet further ahead.
    static constexpr uint32_t kWindowPackets = 4096;
    // Retransmission timeout bounds and first value, microseconds.
    static constexpr int64_t kRtoMinUs = 200 * 1000;
    static constexpr int64_t kRtoMaxUs = 10 * 1000 * 1000;
    // A first timeout this long lets a packet cross even a 9,600-baud line
    // behind a few others.
    static constexpr int64_t kRtoStartUs = 3000 * 1000;
    // Packet payload bounds, bytes: a line that damages many packets gets
    // shorter ones, down to kPacketMin; packets start at kPacketStart, which
    // a slow line carries in about a second, and grow while few are lost.
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
    // Once the rate is known a packet takes at most this long on the line
    // (but may carry kPacketLineMin bytes): a request waits behind at most
    // about a window of them.
    static constexpr int64_t kPacketLineUs = 40 * 1000;
    static constexpr size_t kPacketLineMin = 512;
    // The round trip the window is sized by is at least this long,
    // microseconds: on a pipe between two processes the shortest one seen is
    // tens of microseconds, shorter than the gaps in which the two get the
    // CPU, and a window that small starves the pipe.
    static constexpr int64_t kWindowRttMinUs = 5 * 1000;
    // The rate is measured over spans at least this long, microseconds.
    static constexpr int64_t kRateSpanMinUs = 20 * 1000;

    struct Stats {
        uint64_t damaged = 0;      // packets that failed a check
        uint64_t resyncs = 0;      // runs of bytes skipped to find the next packet
        uint64_t retransmits = 0;  // packets sent again
        uint64_t sent = 0;         // data packets sent, retransmissions included
        uint64_t received = 0;     // good packets received
    };

    // first_seq: the sequence number of this end's first packet (random, so
    // that a stray packet of another link is unlikely to fit the window).
    explicit Arq(uint32_t first_seq);

    // Frame bytes the store takes now before the sender must wait for acks.
    size_t room() const;
    // Cuts frames into packets, keeps them until acknowledged and appends
    // them to wire.
    void send(std::string_view frames, int64_t now_us, std::string &wire);
    // Appends the packets due again (overtaken or timed out) to wire.
    void resend_due(int64_t now_us, std::string &wire);
    // Appends a packet with acknowledgements alone when some are owed.
    void ack_if_owed(std::string &wire);
    bool ack_owed() const { return ack_owed_; }
    // When resend_due next has work by the clock, or -1 when nothing waits
    // for an acknowledgement.
    int64_t next_due_us() const;
    // Packets not yet acknowledged.
    size_t unacked() const { return store_.size(); }

    // Takes received bytes; appends the frame bytes that are now in order to
    // frames.  Returns true when at least one good packet arrived (a sign of
    // life; noise is none).
    bool receive(std::string_view bytes, int64_t now_us, std::string &frames);
    // The far end sends plain frames, as a version without packets does.
    bool far_is_plain() const { return far_plain_; }
    // The far end started afresh: a first packet of another sequence.
    bool far_restarted() const { return far_restarted_; }

    const Stats &stats() const { return stats_; }
    int64_t srtt_us() const { return srtt_us_; }
    int64_t rto_us() const { return rto_us_; }
    // Payload of the packets cut now, bytes.
    size_t packet_bytes() const { return std::min(packet_bytes_, packet_cap_); }

  private:
    struct Out {
        uint32_t seq;
        uint8_t flags;
        std::string payload;  // emptied once selectively acked
        int64_t sent_us = 0;
        uint64_t order = 0;       // of its last transmission, across all packets
        uint64_t prev_order = 0;  // of the transmission before
        uint32_t tx = 0;          // transmissions so far
        bool sacked = false;
        bool queued = false;  // waits in resend_
    };
    void emit(Out &o, int64_t now_us, std::string &wire);
    packet::Header ack_header() const;
    void on_ack(uint32_t ack, uint32_t sack, int64_t now_us);
    void sample_rtt(int64_t rtt_us);
    void on_data(const packet::Header &h, std::string_view payload, std::string &frames);
    void adapt(bool lost);
    // How long bytes take to cross the line at the measured rate, 0 while
    // it is unknown.
    int64_t line_us(size_t bytes) const;
    // The retransmission timeout in force: the round trip's, but never less
    // than twice the time the unacknowledged bytes take on the line.
    int64_t timeout_us() const;
    // Follows the measured rate with the window (bytes acknowledged now).
    void measure(size_t bytes, int64_t now_us);
    bool looks_plain(std::string_view bytes) const;

    // Sending.
    uint32_t first_seq_;
    uint32_t next_seq_;
    std::deque<Out> store_;  // snd_una .. next_seq_ - 1
    size_t held_ = 0;        // payload bytes in store_
    std::deque<uint32_t> resend_;
    uint64_t order_ = 0;
    int64_t srtt_us_ = 0;
    int64_t rttvar_us_ = 0;
    int64_t min_rtt_us_ = 0;
    int64_t rto_us_ = kRtoStartUs;
    size_t packet_bytes_ = kPacketStart;
    size_t packet_cap_ = packet::kPayloadMax;  // from the line's rate
    size_t window_ = kWindowStart;             // bytes that may be unacknowledged
    uint64_t rate_ = 0;                        // bytes a second acknowledged, 0 while unknown
    uint64_t acked_bytes_ = 0;                 // since the span began
    int64_t span_start_us_ = -1;
    uint32_t window_tx_ = 0;  // transmissions and losses since the last adaptation
    uint32_t window_lost_ = 0;

    // Receiving.
    std::string in_;  // bytes not yet taken as packets or noise
    bool synced_ = false;
    uint32_t far_first_ = 0;
    uint32_t rcv_next_ = 0;
    std::map<uint32_t, std::string> ahead_;  // out of order, by sequence number
    size_t ahead_bytes_ = 0;
    bool ack_owed_ = false;
    bool in_noise_ = false;  // the last bytes taken were no good packet
    bool heard_good_ = false;
    bool far_plain_ = false;
    bool far_restarted_ = false;
    Stats stats_;
};

}  // namespace vesk
