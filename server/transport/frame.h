// Frames of the link between two veskd: an 8-byte header and a payload.
//
//   byte 0     type
//   byte 1     flags
//   bytes 2-3  payload length, big-endian
//   bytes 4-7  channel id, big-endian
//
// docs/link-protocol.md describes every type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vesk::frame {

constexpr size_t kHeaderBytes = 8;
// Payload of one data frame, bytes: one frame delays the other channels by at
// most ~1.3 ms at 100 Mbit/s.
constexpr size_t kDataMax = 16 * 1024;
// Largest payload the length field can carry, bytes.
constexpr size_t kPayloadMax = 65535;
// The link protocol this build speaks; HELLO carries it.
constexpr uint16_t kLinkProtocol = 1;
constexpr char kMagic[4] = {'V', 'E', 'S', 'K'};

enum Type : uint8_t {
    kHello = 1,    // link: who I am (first frame each way)
    kOpen = 2,     // channel opened by the sender
    kRequest = 3,  // command code and argument text
    kReply = 4,    // status byte and text
    kData = 5,     // stream bytes, within credit
    kCredit = 6,   // 4-byte increment of the receiver's window
    kEof = 7,      // the sender sends no more data on the channel
    kClose = 8,    // the sender is done with the channel
    kDgram = 9,    // one UDP datagram of pair "channel"
    kPing = 10,    // 8 bytes echoed by kPong
    kPong = 11,
    kGoodbye = 12,    // the sender closes the link on purpose
    kDataReset = 13,  // data of an abandoned file read ends here
};

enum Flags : uint8_t {
    kFromOpener = 1,  // the sender opened the channel (the id is its own)
    kCompressed = 2,  // the payload of a data frame is zstd-compressed
};

struct Header {
    uint8_t type = 0;
    uint8_t flags = 0;
    uint16_t length = 0;
    uint32_t channel = 0;
};

// Appends header and payload to out.  payload.size() must be <= kPayloadMax.
void append(std::string &out, uint8_t type, uint8_t flags, uint32_t channel,
            std::string_view payload);
// Decodes the header at p (kHeaderBytes readable).
Header parse_header(const uint8_t *p);

void put_u32(std::string &out, uint32_t v);
void put_u16(std::string &out, uint16_t v);
void put_u64(std::string &out, uint64_t v);
// Big-endian reads; the caller checks the length.
uint32_t get_u32(const uint8_t *p);
uint16_t get_u16(const uint8_t *p);
uint64_t get_u64(const uint8_t *p);

// What each end tells the other in its HELLO.
struct Hello {
    uint16_t protocol = kLinkProtocol;
    uint32_t server_version = 0;  // the command-set version it answers for
    uint32_t addr = 0;            // its IPv4 address, host order
    uint32_t uid = 0;             // the user it runs as
    uint32_t window = 0;          // initial credit it grants every channel, bytes
    std::string host;             // its host name, at most 255 bytes
};
std::string encode_hello(const Hello &h);
// Returns false when the payload is not a HELLO of a vesk link.
bool decode_hello(std::string_view payload, Hello *h);

}  // namespace vesk::frame
