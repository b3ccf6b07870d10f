// The work a channel's commands do on this machine.  A CommandRunner serves either a
// client of this veskd directly (its '?' requests) or, through the link, a
// client of the far veskd (its '>' requests).  It holds the units a channel's
// commands reach (files in FileWork, a connected Stream, answers worked out
// off the loop in OffLoop) and hands each command to the one that the command
// table (dispatch.h) names, within the far end's budget of descriptors.
// Where its replies and data go is the Outlet's business.
#pragma once

#include <cstdint>
#include <string_view>

#include "commands.h"
#include "filework.h"
#include "link.h"
#include "offloop.h"
#include "outlet.h"
#include "stream.h"
#include "workers.h"

namespace vesk {

class Session;
class UdpPairs;

// Replies are cut to a request's longest text too.
using proto::kRequestTextMax;

class CommandRunner {
  public:
    // Bytes of stream data a CommandRunner holds for its socket before the feeder
    // must wait.
    static constexpr size_t kInHigh = Stream::kInHigh;

    // key: the channel; remote: it serves the far end's client.
    CommandRunner(Session &session, Outlet &outlet, ChanKey key, bool remote);
    ~CommandRunner();
    CommandRunner(const CommandRunner &) = delete;
    CommandRunner &operator=(const CommandRunner &) = delete;

    // One command.  Replies through the outlet unless the code has none.
    void request(char code, std::string_view arg);
    // Stream bytes from the client: file data of a dump, or data for the
    // connected stream.
    void data_in(std::string_view bytes);
    // The client sends no more stream data.
    void eof_in();
    // Bytes given to data_in that the CommandRunner still holds.
    size_t held() const { return stream_.held(); }
    // The outlet has room again: producers go on.
    void outlet_room();
    // A request's answer is being worked out off the loop.
    bool busy() const { return off_.busy(); }

    // Why a far request that would open a file or socket is refused.
    static constexpr const char *kTooManyFiles = "Too many open files for the far end";

  private:
    // Counts the descriptors this CommandRunner holds in the far end's budget.
    void settle();

    Session &session_;
    Outlet &outlet_;
    ChanKey key_;
    bool remote_;
    FarBudget *budget_;       // the far end's, for a CommandRunner that serves it
    size_t fds_charged_ = 0;  // descriptors counted in it
    UdpPairs &udp_;
    FileWork files_;
    OffLoop off_;
    Stream stream_;  // after off_, which looks its host names up
};

}  // namespace vesk
