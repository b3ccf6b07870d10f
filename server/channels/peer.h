// The work a channel's commands do on this machine.  A Peer serves either a
// client of this veskd directly (its '?' requests) or, through the link, a
// client of the far veskd (its '>' requests), and hands each command to the
// unit that serves it: files (FileWork), a connected stream, UDP pairs
// (UdpPairs), answers worked out off the loop (OffLoop); the link's own
// settings and statistics it answers itself.  Where its replies and data go
// is the Outlet's business.
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
#include "filework.h"
#include "link.h"
#include "offloop.h"
#include "outlet.h"
#include "workers.h"

namespace vesk {

class Session;
class UdpPairs;

// Replies are cut to a request's longest text too.
using proto::kRequestTextMax;

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
    bool busy() const { return off_.busy(); }

  private:
    void reply(bool ok, std::string_view text);
    void reply_errno(int err);
    void connect_tcp(std::string_view arg);
    void connect_unix_path(std::string_view arg);
    void connect_to(const void *addr, unsigned len, std::string what);
    // See OffLoop::run.
    template <typename Result>
    bool off_loop(Workers::Kind kind,
                  std::function<std::optional<Result>(const std::atomic<bool> &)> work,
                  std::function<void(Result)> done) {
        return off_.run<Result>(kind, std::move(work), std::move(done));
    }
    void on_stream(uint32_t events);
    void stream_events();
    void stream_failed(int err);
    void close_stream();

    Session &session_;
    Outlet &outlet_;
    ChanKey key_;
    bool remote_;
    UdpPairs &udp_;
    FileWork files_;
    OffLoop off_;

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
