// A channel's connected stream: the socket an 'A', 'X' or '8' connects, fed
// with the client's stream data (a half-close passes through) and read back
// into the channel's outlet as fast as the outlet takes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "link.h"
#include "loop.h"
#include "offloop.h"
#include "oneway.h"
#include "outlet.h"

namespace vesk {

class Stream {
  public:
    // Bytes held for the socket before the feeder must wait.
    static constexpr size_t kInHigh = 256 * 1024;
    // Replies and data go to outlet; key names the channel in the log; host
    // names are looked up through off (which must outlive this).
    Stream(Loop &loop, Outlet &outlet, ChanKey key, OffLoop &off);
    ~Stream() { close(); }
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;

    // 'A' ("[HOST:]PORT", host by address or name): connects over TCP.
    void connect_tcp(std::string_view arg);
    // 'X' and '8': connects to the socket at path (already mapped).
    void connect_unix(const std::string &path);
    // Stream data for the socket; counted as consumed (dropped) when nothing
    // is connected or the client has ended.
    void data_in(std::string_view bytes);
    // The client sends no more: the socket's write side is shut once all is
    // written.  With nothing connected the outlet's stream ends at once,
    // unless end_idle is false (a file read still feeds it and ends it).
    void eof_in(bool end_idle = true);
    // Bytes given to data_in not yet written to the socket.
    size_t held() const { return to_socket_.queue().size(); }
    // A socket is held (connecting or connected).
    bool has_socket() const { return fd_ >= 0; }
    // The outlet has room again: reading the socket goes on.
    void outlet_room() { update_events(); }

  private:
    // The socket's life: none (idle, again after a failure or close), its
    // host name looked up, a connect in progress, connected.  Changed only
    // by set_phase(); only Connecting and Connected sockets are watched.
    enum class Phase { kIdle, kLookingUp, kConnecting, kConnected };
    static const char *phase_name(Phase p);
    // Whether a stream may move from one phase to the other.
    static bool legal_move(Phase from, Phase to);
    // The one place the phase changes: a legal move is logged at -vv (one
    // line per stream's move would crowd -v, which already has the connect's
    // outcome); an illegal one is refused (log::illegal_move).
    void set_phase(Phase to);

    void connect(const void *addr, unsigned len, std::string what);
    // The connect's outcome, logged and answered.
    void connected();
    void connect_failed(int err);
    void on_event(uint32_t ev);
    // Writes what is held; false when the stream failed (and is closed).
    bool write_socket();
    void read_socket();
    void update_events();
    void failed(int err);
    void close();

    Loop &loop_;
    Outlet &outlet_;
    ChanKey key_;
    OffLoop &off_;
    Phase phase_ = Phase::kIdle;
    int fd_ = -1;
    std::string what_;     // where it connects, for replies and the log
    bool rd_eof_ = false;  // the socket sent its end
    OneWay to_socket_;
};

}  // namespace vesk
