// A client connection on this veskd's socket: its requests, dumps and
// streams, and the channel that carries its far requests over the link.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "flow.h"
#include "link.h"
#include "peer.h"

namespace vesk {

class Session;

class Client : public Outlet {
  public:
    // Longest request a client may send: '@', direction, code, the text and
    // the NUL.
    static constexpr size_t kRequestMax = 3 + kRequestTextMax + 1;
    // Bytes held for the client before its sources pause.
    static constexpr size_t kOutHigh = 256 * 1024;

    Client(Session &session, int fd, uint32_t id);
    ~Client() override;
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    ChanKey key() const { return chan_key(id_, true); }
    bool dead() const { return dead_; }

    // Frames of this channel from the far end.
    void far_reply(std::string_view payload);
    void far_data(std::string_view bytes);
    void far_eof();
    void far_close();
    void far_data_reset();
    // The link took enough of this channel's data: read the client again.
    void link_drained();
    // The link is gone: end at once.
    void abort();

    // Outlet of the local Peer ('?' requests).
    void reply(bool ok, std::string_view text) override;
    bool data_room() const override;
    void data(std::string_view bytes) override;
    void eof() override;
    void data_reset() override {}
    void closed() override;
    void consumed(size_t n) override;

  private:
    enum class Mode { Command, Dump, Stream };

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
    // Remembers which side a file sink or stream that code opens is on, for
    // the '?' dump and '5' that follow.
    void note_opens(char code, bool remote);
    void feed(std::string_view bytes);
    bool can_feed() const;
    void write_client();
    void update_events();
    void send_reply(char dir, bool ok, std::string_view text);
    void ensure_open();
    Peer &local();
    void finish();
    void maybe_done();

    Session &session_;
    int fd_;
    uint32_t id_;
    Mode mode_ = Mode::Command;
    int64_t dump_left_ = 0;
    bool target_remote_ = true;  // where a dump or stream goes
    bool sink_remote_ = true;    // where the last file was opened
    bool stream_remote_ = true;  // where the last connection was made
    int pending_remote_ = 0;     // far replies still owed
    int pending_local_ = 0;      // local replies still owed
    bool opened_ = false;
    bool client_eof_ = false;
    bool out_eof_ = false;  // the data stream toward the client has ended
    bool closing_ = false;  // end once out_ is written
    bool wr_shut_ = false;
    bool eof_sent_ = false;  // the client's half-close was passed on
    bool in_process_ = false;
    bool process_again_ = false;    // process() was asked for while it ran
    bool discard_ = false;          // dropping data of an abandoned file read
    bool watching_hangup_ = false;  // in epoll only to hear a hang-up
    bool hangup_seen_ = false;
    bool dead_ = false;
    std::string in_;
    size_t in_off_ = 0;
    std::string out_;
    size_t out_off_ = 0;
    size_t far_pending_ = 0;  // far data bytes in out_, for credit
    Window window_;
    std::unique_ptr<Peer> local_;
};

}  // namespace vesk
