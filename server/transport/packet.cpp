// The packet format of checked links: building a packet, scrambling its
// payload and finding the next good one in received bytes (see packet.h).
#include "packet.h"

#include <cstring>

#include "crc32c.h"
#include "frame.h"

namespace vesk::packet {
namespace {
constexpr size_t kCheckedHeader = kHeaderBytes - 4;  // header bytes under its CRC
constexpr uint8_t kFlagBits = 0x0F;
constexpr int kVersionShift = 4;
// The first packet format (version 1): a 22-byte header whose CRC covers
// bytes 0-17 and whose byte 3 is the version.  Recognised only to say so.
constexpr size_t kOldHeaderBytes = 22;
constexpr size_t kOldChecked = 18;
constexpr uint8_t kOldVersion = 1;

// splitmix64: a fast, well-mixed keystream; secrecy is not the point, only
// that without the key no byte of it can be foreseen.
uint64_t mix(uint64_t &state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}
}  // namespace

void scramble(uint64_t key, uint32_t seq, char *data, size_t n) {
    uint64_t state = key ^ (uint64_t(seq) * 0xD1B54A32D192ED03ull);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t k = mix(state), v;
        memcpy(&v, data + i, 8);
        v ^= k;
        memcpy(data + i, &v, 8);
    }
    if (i < n) {
        uint64_t k = mix(state);
        for (; i < n; i++, k >>= 8) data[i] = char(uint8_t(data[i]) ^ uint8_t(k));
    }
}

void escape_tail(std::string &out, size_t at) {
    auto special = [](char c) {
        auto b = uint8_t(c);
        return b == kXon || b == kXoff || b == kEscape;
    };
    size_t extra = 0;
    for (size_t i = at; i < out.size(); i++) extra += special(out[i]);
    if (extra == 0) return;
    size_t from = out.size();
    out.resize(from + extra);
    // Back to front, so that each byte moves once.
    for (size_t to = out.size(); from > at;) {
        char c = out[--from];
        if (special(c)) {
            out[--to] = char(uint8_t(c) ^ kEscapeFlip);
            out[--to] = char(kEscape);
        } else {
            out[--to] = c;
        }
    }
}

void unescape(std::string_view wire, std::string &plain, bool *pending) {
    for (char c : wire) {
        if (*pending) {
            plain += char(uint8_t(c) ^ kEscapeFlip);
            *pending = false;
        } else if (uint8_t(c) == kEscape) {
            *pending = true;
        } else {
            plain += c;
        }
    }
}

void append(std::string &out, const Header &h, std::string_view payload) {
    size_t at = out.size();
    out.resize(at + kHeaderBytes);
    auto *p = reinterpret_cast<uint8_t *>(out.data() + at);
    p[0] = kSync0;
    p[1] = kSync1;
    p[2] = uint8_t((h.flags & kFlagBits) | (kVersion << kVersionShift));
    auto put16 = [](uint8_t *q, uint32_t v) {
        q[0] = uint8_t(v >> 8);
        q[1] = uint8_t(v);
    };
    put16(p + 3, uint32_t(payload.size()));
    put16(p + 5, h.seq);
    put16(p + 7, h.ack);
    put16(p + 9, h.sack);
    uint32_t check = crc32c(0, p, kCheckedHeader);
    p[11] = uint8_t(check >> 24);
    p[12] = uint8_t(check >> 16);
    p[13] = uint8_t(check >> 8);
    p[14] = uint8_t(check);
    if (payload.empty()) return;
    out.append(payload);
    std::string tail;
    frame::put_u32(tail, crc32c(0, payload.data(), payload.size()));
    out.append(tail);
}

namespace {
bool old_header(const uint8_t *p, size_t n) {
    return n >= kOldHeaderBytes && p[3] == kOldVersion &&
           crc32c(0, p, kOldChecked) == frame::get_u32(p + kOldChecked);
}
}  // namespace

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
    if (crc32c(0, p, kCheckedHeader) != frame::get_u32(p + kCheckedHeader) ||
        (p[2] >> kVersionShift) != kVersion) {
        if (n < kOldHeaderBytes && p[3] == kOldVersion) return f;  // may be an old header
        f.kind = old_header(p, n) ? Found::kOldVersion : Found::kBadHeader;
        f.skip = 1;
        return f;
    }
    Header &h = f.header;
    h.flags = p[2] & kFlagBits;
    h.length = frame::get_u16(p + 3);
    h.seq = frame::get_u16(p + 5);
    h.ack = frame::get_u16(p + 7);
    h.sack = frame::get_u16(p + 9);
    // A header that checks but claims what no sender makes is noise that
    // happened to pass: never trust its length.
    bool first_short = (h.flags & kFirst) && h.length < kKeyBytes;
    if (h.length > kPayloadMax || (h.length != 0) != bool(h.flags & kData) || first_short) {
        f.kind = Found::kBadHeader;
        f.skip = 1;
        return f;
    }
    size_t size = kHeaderBytes + h.length + (h.length ? kCheckBytes : 0);
    if (n < size) {
        f.skip = size;
        return f;
    }
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
