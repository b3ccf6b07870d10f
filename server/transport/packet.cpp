// The packet format of checked links: building a packet and finding the next
// good one in received bytes (see packet.h).
#include "packet.h"

#include <cstring>

#include "crc32c.h"
#include "frame.h"

namespace vesk::packet {
namespace {
constexpr size_t kCheckedHeader = kHeaderBytes - 4;  // header bytes under its CRC
}  // namespace

void append(std::string &out, const Header &h, std::string_view payload) {
    size_t at = out.size();
    out.resize(at + kHeaderBytes);
    auto *p = reinterpret_cast<uint8_t *>(out.data() + at);
    p[0] = kSync0;
    p[1] = kSync1;
    p[2] = h.flags;
    p[3] = kVersion;
    p[4] = uint8_t(payload.size() >> 8);
    p[5] = uint8_t(payload.size());
    auto put32 = [](uint8_t *q, uint32_t v) {
        q[0] = uint8_t(v >> 24);
        q[1] = uint8_t(v >> 16);
        q[2] = uint8_t(v >> 8);
        q[3] = uint8_t(v);
    };
    put32(p + 6, h.seq);
    put32(p + 10, h.ack);
    put32(p + 14, h.sack);
    put32(p + 18, crc32c(0, p, kCheckedHeader));
    if (payload.empty()) return;
    out.append(payload);
    std::string check;
    frame::put_u32(check, crc32c(0, payload.data(), payload.size()));
    out.append(check);
}

Found scan(std::string_view buf) {
    Found f;
    auto p = reinterpret_cast<const uint8_t *>(buf.data());
    size_t n = buf.size();
    if (n == 0) return f;
    if (p[0] != kSync0 || (n > 1 && p[1] != kSync1)) {
        // Skip to the next byte that could start a packet.
        const void *next = memchr(p + 1, kSync0, n - 1);
        f.kind = Found::kNoise;
        f.skip = next ? size_t(static_cast<const uint8_t *>(next) - p) : n;
        return f;
    }
    if (n < kHeaderBytes) return f;
    if (crc32c(0, p, kCheckedHeader) != frame::get_u32(p + kCheckedHeader) || p[3] != kVersion) {
        f.kind = Found::kBadHeader;
        f.skip = 1;
        return f;
    }
    Header &h = f.header;
    h.flags = p[2];
    h.length = frame::get_u16(p + 4);
    h.seq = frame::get_u32(p + 6);
    h.ack = frame::get_u32(p + 10);
    h.sack = frame::get_u32(p + 14);
    // A header that checks but claims what no sender makes is noise that
    // happened to pass: never trust its length.
    if (h.length > kPayloadMax || (h.length != 0) != bool(h.flags & kData)) {
        f.kind = Found::kBadHeader;
        f.skip = 1;
        return f;
    }
    size_t size = kHeaderBytes + h.length + (h.length ? kCheckBytes : 0);
    if (n < size) return f;
    f.skip = size;
    if (h.length != 0) {
        const uint8_t *body = p + kHeaderBytes;
        if (crc32c(0, body, h.length) != frame::get_u32(body + h.length)) {
            f.kind = Found::kBadBody;
            return f;
        }
        f.payload = buf.substr(kHeaderBytes, h.length);
    }
    f.kind = Found::kGood;
    return f;
}

}  // namespace vesk::packet
