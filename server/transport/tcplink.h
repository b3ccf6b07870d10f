// Opening a TCP link without holding up the event loop: a connect with a
// deadline, the connecting end's key check on a worker thread that a deadline
// or a signal can cut short, and a listener that runs many key checks side by
// side on the loop so that strangers cannot keep the peer out.  Each Connect
// and KeyCheck is one attempt; destroying it cancels the attempt and closes
// its socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
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

// Connections a listener holds before they prove the key.  None holds a
// thread (the accepting end of the key check runs on the loop), so each costs
// a descriptor and under 1 KiB.
constexpr size_t kSeatsMax = 128;
// One source (an IPv4 address, an IPv6 /64) may hold this many: a peer needs
// one, a few behind one NAT need a few.
constexpr size_t kSeatsPerSource = 4;
// A connection that has spoken gives up its seat to a newcomer only once it
// has been talking this long, ms: a peer finishes within one round trip.
constexpr int kTalkGraceMs = 1000;
// A connection that never speaks is closed after this long, ms.
constexpr int kQuietMaxMs = 10 * 1000;

// What counts as one source: an IPv4 address (an IPv4-mapped IPv6 address
// as that), or the /64 of an IPv6 one, whose owner has all of it.
std::string source_of(const sockaddr *sa);

// A held connection, as make_room sees it.
struct Seat {
    std::string_view source;
    int64_t talking_since_ms = -1;  // -1: has sent nothing yet
};
constexpr size_t kNoRoom = SIZE_MAX;
// Where a new connection from source goes, given those held (oldest first):
// seats.size() when it fits as things are; else the index of the one to
// close for it, the oldest silent one of its source when that is full
// (of anyone's when all are), failing that the oldest whose key check has
// run past kTalkGraceMs; else kNoRoom.
size_t make_room(const std::vector<Seat> &seats, std::string_view source, int64_t now_ms);

class Listener {
  public:
    // ends passed the key check (the callee owns them); who is the far
    // address.  Runs on the loop; the Listener may be told to take() in it.
    using Linked = std::function<void(const transport::LinkEnds &ends, const std::string &who)>;

    // Serves listen_fd (a non-blocking listening socket, which it owns):
    // accepts whatever comes within make_room's bounds and checks the key of
    // each that speaks, within check_ms of its first bytes.  alive_ms is the
    // link's liveness time (tcp_tune).
    Listener(Loop &loop, int listen_fd, std::string key_path, int alive_ms, int check_ms,
             Linked linked);
    ~Listener();
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    // While taken (a link is up or greeting), connections are closed as
    // they come and checks under way are abandoned.
    void set_taken(bool taken);

  private:
    struct Conn {
        int fd = -1;
        std::string source;  // source_of the far address
        std::string who;
        int64_t talking_since_ms = -1;
        unsigned char in[2 * transport::Acceptor::kMessageBytes] = {};  // hello, then proof
        size_t got = 0;
        transport::Acceptor exchange;
        uint64_t timer = 0;
    };
    using Conns = std::list<Conn>;

    void on_ready();
    void take(int fd, const std::string &source, const std::string &who);
    void on_readable(Conns::iterator it);
    // Closes the connection; logs why (limited) unless why is empty.  what
    // is "closed" for one that makes room.
    void drop(Conns::iterator it, const char *what, const std::string &why);
    void clear();
    void rest(int ms);

    Loop &loop_;
    int fd_;
    std::string key_path_;
    int alive_ms_;
    int check_ms_;
    Linked linked_;
    bool taken_ = false;
    Conns conns_;
    uint64_t rest_timer_ = 0;
    log::Limited refusals_;
    log::Limited evictions_;  // a budget of their own: they tell what the listener did
};

}  // namespace vesk::tcplink
