// When a link counts as lost for silence, and when it pings: the rules,
// apart from the Link that applies them.  Times are monotonic milliseconds.
#pragma once

#include <cstdint>
#include <string>

namespace vesk {

class Liveness {
  public:
    // Pings at least this often, ms: they also measure the round trip.
    static constexpr int kPingMaxMs = 5000;

    // alive_ms: silence after the far HELLO that ends the link; hello_ms:
    // how long the HELLO may take (0 for either: no limit).
    Liveness(int alive_ms, int hello_ms);

    void started(int64_t now);  // this end sent its HELLO
    void up(int64_t now);       // the far HELLO arrived
    void heard(int64_t now) { heard_ms_ = now; }
    // When the far end was last heard, ms (monotonic).
    int64_t heard_ms() const { return heard_ms_; }
    void pinged(int64_t now);

    enum class Verdict { kFine, kPing, kLost };
    // What is due at now.  kLost: the reason is lost_reason().
    Verdict check(int64_t now) const;
    std::string lost_reason() const;
    // How soon to check again, ms.
    int period_ms() const;
    bool on() const { return alive_ms_ > 0; }

  private:
    int alive_ms_;
    int hello_ms_;
    bool up_ = false;
    int64_t started_ms_ = 0;
    int64_t heard_ms_ = 0;
    int64_t next_ping_ms_ = 0;
};

}  // namespace vesk
