// veskd --status: the state a running veskd reports about its link and its
// clients, the lines and the JSON object it is shown as, the rate over the
// last seconds, and the asking side that fetches it over the socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "client.h"

namespace vesk::status {

// The rate shown as "last" is taken over this span, ms.
constexpr int64_t kRateSpanMs = 10 * 1000;

struct View {
    // starting, connecting, key check, greeting, up, down, waiting (a
    // listening end without a link), stopping
    const char *state = "connecting";
    int64_t state_ms = 0;      // for how long, ms
    int64_t since_s = 0;       // since when, seconds since the epoch (0: not shown)
    int64_t next_try_ms = -1;  // down: the next try in, ms (-1: none planned)
    std::string link;          // the --link argument
    std::string listening_on;  // a tcp-listen: end: the address it listens on
    std::string reason;        // not up: why the last try or link ended ("": none yet)
    bool up = false;           // the fields below hold a link's figures
    std::string far_host;      // from the far HELLO
    // TCP: the far end's address and port as the socket has it; other
    // links: the address the far HELLO names.
    std::string far_addr;
    unsigned long far_version = 0;
    unsigned far_uid = 0;
    int64_t heard_ago_ms = -1;  // since the far end was last heard (-1: not known)
    int64_t rtt_us = 0;         // last round trip (0: none yet)
    int64_t rtt_age_ms = -1;    // how long ago it was measured (-1: not known)
    int64_t srtt_us = 0;        // smoothed, on a checked link (0: none)
    uint64_t bytes_in = 0, bytes_out = 0;
    uint64_t rate_in = 0, rate_out = 0;        // bytes/s over the last kRateSpanMs
    uint64_t rate_in_up = 0, rate_out_up = 0;  // bytes/s since up
    bool checked = false;                      // a checked line's counters follow
    uint64_t damaged = 0, resent = 0;
    unsigned reconnections = 0;  // links up after the first
    size_t far_channels = 0;     // the far end's clients served here
    std::vector<ClientInfo> clients;
    int64_t now_ms = 0;  // monotonic, for the clients' ages
};

// A round trip measured longer ago than this is shown as none, ms: pings
// go at least every 5 s while the far end answers, so an older one only
// says how the link was before it fell silent.
constexpr int64_t kRttFreshMs = 12 * 1000;

// A few lines for a person, each ending in a newline.
std::string text(const View &v);
// One JSON object and a newline; text that is not UTF-8 is escaped byte by
// byte (\u0080 to \u00ff), so the object is valid whatever names hold.
std::string json(const View &v);
// s as a JSON string, quotes included.
std::string json_string(std::string_view s);

// Byte counts sampled once a second; the rate each way over the last
// kRateSpanMs (or what of it there is).
class Rates {
  public:
    void sample(int64_t now_ms, uint64_t in, uint64_t out);
    void clear() { samples_.clear(); }
    // Bytes per second each way between the oldest kept sample and (now,
    // in, out); 0 without one.
    void last(int64_t now_ms, uint64_t in, uint64_t out, uint64_t *rate_in,
              uint64_t *rate_out) const;

  private:
    struct Sample {
        int64_t ms;
        uint64_t in, out;
    };
    std::deque<Sample> samples_;
};

// Asks the veskd on socket_path for its report (json or text), read whole
// however long it is.  Returns false with a reason when none answers or the
// answer ends before its end.
bool ask(const std::string &socket_path, bool json, std::string *report, std::string *error);

}  // namespace vesk::status
