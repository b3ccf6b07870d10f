// The link's output side: the scheduler that picks the next frames (link-wide
// ones first, then the channels by priority and deficit round-robin, each
// within its credit and the line's room) and the writer that wraps them for
// the line and writes them (set-up and queues are in link.cpp).
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/epoll.h>
#include <unistd.h>

#include "compress.h"
#include "ends.h"
#include "link.h"

namespace vesk {
namespace {
// Bytes assembled ahead of the link's writes while the link keeps up: large
// enough for few system calls on a fast link.  While it does not (the write
// would block) the target halves down to one frame with its header, so that a
// new request waits behind at most one frame of bulk data in this buffer on a
// slow link.  One DRR quantum is one frame too: a channel sends about one
// full frame per turn.
constexpr size_t kOutTargetMax = 256 * 1024;
// Frames sent raw after one that compression did not shrink.
constexpr int kIncompressibleSkip = 15;
// Data frames smaller than this are not worth compressing, bytes.
constexpr size_t kCompressMin = 128;
// A compressing frame takes at most this many times the line's room, in
// thousandths of its bytes: a misjudged ratio overshoots the room by little.
constexpr int kRatioMostPermille = 250;
// Rounds of assembling and writing per flush, so that a fast writer does not
// starve the reader.
constexpr int kFlushRounds = 8;
}  // namespace

bool Link::compressing(const Queue &q) const {
    if (q.compress >= 0) return q.compress == 1;
    uint64_t rate = line_->rate();
    return rate != 0 && rate < kCompressByDefaultBelow;
}

void Link::emit(Queue &q, uint8_t type, std::string_view payload) {
    uint8_t flags = chan_mine(q.key) ? frame::kFromOpener : 0;
    bool try_it = type == frame::kData && compressing(q) && payload.size() >= kCompressMin;
    if (try_it && q.skip_compress > 0) {
        // Recent frames did not shrink (already compressed or random data):
        // do not pay for trying every frame.
        q.skip_compress--;
        try_it = false;
    }
    if (try_it) {
        uint64_t rate = line_->rate();
        int level = rate != 0 && rate < kCompressByDefaultBelow ? kCompressLevelSlowLine
                                                                : kCompressLevelFast;
        if (transport::compress({reinterpret_cast<const uint8_t *>(payload.data()), payload.size()},
                                zbuf_, level)) {
            frame::append(out_, type, uint8_t(flags | frame::kCompressed), chan_id(q.key),
                          {reinterpret_cast<const char *>(zbuf_.data()), zbuf_.size()});
            q.ratio_permille = int(std::max<size_t>(zbuf_.size() * 1000 / payload.size(), 1));
            return;
        }
        q.skip_compress = kIncompressibleSkip;
    }
    q.ratio_permille = 1000;
    frame::append(out_, type, flags, chan_id(q.key), payload);
}

void Link::serve(const QueuePtr &q, size_t room) {
    q->deficit += int64_t(frame_max_);
    size_t at = out_.size();
    while (sendable(*q) && q->deficit > 0 && out_.size() - out_off_ < round_target() &&
           out_.size() - at + frame::kHeaderBytes < room) {
        Item &item = q->items.front();
        if (item.type != frame::kData) {
            emit(*q, item.type, item.payload);
            q->deficit -= int64_t(item.payload.size() + frame::kHeaderBytes);
            if (is_answer(item.type) && --q->answers == 0) drained_.push_back(q->key);
            q->items.pop_front();
            continue;
        }
        // Queued frames were cut before the frame size last shrank.  A frame
        // that compresses takes as much more as it shrank last time, so that
        // what it becomes fits the line's room.
        size_t fits = room - (out_.size() - at) - frame::kHeaderBytes;
        if (compressing(*q) && q->skip_compress == 0)
            fits = fits * 1000 / size_t(std::max(q->ratio_permille, kRatioMostPermille));
        size_t n = std::min({item.payload.size(), size_t(q->credit), frame_max_, fits});
        bool was_high = q->data_bytes >= kQueueLow;
        if (n == item.payload.size()) {
            emit(*q, frame::kData, item.payload);
            q->items.pop_front();
        } else {
            // Partial frame up to the credit left: a sender that waits for
            // room for a whole frame can stall against a late updater.  Or a
            // frame cut to the size now in use, or to the line's room.
            emit(*q, frame::kData, std::string_view(item.payload).substr(0, n));
            item.payload.erase(0, n);
        }
        q->credit -= int64_t(n);
        q->data_bytes -= n;
        q->deficit -= int64_t(n);
        if (was_high && q->data_bytes < kQueueLow) drained_.push_back(q->key);
        release_held(*q);
    }
    if (q->items.empty()) {
        q->deficit = 0;
        if (q->released) {
            q->dead = true;
            queues_.erase(q->key);
        }
        return;
    }
    if (!sendable(*q)) q->deficit = 0;  // waits for credit; rejoins then
    make_ready(q);
}

void Link::fill() {
    size_t start = out_.size();
    capped_ = false;
    // A checked link keeps what it sends until acknowledged, within the
    // window it announces as its room: data frames are cut to fit it; a
    // link-wide frame, which cannot wait for long, goes whole while any room
    // is left.
    size_t room = line_->room();
    while (out_.size() - out_off_ < round_target()) {
        size_t used = out_.size() - start;
        if (!urgent_.empty() && used < room) {
            const std::string &f = urgent_.front();
            urgent_bytes_ -= f.size();
            out_.append(f);
            if (f[0] == char(frame::kPing)) {
                // Its place in the stream: the PONG proves the far end read
                // everything up to here.
                uint64_t token = frame::get_u64(reinterpret_cast<const uint8_t *>(f.data()) +
                                                frame::kHeaderBytes);
                pace_.ping_sent(token, framed_ + (out_.size() - start), monotonic_us());
            }
            urgent_.pop_front();
            continue;
        }
        if (ready_.empty()) break;
        if (inflight_full() || used + frame::kHeaderBytes >= room) {
            capped_ = true;
            break;
        }
        size_t before = out_.size();
        auto level = ready_.begin();
        QueuePtr q = level->second.front();
        level->second.pop_front();
        if (level->second.empty()) ready_.erase(level);
        q->listed = false;
        if (q->dead) continue;
        serve(q, room - used);
        data_framed_ += out_.size() - before;
    }
    framed_ += out_.size() - start;
}

void Link::kick() {
    if (kick_pending_ || stopped()) return;
    kick_pending_ = true;
    std::weak_ptr<char> life = life_;
    loop_.defer([this, life] {
        if (life.expired()) return;
        kick_pending_ = false;
        flush();
    });
}

void Link::update_events() {
    if (stopped()) return;
    if (in_fd_ == out_fd_) {
        loop_.modify(in_fd_, EPOLLIN | (want_out_ ? uint32_t(EPOLLOUT) : 0u));
    } else {
        loop_.modify(out_fd_, want_out_ ? uint32_t(EPOLLOUT) : 0u);
    }
}

void Link::flush() {
    if (stopped()) return;
    bool held = false;  // the kernel holds its share unsent
    for (int round = 0; round < kFlushRounds; round++) {
        if (out_off_ == out_.size()) {
            Refill r = refill();
            if (r == Refill::kEnded) return;
            held = r == Refill::kHeld;
            if (held || out_.empty()) break;
        }
        int w = write_out();
        if (w < 0) return;
        if (w == 0) break;
    }
    settle(held);
}

Link::Refill Link::refill() {
    out_.clear();
    out_off_ = 0;
    // The kernel holds its share unsent: what comes next waits here, where
    // an urgent frame can still pass it, until the socket is writable again
    // (below the same limit).
    round_room_ = SIZE_MAX;
    if (kernel_paced_) {
        long unsent = transport::unsent_bytes(out_fd_);
        if (unsent >= 0 && size_t(unsent) >= unsent_limit_) {
            backlogged_ = true;
            return Refill::kHeld;
        }
        // At least a frame, or nothing could go.
        if (unsent >= 0)
            round_room_ =
                std::max(unsent_limit_ - size_t(unsent), frame_max_ + frame::kHeaderBytes);
    }
    // What the line lost goes before anything new.
    int64_t now = monotonic_us();
    line_->set_interactive(now < interactive_until_us_);
    line_->before_frames(now, out_);
    size_t plain_at = out_.size();
    fill();
    if (out_.size() > plain_at && !line_->wrap(out_, plain_at, monotonic_us())) {
        down(false, "link encryption failed");
        return Refill::kEnded;
    }
    if (out_.empty()) line_->when_idle(out_);
    return Refill::kReady;
}

int Link::write_out() {
    ssize_t w = write(out_fd_, out_.data() + out_off_, out_.size() - out_off_);
    if (w < 0) {
        if (errno == EINTR) return 1;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // The link is slower than we fill it: assemble less ahead.
            backlogged_ = true;
            out_target_ = std::max(frame_max_ + frame::kHeaderBytes, out_target_ / 2);
            return 0;
        }
        if (errno == ETIMEDOUT && up() && live_.on()) {
            down(false, live_.lost_reason());
        } else {
            down(goodbye_seen(), std::string("link write failed: ") + strerror(errno));
        }
        return -1;
    }
    out_off_ += size_t(w);
    bytes_out_ += uint64_t(w);
    if (out_off_ == out_.size()) {
        // A TCP socket takes a write whole up to its unsent limit and more:
        // assemble no more than the limit, or the kernel holds twice what it
        // should.
        size_t most = kOutTargetMax;
        if (kernel_paced_ && pace_.rate() != 0)
            most = std::clamp(unsent_limit_, frame_max_ + frame::kHeaderBytes, kOutTargetMax);
        out_target_ = std::min(most, out_target_ * 2);
    }
    return 1;
}

