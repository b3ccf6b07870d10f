// The --link argument: which kind of link veskd opens and where, and the
// HOST:PORT form that the TCP kinds share.
#pragma once

#include <string>
#include <string_view>

namespace vesk::transport {

// What the --link argument names.
enum class LinkKind { kStdio, kExec, kTcpListen, kTcp, kSerial };
// A serial: link's device and how to drive it.
struct SerialLine {
    std::string device;
    unsigned baud = 0;     // bits per second, one termios names
    bool rtscts = false;   // RTS/CTS flow control
    bool xonxoff = false;  // XON/XOFF flow control
    bool carrier = false;  // watch DCD: its loss is a hang-up (else it is ignored)
};
struct LinkTarget {
    LinkKind kind = LinkKind::kStdio;
    std::string command;  // exec: the shell command
    std::string where;    // tcp-listen: ADDR:PORT; tcp: HOST:PORT
    SerialLine serial;    // serial:
};

// Parses "stdio", "exec:COMMAND", "tcp-listen:ADDR:PORT", "tcp:HOST:PORT" or
// "serial:DEVICE:SPEED[:OPTIONS]".  ADDR and HOST may be an IPv6 literal in
// brackets ("[::1]:7301"); an ADDR of "" or "*" is every local IPv4 address,
// "[::]" every address of both families where the system allows.  DEVICE
// may hold colons (/dev/serial/by-path names do); SPEED is a standard termios
// speed; OPTIONS are comma-separated: rtscts, xonxoff, carrier.  Returns
// false with a message in *error.
bool parse_link(const std::string &link, LinkTarget *target, std::string *error);

// A link kind whose frames cross in checked packets unless --trust-line
// says otherwise: every kind but TCP, whose records and retransmission
// do that work.
inline bool carries_packets(LinkKind kind) {
    return kind != LinkKind::kTcp && kind != LinkKind::kTcpListen;
}

// Splits a tcp-listen: ADDR:PORT (listening true; ADDR may be empty) or a
// tcp: HOST:PORT at its last colon; "[ADDR]:PORT" loses its brackets, and
// *port is the port's decimal number.  Returns false with the message that
// names the form expected in *error.
bool split_host_port(std::string_view where, bool listening, std::string *host, std::string *port,
                     std::string *error);

}  // namespace vesk::transport
