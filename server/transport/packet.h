// Packets of a checked link: how the frame stream of a stdio or exec: link
// crosses a line that may damage, drop or insert bytes (a serial or radio
// line).  The frame stream is cut into packets; each carries a sequence
// number, the acknowledgements of the other direction and two CRC-32Cs, one
// over its header alone, so that a damaged length is never trusted:
//
//   bytes 0-1    sync 0xC3 0x5A
//   byte  2      flags (kData, kAck, kFirst)
//   byte  3      packet version (kVersion)
//   bytes 4-5    payload length, big-endian (0 for an acknowledgement alone)
//   bytes 6-9    sequence number of this packet (kData)
//   bytes 10-13  next sequence number the sender expects (kAck)
//   bytes 14-17  selective acks: bit i set = sequence ack + 1 + i arrived
//   bytes 18-21  CRC-32C of bytes 0-17
//   payload, then its CRC-32C (4 bytes) when the length is not 0
//
// A receiver looks for the sync bytes, trusts nothing before the header's
// check, and after any damage starts looking again one byte further on.
// docs/link-protocol.md has the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vesk::packet {

constexpr uint8_t kSync0 = 0xC3;
constexpr uint8_t kSync1 = 0x5A;
constexpr uint8_t kVersion = 1;
constexpr size_t kHeaderBytes = 22;
constexpr size_t kCheckBytes = 4;  // the payload's CRC-32C
// Payload of one packet, bytes: one full data frame and its header fit.
constexpr size_t kPayloadMax = 16 * 1024 + 64;
// Bits of the selective acknowledgement field.
constexpr uint32_t kSackBits = 32;
// Packets in flight at once; a receiver keeps no packet further ahead.
constexpr uint32_t kWindowPackets = 4096;
// Bytes of frames sent and not yet acknowledged, at most: enough for a fast
// pipe's bandwidth-delay product (1 Gbit/s over 100 ms is 12.5 MB), and the
// most out-of-order bytes a receiver keeps.
constexpr size_t kStoreMax = 16 * 1024 * 1024;

// Serial-number order of 32-bit sequence numbers: a - b as a signed distance.
constexpr int32_t seq_diff(uint32_t a, uint32_t b) {
    return int32_t(a - b);
}

enum Flags : uint8_t {
    kData = 1,   // carries frame bytes under a sequence number
    kAck = 2,    // the ack fields are valid (the sender has its peer's first packet)
    kFirst = 4,  // the sequence number is the sender's first
};

struct Header {
    uint8_t flags = 0;
    uint16_t length = 0;
    uint32_t seq = 0;
    uint32_t ack = 0;
    uint32_t sack = 0;
};

// Appends a packet to out.  payload.size() must be <= kPayloadMax, and 0
// unless the flags have kData.
void append(std::string &out, const Header &h, std::string_view payload);

// What scan() found at the start of what it was given.
struct Found {
    enum Kind {
        kNeedMore,   // the bytes end inside a possible packet: call again with more
        kGood,       // a packet whose header and payload passed their checks
        kBadBody,    // a packet whose header passed and payload failed
        kBadHeader,  // the sync bytes of a header that fails its check: skip 1
        kNoise,      // bytes that are no packet start: skip them
    } kind = kNeedMore;
    size_t skip = 0;           // bytes to drop from the front (kNoise), or the packet's size
    Header header;             // kGood, kBadBody
    std::string_view payload;  // kGood
};

// Looks at the front of buf.  kNoise with skip > 0 when buf does not start
// with the sync bytes (skip reaches the next candidate), kBadHeader when the
// header there fails its check or claims what no sender makes; kNeedMore when it may be a packet
// still arriving; kGood or kBadBody with skip the packet's size otherwise.  For kBadBody the caller
// should go on one byte further, not skip the packet: bytes dropped inside it
// would otherwise cost the packet after it too.
Found scan(std::string_view buf);

}  // namespace vesk::packet
