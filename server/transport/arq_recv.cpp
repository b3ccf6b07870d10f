// The receiving half of a checked link's repair (see arq_recv.h).
#include "arq_recv.h"

namespace vesk::arq {
namespace {
// An older vesk sends its HELLO as a plain frame: type 1, flags 0, a length,
// channel 0, then the magic.
constexpr char kPlainHelloMagic[] = "VESK";
constexpr size_t kPlainHelloAt = 8;
}  // namespace

packet::Header Receiver::ack_header() const {
    packet::Header h;
    if (!synced_) return h;
    h.flags = packet::kAck;
    h.ack = rcv_next_ & packet::kSeqWireMask;
    for (uint32_t i = 0; i < packet::kSackBits; i++)
        if (ahead_.count(rcv_next_ + 1 + i)) h.sack |= 1u << i;
    return h;
}

bool Receiver::looks_plain(std::string_view bytes) const {
    // Packets scramble every frame byte, so the magic in the clear is a
    // plain frame's.
    size_t at = bytes.find(kPlainHelloMagic);
    while (at != std::string_view::npos) {
        if (at >= kPlainHelloAt) {
            auto p = reinterpret_cast<const uint8_t *>(bytes.data() + at - kPlainHelloAt);
            if (p[0] == 1 && p[1] == 0 && p[4] == 0 && p[5] == 0 && p[6] == 0 && p[7] == 0)
                return true;
        }
        at = bytes.find(kPlainHelloMagic, at + 1);
    }
    return false;
}

void Receiver::on_data(const packet::Header &h, std::string_view payload, std::string &frames) {
    bool first = h.flags & packet::kFirst;
    uint64_t key = 0;
    if (first) {
        for (size_t i = 0; i < packet::kKeyBytes; i++)
            key |= uint64_t(uint8_t(payload[i])) << (8 * i);
        payload.remove_prefix(packet::kKeyBytes);
    }
    if (!synced_) {
        // Only the far end's first packet says where its stream begins and
        // how it is scrambled.
        if (!first) return;
        synced_ = true;
        far_key_ = key;
        rcv_next_ = h.seq;
    } else if (first && key != far_key_) {
        far_restarted_ = true;
        return;
    }
    ack_owed_ = true;
    uint32_t seq = packet::seq_expand(h.seq, rcv_next_);
    int32_t ahead = packet::seq_diff(seq, rcv_next_);
    if (ahead < 0) {
        ack_again_ = true;  // a copy: our acknowledgement was lost
        return;
    }
    if (uint32_t(ahead) >= packet::kWindowPackets) return;  // no packet of ours
    if (ahead > 0 && ahead_bytes_ + payload.size() > packet::kStoreMax) return;
    plain_.assign(payload);
    packet::scramble(far_key_, seq, plain_.data(), plain_.size());
    if (ahead > 0) {
        if (ahead_.emplace(seq, plain_).second) ahead_bytes_ += plain_.size();
        return;
    }
    frames.append(plain_);
    rcv_next_++;
    for (auto it = ahead_.find(rcv_next_); it != ahead_.end(); it = ahead_.find(rcv_next_)) {
        frames.append(it->second);
        ahead_bytes_ -= it->second.size();
        ahead_.erase(it);
        rcv_next_++;
    }
}

bool Receiver::overdue(std::string_view buf, const packet::Found &f, int64_t now_us,
                       const Sender &sender) {
    // Bytes that are no packet start wait for nothing.
    if (buf.empty() || uint8_t(buf[0]) != packet::kSync0) {
        pending_due_us_ = -1;
        return false;
    }
    // A checked header claims f.skip bytes; before the header is whole, a
    // header's worth is what it waits for.
    size_t size = f.skip != 0 ? f.skip : packet::kHeaderBytes;
    if (pending_due_us_ < 0 || size != pending_size_) {
        pending_size_ = size;
        pending_due_us_ = now_us + sender.arrival_allowance_us(size);
        return false;
    }
    return now_us >= pending_due_us_;
}

bool Receiver::receive(std::string_view bytes, int64_t now_us, std::string &frames,
                       Sender &sender) {
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
        if (f.kind == packet::Found::kNeedMore) {
            // A header whose bytes never come (a false one that passed its
            // check, or a packet whose end was lost on an idle line) must
            // not hold back what follows it for ever.
            if (!overdue(buf.substr(off), f, now_us, sender)) break;
            f.kind = packet::Found::kBadHeader;
            f.skip = 1;
        }
        pending_due_us_ = -1;
        if (f.kind == packet::Found::kOldVersion && !heard_good_) far_old_ = true;
        if (f.kind != packet::Found::kGood) {
            // Bytes before the first packet are a banner or line noise; after
            // it, each run of bytes that are no good packet is one
            // resynchronisation.
            if (heard_good_ && !in_noise_) resyncs_++;
            in_noise_ = true;
            if (f.kind != packet::Found::kNoise) damaged_++;
            if (f.kind == packet::Found::kBadBody) {
                // Its header passed: its acknowledgements hold.
                if (f.header.flags & packet::kAck)
                    sender.on_ack(f.header.ack, f.header.sack, now_us);
                off += 1;  // bytes dropped inside it may hide the next packet's start
            } else {
                off += f.skip;
            }
            continue;
        }
        in_noise_ = false;
        heard_good_ = true;
        life = true;
        received_++;
        if (f.header.flags & packet::kAck) sender.on_ack(f.header.ack, f.header.sack, now_us);
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

}  // namespace vesk::arq
