// The link's ends: the descriptors of a stdio, exec: or TCP link, and the
// TCP sockets behind them (listening, connecting, tuned).  Independent of
// the frame protocol and of the event loop.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>
#include <sys/socket.h>
#include <sys/types.h>

#include "record.h"

namespace vesk::transport {

// The two descriptors of an open link (the same one for exec: and TCP).
struct LinkEnds {
    int in_fd = -1;
    int out_fd = -1;
    pid_t child = -1;  // exec: the command's process, else -1
    // The line takes XON and XOFF for flow control: no packet byte may be
    // one of them.
    bool flow_bytes = false;
    bool is_tcp = false;
    // TCP: the record keys the key check derived; every byte after it
    // crosses in records.  exec: and stdio carry plain frames (ssh or the
    // line protects them).
    std::optional<record::Keys> keys;
};

// Standard input and output.
LinkEnds stdio_ends();

// Whether the far side of the ends is gone for good: the input has hung up
// or reached its end (a closed pipe or socket, a tty whose line hung up).
// Looks without reading or waiting.
bool ends_hung_up(const LinkEnds &ends);

// Runs /bin/sh -c command with a socketpair end as its stdin and stdout; the
// other end is blocking and close-on-exec.  Returns false with a reason.
bool open_exec(const std::string &command, LinkEnds *ends, std::string *error);

// A listening TCP socket on ADDR:PORT, non-blocking and close-on-exec.
// Returns it, or -1 with a reason.
int tcp_listen(const std::string &where, std::string *error);
// One address a TCP connect may go to.
struct Address {
    sockaddr_storage sa{};
    socklen_t len = 0;
};
// Every address HOST:PORT resolves to, IPv6 and IPv4, in the resolver's
// order of preference.  Returns false with a reason.
bool tcp_resolve(const std::string &where, std::vector<Address> *out, std::string *error);
// "ADDR:PORT" of an address, "[ADDR]:PORT" for IPv6; with_port false: ADDR.
std::string address_text(const sockaddr *sa, bool with_port = true);
// Starts connecting to one address (where names it in messages) on a new
// non-blocking, close-on-exec socket: watch it for EPOLLOUT, then ask
// tcp_connect_error.  Returns the socket, or -1 with a reason in *error and
// the errno in *err.
int tcp_connect_start(const Address &to, const std::string &where, int *err, std::string *error);
// 0 once a started connect succeeded, else its errno.
int tcp_connect_error(int fd);
// Sets TCP_NODELAY and keepalive, and a TCP_USER_TIMEOUT of user_timeout_ms
// (0: the system's), so that unacknowledged data ends the connection when
// the far end has been silent for the link's liveness time.
void tcp_tune(int fd, int user_timeout_ms);
// Lets the kernel hold at most about bytes of data not yet sent on a TCP
// socket (TCP_NOTSENT_LOWAT): what waits beyond that waits in veskd, where
// an urgent frame can pass it.  Returns false when fd is no TCP socket (a
// pipe or socketpair of an exec: or stdio link).
bool set_unsent_limit(int fd, size_t bytes);
// Bytes a TCP socket holds not yet sent, or -1 when it cannot tell.  A
// write is taken whole whatever the unsent limit (the limit only decides
// when the socket counts as writable), so a writer that wants the queue kept
// in veskd asks this first.
long unsent_bytes(int fd);

}  // namespace vesk::transport
