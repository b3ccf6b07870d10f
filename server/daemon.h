// veskd's life across links: opening the link (exec:, a serial device, a
// TCP connect or listener, the key check), serving while it is up, and what
// follows its end: exit, listen again, or reconnect with backoff.  One link
// at a time; the client socket stays from the first link's HELLO (on a
// tcp-listen: end, from the start) to veskd's end.
//
//   starting    before the first try                    -> connecting /
//               listening / greeting (stdio)
//   connecting  exec: command started, serial device opened, tcp: connect,
//               or (stdio, again) the same ends taken up -> greeting / key check
//   listening   tcp-listen: key checks of connections that come, side by
//               side within the listener's bounds; one passes -> greeting
//               (the report calls it "waiting", for the far end)
//   key check   tcp: passed -> greeting; failed -> like any failed try
//   greeting    HELLO sent, the far one awaited         -> up, or the link ends
//   up          clients served                          -> the link ends
//   link ends   the far end began a new session on the same line (stdio,
//               exec:, serial): a new session on the same ends -> greeting;
//               tcp-listen: -> listening; --reconnect -> waiting; else exit
//   waiting     backoff (1 s doubling to 60 s)          -> connecting
//               (the report calls it "down")
//   any state   SIGTERM, SIGINT                         -> exit
// Each move is logged at -v; Daemon::legal_move holds the table.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "gate.h"
#include "log.h"
#include "loop.h"
#include "session.h"
#include "status.h"
#include "tcplink.h"
#include "ends.h"
#include "linkarg.h"
#include "serial.h"

namespace vesk {

struct LinkOptions {
    transport::LinkTarget link;
    std::string key_path;
    bool reconnect = false;  // every kind but tcp-listen: (which always listens again)
    std::string link_text;   // the --link argument, as given
};

// Milliseconds to wait before reconnect try number attempt (0 for the first):
// 1 s doubling up to 60 s, then spread by up to a quarter either way with
// random (any 32-bit value) so that many ends do not retry in step.
int backoff_ms(int attempt, uint32_t random);

// The --alive default, ms: 90 s on a link that carries checked packets
// (checked true and a kind that carries them), whose line may go quiet for
// a while and still deliver everything afterwards; 30 s on TCP, where
// silence that long means a far end that is gone.
int default_alive_ms(transport::LinkKind kind, bool checked);

class Daemon : public SessionOwner {
  public:
    Daemon(Loop &loop, Config config, LinkOptions options);
    ~Daemon() override;
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    // Checks what can be checked before a link (the key file, the listening
    // address) and starts opening the link.  Returns false with a reason.
    bool start(std::string *error);
    // SIGTERM, SIGINT: says goodbye if a link is open, abandons whatever
    // attempt is under way and ends the loop.
    void stop();
    // After the loop: 0 for a stop or a clean end, 1 for a failure.
    int exit_status() const { return status_; }

    // SessionOwner
    void session_up(const frame::Hello &far) override;
    void session_down(bool clean, const std::string &why) override;
    void client_left() override { gate_.resume(); }
    std::string status_report(bool json) override;

  private:
    // The states of the diagram above ("link ends" is a moment, not a
    // state; kWaiting is the backoff, kDone the exit).  Changed only by
    // set_state().
    enum class State {
        kStarting,
        kConnecting,
        kKeyCheck,
        kGreeting,
        kUp,
        kWaiting,
        kListening,
        kDone
    };

    // Whether the diagram allows the move (a state to itself is no move).
    static bool legal_move(State from, State to);
    // The one place the state changes: a legal move is logged at -v and
    // notes since when the link has been up, listening or neither; an
    // illegal one is refused (log::illegal_move).
    void set_state(State to);
    // The state's name in the status report.
    static const char *state_name(State s);
    void try_link();
    void try_exec();
    void try_serial();
    // quick: a refused first connect tried again, not logged as a new try.
    void try_connect(bool quick = false);
    void connected(int fd, int err, const std::string &why);
    void check_key(int fd);
    void key_checked(bool ok, const transport::LinkEnds &ends, const std::string &why);
    void open_session(const transport::LinkEnds &ends);
    // Closes ends that no session uses: through the serial port when they
    // are its descriptor, so that the device is put back as it was.
    void close_link_ends(const transport::LinkEnds &ends);
    // Lets the session go (freed after the current callback).  Its ends go
    // with it, to be closed then, unless keep_ends: the next session takes
    // them up.
    void retire_session(bool lost, bool keep_ends = false);
    void bury();
    void attempt_failed(const std::string &why);
    void schedule_retry();
    void listen_again(bool announce);
    void on_client(int fd, const ucred &cred);
    void finish(int status);
    // An exec: link's command that has ended is reaped; returns what became
    // of it ("the link command (...) exited with status 1"), or "" while it
    // runs.
    std::string command_ended();
    void reap_later(pid_t child, bool lost);
    void reap_children(bool wait);

    Loop &loop_;
    Config config_;
    LinkOptions opt_;
    State state_ = State::kStarting;
    int64_t state_since_ms_ = monotonic_ms();
    int64_t state_since_s_ = time(nullptr);  // the same moment, wall clock
    std::string last_reason_;                // why the last try or link ended
    std::string far_peer_;                   // TCP: the far end's address and port
    int status_ = 0;
    Gate gate_;
    Desk desk_;
    std::string far_host_;  // from the last HELLO, for the Desk's message

    std::unique_ptr<tcplink::Connect> connect_;
    std::unique_ptr<tcplink::KeyCheck> check_;     // tcp: the connecting end's
    std::unique_ptr<tcplink::Listener> listener_;  // tcp-listen:
    std::unique_ptr<Session> session_;
    transport::LinkEnds ends_;  // of the session's link
    // serial: the device the ends are, while it is open.
    std::unique_ptr<transport::SerialPort> serial_;
    // Sessions and link ends that ended, freed after the current callback.
    std::vector<std::unique_ptr<Session>> dead_sessions_;
    struct DeadEnds {
        transport::LinkEnds ends;
        bool lost;  // the link was lost: its command is of no more use
        std::unique_ptr<transport::SerialPort> port;  // serial: closes the ends
    };
    std::vector<DeadEnds> dead_ends_;
    uint64_t bury_timer_ = 0;
    // exec: commands whose link ended, not reaped yet.
    struct Child {
        pid_t pid;
        int64_t since_ms;  // when its link ended, or SIGTERM was sent
        bool termed;       // SIGTERM sent
    };
    std::vector<Child> children_;

    uint64_t timer_ = 0;  // the next try
    int attempt_ = 0;     // tries since the link was last up for long
    int64_t first_try_ms_ = 0;
    int64_t up_since_ms_ = 0;
    int64_t next_try_ms_ = 0;  // when timer_ tries again, while waiting
    unsigned ups_ = 0;         // links that came up
    status::Rates rates_;      // of the link up now
    bool ever_up_ = false;
    std::mt19937 rng_;
};

}  // namespace vesk
