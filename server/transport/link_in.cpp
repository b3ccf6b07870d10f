// The link's input side: reading the byte stream, cutting it into frames
// and acting on each (the output side and the scheduler are in link.cpp).
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "compress.h"
#include "link.h"
#include "log.h"

namespace vesk {
namespace {
// Bytes read from the link per system call.
constexpr size_t kLinkReadChunk = 256 * 1024;
// Bytes read per readiness event before other descriptors get their turn.
constexpr size_t kReadPerEvent = 1024 * 1024;
// Link-wide bytes queued beyond which pings go unanswered.
constexpr size_t kPongQueueCap = 1024 * 1024;
}  // namespace

void Link::on_readable() {
    size_t total = 0;
    while (!stopped() && total < kReadPerEvent) {
        // Read into scratch space and copy what is kept: growing in_ by a
        // whole chunk would clear 256 KiB for every small read.
        static char scratch[kLinkReadChunk];
        ssize_t r = read(in_fd_, scratch, sizeof scratch);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (r <= 0) return read_failed(r == 0 ? 0 : errno);
        total += size_t(r);
        bytes_in_ += uint64_t(r);
        if (!take_in(std::string_view(scratch, size_t(r)))) return;
    }
}

void Link::read_failed(int err) {
    if (err == 0 || (err == ECONNRESET && goodbye_seen())) {
        // After a goodbye, a reset only says the far end left with our last
        // bytes unread.
        down(goodbye_seen(),
             goodbye_seen() ? "the far end closed the link" : "link lost: the far end went away");
    } else if (err == ETIMEDOUT && up() && live_.on()) {
        // TCP gave up on unacknowledged data (its user timeout is the
        // liveness time): the same silence, noticed by the kernel.
        down(false, live_.lost_reason());
    } else {
        down(false, err == ECONNRESET
                        ? std::string("link lost: the far end went away (connection reset)")
                        : std::string("link read failed: ") + strerror(err));
    }
}

bool Link::take_in(std::string_view got) {
    return take_taken(line_->take(got, monotonic_us(), up(), in_));
}

bool Link::take_taken(const Line::Taken &t) {
    if (t.alive) live_.heard(monotonic_ms());
    if (t.wake) kick();
    if (t.fault) {
        far_restarted_ = t.far_restarted;
        down(false, t.fault, t.far_may_be_absent);
        return false;
    }
    if (!t.in_place.empty()) {
        // Nothing was left over: the frames are read where they landed and
        // only a partial one is kept.
        size_t used = parse(t.in_place);
        if (used == kLinkEnded) return false;
        in_.append(t.in_place.substr(used));
        return true;
    }
    size_t used = parse(std::string_view(in_).substr(in_off_));
    if (used == kLinkEnded) return false;
    in_off_ += used;
    if (in_off_ == in_.size()) {
        in_.clear();
        in_off_ = 0;
    } else if (in_off_ > kLinkReadChunk) {
        in_.erase(0, in_off_);
        in_off_ = 0;
    }
    return true;
}

size_t Link::parse(std::string_view buf) {
    size_t off = 0;
    while (buf.size() - off >= frame::kHeaderBytes) {
        frame::Header h = frame::parse_header(reinterpret_cast<const uint8_t *>(buf.data() + off));
        if (buf.size() - off < frame::kHeaderBytes + h.length) break;
        std::string_view payload = buf.substr(off + frame::kHeaderBytes, h.length);
        off += frame::kHeaderBytes + h.length;
        if (!dispatch(h, payload) || stopped()) return kLinkEnded;
    }
    return off;
}

bool Link::on_hello(std::string_view payload) {
    if (!frame::decode_hello(payload, &far_)) {
        down(false, "the far end does not speak the vesk link protocol");
        return false;
    }
    if (far_.protocol != frame::kLinkProtocol) {
        down(false, "the far end speaks link protocol " + std::to_string(far_.protocol) +
                        ", this end " + std::to_string(frame::kLinkProtocol));
        return false;
    }
    // Credits below one frame would make every channel crawl, and more than
    // 1 GiB is no window any end can honour: bound what it says.
    far_.window = std::clamp<uint32_t>(far_.window, uint32_t(frame::kDataMax), 1u << 30);
    set_state(State::kUp);
    // Channels queued before the far end answered start with its window.
    for (auto &[k, q] : queues_) {
        q->credit += far_.window;
        make_ready(q);
    }
    kick();
    // Measure the round trip at once: window growth needs it.
    live_.up(monotonic_ms());
    ping();
    // From now on the liveness time is watched, not the HELLO's.
    loop_.cancel(heartbeat_timer_);
    arm_heartbeat();
    events_.on_link_up(far_);
    return true;
}

bool Link::dispatch(const frame::Header &h, std::string_view payload) {
    if (!up()) {
        if (h.type == frame::kHello) return on_hello(payload);
        down(false, "the far end does not speak the vesk link protocol");
        return false;
    }
    // The frame's channel as this end names it: the sender opened it when
    // the flag is set, so it is not one of ours.
    ChanKey key = chan_key(h.channel, !(h.flags & frame::kFromOpener));
    switch (h.type) {
        case frame::kPing:
            // A far end that pings without reading would grow the queue
            // for ever; a ping left unanswered is only a lost measurement.
            if (urgent_bytes_ <= kPongQueueCap) send_urgent(0, frame::kPong, payload);
            return true;
        case frame::kPong:
            // Only the echo of a ping this end sent measures anything: a
            // made-up token would set any rtt, and window growth doubles it.
            if (payload.size() == 8 &&
                pace_.pong(frame::get_u64(reinterpret_cast<const uint8_t *>(payload.data())),
                           monotonic_us(), backlogged_)) {
                backlogged_ = want_out_ || capped_;
                retune();
                if (capped_) kick();
            }
            return true;
        case frame::kGoodbye:
            if (state_ == State::kUp) set_state(State::kFarClosing);
            // A line (a serial one) has no end of file to follow the
            // goodbye: the goodbye itself ends the link.
            if (line_->stats()) {
                down(true, "the far end closed the link");
                return false;
            }
            return true;
        case frame::kCredit:
            if (payload.size() == 4)
                add_credit(key, frame::get_u32(reinterpret_cast<const uint8_t *>(payload.data())));
            return true;
        case frame::kData:
            on_data(key, h, payload);
            return true;
        default:
            events_.on_frame(h.type, key, payload);
            return true;
    }
}

void Link::on_data(ChanKey key, const frame::Header &h, std::string_view payload) {
    if (!(h.flags & frame::kCompressed)) return events_.on_frame(frame::kData, key, payload);
    if (!transport::decompress({reinterpret_cast<const uint8_t *>(payload.data()), payload.size()},
                               zbuf_, frame::kDataMax)) {
        // Corrupt data ends that channel only.
        log::error("channel %u: corrupt compressed data, closing it", h.channel);
        events_.on_frame(frame::kClose, key, {});
        send(key, frame::kClose);
        release(key);
        return;
    }
    std::string plain(reinterpret_cast<const char *>(zbuf_.data()), zbuf_.size());
    events_.on_frame(frame::kData, key, plain);
}

}  // namespace vesk
