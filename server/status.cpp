// veskd --status (see status.h): formatting the report and fetching it.
#include "status.h"

#include "log.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "commands.h"
#include "fd.h"
#include "messages.h"

namespace vesk::status {
namespace {

// Longest report the asking side takes, bytes: far beyond a line for every
// client veskd can hold descriptors for; only a veskd gone wrong says more.
constexpr size_t kReportMax = 64 * 1024 * 1024;
// A veskd that does not answer within this is reported as such, s.
constexpr int kAskTimeoutS = 10;

std::string duration(int64_t ms) {
    int64_t s = ms / 1000;
    char buf[64];
    if (s < 60)
        snprintf(buf, sizeof buf, "%.1f s", double(ms) / 1000);
    else if (s < 3600)
        snprintf(buf, sizeof buf, "%" PRId64 " min %" PRId64 " s", s / 60, s % 60);
    else
        snprintf(buf, sizeof buf, "%" PRId64 " h %" PRId64 " min", s / 3600, s / 60 % 60);
    return buf;
}

std::string rate(uint64_t bytes_per_s) {
    char buf[32];
    if (bytes_per_s < 1000)
        snprintf(buf, sizeof buf, "%" PRIu64 " B/s", bytes_per_s);
    else if (bytes_per_s < 1000 * 1000)
        snprintf(buf, sizeof buf, "%.1f kB/s", double(bytes_per_s) / 1e3);
    else
        snprintf(buf, sizeof buf, "%.1f MB/s", double(bytes_per_s) / 1e6);
    return buf;
}

}  // namespace

std::string json_string(std::string_view s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c >= 0x80) {
            if (size_t len = log::utf8_sequence(s.substr(i))) {
                out.append(s.substr(i, len));
                i += len;
                continue;
            }
            char hex[8];
            snprintf(hex, sizeof hex, "\\u%04x", c);
            out += hex;
        } else if (c < 0x20 || c == 0x7f) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\u%04x", c);
            out += hex;
        } else {
            out += char(c);
        }
        i++;
    }
    return out + "\"";
}

namespace {

std::string ms(int64_t us) {
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f ms", double(us) / 1000);
    return buf;
}

// A moment in UTC: for a person, or in ISO 8601 for JSON.
std::string wall_time(int64_t epoch_s, bool iso) {
    time_t t = time_t(epoch_s);
    tm parts{};
    gmtime_r(&t, &parts);
    char buf[64];
    if (iso)
        strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &parts);
    else
        strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return buf;
}

std::string seconds(int64_t ms) {
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f", double(ms) / 1000);
    return buf;
}

}  // namespace

std::string text(const View &v) {
    std::string out = "state: " + std::string(v.state) + " for " + duration(v.state_ms);
    if (v.next_try_ms >= 0) out += ", next try in " + duration(v.next_try_ms);
    out += "\n";
    if (v.since_s > 0) out += "since: " + wall_time(v.since_s, false) + "\n";
    out += "link: " + log::printable(v.link) + "\n";
    if (!v.listening_on.empty()) out += "listening on: " + log::printable(v.listening_on) + "\n";
    if (!v.up && !v.reason.empty()) out += "reason: " + log::printable(v.reason) + "\n";
    if (v.up) {
        out += "far end: " + log::printable(v.far_host) + " (" + log::printable(v.far_addr) +
               "), version " + std::to_string(v.far_version) + ", user " +
               std::to_string(v.far_uid) + "\n";
        if (v.heard_ago_ms >= 0) out += "last heard: " + duration(v.heard_ago_ms) + " ago\n";
        if (v.rtt_us <= 0)
            out += "round trip: not measured yet";
        else if (v.rtt_age_ms > kRttFreshMs)
            out += "round trip: none measured for " + duration(v.rtt_age_ms) + " (the last was " +
                   ms(v.rtt_us) + ")";
        else
            out += "round trip: " + ms(v.rtt_us);
        if (v.srtt_us > 0) out += ", smoothed " + ms(v.srtt_us);
        out += "\nrate: in " + rate(v.rate_in) + ", out " + rate(v.rate_out) + " (last " +
               std::to_string(kRateSpanMs / 1000) + " s); in " + rate(v.rate_in_up) + ", out " +
               rate(v.rate_out_up) + " (since up)\n";
        out += "bytes: in " + std::to_string(v.bytes_in) + ", out " + std::to_string(v.bytes_out) +
               "\n";
        if (v.checked)
            out += "frames: " + std::to_string(v.damaged) + " damaged, " +
                   std::to_string(v.resent) + " resent\n";
        out += "far clients served here: " + std::to_string(v.far_channels) + "\n";
    }
    out += "reconnections: " + std::to_string(v.reconnections) + "\n";
    for (const ClientInfo &c : v.clients) {
        out += "client " + std::to_string(c.id) + ": " + c.kind + ", pid " + std::to_string(c.pid) +
               ", uid " + std::to_string(c.uid) + ", " + std::to_string(c.bytes_in + c.bytes_out) +
               " bytes, for " + duration(v.now_ms - c.since_ms) + "\n";
    }
    return out;
}

