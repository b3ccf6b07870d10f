// veskd's command table: for each code a channel's CommandRunner serves, the unit that
// serves it and the handler that does the work.  What a code means on the
// wire (its reply, first version, old form, what it opens) stays in
// proto/commands.h, which the library reads too; this table adds only what
// veskd does with it, so the library never sees a server type.  Serving a new
// command is its proto row, one row here and its handler.
#pragma once

#include <span>
#include <string_view>

#include "link.h"

namespace vesk {

class FileWork;
class OffLoop;
class Outlet;
class Session;
class Stream;
class UdpPairs;

namespace dispatch {

// What a channel's handlers work with: its units and where it stands.  Every
// reference outlives the call.
struct Units {
    Session &session;
    Outlet &outlet;  // replies and stream data
    ChanKey key;
    bool remote;  // it serves the far end's client
    UdpPairs &udp;
    FileWork &files;
    OffLoop &off;
    Stream &stream;
};

// The unit that serves a code.  A code that opens a file is served by Files
// and one that opens a socket by Stream: those are the units whose
// descriptors the CommandRunner counts against the far end's budget (dispatch.cpp
// checks every row when it builds).
enum class Unit : unsigned char {
    kSession,  // the link's settings and statistics
    kFiles,    // FileWork, and the one-shot work on names (files.h, dirs.h)
    kStream,   // the channel's connected socket
    kOffLoop,  // answers worked out on a worker thread
    kUdp,      // the link's UDP pairs
    kLog,      // noted in veskd's log, no reply
    kNone,     // no effect here, or refused from where it came
};

// A handler replies through u.outlet unless the code has no reply.
using Handler = void (*)(Units &u, char code, std::string_view arg);

struct Route {
    char code;
    Unit unit;
    Handler serve;
};

// Every row, in table order.
std::span<const Route> routes();

// Returns the row for code, or nullptr when veskd serves no such code.
const Route *find(char code);

// Serves one command through its row.  A code without one is refused: with
// the reply "Unknown command 'c' (n)" when it has a reply, silently (logged)
// when it has none.
void serve(Units &u, char code, std::string_view arg);

}  // namespace dispatch
}  // namespace vesk
