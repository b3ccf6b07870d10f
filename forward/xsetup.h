// The X11 connection setup as displink reads it: the client's opening
// message (byte order, protocol version, authorization name and data, each
// padded to four bytes), the check of its cookie, the same message with
// other credentials, and the server's refusal.  Header-only and pure so that
// the unit tests reach it without a library of its own.
#ifndef VESK_FORWARD_XSETUP_H
#define VESK_FORWARD_XSETUP_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace vesk::forward::x11 {

constexpr size_t kHeadBytes = 12;  // byte order, pad, major, minor, name and data lengths, pad
constexpr uint8_t kMsbFirst = 'B';
constexpr uint8_t kLsbFirst = 'l';
// Longest authorization name and data accepted, bytes: the schemes X knows
// use at most a few dozen, and a longer claim is no client of ours.
constexpr size_t kMaxAuthName = 64;
constexpr size_t kMaxAuthData = 1024;
constexpr std::string_view kCookieName = "MIT-MAGIC-COOKIE-1";
constexpr size_t kCookieBytes = 16;
constexpr uint16_t kProtocolMajor = 11;  // what a refusal reports as the server's version
constexpr uint16_t kProtocolMinor = 0;

inline size_t pad4(size_t n) {
    return (n + 3) & ~size_t(3);
}

struct Head {
    bool msb = false;  // numbers most significant byte first
    uint16_t major = 0, minor = 0;
    uint16_t name_len = 0, data_len = 0;
};

inline uint16_t get16(const uint8_t *p, bool msb) {
    return msb ? uint16_t(p[0] << 8 | p[1]) : uint16_t(p[1] << 8 | p[0]);
}

inline void put16(std::vector<uint8_t> &out, uint16_t v, bool msb) {
    out.push_back(uint8_t(msb ? v >> 8 : v));
    out.push_back(uint8_t(msb ? v : v >> 8));
}

// Reads the first kHeadBytes of a setup.  Returns false for an unknown byte
// order or an authorization longer than this side accepts.
inline bool parse_head(const uint8_t *p, Head *h) {
    if (p[0] != kMsbFirst && p[0] != kLsbFirst) return false;
    h->msb = p[0] == kMsbFirst;
    h->major = get16(p + 2, h->msb);
    h->minor = get16(p + 4, h->msb);
    h->name_len = get16(p + 6, h->msb);
    h->data_len = get16(p + 8, h->msb);
    return h->name_len <= kMaxAuthName && h->data_len <= kMaxAuthData;
}

// Bytes of the whole setup that h heads, padding included.
inline size_t setup_bytes(const Head &h) {
    return kHeadBytes + pad4(h.name_len) + pad4(h.data_len);
}

// Whether the whole setup (setup_bytes(h) bytes) carries exactly this
// cookie; compared in constant time.
inline bool carries_cookie(const Head &h, const uint8_t *setup, const uint8_t *cookie) {
    const uint8_t *name = setup + kHeadBytes;
    const uint8_t *data = name + pad4(h.name_len);
    if (h.name_len != kCookieName.size() ||
        std::memcmp(name, kCookieName.data(), kCookieName.size()) != 0 ||
        h.data_len != kCookieBytes)
        return false;
    uint8_t diff = 0;
    for (size_t i = 0; i < kCookieBytes; i++) diff |= uint8_t(data[i] ^ cookie[i]);
    return diff == 0;
}

// The setup h heads, in its byte order and version, with name and data as
// its authorization (both empty: none).
inline std::vector<uint8_t> with_auth(const Head &h, std::string_view name,
                                      const std::vector<uint8_t> &data) {
    std::vector<uint8_t> out;
    out.push_back(h.msb ? kMsbFirst : kLsbFirst);
    out.push_back(0);
    put16(out, h.major, h.msb);
    put16(out, h.minor, h.msb);
    put16(out, uint16_t(name.size()), h.msb);
    put16(out, uint16_t(data.size()), h.msb);
    out.resize(kHeadBytes, 0);
    out.insert(out.end(), name.begin(), name.end());
    out.resize(kHeadBytes + pad4(name.size()), 0);
    out.insert(out.end(), data.begin(), data.end());
    out.resize(kHeadBytes + pad4(name.size()) + pad4(data.size()), 0);
    return out;
}

// The server's "Failed" answer to a setup in h's byte order: status 0, the
// reason's length, the protocol version, the reason's length in 4-byte
// units, the reason padded.
inline std::vector<uint8_t> failure(const Head &h, std::string_view reason) {
    std::vector<uint8_t> out;
    out.push_back(0);
    out.push_back(uint8_t(reason.size()));
    put16(out, kProtocolMajor, h.msb);
    put16(out, kProtocolMinor, h.msb);
    put16(out, uint16_t(pad4(reason.size()) / 4), h.msb);
    out.insert(out.end(), reason.begin(), reason.end());
    out.resize(8 + pad4(reason.size()), 0);
    return out;
}

}  // namespace vesk::forward::x11

#endif  // VESK_FORWARD_XSETUP_H
