// The link: one byte stream to the far veskd carrying every channel.
//
// Output is scheduled: link-wide frames (credit, datagrams, pings) first,
// then the channels, highest priority first and deficit round-robin among
// equals, each within the credit its receiver granted.  A channel's frames
// keep their order.  Input is read whenever the link has bytes: nothing a
// channel does stops the reader.  A far end that sends nothing for the
// liveness time (pings keep a healthy idle link busy) is a lost link.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "frame.h"
#include "line.h"
#include "liveness.h"
#include "loop.h"
#include "pace.h"

namespace vesk {

// A channel as this end knows it: its id and whether this end opened it.
using ChanKey = uint64_t;
inline ChanKey chan_key(uint32_t id, bool mine) {
    return (uint64_t(mine) << 32) | id;
}
inline uint32_t chan_id(ChanKey k) {
    return uint32_t(k);
}
inline bool chan_mine(ChanKey k) {
    return (k >> 32) != 0;
}

class LinkEvents {
  public:
    virtual ~LinkEvents() = default;
    // The far end's HELLO arrived: the link is up.
    virtual void on_link_up(const frame::Hello &far) = 0;
    // A frame of a channel or a datagram; data is already decompressed.
    virtual void on_frame(uint8_t type, ChanKey key, std::string_view payload) = 0;
    // The data queued on the channel fell below the refill mark, or its last
    // queued answer was sent.
    virtual void on_drained(ChanKey key) = 0;
    // The link ended; clean when the far end said goodbye first.
    virtual void on_link_down(bool clean, const std::string &why) = 0;
};

class Link {
  public:
    // Data a channel may have queued before its producer pauses, bytes.
    static constexpr size_t kQueueHigh = 128 * 1024;
    // The producer is asked for more below this, bytes.
    static constexpr size_t kQueueLow = 32 * 1024;
    // What a channel may have queued on a line that measures its rate: this
    // long of that rate, microseconds, but at least kHonestMin bytes.
    static constexpr int64_t kHonestUs = 2 * 1000 * 1000;
    static constexpr size_t kHonestMin = 2 * 1024;

    Link(Loop &loop, int in_fd, int out_fd, LinkEvents &events);
    ~Link();
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    // Smallest data frame a link may be set to, bytes.
    static constexpr size_t kFrameMin = 512;
    // Data frames this end sends carry at most this much (kFrameMin to
    // frame::kDataMax, which every receiver accepts): a slow link wants small
    // frames so that one frame does not hold the others up for long.  Within
    // it, frames follow the link's measured rate (about Pace::kFrameTimeUs
    // of it each).
    void set_frame_max(size_t bytes);

    // Liveness, set before start().  The link is lost when nothing at all has
    // come from the far end for alive_ms, or when its HELLO has not come
    // within hello_ms of start() (0: no such limit).  Pings go out every
    // third of alive_ms (and at least every Liveness::kPingMaxMs, which
    // measures the round trip), so a healthy far end is never silent that
    // long.
    void set_liveness(int alive_ms, int hello_ms);

    // From the start on, every byte each way crosses in records sealed with
    // keys (an encrypted TCP link); a record that fails to open ends the link
    // with "link integrity check failed".  Call before start().  Returns
    // false when the crypto library cannot take the keys.
    bool protect(const record::Keys &keys);

    // Frames cross in checked packets that the far end acknowledges, and
    // what a damaged line loses is sent again (stdio and exec: links, which
    // may be a serial line).  Both ends must do it.  Call before start().
    // flow_bytes: the line takes XON and XOFF for itself, so they are
    // escaped on the wire (both ends must say so).
    void check_frames(bool flow_bytes = false);
    // What the line repaired so far, or nothing on a link that repairs none.
    std::optional<LineStats> line_stats() const { return line_->stats(); }

    // Sends HELLO (its window: the credit this end grants each channel at
    // its start) and starts reading.
    void start(const frame::Hello &mine);