std::string json(const View &v) {
    auto text_or_null = [](const std::string &s) {
        return s.empty() ? std::string("null") : json_string(s);
    };
    auto seconds_or_null = [](int64_t ms) { return ms >= 0 ? seconds(ms) : "null"; };
    std::string out =
        "{\"state\":" + json_string(v.state) + ",\"state_seconds\":" + seconds(v.state_ms);
    out += ",\"since\":" + (v.since_s > 0 ? json_string(wall_time(v.since_s, true)) : "null");
    out += ",\"next_try_seconds\":" + seconds_or_null(v.next_try_ms);
    out += ",\"link\":" + json_string(v.link);
    out += ",\"listening_on\":" + text_or_null(v.listening_on);
    out += ",\"reason\":" + text_or_null(v.up ? std::string() : v.reason);
    if (v.up) {
        out += ",\"far\":{\"host\":" + json_string(v.far_host) +
               ",\"address\":" + json_string(v.far_addr) +
               ",\"version\":" + std::to_string(v.far_version) +
               ",\"user\":" + std::to_string(v.far_uid) + "}";
        out += ",\"heard_seconds_ago\":" + seconds_or_null(v.heard_ago_ms);
        out +=
            ",\"rtt_us\":" + std::to_string(v.rtt_us) + ",\"srtt_us\":" + std::to_string(v.srtt_us);
        out += ",\"rtt_age_seconds\":" + seconds_or_null(v.rtt_us > 0 ? v.rtt_age_ms : -1);
        out += ",\"bytes_in\":" + std::to_string(v.bytes_in) +
               ",\"bytes_out\":" + std::to_string(v.bytes_out);
        out += ",\"rate_in\":" + std::to_string(v.rate_in) +
               ",\"rate_out\":" + std::to_string(v.rate_out) +
               ",\"rate_in_since_up\":" + std::to_string(v.rate_in_up) +
               ",\"rate_out_since_up\":" + std::to_string(v.rate_out_up);
        if (v.checked)
            out += ",\"damaged\":" + std::to_string(v.damaged) +
                   ",\"resent\":" + std::to_string(v.resent);
        out += ",\"far_clients\":" + std::to_string(v.far_channels);
    }
    out += ",\"reconnections\":" + std::to_string(v.reconnections) + ",\"clients\":[";
    for (size_t i = 0; i < v.clients.size(); i++) {
        const ClientInfo &c = v.clients[i];
        out += (i ? ",{" : "{") + std::string("\"id\":") + std::to_string(c.id) +
               ",\"kind\":" + json_string(c.kind) + ",\"pid\":" + std::to_string(c.pid) +
               ",\"uid\":" + std::to_string(c.uid) + ",\"bytes_in\":" + std::to_string(c.bytes_in) +
               ",\"bytes_out\":" + std::to_string(c.bytes_out) +
               ",\"age_seconds\":" + seconds(v.now_ms - c.since_ms) + "}";
    }
    return out + "]}\n";
}

void Rates::sample(int64_t now_ms, uint64_t in, uint64_t out) {
    samples_.push_back(Sample{now_ms, in, out});
    // Keep one sample at least a span old, so that the rate covers the span.
    while (samples_.size() > 2 && now_ms - samples_[1].ms >= kRateSpanMs) samples_.pop_front();
}

void Rates::last(int64_t now_ms, uint64_t in, uint64_t out, uint64_t *rate_in,
                 uint64_t *rate_out) const {
    *rate_in = *rate_out = 0;
    if (samples_.empty()) return;
    const Sample &s = samples_.front();
    int64_t span = now_ms - s.ms;
    if (span <= 0) return;
    *rate_in = (in - s.in) * 1000 / uint64_t(span);
    *rate_out = (out - s.out) * 1000 / uint64_t(span);
}

bool ask(const std::string &socket_path, bool want_json, std::string *report, std::string *error) {
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof sa.sun_path) {
        *error = "socket path too long: " + socket_path;
        return false;
    }
    memcpy(sa.sun_path, socket_path.c_str(), socket_path.size() + 1);
    Fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0 || connect(fd.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        *error = "no veskd answers on " + socket_path + ": " + strerror(errno);
        return false;
    }
    timeval tv{kAskTimeoutS, 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    std::string request = {proto::kMessageStart, proto::kToNear, proto::kStatusCode};
    if (want_json) request += proto::kStatusJson;
    request += '\0';
    if (send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
        *error = "cannot ask the veskd on " + socket_path + ": " + strerror(errno);
        return false;
    }
    std::string in;
    char buf[16 * 1024];
    size_t nul = std::string::npos;
    const char *cut = nullptr;  // why the answer is not whole
    while (nul == std::string::npos) {
        ssize_t r = read(fd.get(), buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            cut =
                errno == EAGAIN || errno == EWOULDBLOCK ? "it stopped answering" : strerror(errno);
            break;
        }
        if (r == 0) {
            cut = "it closed the connection";
            break;
        }
        const void *end = memchr(buf, '\0', size_t(r));
        if (end != nullptr) nul = in.size() + size_t(static_cast<const char *>(end) - buf);
        in.append(buf, size_t(r));
        if (nul == std::string::npos && in.size() > kReportMax) {
            cut = "it is longer than any report should be";
            break;
        }
    }
    if (cut != nullptr && !in.empty()) {
        *error = "the report from the veskd on " + socket_path + " is not whole: " + cut;
        return false;
    }
    if (nul == std::string::npos || nul < 3 || in[0] != proto::kMessageStart) {
        *error = "no report from the veskd on " + socket_path;
        return false;
    }
    if (in[2] != proto::kReplyOk) {
        *error = in.substr(3, nul - 3);
        return false;
    }
    *report = in.substr(3, nul - 3);
    return true;
}

}  // namespace vesk::status
