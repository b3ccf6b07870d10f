// An owned descriptor: closed when its owner goes, so that every early
// return of a set-up path leaves nothing open.
#pragma once

#include <unistd.h>

namespace vesk {

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd &&o) noexcept : fd_(o.release()) {}
    Fd &operator=(Fd &&) = delete;
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    // Hands the descriptor over; this Fd owns nothing after.
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now; false when close itself failed (a write may surface there).
    bool close_checked() { return ::close(release()) == 0; }

  private:
    int fd_;
};

}  // namespace vesk
