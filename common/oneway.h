// OneWay: one direction of a two-way relay with half-close, the core shared
// by the port forwarders' relay and veskd's stream ends.  Internal to the
// library and veskd; never installed.
#ifndef VESK_ONEWAY_H
#define VESK_ONEWAY_H

#include <cstddef>
#include <string_view>

#include "bytequeue.h"

namespace vesk {

// Bytes from a source wait in a queue until the destination takes them.  The
// source is either a descriptor given to pump() or the caller, through put()
// and end() (bytes from frames, say).  When the source has ended and the
// queue is drained, the destination's write side is shut: a half-close passes
// through and the other direction goes on.
class OneWay {
  public:
    // cap: bytes held at most.
    explicit OneWay(size_t cap) : queue_(cap) {}

    struct Moved {
        size_t read = 0;     // bytes taken from src
        size_t written = 0;  // bytes given to dst
        int error = 0;       // errno of a failed write to dst, which ended the direction
    };
    // Moves what can move without blocking: writes what is held to dst,
    // reads src (-1: the caller feeds) while there is room, and shuts dst's
    // write side once the source has ended and all is written.  A failed read
    // counts as the source's end; a failed write ends the direction (and shuts
    // src's read side when src is a descriptor).  Returns what moved.
    Moved pump(int src, int dst);
    // pump(-1, dst) with bytes to go after what is held: written straight
    // from bytes when nothing is held (no copy for a reader that keeps up),
    // the rest held.  *refused when the rest would pass the cap: then none of
    // it is held, and the caller ends the direction.
    Moved give(int dst, std::string_view bytes, bool *refused);

    // Bytes from a source the caller feeds.  Returns false, taking nothing,
    // when they would pass the cap; bytes after the end are dropped (true).
    bool put(std::string_view bytes);
    // The source has ended: no more bytes follow.
    void end() { ended_ = true; }
    // Ends the direction now, without a half-close (its destination is gone).
    void stop() {
        ended_ = true;
        done_ = true;
    }

    bool ended() const { return ended_; }
    // Nothing more will move: the half-close was passed on, or it stopped.
    bool done() const { return done_; }
    // Worth reading src now / writing dst now.
    bool wants_read() const { return !ended_ && queue_.room() > 0; }
    bool wants_write() const { return !done_ && !queue_.empty(); }
    const ByteQueue &queue() const { return queue_; }

  private:
    ByteQueue queue_;
    bool ended_ = false;  // the source ended
    bool done_ = false;
};

}  // namespace vesk

#endif
