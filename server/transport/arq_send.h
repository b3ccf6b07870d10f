// The sending half of a checked link's repair: sequence numbers, the bounded
// store of packets not yet acknowledged, what cumulative and selective
// acknowledgements say was delivered or lost, the round-trip estimate and the
// one retransmission timeout.  Rate and packet size are the RateModel's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "arq_rate.h"
#include "packet.h"

namespace vesk::arq {

class Sender {
  public:
    // Retransmission timeout bounds, microseconds.
    static constexpr int64_t kRtoMinUs = 200 * 1000;
    static constexpr int64_t kRtoMaxUs = 10 * 1000 * 1000;
    // A first timeout this long lets a packet cross even a 9,600-baud line
    // behind a few others.
    static constexpr int64_t kRtoStartUs = 3000 * 1000;

    // first_seq: the sequence number of this end's first packet (its low 16
    // bits are used); key: this end's link key, which scrambles every
    // payload and which its first packet carries.
    Sender(uint32_t first_seq, uint64_t key);

    // Frame bytes the store takes now before the sender must wait for acks.
    size_t room() const;
    // More than half the window is unacknowledged.
    bool busy() const { return held_ * 2 > rate_.window(); }
    // Cuts frames into packets that carry ack (the receiver's
    // acknowledgements), keeps them until acknowledged and appends them to
    // wire.
    void send(std::string_view frames, const packet::Header &ack, int64_t now_us,
              std::string &wire);
    // Appends the packets due again (overtaken or timed out) to wire.
    // Returns whether it appended any.
    bool resend_due(const packet::Header &ack, int64_t now_us, std::string &wire);
    // When resend_due next has work by the clock, or -1 when nothing waits
    // for an acknowledgement.
    int64_t next_due_us() const;
    // The far end acknowledged everything before ack (the wire's 16 bits),
    // and sack's packets after it.
    void on_ack(uint32_t ack, uint32_t sack, int64_t now_us);
    // Why the link cannot go on, or nullptr: the far end keeps saying it
    // lacks packets that an earlier acknowledgement, which it cannot have
    // sent, freed here.
    const char *fault() const { return fault_; }
    // How long a receiver may wait for bytes a checked header claims before
    // it drops that header as false: their time on the line at the rate
    // measured this way (a slow line's rate while it is unknown), twice,
    // plus a margin for the far end's turn.
    int64_t arrival_allowance_us(size_t bytes) const;

    size_t unacked() const { return store_.size(); }
    int64_t srtt_us() const { return srtt_us_; }
    int64_t rto_us() const { return rto_us_; }
    size_t packet_bytes() const { return rate_.packet_bytes(); }
    void set_interactive(bool on) { rate_.set_interactive(on); }
    // Bytes a second the line has carried this way, 0 while unknown.
    uint64_t rate() const { return rate_.rate(); }
    uint64_t sent() const { return sent_; }
    uint64_t retransmits() const { return retransmits_; }

  private:
    struct Out {
        uint32_t seq;
        uint8_t flags;
        std::string payload;     // as it goes on the wire (scrambled; a first packet's key ahead)
        size_t frame_bytes = 0;  // frame bytes in it
        int64_t sent_us = 0;
        uint64_t order = 0;       // of its last transmission, across all packets
        uint64_t prev_order = 0;  // of the transmission before
        uint32_t tx = 0;          // transmissions so far
        bool sacked = false;
        bool queued = false;  // waits in resend_
    };
    void emit(Out &o, const packet::Header &ack, int64_t now_us, std::string &wire);
    // One packet's delivery, first heard of now.
    void delivered(Out &o, int64_t now_us);
    void sample_rtt(int64_t rtt_us);
    // The timeout the round-trip estimate gives, within its bounds.
    int64_t rto_from_rtt() const;
    // The retransmission timeout in force: the round trip's, but never less
    // than twice the time the unacknowledged bytes take on the line.
    int64_t timeout_us() const;
    // Queues for resending what the newest delivered transmission overtook.
    void mark_overtaken(uint64_t newest);
    // Takes the selective acks of sack (after the cumulative ack): marks
    // those newly arrived, and puts back in line any the far end now says
    // it lacks.  Returns the order of the newest transmission they show
    // arrived (0: none) and sets *rtt when that one times the round trip.
    uint64_t take_sacks(uint32_t sack, int64_t now_us, int64_t *rtt);
    // An acknowledgement behind what is already freed: the far end lacks
    // packets a false acknowledgement freed; that cannot be repaired.
    void behind(uint32_t ack, int64_t now_us);

    uint32_t first_seq_;
    uint64_t key_;
    uint32_t next_seq_;
    std::deque<Out> store_;  // snd_una .. next_seq_ - 1
    size_t held_ = 0;        // payload bytes in store_
    std::deque<uint32_t> resend_;
    uint64_t order_ = 0;
    int64_t srtt_us_ = 0;
    int64_t rttvar_us_ = 0;
    int64_t min_rtt_us_ = 0;
    int64_t rto_us_ = kRtoStartUs;
    RateModel rate_;
    uint64_t sent_ = 0;
    uint64_t retransmits_ = 0;
    // Since when the far end's acknowledgements stay behind what is freed
    // (-1: they do not), and at which number.
    int64_t behind_since_us_ = -1;
    uint32_t behind_at_ = 0;
    const char *fault_ = nullptr;
};

}  // namespace vesk::arq
