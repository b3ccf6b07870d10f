// The receiving side of a channel's credit: how much the sender may have in
// flight, and when to grant more.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vesk {

class Window {
  public:
    // Every channel starts with this much credit, bytes.
    static constexpr uint32_t kInitial = 256 * 1024;
    // One channel's window never grows beyond this, bytes.
    static constexpr uint32_t kMax = 16 * 1024 * 1024;
    // All channels' windows together stay below this, bytes: the memory a
    // fast sender can make this end hold.
    static constexpr uint64_t kSessionCap = 256ull * 1024 * 1024;

    Window();
    ~Window();
    Window(const Window &) = delete;
    Window &operator=(const Window &) = delete;

    // The receiver has passed n more bytes on.  Returns the credit to grant
    // now (0: keep collecting).  The window doubles when a whole window's
    // worth passes within about two round trips, so that it follows the
    // bandwidth-delay product.
    uint32_t consumed(size_t n, int64_t now_us, int64_t rtt_us);
    uint32_t size() const { return size_; }

  private:
    uint32_t size_ = kInitial;
    uint64_t pending_ = 0;
    uint64_t epoch_bytes_ = 0;
    int64_t epoch_us_ = 0;
};

}  // namespace vesk
