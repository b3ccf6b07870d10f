// The link: its set-up, the channels' queues, the scheduler and the writer,
// liveness and the end (the input side is in link_in.cpp).
#include "link.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include "compress.h"
#include "ends.h"
#include "log.h"

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
// Longest round trip believed, microseconds: a ping answered after a minute
// says the link stalled, not how far away the far end is.
constexpr int64_t kRttMaxUs = 60 * 1000 * 1000;
// How long a goodbye may take to flush on shut-down, milliseconds.
constexpr int kShutdownFlushMs = 2000;
// Rounds of assembling and writing per flush, so that a fast writer does not
// starve the reader.
constexpr int kFlushRounds = 8;

// Frames that answer a request: counted so that the far end's requests can
// wait until their answers have left.
bool is_answer(uint8_t type) {
    return type == frame::kReply || type == frame::kDataReset;
}
}  // namespace

Link::Link(Loop &loop, int in_fd, int out_fd, LinkEvents &events)
    : loop_(loop), in_fd_(in_fd), out_fd_(out_fd), events_(events), line_(plain_line()) {}

Link::~Link() {
    loop_.cancel(heartbeat_timer_);
    loop_.cancel(resend_timer_);
    if (!stopped()) {
        loop_.remove(in_fd_);
        if (out_fd_ != in_fd_) loop_.remove(out_fd_);
    }
}

void Link::set_liveness(int alive_ms, int hello_ms) {
    live_ = Liveness(alive_ms, hello_ms);
}

bool Link::protect(const record::Keys &keys) {
    auto line = record_line(keys);
    if (!line) return false;
    line_ = std::move(line);
    return true;
}

void Link::start(const frame::Hello &mine) {
    live_.started(monotonic_ms());
    std::string hello = frame::encode_hello(mine);
    frame::append(out_, frame::kHello, 0, 0, hello);
    if (!line_->wrap(out_, 0, monotonic_us())) {
        std::weak_ptr<char> life = life_;
        loop_.defer([this, life] {
            if (!life.expired()) down(false, "link encryption failed");
        });
        return;
    }
    bool watched = loop_.add(in_fd_, EPOLLIN, [this](uint32_t ev) {
        if (ev & (EPOLLIN | EPOLLHUP | EPOLLERR)) on_readable();
        if (!stopped() && in_fd_ == out_fd_ && (ev & EPOLLOUT)) flush();
    });
    if (watched && out_fd_ != in_fd_) {
        watched = loop_.add(out_fd_, 0, [this](uint32_t ev) {
            if (ev & (EPOLLOUT | EPOLLERR | EPOLLHUP)) flush();
        });
    }
    if (!watched) {
        // A regular file or /dev/null cannot be a link: nothing would ever
        // wake us.  Say so instead of waiting for ever.
        std::string why = std::string("the link cannot be a file: ") + strerror(errno);
        std::weak_ptr<char> life = life_;
        loop_.defer([this, life, why] {
            if (!life.expired()) down(false, why);
        });
        return;
    }
    // On a TCP link the kernel holds little unsent, so that the link's queue
    // stays here, where an urgent frame can pass it.
    kernel_paced_ = transport::set_unsent_limit(out_fd_, Pace::kUnsentStart);
    if (kernel_paced_) unsent_limit_ = Pace::kUnsentStart;
    arm_heartbeat();
    kick();
}

Link::QueuePtr Link::queue(ChanKey key) {
    auto it = queues_.find(key);
    if (it != queues_.end()) return it->second;
    auto q = std::make_shared<Queue>();
    q->key = key;
    q->credit = far_.window;
    queues_[key] = q;
    return q;
}

bool Link::sendable(const Queue &q) const {
    if (q.dead || q.items.empty()) return false;
    return q.items.front().type != frame::kData || q.credit > 0;
}

void Link::make_ready(const QueuePtr &q) {
    if (q->listed || !sendable(*q)) return;
    q->listed = true;
    ready_[q->priority].push_back(q);
}

void Link::send(ChanKey key, uint8_t type, std::string_view payload) {
    if (stopped()) return;
    auto q = queue(key);
    q->items.push_back(Item{type, std::string(payload)});
    if (is_answer(type)) q->answers++;
    make_ready(q);
    kick();
}