    // A frame of the channel, in the channel's order.
    void send(ChanKey key, uint8_t type, std::string_view payload = {});
    // Stream bytes of the channel, cut into frames, each sent within credit.
    void send_data(ChanKey key, std::string_view data);
    // Link-wide frames that pass every channel: credit, datagrams.
    void send_urgent(ChanKey key, uint8_t type, std::string_view payload);
    // Grants the far end bytes more credit on the channel (nothing for 0).
    void grant(ChanKey key, uint32_t bytes);
    // The far end granted more credit on a channel of this end.
    void add_credit(ChanKey key, uint32_t bytes);
    void set_priority(ChanKey key, int priority);
    // Data frames of the channel are compressed (on) or not; a channel that
    // was never told is compressed on a line slower than
    // kCompressByDefaultBelow (where the line, not the CPU, is what waits).
    void set_compress(ChanKey key, bool on);
    static constexpr uint64_t kCompressByDefaultBelow = 1000 * 1000;  // bytes a second
    // zstd levels: the fastest where the CPU may be what waits, a thorough one
    // where a line slower than kCompressByDefaultBelow is.
    static constexpr int kCompressLevelFast = 1;
    static constexpr int kCompressLevelSlowLine = 9;
    // Data queued on the channel and not yet sent, bytes.
    size_t queued_data(ChanKey key) const;
    // Bytes of data the channel may still queue now: below kQueueHigh, and
    // on a line that measures its rate within about kHonestUs of that rate
    // (what the line holds unacknowledged is a window, less still), so that
    // a sender's progress follows the line and little is held here.  When it
    // is 0, on_drained reports when there is room again.
    size_t data_room(ChanKey key);
    // REPLY and DATA_RESET frames (answers to requests) queued on the channel
    // and not yet sent.  on_drained reports when the last of them has gone.
    size_t queued_answers(ChanKey key) const;
    // Forget the channel once what is queued has gone (after a kClose).
    void release(ChanKey key);
    // Forget the channel now, dropping what is queued (the far end closed it).
    void drop(ChanKey key);
    // Bytes waiting in the link-wide queue (datagrams are dropped above a cap).
    size_t urgent_bytes() const { return urgent_bytes_; }

    // Says goodbye, flushes what it can within a bounded time and stops.
    void shut_down();
    const frame::Hello &far() const { return far_; }
    // Last measured round trip, microseconds (0 before the first).
    int64_t rtt_us() const;
    // When anything last came from the far end, ms (monotonic).
    int64_t heard_ms() const { return live_.heard_ms(); }
    // The link's pace as measured so far.
    const Pace &pace() const { return pace_; }
    // Bytes read from and written to the link's descriptors so far, with
    // every header, record and packet around the data.
    uint64_t bytes_in() const { return bytes_in_; }
    uint64_t bytes_out() const { return bytes_out_; }
    // The link ended because the far end began a new session on the same
    // line (it was restarted): the line itself still works.
    bool far_restarted() const { return far_restarted_; }

  private:
    struct Item {
        uint8_t type;
        std::string payload;
    };
    struct Queue {
        ChanKey key = 0;
        std::deque<Item> items;
        size_t data_bytes = 0;
        size_t answers = 0;  // REPLY and DATA_RESET items
        int64_t credit = 0;
        bool held_back = false;  // data_room() said 0; on_drained when it is not
        int priority = 0;
        int compress = -1;          // 1 on, 0 off, -1 as the line suggests
        int skip_compress = 0;      // frames left to send without trying
        int ratio_permille = 1000;  // what compression last made of a frame's bytes
        bool listed = false;
        bool released = false;
        bool dead = false;
        int64_t deficit = 0;
    };
    using QueuePtr = std::shared_ptr<Queue>;
    // Frames that answer a request: counted so that the far end's requests
    // can wait until their answers have left.
    static bool is_answer(uint8_t type) {
        return type == frame::kReply || type == frame::kDataReset;
    }

