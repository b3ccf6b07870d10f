// The sending half of a checked link's repair (see arq_send.h).
#include "arq_send.h"

#include <algorithm>

namespace vesk::arq {
namespace {
// The far end's acknowledgements may stay behind what was freed for a
// reordered or doubled packet's sake (never on a serial line, but on a line
// that reorders); this long past the timeout they mean a false one.
constexpr int64_t kBehindGraceUs = 3 * 1000 * 1000;
// A rate no line this link runs on is slower than, bytes a second (9,600
// bits/s at 10 bits a byte, less a margin): the allowance before the rate
// is known.
constexpr uint64_t kSlowestRate = 800;
// Time for the far end's turn before the bytes of a packet start, at most.
constexpr int64_t kArrivalMarginUs = 500 * 1000;
constexpr const char *kFalseAck =
    "link lost: the far end lacks data that an acknowledgement it never sent (line damage "
    "or a forged packet) freed here";
}  // namespace

Sender::Sender(uint32_t first_seq, uint64_t key)
    : first_seq_(first_seq & packet::kSeqWireMask), key_(key), next_seq_(first_seq_) {}

size_t Sender::room() const {
    if (store_.size() >= packet::kWindowPackets || held_ >= rate_.window()) return 0;
    return rate_.window() - held_;
}

void Sender::emit(Out &o, const packet::Header &ack, int64_t now_us, std::string &wire) {
    packet::Header h = ack;
    h.flags |= o.flags;
    h.seq = o.seq;
    packet::append(wire, h, o.payload);
    o.sent_us = now_us;
    o.prev_order = o.order;
    o.order = ++order_;
    o.tx++;
    sent_++;
    if (o.tx > 1) retransmits_++;
}

void Sender::send(std::string_view frames, const packet::Header &ack, int64_t now_us,
                  std::string &wire) {
    while (!frames.empty()) {
        size_t n = std::min(frames.size(), rate_.packet_bytes());
        Out o;
        o.seq = next_seq_++;
        bool first = o.seq == first_seq_;
        o.flags = packet::kData | (first ? packet::kFirst : 0);
        if (first) {
            // The key goes in the clear: the far end needs it to read the
            // rest, and a file cannot foresee it.
            for (size_t i = 0; i < packet::kKeyBytes; i++)
                o.payload.push_back(char(uint8_t(key_ >> (8 * i))));
        }
        size_t at = o.payload.size();
        o.payload.append(frames.substr(0, n));
        packet::scramble(key_, o.seq, o.payload.data() + at, n);
        o.frame_bytes = n;
        frames.remove_prefix(n);
        held_ += o.payload.size();
        store_.push_back(std::move(o));
        emit(store_.back(), ack, now_us, wire);
    }
}

bool Sender::resend_due(const packet::Header &ack, int64_t now_us, std::string &wire) {
    if (store_.empty()) return false;
    // Timed out: the oldest packet still unacknowledged has waited a whole
    // timeout since it last went.  Send it alone and back off: its
    // acknowledgement shows which of the others are lost too (everything
    // sent before it and not acknowledged), and a timer that ran out only
    // because the line was slow costs one packet.
    Out &oldest = store_.front();
    if (!oldest.queued && now_us - oldest.sent_us >= timeout_us()) {
        rto_us_ = std::min(rto_us_ * 2, kRtoMaxUs);
        oldest.queued = true;
        resend_.push_front(oldest.seq);
    }
    bool any = false;
    while (!resend_.empty()) {
        uint32_t seq = resend_.front();
        resend_.pop_front();
        int32_t at = packet::seq_diff(seq, store_.front().seq);
        if (at < 0 || size_t(at) >= store_.size()) continue;  // acknowledged meanwhile
        Out &o = store_[size_t(at)];
        o.queued = false;
        if (o.sacked) continue;
        rate_.lost();
        emit(o, ack, now_us, wire);
        any = true;
    }
    return any;
}

int64_t Sender::rto_from_rtt() const {
    // RFC 6298's: the smoothed round trip plus four times its variation.
    return std::clamp(srtt_us_ + 4 * rttvar_us_, kRtoMinUs, kRtoMaxUs);
}

int64_t Sender::timeout_us() const {
    // Round trips are mostly timed by small packets; on a slow line the
    // unacknowledged bytes alone take longer than that to cross, and a
    // timer shorter than them only resends what is still on its way.
    return std::max(rto_us_, 2 * rate_.line_us(held_));
}

int64_t Sender::next_due_us() const {
    if (store_.empty()) return -1;
    if (!resend_.empty()) return 0;
    return store_.front().sent_us + timeout_us();
}

void Sender::sample_rtt(int64_t rtt_us) {
    // The usual smoothed round trip and its variation, in eighths and
    // quarters.
    if (min_rtt_us_ == 0 || rtt_us < min_rtt_us_) min_rtt_us_ = std::max<int64_t>(rtt_us, 1);
    if (srtt_us_ == 0) {
        srtt_us_ = rtt_us;
        rttvar_us_ = rtt_us / 2;
    } else {
        int64_t err = rtt_us - srtt_us_;
        srtt_us_ += err / 8;
        rttvar_us_ += ((err < 0 ? -err : err) - rttvar_us_) / 4;
    }
    rto_us_ = rto_from_rtt();
}

void Sender::delivered(Out &o, int64_t now_us) {
    held_ -= o.payload.size();
    rate_.delivered(o.payload.size(), now_us, srtt_us_, min_rtt_us_);
}

int64_t Sender::arrival_allowance_us(size_t bytes) const {
    int64_t at_rate = rate_.line_us(bytes);
    int64_t slowest = int64_t((bytes + packet::kHeaderBytes) * 1000000 / kSlowestRate);
    int64_t line = at_rate > 0 ? at_rate : slowest;
    return 2 * line + kArrivalMarginUs;
}

void Sender::behind(uint32_t ack, int64_t now_us) {
    if (behind_since_us_ < 0 || ack != behind_at_) {
        behind_since_us_ = now_us;
        behind_at_ = ack;
        return;
    }
    if (now_us - behind_since_us_ > 2 * timeout_us() + kBehindGraceUs) fault_ = kFalseAck;
}

void Sender::on_ack(uint32_t wire_ack, uint32_t sack, int64_t now_us) {
    uint32_t front = store_.empty() ? next_seq_ : store_.front().seq;
    uint32_t ack = packet::seq_expand(wire_ack, front);
    int32_t done = packet::seq_diff(ack, front);
    // An ack of what was never sent is no ack of ours: it frees nothing.
    if (done > 0 && size_t(done) > store_.size()) return;
    if (done < 0) {
        if (-done <= int32_t(packet::kWindowPackets)) behind(ack, now_us);
        return;
    }
    behind_since_us_ = -1;
    if (store_.empty()) return;
    uint64_t newest = 0;  // the latest transmission known to have arrived
    int64_t rtt = -1;
    for (int32_t i = 0; i < done; i++) {
        Out &o = store_.front();
        // An acknowledgement sooner after a resend than any round trip seen
        // is the first copy's: the timer ran out only because the line was
        // slow, so it says nothing about the packets sent in between.
        int64_t soonest = std::max(min_rtt_us_, rate_.line_us(o.payload.size()));
        bool first_copy = o.tx > 1 && now_us - o.sent_us < soonest * 3 / 4;
        uint64_t order = first_copy ? o.prev_order : o.order;
        if (!o.sacked && order > newest) {  // a sacked one counted when it was
            newest = order;
            // Only the latest transmission acknowledged times the round
            // trip, and only when it was a packet's only one: an earlier
            // packet waited for this ack, and a resent one is ambiguous.
            rtt = o.tx == 1 ? now_us - o.sent_us : -1;
        }
        if (!o.sacked) delivered(o, now_us);
        store_.pop_front();
    }
    int64_t sack_rtt = -1;
    uint64_t sacked = take_sacks(sack, now_us, &sack_rtt);
    if (sacked > newest) {
        newest = sacked;
        rtt = sack_rtt;
    }
    if (rtt >= 0) {
        sample_rtt(rtt);
    } else if (done > 0 && min_rtt_us_ > 0) {
        // Progress, if only by resent packets: the line works again, so
        // the backed-off timer goes back to what the round trip says.
        rto_us_ = rto_from_rtt();
    }
    mark_overtaken(newest);
}

uint64_t Sender::take_sacks(uint32_t sack, int64_t now_us, int64_t *rtt) {
    uint64_t newest = 0;
    for (uint32_t i = 0; i < packet::kSackBits; i++) {
        size_t at = size_t(i) + 1;
        if (at >= store_.size()) break;
        Out &o = store_[at];
        bool arrived = sack & (1u << i);
        if (!arrived) {
            // A receiver never forgets a packet it has: one shown missing
            // after it was shown arrived was never there.  Its payload was
            // kept for this.
            if (o.sacked) {
                o.sacked = false;
                held_ += o.payload.size();
                if (!o.queued) {
                    o.queued = true;
                    resend_.push_back(o.seq);
                }
            }
            continue;
        }
        if (o.sacked) continue;
        if (o.order > newest) {
            newest = o.order;
            *rtt = o.tx == 1 ? now_us - o.sent_us : -1;
        }
        o.sacked = true;
        delivered(o, now_us);
    }
    return newest;
}

void Sender::mark_overtaken(uint64_t newest) {
    // The loss rule, overtaking: a packet sent before one that arrived, and
    // itself not arrived, was lost (lines do not reorder), so it goes again
    // at once rather than at the timeout.  Beyond the selective acks
    // nothing is known either way.
    for (size_t at = 0; at < store_.size() && at <= packet::kSackBits; at++) {
        Out &o = store_[at];
        if (o.order >= newest) break;
        if (!o.sacked && !o.queued) {
            o.queued = true;
            resend_.push_back(o.seq);
        }
    }
}

}  // namespace vesk::arq
