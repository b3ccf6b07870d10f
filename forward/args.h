// Argument parsing shared by the forwarders.  Header-only so that the unit
// tests can reach it without a library of its own; nothing here talks to a
// link server, so every function is a pure function of its text (and, for
// service names, of the services database).
#ifndef VESK_FORWARD_ARGS_H
#define VESK_FORWARD_ARGS_H

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <arpa/inet.h>
#include <netdb.h>

namespace vesk::forward {

// Largest number of listeners one portlink serves.
constexpr int kMaxPairs = 32;

// Backlog every forwarder asks of bind_tcp_listen.
constexpr int kListenBacklog = 5;

// Display numbers map onto TCP ports from here on (the X convention).
constexpr int kXPortBase = 6000;
constexpr int kDefaultDisplay = 9;
constexpr int kMaxDisplay = 99;
// The host part keeps this many characters of the display name at most.
constexpr size_t kDisplayNameKept = 1023;
// First display number whose port lies past 65535.
constexpr int kDisplayClamp = 65536 - kXPortBase;

// Port of a portlink local-port argument: a leading decimal number (digits
// after it are ignored, so "80x" is 80), else a TCP service name.  Returns the
// port in host order, 0 when the name is unknown (or the number is 0).  A
// number above 65535 is returned as given, for the bind to refuse.
inline int local_tcp_port(const char *arg) {
    if (std::isdigit(static_cast<unsigned char>(arg[0]))) {
        unsigned port = 0;
        if (std::sscanf(arg, "%u", &port) != 1) return 0;
        // Numbers beyond INT_MAX cannot be a port either; keep them unbindable
        // rather than letting them wrap to a small, valid-looking port.
        return port > static_cast<unsigned>(INT_MAX) ? INT_MAX : static_cast<int>(port);
    }
    const servent *service = getservbyname(arg, "tcp");
    return service == nullptr ? 0 : ntohs(static_cast<uint16_t>(service->s_port));
}

// The display a displink starts its search at.
struct DisplayStart {
    std::string host;  // part before the first colon; empty without a colon
    int number;        // first display number to try
};

// Splits a display name of the form host:number.  Only the first
// kDisplayNameKept characters count; a name without a colon among them (or
// no name at all) gives an empty host and kDefaultDisplay.  The number stops
// at its first non-digit ("host:0.0" is 0); a non-digit after the colon gives
// kDefaultDisplay.
inline DisplayStart display_start(const char *name) {
    DisplayStart start{"", kDefaultDisplay};
    if (name == nullptr) return start;
    std::string kept(name, strnlen(name, kDisplayNameKept));
    size_t colon = kept.find(':');
    if (colon == std::string::npos) {
        // The whole name is ignored unless it has a colon somewhere; a colon
        // only beyond the kept part leaves the kept text as the host.
        if (std::strchr(name, ':') != nullptr) start.host = kept;
        return start;
    }
    start.host = kept.substr(0, colon);
    const char *digits = kept.c_str() + colon + 1;
    if (std::isdigit(static_cast<unsigned char>(digits[0]))) {
        long n = std::strtol(digits, nullptr, 10);
        // Beyond the last TCP port every display is equally unbindable; the
        // clamp only keeps kXPortBase + number from overflowing an int.
        start.number = n > kDisplayClamp ? kDisplayClamp : static_cast<int>(n);
    }
    return start;
}

// The target of a dgramlink pair, before any host is resolved.
struct UdpTarget {
    bool has_host;     // a colon was present
    std::string host;  // text before the first colon (may be empty)
    uint16_t port;     // the number after the colon (or the whole text), low 16 bits
};

// Splits "[host:]port".  The port is read with strtol, base 10, and cut to its
// low 16 bits, so "65536" is 0; the caller refuses a port of 0.
inline UdpTarget udp_target(const char *arg) {
    UdpTarget target{false, "", 0};
    const char *colon = std::strchr(arg, ':');
    const char *digits = arg;
    if (colon != nullptr) {
        target.has_host = true;
        target.host.assign(arg, static_cast<size_t>(colon - arg));
        digits = colon + 1;
    }
    target.port = static_cast<uint16_t>(std::strtol(digits, nullptr, 10));
    return target;
}

// How a far target ("[host:]port" in the forwarders' usage) names its host.
struct FarTarget {
    enum class Form {
        kPlain,  // "port" or "host:port", passed on as it is
        kIpv6,   // "[IPv6 address]:port"
        kBad,    // neither: brackets around no IPv6 address or without ":port",
                 // or an IPv6 address without its brackets
    } form;
    std::string host;  // kIpv6: the address, without its brackets
    std::string port;  // kIpv6: the text after "]:"
};

// Reads a far target.  An IPv6 address holds colons of its own, so it
// stands in brackets; text with two colons outside them is refused here
// rather than by the far end, when a client comes.
inline FarTarget far_target(const char *text) {
    FarTarget t{FarTarget::Form::kBad, "", ""};
    std::string s(text);
    if (!s.empty() && s[0] == '[') {
        size_t close = s.find("]:");
        if (close == std::string::npos || close + 2 >= s.size()) return t;
        std::string host = s.substr(1, close - 1);
        in6_addr a{};
        if (inet_pton(AF_INET6, host.c_str(), &a) != 1) return t;
        t = {FarTarget::Form::kIpv6, host, s.substr(close + 2)};
        return t;
    }
    if (s.find(':') != s.rfind(':')) return t;
    t.form = FarTarget::Form::kPlain;
    return t;
}

// A dgramlink local port: strtol, base 10, cut to 16 bits (not validated).
inline uint16_t local_udp_port(const char *arg) {
    return static_cast<uint16_t>(std::strtol(arg, nullptr, 10));
}

}  // namespace vesk::forward

#endif  // VESK_FORWARD_ARGS_H
