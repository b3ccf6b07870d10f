// Sequence numbers, acknowledgements and retransmission of a checked link
// (see arq.h).
#include "arq.h"

#include <algorithm>
#include <cstring>

namespace vesk {
namespace {

// Serial-number order of 32-bit sequence numbers: a - b as a signed distance.
int32_t seq_diff(uint32_t a, uint32_t b) {
    return int32_t(a - b);
}

// Losses among this many transmissions decide the packet size.
constexpr uint32_t kAdaptEvery = 32;
// Above this lost share packets halve; below the second they grow by a quarter.
constexpr uint32_t kShrinkPercent = 15;
constexpr uint32_t kGrowPercent = 4;

// An older vesk sends its HELLO as a plain frame: type 1, flags 0, a length,
// channel 0, then the magic.
constexpr char kPlainHelloMagic[] = "VESK";
constexpr size_t kPlainHelloAt = 8;

}  // namespace

Arq::Arq(uint32_t first_seq) : first_seq_(first_seq), next_seq_(first_seq) {}

size_t Arq::room() const {
    if (store_.size() >= kWindowPackets || held_ >= window_) return 0;
    return window_ - held_;
}

packet::Header Arq::ack_header() const {
    packet::Header h;
    if (!synced_) return h;
    h.flags = packet::kAck;
    h.ack = rcv_next_;
    for (uint32_t i = 0; i < packet::kSackBits; i++)
        if (ahead_.count(rcv_next_ + 1 + i)) h.sack |= 1u << i;
    return h;
}

void Arq::emit(Out &o, int64_t now_us, std::string &wire) {
    packet::Header h = ack_header();
    h.flags |= o.flags;
    h.seq = o.seq;
    packet::append(wire, h, o.payload);
    o.sent_us = now_us;
    o.prev_order = o.order;
    o.order = ++order_;
    o.tx++;
    stats_.sent++;
    if (o.tx > 1) stats_.retransmits++;
    ack_owed_ = false;
}

void Arq::send(std::string_view frames, int64_t now_us, std::string &wire) {
    while (!frames.empty()) {
        size_t n = std::min(frames.size(), packet_bytes());
        Out o;
        o.seq = next_seq_++;
        o.flags = packet::kData | (o.seq == first_seq_ ? packet::kFirst : 0);
        o.payload.assign(frames.substr(0, n));
        frames.remove_prefix(n);
        held_ += n;
        store_.push_back(std::move(o));
        emit(store_.back(), now_us, wire);
    }
}

void Arq::resend_due(int64_t now_us, std::string &wire) {
    if (store_.empty()) return;
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
    while (!resend_.empty()) {
        uint32_t seq = resend_.front();
        resend_.pop_front();
        int32_t at = seq_diff(seq, store_.front().seq);
        if (at < 0 || size_t(at) >= store_.size()) continue;  // acknowledged meanwhile
        Out &o = store_[size_t(at)];
        o.queued = false;
        if (o.sacked) continue;
        adapt(true);
        emit(o, now_us, wire);
    }
}

void Arq::ack_if_owed(std::string &wire) {
    if (!ack_owed_ || !synced_) return;
    packet::append(wire, ack_header(), {});
    ack_owed_ = false;
}

int64_t Arq::line_us(size_t bytes) const {
    if (rate_ == 0) return 0;
    return int64_t((bytes + packet::kHeaderBytes + packet::kCheckBytes) * 1000000 / rate_);
}

int64_t Arq::timeout_us() const {
    // Round trips are mostly timed by small packets; on a slow line the
    // unacknowledged bytes alone take longer than that to cross, and a
    // timer shorter than them only resends what is still on its way.
    return std::max(rto_us_, 2 * line_us(held_));
}

int64_t Arq::next_due_us() const {
    if (store_.empty()) return -1;
    if (!resend_.empty()) return 0;
    return store_.front().sent_us + timeout_us();
}

void Arq::sample_rtt(int64_t rtt_us) {
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
    rto_us_ = std::clamp(srtt_us_ + 4 * rttvar_us_, kRtoMinUs, kRtoMaxUs);
}

void Arq::measure(size_t bytes, int64_t now_us) {
    if (span_start_us_ < 0) span_start_us_ = now_us;
    acked_bytes_ += bytes;
    int64_t span = now_us - span_start_us_;
    if (span < std::max(kRateSpanMinUs, srtt_us_)) return;
    uint64_t sample = acked_bytes_ * 1000000 / uint64_t(span);
    // Spans where the sender had little to send understate the line: keep
    // the larger, and let the estimate fall only slowly.
    rate_ = std::max(sample, rate_ - rate_ / 8);
    acked_bytes_ = 0;
    span_start_us_ = now_us;
    int64_t rtt = std::max(min_rtt_us_, kWindowRttMinUs);
    size_t bdp =
        size_t(std::min<uint64_t>(rate_ * uint64_t(rtt * kWindowRtts) / 1000000, kStoreMax));
    packet_cap_ = std::clamp<size_t>(size_t(rate_ * uint64_t(kPacketLineUs) / 1000000),
                                     kPacketLineMin, packet::kPayloadMax);
    window_ = std::clamp(bdp, kWindowPacketsMin * packet_bytes(), kStoreMax);
}

void Arq::adapt(bool lost) {
    window_tx_++;
    if (lost) window_lost_++;
    if (window_tx_ < kAdaptEvery) return;
    if (window_lost_ * 100 > window_tx_ * kShrinkPercent) {
        packet_bytes_ = std::max(kPacketMin, packet_bytes_ / 2);
    } else if (window_lost_ * 100 < window_tx_ * kGrowPercent) {
        packet_bytes_ = std::min(packet::kPayloadMax, packet_bytes_ + packet_bytes_ / 4);
    }
    window_tx_ = window_lost_ = 0;
}

void Arq::on_ack(uint32_t ack, uint32_t sack, int64_t now_us) {
    if (store_.empty()) return;
    uint32_t una = store_.front().seq;
    int32_t done = seq_diff(ack, una);
    // An ack beyond what was sent is no ack of ours.
    if (done < 0 || size_t(done) > store_.size()) return;
    uint64_t newest = 0;  // the latest transmission known to have arrived
    int64_t rtt = -1;
    for (int32_t i = 0; i < done; i++) {
        Out &o = store_.front();
        // An acknowledgement sooner after a resend than any round trip seen
        // is the first copy's: the timer ran out only because the line was
        // slow, so it says nothing about the packets sent in between.
        int64_t soonest = std::max(min_rtt_us_, line_us(o.payload.size()));
        bool first_copy = o.tx > 1 && now_us - o.sent_us < soonest * 3 / 4;
        uint64_t order = first_copy ? o.prev_order : o.order;
        if (!o.sacked && order > newest) {  // a sacked one counted when it was
            newest = order;
            // Only the latest transmission acknowledged times the round
            // trip, and only when it was a packet's only one: an earlier
            // packet waited for this ack, and a resent one is ambiguous.
            rtt = o.tx == 1 ? now_us - o.sent_us : -1;
        }
        if (!o.sacked) {
            held_ -= o.payload.size();
            measure(o.payload.size(), now_us);
            adapt(false);
        }
        store_.pop_front();
    }
    for (uint32_t i = 0; i < packet::kSackBits && sack; i++) {
        if (!(sack & (1u << i))) continue;
        size_t at = size_t(i) + 1;
        if (at >= store_.size()) break;
        Out &o = store_[at];
        if (o.sacked) continue;
        if (o.order > newest) {
            newest = o.order;
            rtt = o.tx == 1 ? now_us - o.sent_us : -1;
        }
        o.sacked = true;
        held_ -= o.payload.size();
        measure(o.payload.size(), now_us);
        adapt(false);
        std::string().swap(o.payload);
    }
    if (rtt >= 0) {
        sample_rtt(rtt);
    } else if (done > 0 && min_rtt_us_ > 0) {
        // Progress, if only by resent packets: the line works again, so
        // the backed-off timer goes back to what the round trip says.
        rto_us_ = std::clamp(srtt_us_ + 4 * rttvar_us_, kRtoMinUs, kRtoMaxUs);
    }
    // A packet sent before one that arrived, and itself not arrived, was
    // lost: lines do not reorder, so send it again now.  Beyond the
    // selective acks nothing is known either way.
    for (size_t at = 0; at < store_.size() && at <= packet::kSackBits; at++) {
        Out &o = store_[at];
        if (o.order >= newest) break;
        if (!o.sacked && !o.queued) {
            o.queued = true;
            resend_.push_back(o.seq);
        }
    }
}

bool Arq::looks_plain(std::string_view bytes) const {
    size_t at = bytes.find(kPlainHelloMagic);
    while (at != std::string_view::npos) {
        if (at >= kPlainHelloAt) {
            size_t frame_at = at - kPlainHelloAt;
            auto p = reinterpret_cast<const uint8_t *>(bytes.data() + frame_at);
            // Our own first packet carries the same frame right after its header.
            auto q = p - packet::kHeaderBytes;
            bool in_packet = frame_at >= packet::kHeaderBytes && q[0] == packet::kSync0 &&
                             q[1] == packet::kSync1;
            if (!in_packet && p[0] == 1 && p[1] == 0 && p[4] == 0 && p[5] == 0 && p[6] == 0 &&
                p[7] == 0)
                return true;
        }
        at = bytes.find(kPlainHelloMagic, at + 1);
    }
    return false;
}

void Arq::on_data(const packet::Header &h, std::string_view payload, std::string &frames) {
    if (!synced_) {
        // Only the far end's first packet says where its stream begins.
        if (!(h.flags & packet::kFirst)) return;
        synced_ = true;
        far_first_ = h.seq;
        rcv_next_ = h.seq;
    } else if ((h.flags & packet::kFirst) && h.seq != far_first_) {
        far_restarted_ = true;
        return;
    }
    ack_owed_ = true;
    int32_t ahead = seq_diff(h.seq, rcv_next_);
    if (ahead < 0 || uint32_t(ahead) >= kWindowPackets) return;  // a copy, or no packet of ours
    if (ahead > 0) {
        if (ahead_bytes_ + payload.size() > kStoreMax) return;
        if (ahead_.emplace(h.seq, std::string(payload)).second) ahead_bytes_ += payload.size();
        return;
    }
    frames.append(payload);
    rcv_next_++;
    for (auto it = ahead_.find(rcv_next_); it != ahead_.end(); it = ahead_.find(rcv_next_)) {
        frames.append(it->second);
        ahead_bytes_ -= it->second.size();
        ahead_.erase(it);
        rcv_next_++;
    }
}

bool Arq::receive(std::string_view bytes, int64_t now_us, std::string &frames) {
    // Scan in place what came unless part of a packet waits from before.
    std::string_view buf = bytes;
    if (!in_.empty()) {
        in_.append(bytes);
        buf = in_;
    }
    if (!heard_good_ && !far_plain_) far_plain_ = looks_plain(buf);
    bool life = false;
    size_t off = 0;
    while (off < buf.size()) {
        packet::Found f = packet::scan(buf.substr(off));
        if (f.kind == packet::Found::kNeedMore) break;
        if (f.kind == packet::Found::kNoise || f.kind == packet::Found::kBadHeader ||
            f.kind == packet::Found::kBadBody) {
            // Bytes before the first packet are a banner or line noise; after
            // it, each run of bytes that are no good packet is one
            // resynchronisation.
            if (heard_good_ && !in_noise_) stats_.resyncs++;
            in_noise_ = true;
            if (f.kind != packet::Found::kNoise) stats_.damaged++;
            if (f.kind == packet::Found::kBadBody) {
                // Its header passed: its acknowledgements hold.
                if (f.header.flags & packet::kAck) on_ack(f.header.ack, f.header.sack, now_us);
                off += 1;  // bytes dropped inside it may hide the next packet's start
            } else {
                off += f.skip;
            }
            continue;
        }
        in_noise_ = false;
        heard_good_ = true;
        life = true;
        stats_.received++;
        if (f.header.flags & packet::kAck) on_ack(f.header.ack, f.header.sack, now_us);
        if (f.header.flags & packet::kData) on_data(f.header, f.payload, frames);
        off += f.skip;
    }
    if (buf.data() == in_.data()) {
        in_.erase(0, off);
    } else {
        in_.assign(buf.substr(off));
    }
    return life;
}

}  // namespace vesk
