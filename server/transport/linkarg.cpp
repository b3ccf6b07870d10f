// The --link argument (see linkarg.h).
#include "linkarg.h"

#include <charconv>

#include "hostport.h"

namespace vesk::transport {
namespace {

bool parse_port(std::string_view text, int *port) {
    int v = 0;
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, v);
    if (text.empty() || ec != std::errc() || ptr != end || v < 1 || v > proto::kPortMax)
        return false;
    *port = v;
    return true;
}

// "HOST:PORT" split at the last colon; "[ADDR]:PORT" loses its brackets.
bool split(std::string_view text, std::string *host, std::string *port) {
    if (text.starts_with('[')) {
        size_t close = text.find("]:");
        int p = 0;
        if (close == std::string_view::npos || !parse_port(text.substr(close + 2), &p))
            return false;
        *host = std::string(text.substr(1, close - 1));
        *port = std::to_string(p);
        return !host->empty();
    }
    size_t colon = text.rfind(':');
    int p = 0;
    if (colon == std::string_view::npos || !parse_port(text.substr(colon + 1), &p)) return false;
    *host = std::string(text.substr(0, colon));
    *port = std::to_string(p);
    return true;
}

}  // namespace

bool split_host_port(std::string_view where, bool listening, std::string *host, std::string *port,
                     std::string *error) {
    if (split(where, host, port) && (listening || !host->empty())) return true;
    *error = "bad link address \"" + std::string(where) +
             "\": " + (listening ? "ADDR:PORT" : "HOST:PORT") + " expected";
    return false;
}

bool parse_link(const std::string &link, LinkTarget *target, std::string *error) {
    constexpr std::string_view kExec = "exec:";
    constexpr std::string_view kTcpListen = "tcp-listen:";
    constexpr std::string_view kTcp = "tcp:";
    std::string_view s = link;
    std::string host, port;
    *target = LinkTarget{};
    if (s == "stdio") return true;
    if (s.starts_with(kExec)) {
        target->kind = LinkKind::kExec;
        target->command = std::string(s.substr(kExec.size()));
        if (target->command.empty()) {
            *error = "exec: link needs a command";
            return false;
        }
        return true;
    }
    if (s.starts_with(kTcpListen)) {
        target->kind = LinkKind::kTcpListen;
        target->where = std::string(s.substr(kTcpListen.size()));
        return split_host_port(target->where, true, &host, &port, error);
    }
    if (s.starts_with(kTcp)) {
        target->kind = LinkKind::kTcp;
        target->where = std::string(s.substr(kTcp.size()));
        return split_host_port(target->where, false, &host, &port, error);
    }
    *error =
        "unknown link \"" + link + "\": stdio, exec:COMMAND, tcp-listen:ADDR:PORT or tcp:HOST:PORT";
    return false;
}

}  // namespace vesk::transport
