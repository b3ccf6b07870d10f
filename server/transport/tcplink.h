// Opening a TCP link without holding up the event loop: a connect with a
// deadline, the key check on a worker thread that a deadline or a signal can
// cut short, and a listener that runs many key checks side by side so that
// strangers cannot keep the peer out.  Each Connect and KeyCheck is one
// attempt; destroying it cancels the attempt and closes its socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "log.h"

#include "loop.h"
#include "ends.h"
#include "keycheck.h"

namespace vesk::tcplink {

class Connect {
  public:
    // fd: the connected socket (the callee owns it), or -1 with err (an
    // errno) and why.  Runs on the loop, never inside the constructor, and
    // may destroy the Connect.
    using Done = std::function<void(int fd, int err, const std::string &why)>;

    // Connects to HOST:PORT, trying each address it resolves to in turn
    // until one answers, giving up after timeout_ms in all.
    Connect(Loop &loop, const std::string &where, int timeout_ms, Done done);
    ~Connect();
    Connect(const Connect &) = delete;
    Connect &operator=(const Connect &) = delete;

  private:
    void finish(int fd, int err, const std::string &why);
    void on_ready();
    // Starts on the next address; after the last, fails with err and why
    // (or the last address's own reason).
    void try_next(int err, const std::string &why);
    // HOST:PORT, and the address tried when it has several.
    std::string label(const transport::Address &to) const;

    Loop &loop_;
    std::string where_;
    Done done_;
    std::vector<transport::Address> addresses_;
    size_t next_ = 0;
    std::string why_;  // the last address's failure
    uint64_t start_timer_ = 0;
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
    // deadline_ms fails.  With answer_ms > 0 the deadline starts only when
    // the far end's first bytes arrive, which they must within answer_ms:
    // time spent queued at a busy listener is not the exchange's.
    KeyCheck(Loop &loop, int fd, const std::string &key_path, bool initiator, int deadline_ms,
             int answer_ms, Done done);
    ~KeyCheck();
    KeyCheck(const KeyCheck &) = delete;
    KeyCheck &operator=(const KeyCheck &) = delete;

    // Within a failed check's Done: what kind of failure it was.
    transport::CheckFault fault() const { return fault_; }

  private:
    // What the worker thread and the loop share.  The thread writes the
    // result before it posts; the loop reads it after the post arrives.
    struct Shared {
        KeyCheck *owner = nullptr;  // null once the KeyCheck is gone (loop thread only)
        bool ok = false;
        transport::CheckFault fault = transport::CheckFault::kOther;
        transport::LinkEnds ends;
        std::string why;
    };

    void begin();
    void finish();
    void cut_short();
    void fail_now(const std::string &why);

    Loop &loop_;
    int fd_;
    std::string key_path_;
    bool initiator_;
    int deadline_ms_;
    bool awaiting_ = false;  // watching fd_ for the far end's first bytes
    Done done_;
    std::shared_ptr<Shared> shared_;
    std::thread worker_;
    uint64_t timer_ = 0;
    bool timed_out_ = false;
    transport::CheckFault fault_ = transport::CheckFault::kOther;
};

// Unauthenticated connections a listener takes, as start:rate:full.  Below
// kChecksStart each gets its key check; from there a new one is dropped with
// a chance that rises from kDropStartPercent to 100% at kChecksFull, so that
// a flood cannot grow the checks (one thread and one socket each) beyond
// kChecksFull and yet the peer is seldom the one turned away.
constexpr size_t kChecksStart = 32;
constexpr unsigned kDropStartPercent = 30;
constexpr size_t kChecksFull = 64;
// One address may have this many checks under way: a peer needs one.
constexpr size_t kChecksPerSource = 4;

enum class Admit { kCheck, kSourceFull, kDropped };
// Whether a new connection gets a key check while checking run in all and
// from_source of them come from its address.  random is any 32-bit value.
Admit admit(size_t checking, size_t from_source, uint32_t random);

class Listener {
  public:
    // ends passed the key check (the callee owns them); who is the far
    // address.  Runs on the loop; the Listener may be told to take() in it.
    using Linked = std::function<void(const transport::LinkEnds &ends, const std::string &who)>;

    // Serves listen_fd (a non-blocking listening socket, which it owns):
    // accepts whatever comes and checks the key of what admit() lets in,
    // each within check_ms.  alive_ms is the link's liveness time (tcp_tune).
    Listener(Loop &loop, int listen_fd, std::string key_path, int alive_ms, int check_ms,
             Linked linked);
    ~Listener();
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    // While taken (a link is up or greeting), connections are closed as
    // they come and checks under way are abandoned.
    void set_taken(bool taken);

  private:
    struct Check {
        std::unique_ptr<KeyCheck> check;
        std::string source;  // the far address, without its port
        std::string who;
    };
    using Checks = std::list<Check>;

    void on_ready();
    void take(int fd, const std::string &source, const std::string &who);
    void checked(Checks::iterator it, bool ok, const transport::LinkEnds &ends,
                 const std::string &why);
    void rest(int ms);

    Loop &loop_;
    int fd_;
    std::string key_path_;
    int alive_ms_;
    int check_ms_;
    Linked linked_;
    bool taken_ = false;
    Checks checks_;
    uint64_t rest_timer_ = 0;
    log::Limited refusals_;
    std::mt19937 rng_;
};

}  // namespace vesk::tcplink
