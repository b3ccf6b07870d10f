// How veskd reaches the far end: the --link argument, the link's
// descriptors (exec:, TCP), the TCP key check and compression of data
// frames.  Independent of the frame protocol and of the event loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>
#include <sys/socket.h>
#include <sys/types.h>

#include "record.h"

namespace vesk::transport {

// What the --link argument names.
enum class LinkKind { kStdio, kExec, kTcpListen, kTcp };
struct LinkTarget {
    LinkKind kind = LinkKind::kStdio;
    std::string command;  // exec: the shell command
    std::string where;    // tcp-listen: ADDR:PORT; tcp: HOST:PORT
};

// Parses "stdio", "exec:COMMAND", "tcp-listen:ADDR:PORT" or "tcp:HOST:PORT".
// ADDR and HOST may be an IPv6 literal in brackets ("[::1]:7301"); an ADDR
// of "" or "*" is every local IPv4 address, "[::]" every address of both
// families where the system allows.  Returns false with a message in *error.
bool parse_link(const std::string &link, LinkTarget *target, std::string *error);

// The two descriptors of an open link (the same one for exec: and TCP).
struct LinkEnds {
    int in_fd = -1;
    int out_fd = -1;
    pid_t child = -1;  // exec: the command's process, else -1
    bool is_tcp = false;
    // TCP: the record keys the key check derived; every byte after it
    // crosses in records.  exec: and stdio carry plain frames (ssh or the
    // line protects them).
    std::optional<record::Keys> keys;
};

// Standard input and output.
LinkEnds stdio_ends();

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

// What a failed key check means for the next try: kWrongKey does not heal by
// waiting; kBusy (the listener holds a link already) may, once that ends.
enum class CheckFault { kOther, kWrongKey, kBusy };

// The listener's answer to a connection while a link is up: a key check
// message that tells the connecting end so, sent without blocking (the
// socket's buffer takes it whole).  Returns false when it could not be sent.
bool send_busy(int fd);

// The key check on a connected TCP socket: reads the key file and runs
// authenticate.  On success fills *ends with the socket and the record keys
// this check derived (fresh for every connection), ready for frames.
// Blocks for up to authenticate's timeout: run it off the event loop.
// Returns false with a reason (the socket is left to the caller) and, when
// fault is not null, what kind of failure it was.
bool key_check(int fd, const std::string &key_path, bool initiator, LinkEnds *ends,
               std::string *error, CheckFault *fault = nullptr);

// Mutual HMAC-SHA256 challenge and response on a connected socket, bounded by
// a 10 s timeout; one side passes initiator true, the other false.  Reads
// exactly the exchange's bytes, nothing after.  Returns true when the peer
// proved that it holds the same key, and then, when keys is not null, the
// record keys of this end derived from the key and both nonces; false with a
// reason on a refusal, a peer that closes or stalls, or one that does not
// speak the exchange, and then in *fault (when not null) its kind.
bool authenticate(int fd, const std::string &key, bool initiator, std::string *error,
                  record::Keys *keys = nullptr, CheckFault *fault = nullptr);

// zstd compression of one frame payload into out (cleared first).  Returns
// false when compressing does not make it smaller: send it raw then.
bool compress(std::span<const uint8_t> in, std::vector<uint8_t> &out);
// Decompresses one zstd frame that declares its size into out (cleared
// first), refusing more than max_out bytes.  Returns false on corrupt,
// oversized or trailing input.
bool decompress(std::span<const uint8_t> in, std::vector<uint8_t> &out, size_t max_out);

}  // namespace vesk::transport
