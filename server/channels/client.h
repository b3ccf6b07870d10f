// A client connection on this veskd's socket: its requests, dumps and
// streams, and the channel that carries its far requests over the link.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <sys/socket.h>

#include "bytequeue.h"
#include "flow.h"
#include "link.h"
#include "oneway.h"
#include "runner.h"
#include "remote.h"

namespace vesk {

class Session;

// What veskd --status shows of one client.
struct ClientInfo {
    uint32_t id = 0;
    const char *kind = "command";  // upload, download, port, UDP pair, X, status, command
    pid_t pid = 0;
    uid_t uid = 0;
    uint64_t bytes_in = 0;   // from the client
    uint64_t bytes_out = 0;  // to the client
    int64_t since_ms = 0;    // monotonic, when it connected
};

class Client : public Outlet {
  public:
    // Bytes held for the client before its sources pause.
    static constexpr size_t kOutHigh = 256 * 1024;

    Client(Session &session, int fd, uint32_t id, const ucred &cred = {});
    ~Client() override;
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    ChanKey key() const { return chan_key(id_, true); }
    bool dead() const { return state_ == State::kDead; }
    const ClientInfo &info() const { return info_; }

    // Frames of this channel from the far end.
    void far_reply(std::string_view payload);
    void far_data(std::string_view bytes);
    void far_eof();
    void far_close();
    void far_data_reset();
    // The link took enough of this channel's data: read the client again.
    void link_drained();
    // The link is gone: end at once.  A client that awaits far replies (and
    // reads no stream or far file) first gets why as the failed reply to each,
    // so that it can say what happened rather than that its socket broke.
    void abort(std::string_view why = {});

    // Outlet of the local CommandRunner ('?' requests).
    void reply(bool ok, std::string_view text) override;
    bool data_room() const override;
    void data(std::string_view bytes) override;
    void eof() override;
    void data_reset() override {}
    void closed() override;
    void consumed(size_t n) override;

  private:
    enum class Mode { kCommand, kDump, kStream };
    // The connection's life, in order; it only moves forward (set_state):
    //   Open        reading the client;
    //   InputEnded  the client sent its end (half-close) and reads stopped;
    //   EofPassed   that end was passed on to the stream's far side;
    //   Closing     ends as soon as everything for the client is written;
    //   Dead        socket closed, the channel released.
    // Open may go straight to Closing or Dead, and each state to Dead.  The
    // direction toward the client ends on its own (out_: its end, then the
    // socket's half-close), as a stream's two directions do.
    enum class State { kOpen, kInputEnded, kEofPassed, kClosing, kDead };
    // Whether the connection may move from one state to the other.
    static bool legal_move(State from, State to);
    // The one place the state changes: a legal move is logged at -vv; an
    // illegal one is refused (log::illegal_move).
    void set_state(State to);
    // The state's name in the log.
    static const char *state_name(State s);
    // Closing unless already there or beyond.
    void close_when_flushed();

    void on_event(uint32_t ev);
    // The client closed its socket while it waited for an answer.  When it
    // sent nothing after the request, no one is left to take the answer: end
    // now, which also stops the work for it.  Otherwise what it sent is served
    // as usual once the answer comes (it may hold requests without replies).
    void hung_up_waiting();
    void read_client();
    void process();
    void process_input();
    bool take_request();
    void request(char dir, char code, std::string_view arg);
    // Counts a far request that went out, with the reply it is owed.
    void far_sent(char code);
    // Whether the next held request may go to the far end before the far
    // replies still owed: it is a far one, none of them opens anything, and
    // the far end's slack is not used up.
    bool far_may_go_ahead() const;
    // Remembers which side a file sink or stream that code opens is on, for
    // the '?' dump and '5' that follow.
    void note_opens(char code, bool remote);
    void feed(std::string_view bytes);
    // Bytes feed() may take now (SIZE_MAX: no bound).
    size_t feed_room() const;
    // Whether reading more from the client would only fill the buffer.
    bool feed_full() const;
    // Writes what is held for the client, then fresh (the far end's
    // bytes), holding what the socket does not take.
    void write_client(std::string_view fresh = {});
    void update_events();
    // A reply of at most max bytes of text (more is cut).
    void send_reply(char dir, bool ok, std::string_view text, size_t max = kRequestTextMax);
    void ensure_open();
    CommandRunner &local();
    void finish();
    // More is held for the client than it can ever be owed: end.
    void overflow();
    void maybe_done();
    // Held input that processing will still act on: all of it, but in
    // Command mode a request the client's end left unfinished.  Requests
    // waiting behind unread replies are served once these are read, even
    // after the client's end.
    bool input_left() const;

    Session &session_;
    int fd_;
    uint32_t id_;
    ClientInfo info_;
    State state_ = State::kOpen;
    Mode mode_ = Mode::kCommand;
    int64_t dump_left_ = 0;
    bool target_remote_ = true;          // where a dump or stream goes
    bool sink_remote_ = true;            // where the last file was opened
    bool stream_remote_ = true;          // where the last connection was made
    int pending_remote_ = 0;             // far replies still owed
    bool far_data_since_reply_ = false;  // far data came after the last far reply
    // Far requests sent while a far reply was owed, and for each owed reply
    // whether its request opens something: a client may pipeline far
    // requests, up to what the far end holds behind the one it serves.
    size_t far_ahead_ = 0;
    // Far requests that may run ahead of their answers: what the far end's
    // version lets wait behind the one in service.
    size_t far_ahead_max() const;
    std::deque<bool> far_owed_;
    int pending_local_ = 0;  // local replies still owed
    // Flags beside the state, each about something with a life of its own:
    // the link channel is opened on first use and may be closed by the far
    // end in any state;
    bool opened_ = false;
    // process() is running, and was asked for again meanwhile (feeding the
    // local CommandRunner calls back into it);
    bool in_process_ = false;
    bool process_again_ = false;
    // far data of an abandoned file read is dropped until the far end's
    // reset (a request's business, not the connection's);
    bool discard_ = false;
    // the socket is in epoll only to hear a hang-up while an answer is
    // awaited, and one was heard (epoll bookkeeping: any state but Dead).
    bool watching_hangup_ = false;
    bool hangup_seen_ = false;
    ByteQueue in_;  // from the client, not yet processed
    // Replies and stream data for the client; its end is the half-close of
    // the client's socket.
    OneWay out_;
    size_t far_pending_ = 0;  // far data bytes in out_, for credit
    Window window_;
    std::unique_ptr<CommandRunner> local_;
};

}  // namespace vesk
