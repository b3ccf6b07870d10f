// The --link argument (see linkarg.h).
#include "linkarg.h"

#include <charconv>

#include "hostport.h"
#include "serial.h"

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

bool all_digits(std::string_view s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

// DEVICE:SPEED[:OPTIONS], read from the right: a device's name may hold
// colons, a speed and the options never do.
bool parse_serial(std::string_view text, SerialLine *line, std::string *error) {
    const std::string form =
        "serial:DEVICE:SPEED[:OPTIONS] expected, as in serial:/dev/ttyS0:115200";
    size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        *error = "bad serial link \"" + std::string(text) + "\": " + form;
        return false;
    }
    std::string_view options;
    std::string_view speed = text.substr(colon + 1);
    std::string_view device = text.substr(0, colon);
    if (!all_digits(speed)) {
        options = speed;
        colon = device.rfind(':');
        speed = colon == std::string_view::npos ? std::string_view{} : device.substr(colon + 1);
        device = colon == std::string_view::npos ? std::string_view{} : device.substr(0, colon);
    }
    if (device.empty() || !all_digits(speed)) {
        *error = "bad serial link \"" + std::string(text) + "\": " + form;
        return false;
    }
    line->device = std::string(device);
    speed_t code;
    unsigned long baud = speed.size() <= 8 ? std::stoul(std::string(speed)) : 0;
    if (!serial_speed(unsigned(baud), &code)) {
        *error = "unsupported serial speed " + std::string(speed) + ": one of " + serial_speeds();
        return false;
    }
    line->baud = unsigned(baud);
    while (!options.empty()) {
        size_t comma = options.find(',');
        std::string_view opt = options.substr(0, comma);
        options = comma == std::string_view::npos ? std::string_view{} : options.substr(comma + 1);
        if (opt == "rtscts") {
            line->rtscts = true;
        } else if (opt == "xonxoff") {
            line->xonxoff = true;
        } else if (opt == "carrier") {
            line->carrier = true;
        } else {
            *error =
                "unknown serial option \"" + std::string(opt) + "\": rtscts, xonxoff or carrier";
            return false;
        }
    }
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
    constexpr std::string_view kSerial = "serial:";
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
    if (s.starts_with(kSerial)) {
        target->kind = LinkKind::kSerial;
        return parse_serial(s.substr(kSerial.size()), &target->serial, error);
    }
    *error = "unknown link \"" + link +
             "\": stdio, exec:COMMAND, tcp-listen:ADDR:PORT, tcp:HOST:PORT or "
             "serial:DEVICE:SPEED[:OPTIONS]";
    return false;
}

}  // namespace vesk::transport
