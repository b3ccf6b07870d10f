// Where a channel's replies and stream data go: to a client of this veskd, or
// over the link to a client of the far one.  The command work (CommandRunner and its
// units) writes to it without knowing which.
#pragma once

#include <cstddef>
#include <string_view>

namespace vesk {

// Bytes the channels read at once from a client, a connected socket or a
// file: four full data frames, and few calls per MiB.
constexpr size_t kReadChunk = 64 * 1024;

class Outlet {
  public:
    virtual ~Outlet() = default;
    virtual void reply(bool ok, std::string_view text) = 0;
    // True while more stream data may be handed over now.
    virtual bool data_room() const = 0;
    virtual void data(std::string_view bytes) = 0;
    // No more stream data follows.
    virtual void eof() = 0;
    // An abandoned file read's data ends here.
    virtual void data_reset() = 0;
    // The stream failed: the channel should end.
    virtual void closed() = 0;
    // The CommandRunner has taken n bytes given to data_in off its hands.
    virtual void consumed(size_t n) = 0;
};

}  // namespace vesk