void Link::settle(bool held) {
    // Compact now and then so the buffer does not creep.
    if (out_off_ > 0 && out_off_ == out_.size()) {
        out_.clear();
        out_off_ = 0;
    }
    // A checked link whose store is full waits for acknowledgements, which
    // wake it when they come.
    bool room_left = line_->room() > 0;
    bool pending = out_off_ < out_.size() ||
                   (room_left && (!urgent_.empty() || (!ready_.empty() && !capped_)));
    if (capped_) backlogged_ = true;
    // Measure the pace while data flows; a capped link needs a PONG to go on.
    // A line that measures itself needs no pings for it: on a slow line they
    // would cost it a share of its bytes.
    if (up() && data_framed_ > data_at_ping_ && line_->rate() == 0 &&
        (pace_.ping_due(monotonic_us()) || (capped_ && pace_.pings_out() == 0)))
        ping();
    if (pending && out_off_ == out_.size() && !held) {
        // More is ready but the rounds ran out: come back after other events.
        kick();
        pending = false;
    }
    if (pending != want_out_) {
        want_out_ = pending;
        update_events();
    }
    arm_resend();
    std::vector<ChanKey> drained;
    drained.swap(drained_);
    for (ChanKey k : drained) events_.on_drained(k);
}

}  // namespace vesk