    QueuePtr queue(ChanKey key);
    bool sendable(const Queue &q) const;
    void make_ready(const QueuePtr &q);
    void fill();
    // Sends the queue's frames for one turn, adding at most about room
    // bytes (a frame that cannot be cut may pass it).
    void serve(const QueuePtr &q, size_t room);
    void emit(Queue &q, uint8_t type, std::string_view payload);
    // The data frame size from the pace (or the cap on a line of packets).
    void retune_frames();
    // Whether the queue's data frames are compressed now.
    bool compressing(const Queue &q) const;
    void kick();
    void flush();
    // Assembles the next bytes to write into out_ (empty: nothing to send).
    enum class Refill { kReady, kHeld, kEnded };  // kHeld: the kernel holds enough
    Refill refill();
    // Writes what out_ holds.  Returns 1 when it all went, 0 when the link
    // takes no more now, -1 when the link ended.
    int write_out();
    // After writing: what the descriptors are watched for, pings, drained
    // channels.
    void settle(bool held);
    void on_readable();
    // Acts on what one read brought.  Returns false when the link ended.
    bool take_in(std::string_view got);
    // Acts on what the line made of bytes (or of its timer): the sign of
    // life, the frames, the fault.  Returns false when the link ended.
    bool take_taken(const Line::Taken &t);
    // Ends the link after a read that failed with err (0: end of file).
    void read_failed(int err);
    // Dispatches the complete frames at the start of buf.  Returns the bytes
    // they took, or kLinkEnded when the link ended meanwhile.
    static constexpr size_t kLinkEnded = SIZE_MAX;
    size_t parse(std::string_view buf);
    bool dispatch(const frame::Header &h, std::string_view payload);
    // The far HELLO, the link's first frame.  Returns false when it ends
    // the link.
    bool on_hello(std::string_view payload);
    void on_data(ChanKey key, const frame::Header &h, std::string_view payload);
    // Down for good: no timers, no events, the line's counters reported.
    void stop_watching();
    // Ends the link once.  far_may_be_absent: an end before the far HELLO
    // may mean nobody answers there, and the message says so.
    void down(bool clean, const std::string &why, bool far_may_be_absent = true);
    void update_events();
    // Pings when one is due; ends the link when the far end has been silent
    // too long.  Runs on a timer of its own.
    void heartbeat();
    void arm_heartbeat();
    void ping();
    // The reason a silent link is lost, with the damage seen on its line.
    std::string lost_reason() const;
    // Logs the line's counters (-v) once a minute while they grow, or now.
    void report_line(bool now);
    // Runs flush() when the next retransmission is due.
    void arm_resend();
    // The link's life, in order: HELLO sent, the far HELLO came, the far
    // end said goodbye, ended.  Changed only by set_state().
    enum class State { kGreeting, kUp, kFarClosing, kDown };
    // Moves the link's life forward and logs it at -v; a move back is an
    // illegal move (log::illegal_move), as in the daemon and the streams.
    void set_state(State to);
    bool up() const { return state_ == State::kUp || state_ == State::kFarClosing; }
    bool stopped() const { return state_ == State::kDown; }
    bool goodbye_seen() const { return state_ == State::kFarClosing; }
    // Frame size and the kernel's unsent limit after the pace changed.
    void retune();
    // Whether the bytes assembled and not known read have reached the cap
    // (links whose unsent bytes the kernel does not bound for us: pipes,
    // ssh): beyond it they would only queue in ssh and its socket, where
    // nothing can pass them.
    bool inflight_full() const;

    Loop &loop_;
    int in_fd_;
    int out_fd_;
    LinkEvents &events_;
    State state_ = State::kGreeting;
    bool far_restarted_ = false;
    // Until when a channel that wants short waits counts as active, us.
    int64_t interactive_until_us_ = 0;
    // Notes a write of bytes on q that may be a keystroke's.
    void note_interactive(const Queue &q, size_t bytes);
    // What data_room() lets a channel queue in all, bytes.
    size_t data_limit() const;
    // Queues whose data_room() may have grown report on_drained.
    void release_held(Queue &q);
    bool kick_pending_ = false;
    bool want_out_ = false;
    frame::Hello far_;
    std::unordered_map<ChanKey, QueuePtr> queues_;
    std::map<int, std::deque<QueuePtr>, std::greater<int>> ready_;
    std::deque<std::string> urgent_;
    size_t urgent_bytes_ = 0;
    std::string out_;
    size_t out_off_ = 0;
    size_t out_target_ = 256 * 1024;  // bytes assembled ahead, adapted
    size_t round_room_ = SIZE_MAX;    // what a TCP socket takes unsent this round
    size_t round_target() const { return std::min(out_target_, round_room_); }
    size_t frame_max_ = frame::kDataMax;  // in use, following the pace
    size_t frame_cap_ = frame::kDataMax;  // --frame
    std::string in_;
    size_t in_off_ = 0;
    std::vector<ChanKey> drained_;
    std::vector<uint8_t> zbuf_;
    std::unique_ptr<Line> line_;
    uint64_t resend_timer_ = 0;
    int64_t resend_at_us_ = -1;  // when resend_timer_ fires
    int64_t reported_ms_ = 0;    // the line's counters last logged then
    LineStats reported_;
    Pace pace_;
    uint64_t bytes_in_ = 0;
    uint64_t bytes_out_ = 0;
    uint64_t framed_ = 0;        // frame bytes assembled, the pings' offsets
    uint64_t data_framed_ = 0;   // of them channel frames
    uint64_t data_at_ping_ = 0;  // data_framed_ at the last ping
    uint64_t last_token_ = 0;    // of the last ping
    bool kernel_paced_ = false;  // a TCP link: the kernel bounds what it holds unsent
    size_t unsent_limit_ = 0;    // as last set on the socket
    bool backlogged_ = false;    // more to send than the link took, since the last PONG
    bool capped_ = false;        // the last fill stopped at the in-flight cap
    Liveness live_{0, 0};
    uint64_t heartbeat_timer_ = 0;
    // Work deferred to the loop checks this first: the Link may be gone.
    std::shared_ptr<char> life_ = std::make_shared<char>();
};

}  // namespace vesk
