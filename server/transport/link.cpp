// The link: its set-up, the channels' queues, liveness and the end (the
// output side is in link_out.cpp, the input side in link_in.cpp).
#include "link.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include "ends.h"
#include "log.h"

namespace vesk {
namespace {
// Longest round trip believed, microseconds: a ping answered after a minute
// says the link stalled, not how far away the far end is.
constexpr int64_t kRttMaxUs = 60 * 1000 * 1000;
// How long a goodbye may take to flush on shut-down, milliseconds.
constexpr int kShutdownFlushMs = 2000;
// A write this small on a channel with little queued and a priority of at
// least kInteractivePriority (bulk copies run below it) is taken for a
// keystroke's, bytes; the channel counts as active for kInteractiveHoldUs.
constexpr size_t kInteractiveWrite = 256;
constexpr size_t kInteractiveQueued = 4 * 1024;
constexpr int kInteractivePriority = 0;
constexpr int64_t kInteractiveHoldUs = 10 * 1000 * 1000;
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
    // A request or an answer on a channel that is no bulk copy, while the
    // line is full of another's data, waits for a person as a keystroke
    // does.  (Not on an idle line: a copy's own first requests come before
    // it sets its low priority.)
    if (line_->busy()) note_interactive(*q, payload.size());
    q->items.push_back(Item{type, std::string(payload)});
    if (is_answer(type)) q->answers++;
    make_ready(q);
    kick();
}

void Link::note_interactive(const Queue &q, size_t bytes) {
    if (bytes <= kInteractiveWrite && q.data_bytes < kInteractiveQueued &&
        q.priority >= kInteractivePriority) {
        interactive_until_us_ = monotonic_us() + kInteractiveHoldUs;
    }
}

void Link::send_data(ChanKey key, std::string_view data) {
    if (stopped() || data.empty()) return;
    auto q = queue(key);
    note_interactive(*q, data.size());
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

size_t Link::data_limit() const {
    size_t most = kQueueHigh;
    if (uint64_t rate = line_->rate(); rate != 0)
        most = size_t(std::clamp<uint64_t>(rate * kHonestUs / 1000000, kHonestMin, most));
    return most;
}

size_t Link::data_room(ChanKey key) {
    auto q = queue(key);
    size_t most = data_limit();
    size_t room = q->data_bytes >= most ? 0 : most - q->data_bytes;
    if (room == 0) q->held_back = true;
    return room;
}

void Link::release_held(Queue &q) {
    // Once half the room is back: a wake-up per frame would cost more than
    // it gives.
    if (!q.held_back || q.data_bytes > data_limit() / 2) return;
    q.held_back = false;
    drained_.push_back(q.key);
}

void Link::set_frame_max(size_t bytes) {
    frame_cap_ = std::clamp(bytes, kFrameMin, frame::kDataMax);
    retune_frames();
}

int64_t Link::rtt_us() const {
    return std::min(pace_.rtt_us(), kRttMaxUs);
}

void Link::retune_frames() {
    // A line that cuts frames into packets of its own needs no small frames
    // to keep a request from waiting (it cuts them to its room), and large
    // ones compress better.
    frame_max_ = line_->stats() ? frame_cap_ : pace_.frame_bytes(kFrameMin, frame_cap_);
}

void Link::retune() {
    retune_frames();
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
    // A line that keeps what it sends until acknowledged bounds it itself.
    if (line_->stats()) return false;
    uint64_t acked = std::min(pace_.acked(), framed_);
    return framed_ - acked >= pace_.inflight_cap(frame_max_);
}

void Link::set_priority(ChanKey key, int priority) {
    queue(key)->priority = priority;
}
void Link::set_compress(ChanKey key, bool on) {
    queue(key)->compress = on ? 1 : 0;
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
