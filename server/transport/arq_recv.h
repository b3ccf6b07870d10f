// The receiving half of a checked link's repair: finding packets in what the
// line delivers, putting the frame stream back in order, and what this end
// owes the far one in acknowledgements.  Acknowledgements that arrive are
// handed to the Sender.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "arq_send.h"
#include "packet.h"

namespace vesk::arq {

class Receiver {
  public:
    // Takes received bytes; appends the frame bytes that are now in order to
    // frames and gives the acknowledgements found to sender.  Returns true
    // when at least one good packet arrived (a sign of life; noise is none).
    bool receive(std::string_view bytes, int64_t now_us, std::string &frames, Sender &sender);
    // The acknowledgement fields a packet of this end carries now.
    packet::Header ack_header() const;
    // Data has come that no packet since acknowledged.
    bool ack_owed() const { return ack_owed_ && synced_; }
    // A packet carrying ack_header() has gone.
    void ack_sent() { ack_owed_ = false; }
    // The far end sends plain frames, as a version without packets does.
    bool far_is_plain() const { return far_plain_; }
    // The far end started afresh: a first packet of another sequence.
    bool far_restarted() const { return far_restarted_; }

    uint64_t damaged() const { return damaged_; }
    uint64_t resyncs() const { return resyncs_; }
    uint64_t received() const { return received_; }

  private:
    void on_data(const packet::Header &h, std::string_view payload, std::string &frames);
    bool looks_plain(std::string_view bytes) const;

    std::string in_;  // bytes not yet taken as packets or noise
    bool synced_ = false;
    uint32_t far_first_ = 0;
    uint32_t rcv_next_ = 0;
    std::map<uint32_t, std::string> ahead_;  // out of order, by sequence number
    size_t ahead_bytes_ = 0;
    bool ack_owed_ = false;
    bool in_noise_ = false;  // the last bytes taken were no good packet
    bool heard_good_ = false;
    bool far_plain_ = false;
    bool far_restarted_ = false;
    uint64_t damaged_ = 0;   // packets that failed a check
    uint64_t resyncs_ = 0;   // runs of bytes skipped to find the next packet
    uint64_t received_ = 0;  // good packets
};

}  // namespace vesk::arq
