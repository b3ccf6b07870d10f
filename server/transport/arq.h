// Repair of a checked link: sequence numbers, acknowledgements (cumulative
// plus selective) carried by the packets going the other way, a bounded store
// of what is not yet acknowledged, fast retransmission of a packet that later
// ones overtook and a retransmission timeout from the measured round trip.
// Above it the frame stream arrives once, in order, whatever the line lost,
// damaged or doubled.  No I/O and no clock of its own: the caller feeds it
// bytes and times (monotonic microseconds), so that tests can drive it
// through any line they like.  The work is split as TCP stacks split it:
// arq::Sender (acknowledgements, loss, the timeout), arq::Receiver (packets
// in, order, acknowledgements owed) and arq::RateModel (window and packet
// size); this class joins the two directions.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "arq_recv.h"
#include "arq_send.h"
#include "line.h"
#include "packet.h"

namespace vesk {

class Arq {
  public:
    // first_seq: the sequence number of this end's first packet (random, so
    // that a stray packet of another link is unlikely to fit the window; its
    // low 16 bits are used); key: this end's link key (random), which
    // scrambles every payload.
    Arq(uint32_t first_seq, uint64_t key) : sender_(first_seq, key) {}

    // Frame bytes the store takes now before the sender must wait for acks.
    size_t room() const { return sender_.room(); }
    // More than half the window is unacknowledged.
    bool busy() const { return sender_.busy(); }
    // Cuts frames into packets, keeps them until acknowledged and appends
    // them to wire.
    void send(std::string_view frames, int64_t now_us, std::string &wire) {
        if (frames.empty()) return;
        sender_.send(frames, receiver_.ack_header(), now_us, wire);
        receiver_.ack_sent();
    }
    // Appends the packets due again (overtaken or timed out) to wire.
    void resend_due(int64_t now_us, std::string &wire) {
        if (sender_.resend_due(receiver_.ack_header(), now_us, wire)) receiver_.ack_sent();
    }
    // Appends a packet with acknowledgements alone when some are owed.
    void ack_if_owed(std::string &wire) {
        if (!receiver_.ack_owed()) return;
        packet::append(wire, receiver_.ack_header(), {});
        if (receiver_.ack_again()) packet::append(wire, receiver_.ack_header(), {});
        receiver_.ack_sent();
    }
    // When resend_due or expire next has work by the clock, or -1 when
    // nothing waits.
    int64_t next_due_us() const {
        int64_t a = sender_.next_due_us(), b = receiver_.next_due_us();
        return a < 0 ? b : b < 0 ? a : std::min(a, b);
    }
    // Drops a packet whose bytes are overdue and takes what follows it, as
    // receive() does.
    bool expire(int64_t now_us, std::string &frames) { return receive({}, now_us, frames); }
    // Packets not yet acknowledged.
    size_t unacked() const { return sender_.unacked(); }

    // Takes received bytes; appends the frame bytes that are now in order to
    // frames.  Returns true when at least one good packet arrived (a sign of
    // life; noise is none).
    bool receive(std::string_view bytes, int64_t now_us, std::string &frames) {
        return receiver_.receive(bytes, now_us, frames, sender_);
    }
    // The far end sends plain frames, as a version without packets does.
    bool far_is_plain() const { return receiver_.far_is_plain(); }
    // The far end started afresh: a first packet of another key.
    bool far_restarted() const { return receiver_.far_restarted(); }
    // The far end sends the packets of an older version.
    bool far_is_old() const { return receiver_.far_is_old(); }
    // Why the link cannot go on (see Sender::fault), or nullptr.
    const char *fault() const { return sender_.fault(); }

    LineStats stats() const {
        LineStats s;
        s.damaged = receiver_.damaged();
        s.resyncs = receiver_.resyncs();
        s.received = receiver_.received();
        s.retransmits = sender_.retransmits();
        s.sent = sender_.sent();
        s.srtt_us = sender_.srtt_us();
        return s;
    }
    int64_t rto_us() const { return sender_.rto_us(); }
    // Payload of the packets cut now, bytes.
    size_t packet_bytes() const { return sender_.packet_bytes(); }
    // Whether an interactive channel is active (see RateModel).
    void set_interactive(bool on) { sender_.set_interactive(on); }
    // Bytes a second the line has carried this way, 0 while unknown.
    uint64_t rate() const { return sender_.rate(); }

  private:
    arq::Sender sender_;
    arq::Receiver receiver_;
};

}  // namespace vesk