void Link::send_data(ChanKey key, std::string_view data) {
    if (stopped() || data.empty()) return;
    auto q = queue(key);
    while (!data.empty()) {
        // Top up a partly filled last frame first so that small writes do
        // not each cost a header.
        if (!q->items.empty() && q->items.back().type == frame::kData &&
            q->items.back().payload.size() < frame_max_) {
            auto &last = q->items.back().payload;
            size_t n = std::min(data.size(), frame_max_ - last.size());
            last.append(data.substr(0, n));
            q->data_bytes += n;
            data.remove_prefix(n);
            continue;
        }
        size_t n = std::min(data.size(), frame_max_);
        q->items.push_back(Item{frame::kData, std::string(data.substr(0, n))});
        q->data_bytes += n;
        data.remove_prefix(n);
    }
    make_ready(q);
    kick();
}

void Link::send_urgent(ChanKey key, uint8_t type, std::string_view payload) {
    if (stopped()) return;
    std::string f;
    frame::append(f, type, chan_mine(key) ? uint8_t(frame::kFromOpener) : uint8_t(0), chan_id(key),
                  payload);
    urgent_bytes_ += f.size();
    urgent_.push_back(std::move(f));
    kick();
}

void Link::grant(ChanKey key, uint32_t bytes) {
    if (bytes == 0) return;
    std::string p;
    frame::put_u32(p, bytes);
    send_urgent(key, frame::kCredit, p);
}

void Link::add_credit(ChanKey key, uint32_t bytes) {
    auto it = queues_.find(key);
    if (it == queues_.end()) return;
    auto &q = it->second;
    // A peer that grants without bound would let this end queue without
    // bound; windows never need more than 1 GiB.
    q->credit = std::min<int64_t>(q->credit + bytes, int64_t(1) << 30);
    make_ready(q);
    kick();
}

void Link::set_frame_max(size_t bytes) {
    frame_cap_ = std::clamp(bytes, kFrameMin, frame::kDataMax);
    frame_max_ = pace_.frame_bytes(kFrameMin, frame_cap_);
}

int64_t Link::rtt_us() const {
    return std::min(pace_.rtt_us(), kRttMaxUs);
}

void Link::retune() {
    frame_max_ = pace_.frame_bytes(kFrameMin, frame_cap_);
    if (!kernel_paced_) return;
    size_t limit = pace_.unsent_limit(frame_max_);
    // Only a change worth a system call: an eighth either way.
    if (limit > unsent_limit_ + unsent_limit_ / 8 || limit < unsent_limit_ - unsent_limit_ / 8) {
        if (transport::set_unsent_limit(out_fd_, limit)) unsent_limit_ = limit;
    }
}

bool Link::inflight_full() const {
    // On TCP the kernel's unsent limit keeps the queue here; a cap on top,
    // with what is known read lagging by a round trip, measured worse on
    // the busy test link (see docs/performance.md).
    if (kernel_paced_) return false;
    uint64_t acked = std::min(pace_.acked(), framed_);
    return framed_ - acked >= pace_.inflight_cap(frame_max_);
}

void Link::set_priority(ChanKey key, int priority) {
    queue(key)->priority = priority;
}
void Link::set_compress(ChanKey key, bool on) {
    queue(key)->compress = on;
}

size_t Link::queued_data(ChanKey key) const {
    auto it = queues_.find(key);
    return it == queues_.end() ? 0 : it->second->data_bytes;
}

size_t Link::queued_answers(ChanKey key) const {
    auto it = queues_.find(key);
    return it == queues_.end() ? 0 : it->second->answers;
}

void Link::release(ChanKey key) {
    auto it = queues_.find(key);
    if (it == queues_.end()) return;
    if (it->second->items.empty()) {
        it->second->dead = true;
        queues_.erase(it);
    } else {
        it->second->released = true;
    }
}

void Link::drop(ChanKey key) {
    auto it = queues_.find(key);
    if (it == queues_.end()) return;
    it->second->dead = true;
    queues_.erase(it);
}

