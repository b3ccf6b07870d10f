// The work a channel's commands do on this machine: files opened for writing
// or reading, a connected stream, UDP pairs.  A Peer serves either a client
// of this veskd directly (its '?' requests) or, through the link, a client of
// the far veskd (its '>' requests).  Where its replies and data go is the
// Outlet's business.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "commands.h"
#include "files.h"
#include "link.h"
#include "workers.h"

namespace vesk {

class Session;

// Replies are cut to a request's longest text too.
using proto::kRequestTextMax;

// Where a Peer's replies and stream data go.
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
    // The Peer has taken n bytes given to data_in off its hands.
    virtual void consumed(size_t n) = 0;
};

class Peer {
  public:
    // Bytes of stream data a Peer holds for its socket before the feeder
    // must wait.
    static constexpr size_t kInHigh = 256 * 1024;

    // key: the channel; remote: it serves the far end's client.
    Peer(Session &session, Outlet &outlet, ChanKey key, bool remote);
    ~Peer();
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    // One command.  Replies through the outlet unless the code has none.
    void request(char code, std::string_view arg);
    // Stream bytes from the client: file data of a dump, or data for the
    // connected stream.
    void data_in(std::string_view bytes);
    // The client sends no more stream data.
    void eof_in();
    // Bytes given to data_in that the Peer still holds.
    size_t held() const { return out_.size() - out_off_; }
    // The outlet has room again: producers go on.
    void outlet_room();
    // A request's answer is being worked out off the loop.
    bool busy() const { return job_ != nullptr; }

  private:
    void reply(bool ok, std::string_view text);
    void reply_errno(int err);
    void stats(std::string_view arg);
    void connect_tcp(std::string_view arg);
    void connect_unix_path(std::string_view arg);
    void connect_to(const void *addr, unsigned len, std::string what);
    void resolve(std::string_view arg);
    // 'D': the file's status and checksum, computed off the loop.
    void status_async(std::string_view arg);
    // Runs work on a worker thread (again while it gives nullopt: see
    // Workers::Work), then done with its result on the loop thread unless
    // this Peer has gone.  Returns false when no worker could take it
    // (nothing runs then).
    template <typename Result>
    bool off_loop(Workers::Kind kind,
                  std::function<std::optional<Result>(const std::atomic<bool> &)> work,
                  std::function<void(Result)> done);
    void udp_command(char code, std::string_view arg);
    void on_stream(uint32_t events);
    void stream_events();
    void stream_failed(int err);
    void pump_source();
    void close_stream();

    Session &session_;
    Outlet &outlet_;
    ChanKey key_;
    bool remote_;
    std::shared_ptr<bool> alive_;  // lets deferred work see a destroyed Peer
    Workers::Ticket job_;          // the off-loop work of the request in service

    void flush_sink();

    files::Sink sink_;
    // File data gathered over one batch of link frames: a dump arrives in
    // pieces of a few hundred bytes, and one write per piece costs more than
    // the copy.
    std::string sink_buf_;
    bool sink_flush_pending_ = false;
    // A file read is being sent while it is open: a '7' that fails closes
    // the one before it, and nothing is left to pump or end.
    files::Source source_;

    int stream_fd_ = -1;
    bool connecting_ = false;
    std::string connect_what_;
    bool stream_rd_eof_ = false;  // the socket sent its end
    bool in_eof_ = false;         // the client sent its end
    bool wr_shut_ = false;
    std::string out_;  // for the socket
    size_t out_off_ = 0;
};

}  // namespace vesk
