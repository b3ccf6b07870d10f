// The --link argument: which kind of link veskd opens and where, and the
// HOST:PORT form that the TCP kinds share.
#pragma once

#include <string>
#include <string_view>

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

// Splits a tcp-listen: ADDR:PORT (listening true; ADDR may be empty) or a
// tcp: HOST:PORT at its last colon; "[ADDR]:PORT" loses its brackets, and
// *port is the port's decimal number.  Returns false with the message that
// names the form expected in *error.
bool split_host_port(std::string_view where, bool listening, std::string *host, std::string *port,
                     std::string *error);

}  // namespace vesk::transport