void Link::emit(Queue &q, uint8_t type, std::string_view payload) {
    uint8_t flags = chan_mine(q.key) ? frame::kFromOpener : 0;
    bool try_it = type == frame::kData && q.compress && payload.size() >= kCompressMin;
    if (try_it && q.skip_compress > 0) {
        // Recent frames did not shrink (already compressed or random data):
        // do not pay for trying every frame.
        q.skip_compress--;
        try_it = false;
    }
    if (try_it) {
        if (transport::compress({reinterpret_cast<const uint8_t *>(payload.data()), payload.size()},
                                zbuf_)) {
            frame::append(out_, type, uint8_t(flags | frame::kCompressed), chan_id(q.key),
                          {reinterpret_cast<const char *>(zbuf_.data()), zbuf_.size()});
            return;
        }
        q.skip_compress = kIncompressibleSkip;
    }
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
        // Queued frames were cut before the frame size last shrank.
        size_t n = std::min({item.payload.size(), size_t(q->credit), frame_max_,
                             room - (out_.size() - at) - frame::kHeaderBytes});
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
    line_->before_frames(monotonic_us(), out_);
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
    if (up() && data_framed_ > data_at_ping_ &&
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

void Link::set_state(State to) {
    static const char *const kNames[] = {"greeting", "up", "far closing", "down"};
    // A life only goes forward; the callers check before they move.
    if (to <= state_) return log::illegal_move("link", kNames[int(state_)], kNames[int(to)]);
    log::info("link: %s -> %s", kNames[int(state_)], kNames[int(to)]);
    state_ = to;
}

void Link::ping() {
    if (!up() || stopped()) return;
    // Tokens only need to differ from those of other pings in flight.
    last_token_ = std::max(last_token_ + 1, uint64_t(monotonic_us()));
    data_at_ping_ = data_framed_;
    std::string token;
    frame::put_u64(token, last_token_);
    send_urgent(0, frame::kPing, token);
    live_.pinged(monotonic_ms());
}

void Link::arm_heartbeat() {
    // The destructor cancels it: no guard needed.
    heartbeat_timer_ = loop_.after(live_.period_ms(), [this] {
        heartbeat_timer_ = 0;
        heartbeat();
    });
}

void Link::heartbeat() {
    if (stopped()) return;
    switch (live_.check(monotonic_ms())) {
        case Liveness::Verdict::kLost:
            return down(false, lost_reason());
        case Liveness::Verdict::kPing:
            ping();
            break;
        case Liveness::Verdict::kFine:
            break;
    }
    report_line(false);
    arm_heartbeat();
}

void Link::down(bool clean, const std::string &why_given, bool far_may_be_absent) {
    if (stopped()) return;
    bool was_up = up();
    stop_watching();
    std::string why = why_given;
    if (!was_up && !clean && far_may_be_absent)
        why = "the link ended before the far end answered (is veskd running there?): " + why;
    events_.on_link_down(clean, why);
}

void Link::stop_watching() {
    set_state(State::kDown);
    loop_.cancel(heartbeat_timer_);
    heartbeat_timer_ = 0;
    loop_.cancel(resend_timer_);
    resend_timer_ = 0;
    report_line(true);
    loop_.remove(in_fd_);
    if (out_fd_ != in_fd_) loop_.remove(out_fd_);
}

void Link::shut_down() {
    if (stopped()) return;
    out_.erase(0, out_off_);
    out_off_ = 0;
    size_t plain_at = out_.size();
    frame::append(out_, frame::kGoodbye, 0, 0, {});
    line_->wrap_last(out_, plain_at, monotonic_us());  // one that cannot be wrapped is not sent
    // Best effort, bounded: the goodbye tells the far end this was meant.
    int64_t deadline = monotonic_ms() + kShutdownFlushMs;
    while (out_off_ < out_.size() && monotonic_ms() < deadline) {
        ssize_t w = write(out_fd_, out_.data() + out_off_, out_.size() - out_off_);
        if (w > 0) {
            out_off_ += size_t(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR) break;
        pollfd p{out_fd_, POLLOUT, 0};
        poll(&p, 1, 100);
    }
    stop_watching();
}

}  // namespace vesk
