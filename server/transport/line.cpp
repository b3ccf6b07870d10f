// The three kinds of wire layer under the Link (see line.h).
#include "line.h"

#include "arq.h"
#include "record.h"

namespace vesk {
namespace {

// A record of an encrypted link failed to open: changed, dropped, reordered
// or replayed bytes, or another session's.
constexpr const char *kIntegrityFailed = "link integrity check failed";
// The far end of a stdio or exec: link sends frames without packets.
constexpr const char *kFarPlain =
    "the far veskd sends unchecked frames (an older version, or --trust-line there): "
    "both ends must check them, or both trust the line";
constexpr const char *kFarRestarted = "link lost: the far veskd started afresh";
constexpr const char *kFarOld =
    "the far veskd sends the packets of an older version: run the same version at both ends";

// Puts wrapped in the place of out from at on, without a copy when at is 0
// (the bulk path).
void replace_tail(std::string &out, size_t at, std::string &wrapped) {
    out.resize(at);
    if (at == 0) {
        out.swap(wrapped);
    } else {
        out.append(wrapped);
    }
}

class PlainLine final : public Line {
  public:
    bool wrap(std::string &, size_t, int64_t) override { return true; }
    Taken take(std::string_view wire, int64_t, bool, std::string &frames) override {
        Taken t;
        // Any byte is a sign of life, whatever frame it belongs to.
        t.alive = true;
        if (frames.empty()) {
            t.in_place = wire;
        } else {
            frames.append(wire);
        }
        return t;
    }
};

class RecordLine final : public Line {
  public:
    bool init(const record::Keys &keys) { return layer_.init(keys); }
    bool wrap(std::string &out, size_t at, int64_t) override {
        sealed_.clear();
        if (!layer_.sealer.seal(std::string_view(out).substr(at), sealed_)) {
            out.resize(at);
            return false;
        }
        replace_tail(out, at, sealed_);
        return true;
    }
    Taken take(std::string_view wire, int64_t, bool, std::string &frames) override {
        Taken t;
        t.alive = true;
        if (!layer_.opener.open(wire, frames)) {
            // Nothing of this read reaches a channel: the link ends here.
            t.fault = kIntegrityFailed;
            t.far_may_be_absent = false;
        }
        return t;
    }

  private:
    record::Layer layer_;
    std::string sealed_;  // scratch
};

class PacketLine final : public Line {
  public:
    PacketLine(uint32_t first_seq, uint64_t key, bool flow_bytes)
        : arq_(first_seq, key), flow_bytes_(flow_bytes) {}
    bool wrap(std::string &out, size_t at, int64_t now_us) override {
        packets_.clear();
        arq_.send(std::string_view(out).substr(at), now_us, packets_);
        replace_tail(out, at, packets_);
        escape(out, at);
        return true;
    }
    bool wrap_last(std::string &out, size_t at, int64_t now_us) override {
        wrap(out, at, now_us);
        // No time to resend it: send it twice, the far end takes one copy.
        out.append(out.substr(at));
        return true;
    }
    Taken take(std::string_view wire, int64_t now_us, bool up, std::string &frames) override {
        if (flow_bytes_) {
            plain_.clear();
            packet::unescape(wire, plain_, &escape_pending_);
            wire = plain_;
        }
        // Only a packet that passed its checks is a sign of life: a line
        // that delivers noise alone is lost after the liveness time.
        return verdict(arq_.receive(wire, now_us, frames), up);
    }
    Taken expire(int64_t now_us, bool up, std::string &frames) override {
        return verdict(arq_.expire(now_us, frames), up);
    }
    size_t room() const override { return arq_.room(); }
    void before_frames(int64_t now_us, std::string &out) override {
        size_t at = out.size();
        arq_.resend_due(now_us, out);
        escape(out, at);
    }
    void when_idle(std::string &out) override {
        size_t at = out.size();
        arq_.ack_if_owed(out);
        escape(out, at);
    }
    int64_t next_due_us() const override { return arq_.next_due_us(); }
    std::optional<LineStats> stats() const override { return arq_.stats(); }
    void set_interactive(bool on) override { arq_.set_interactive(on); }
    uint64_t rate() const override { return arq_.rate(); }
    bool busy() const override { return arq_.busy(); }

  private:
    void escape(std::string &out, size_t at) const {
        if (flow_bytes_) packet::escape_tail(out, at);
    }
    Taken verdict(bool alive, bool up) const {
        Taken t;
        t.alive = alive;
        t.wake = alive;  // acknowledgements owed, room freed
        if (!up && arq_.far_is_plain()) {
            t.fault = kFarPlain;
            t.far_may_be_absent = false;
        } else if (!up && arq_.far_is_old()) {
            t.fault = kFarOld;
            t.far_may_be_absent = false;
        } else if (arq_.far_restarted()) {
            t.fault = kFarRestarted;
            t.far_restarted = true;
        } else if (arq_.fault()) {
            t.fault = arq_.fault();
        }
        return t;
    }

    Arq arq_;
    bool flow_bytes_;
    bool escape_pending_ = false;  // an escape byte ended the last read
    std::string packets_;          // scratch
    std::string plain_;            // scratch: what came, unescaped
};

}  // namespace

std::unique_ptr<Line> plain_line() {
    return std::make_unique<PlainLine>();
}

std::unique_ptr<Line> record_line(const record::Keys &keys) {
    auto line = std::make_unique<RecordLine>();
    if (!line->init(keys)) return nullptr;
    return line;
}

std::unique_ptr<Line> packet_line(uint32_t first_seq, uint64_t key, bool flow_bytes) {
    return std::make_unique<PacketLine>(first_seq, key, flow_bytes);
}

}  // namespace vesk
