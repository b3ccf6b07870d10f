// The wire layer under the Link: how its frame stream crosses the link's
// descriptors.  Three kinds, chosen when the link is made and never asked
// about again: plain frames (a line that damages nothing, or --trust-line),
// encrypted records (TCP) and checked packets that repair what a line
// damages (stdio and exec: links).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vesk {

namespace record {
struct Keys;
}  // namespace record

// What a repairing line has seen and done so far.
struct LineStats {
    uint64_t damaged = 0;      // packets that failed a check
    uint64_t resyncs = 0;      // runs of bytes skipped to find the next packet
    uint64_t retransmits = 0;  // packets sent again
    uint64_t sent = 0;         // data packets sent, retransmissions included
    uint64_t received = 0;     // good packets received
    int64_t srtt_us = 0;       // smoothed round trip, 0 before the first
};

class Line {
  public:
    virtual ~Line() = default;

    // Turns the frame bytes of out from at on into wire bytes, in place.
    // Returns false, with out cut back to at, when it cannot (the link must
    // end then).
    virtual bool wrap(std::string &out, size_t at, int64_t now_us) = 0;
    // As wrap, for the last bytes the link sends (its goodbye): nothing will
    // be there to send them again.
    virtual bool wrap_last(std::string &out, size_t at, int64_t now_us) {
        return wrap(out, at, now_us);
    }

    // What take() made of the bytes it was given.
    struct Taken {
        bool alive = false;             // a sign of life from the far end came
        bool wake = false;              // the writer has work now (acks owed, room freed)
        std::string_view in_place;      // frame bytes to read where they lie (frames untouched)
        const char *fault = nullptr;    // the link ends with this reason
        bool far_may_be_absent = true;  // with fault: whether nobody may be there
        bool far_restarted = false;     // with fault: the far end began a new session
    };
    // Takes bytes read from the link; appends the frame bytes now complete
    // to frames, or, when frames is empty and the bytes are frames as they
    // are, points in_place at them.  up: the far HELLO has come.
    virtual Taken take(std::string_view wire, int64_t now_us, bool up, std::string &frames) = 0;
    // As take() with no new bytes, when next_due_us() has come: bytes held
    // for a packet whose rest is overdue are looked at again.
    virtual Taken expire(int64_t /*now_us*/, bool /*up*/, std::string & /*frames*/) { return {}; }

    // Frame bytes the line takes now before the link must wait (SIZE_MAX:
    // no bound).
    virtual size_t room() const { return SIZE_MAX; }
    // Appends to out what goes before any new frame (what the line lost).
    virtual void before_frames(int64_t /*now_us*/, std::string & /*out*/) {}
    // Appends to out what goes when nothing else does (acknowledgements).
    virtual void when_idle(std::string & /*out*/) {}
    // When before_frames or expire next has work by the clock, or -1 for
    // never.
    virtual int64_t next_due_us() const { return -1; }
    // Whether more than half the line's window is unacknowledged (a copy
    // fills it); false on a line without one.
    virtual bool busy() const { return false; }
    // Whether a channel that wants short waits (keystrokes) is active: a
    // line that queues packets keeps its queue short meanwhile.
    virtual void set_interactive(bool /*on*/) {}
    // Frame bytes a second the line has carried, measured by the line
    // itself; 0 when it does not measure.
    virtual uint64_t rate() const { return 0; }
    // What the line repaired, or nothing for a line that repairs nothing.
    virtual std::optional<LineStats> stats() const { return std::nullopt; }
};

// Frames cross as they are.
std::unique_ptr<Line> plain_line();
// Every byte each way crosses in records sealed with keys; null when the
// crypto library cannot take them.
std::unique_ptr<Line> record_line(const record::Keys &keys);
// Frames cross in checked packets that the far end acknowledges, and what
// the line loses is sent again.  first_seq: this end's first sequence number;
// key: this end's link key, which scrambles every payload (both random);
// flow_bytes: XON and XOFF never appear on the wire (packet::escape).
std::unique_ptr<Line> packet_line(uint32_t first_seq, uint64_t key, bool flow_bytes = false);

}  // namespace vesk
