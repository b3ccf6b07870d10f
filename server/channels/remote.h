// A channel of the far end's client, served here: its requests, its stream
// data, and the replies and data that go back over the link.
//
// Requests are served one at a time, in their order.  A request is in service
// until its answer (REPLY, or DATA_RESET for '2') has left for the link; one
// without an answer is done at once.  What the far end sends meanwhile
// (requests, data, its end of the stream) waits behind it, in order.  The near
// veskd lets a client's far requests run ahead of their answers by fewer than
// kWaitingMax, so a peer is given that many requests of slack; one that goes beyond, or
// that sends more data than its credit, loses the channel (with everything
// queued for it) and nothing else.  So a far end that never reads holds at
// most one answer, kWaitingMax requests and the data below Link::kQueueHigh
// per channel.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

#include "commands.h"
#include "flow.h"
#include "link.h"
#include "runner.h"

namespace vesk {

class Session;

class RemoteSide : public Outlet {
  public:
    // Requests that may wait behind the one in service: enough for a tree
    // copy's pipelined requests to cover a long round trip (at 8, making a
    // thousand directories over 50 ms took 6 s).  Their bytes count in the
    // far end's budget, which bounds them across channels.
    static constexpr size_t kWaitingMax = 64;
    // What a far veskd older than kFirstTrees lets wait.
    static constexpr size_t kWaitingMaxBefore = 8;
    // Requests a client of this end may send ahead to a far end of version v.
    static constexpr size_t waiting_max(unsigned long v) {
        return v >= proto::kFirstTrees ? kWaitingMax : kWaitingMaxBefore;
    }
    // Longest request payload kept: the code and the longest text a client
    // can send.
    static constexpr size_t kRequestPayloadMax = 1 + kRequestTextMax;

    RemoteSide(Session &session, ChanKey key);
    ~RemoteSide() override;
    RemoteSide(const RemoteSide &) = delete;
    RemoteSide &operator=(const RemoteSide &) = delete;

    CommandRunner &runner() { return runner_; }
    bool dead() const { return dead_; }

    // Frames of the channel from the far end, in their order: a REQUEST's
    // payload (code and text), DATA, EOF.
    void request(std::string_view payload);
    void data_in(std::string_view bytes);
    void eof_in();
    // The link sent this channel's last queued answer, or enough of its data.
    void drained();

    // Outlet of the CommandRunner.
    void reply(bool ok, std::string_view text) override;
    bool data_room() const override;
    void data(std::string_view bytes) override;
    void eof() override;
    void data_reset() override;
    void closed() override;
    void consumed(size_t n) override;

  private:
    struct Waiting {
        enum Kind { kRequest, kData, kEof } kind;
        std::string bytes;
        bool too_long = false;  // a request cut to its code
    };

    bool in_service() const;
    void serve();
    void start(std::string_view payload, bool too_long);
    // Ends the channel at once and drops what is queued for it: the far end
    // broke the rules.
    void lose(const char *why);
    // Charges n bytes to the far end's budget.  Returns false (the channel
    // is lost) past it.
    bool charge(size_t n);
    void uncharge(size_t n);

    Session &session_;
    ChanKey key_;
    Window window_;
    bool dead_ = false;
    bool owed_ = false;     // the request in service has not answered yet
    bool serving_ = false;  // serve() is on the stack
    std::deque<Waiting> waiting_;
    size_t waiting_requests_ = 0;
    size_t waiting_data_ = 0;  // bytes of DATA in waiting_
    // Bytes charged to the far end's budget: requests waiting and data not
    // yet passed on (the channel's own cost is given back with it).
    size_t charged_ = 0;
    CommandRunner runner_;  // last: destroyed first, while the outlet still works
};

}  // namespace vesk
