// Opening a TCP link without holding up the event loop: a connect with a
// deadline, and the key check on a worker thread that a deadline or a
// signal can cut short.  Each object is one attempt; destroying it cancels
// the attempt and closes its socket.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "loop.h"
#include "transport.h"

namespace vesk::tcplink {

class Connect {
  public:
    // fd: the connected socket (the callee owns it), or -1 with err (an
    // errno) and why.  Runs on the loop, never inside the constructor, and
    // may destroy the Connect.
    using Done = std::function<void(int fd, int err, const std::string &why)>;

    // Connects to HOST:PORT, giving up after timeout_ms.
    Connect(Loop &loop, const std::string &where, int timeout_ms, Done done);
    ~Connect();
    Connect(const Connect &) = delete;
    Connect &operator=(const Connect &) = delete;

  private:
    void finish(int fd, int err, const std::string &why);
    void on_ready();

    Loop &loop_;
    std::string where_;
    Done done_;
    int fd_ = -1;
    bool watched_ = false;
    uint64_t timer_ = 0;
};

class KeyCheck {
  public:
    // ok: ends hold the socket, ready for frames (the callee owns it); else
    // why says what failed.  Runs on the loop, never inside the constructor,
    // and may destroy the KeyCheck.
    using Done =
        std::function<void(bool ok, const transport::LinkEnds &ends, const std::string &why)>;

    // Takes fd and runs transport::key_check on it; a check not done after
    // deadline_ms fails.
    KeyCheck(Loop &loop, int fd, const std::string &key_path, bool initiator, int deadline_ms,
             Done done);
    ~KeyCheck();
    KeyCheck(const KeyCheck &) = delete;
    KeyCheck &operator=(const KeyCheck &) = delete;

  private:
    // What the worker thread and the loop share.  The thread writes the
    // result before it posts; the loop reads it after the post arrives.
    struct Shared {
        KeyCheck *owner = nullptr;  // null once the KeyCheck is gone (loop thread only)
        bool ok = false;
        transport::LinkEnds ends;
        std::string why;
    };

    void finish();
    void cut_short();

    Loop &loop_;
    int fd_;
    int deadline_ms_;
    Done done_;
    std::shared_ptr<Shared> shared_;
    std::thread worker_;
    uint64_t timer_ = 0;
    bool timed_out_ = false;
};

}  // namespace vesk::tcplink
