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
    // A copy of a packet already taken came: the far end missed the
    // acknowledgement, which should go twice now, in case the line damages
    // every first copy.
    bool ack_again() const { return ack_again_; }
    // A packet carrying ack_header() has gone.
    void ack_sent() { ack_owed_ = ack_again_ = false; }
    // When a packet whose checked header has come but whose bytes have not
    // will be dropped as false (the time its claimed length needs), or -1.
    int64_t next_due_us() const { return pending_due_us_; }
    // The far end sends plain frames, as a version without packets does.
    bool far_is_plain() const { return far_plain_; }
    // The far end started afresh: a first packet of another key.
    bool far_restarted() const { return far_restarted_; }
    // The far end sends the packets of an older version.
    bool far_is_old() const { return far_old_; }

    uint64_t damaged() const { return damaged_; }
    uint64_t resyncs() const { return resyncs_; }
    uint64_t received() const { return received_; }

  private:
    void on_data(const packet::Header &h, std::string_view payload, std::string &frames);
    bool looks_plain(std::string_view bytes) const;
    // Whether the packet that may start at the front of buf, still
    // arriving, has waited for its bytes longer than they need; the first
    // call for a packet starts its clock.
    bool overdue(std::string_view buf, const packet::Found &f, int64_t now_us,
                 const Sender &sender);

    std::string in_;  // bytes not yet taken as packets or noise
    bool synced_ = false;
    uint64_t far_key_ = 0;
    uint32_t rcv_next_ = 0;
    std::string plain_;                      // scratch: a payload unscrambled
    std::map<uint32_t, std::string> ahead_;  // out of order, by sequence number
    size_t ahead_bytes_ = 0;
    bool ack_owed_ = false;
    bool ack_again_ = false;
    int64_t pending_due_us_ = -1;  // see next_due_us()
    size_t pending_size_ = 0;      // the size the pending packet's header claims
    bool in_noise_ = false;        // the last bytes taken were no good packet
    bool heard_good_ = false;
    bool far_plain_ = false;
    bool far_restarted_ = false;
    bool far_old_ = false;
    uint64_t damaged_ = 0;   // packets that failed a check
    uint64_t resyncs_ = 0;   // runs of bytes skipped to find the next packet
    uint64_t received_ = 0;  // good packets
};

}  // namespace vesk::arq
