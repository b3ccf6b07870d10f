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
    h.ack = rcv_next_;
    for (uint32_t i = 0; i < packet::kSackBits; i++)
        if (ahead_.count(rcv_next_ + 1 + i)) h.sack |= 1u << i;
    return h;
}

bool Receiver::looks_plain(std::string_view bytes) const {
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

void Receiver::on_data(const packet::Header &h, std::string_view payload, std::string &frames) {
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
    int32_t ahead = packet::seq_diff(h.seq, rcv_next_);
    if (ahead < 0 || uint32_t(ahead) >= packet::kWindowPackets)
        return;  // a copy, or no packet of ours
    if (ahead > 0) {
        if (ahead_bytes_ + payload.size() > packet::kStoreMax) return;
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
        if (f.kind == packet::Found::kNeedMore) break;
        if (f.kind == packet::Found::kNoise || f.kind == packet::Found::kBadHeader ||
            f.kind == packet::Found::kBadBody) {
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
