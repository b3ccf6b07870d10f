// Encoding and decoding of the link's frames and of the hello (see frame.h).
#include "frame.h"

#include <cstring>

#include "hostport.h"

namespace vesk::frame {

void put_u16(std::string &out, uint16_t v) {
    out.push_back(char(v >> 8));
    out.push_back(char(v));
}
void put_u32(std::string &out, uint32_t v) {
    put_u16(out, uint16_t(v >> 16));
    put_u16(out, uint16_t(v));
}
void put_u64(std::string &out, uint64_t v) {
    put_u32(out, uint32_t(v >> 32));
    put_u32(out, uint32_t(v));
}
uint16_t get_u16(const uint8_t *p) {
    return uint16_t(p[0] << 8 | p[1]);
}
uint32_t get_u32(const uint8_t *p) {
    return uint32_t(get_u16(p)) << 16 | get_u16(p + 2);
}
uint64_t get_u64(const uint8_t *p) {
    return uint64_t(get_u32(p)) << 32 | get_u32(p + 4);
}

void append(std::string &out, uint8_t type, uint8_t flags, uint32_t channel,
            std::string_view payload) {
    out.push_back(char(type));
    out.push_back(char(flags));
    put_u16(out, uint16_t(payload.size()));
    put_u32(out, channel);
    out.append(payload);
}

Header parse_header(const uint8_t *p) {
    Header h;
    h.type = p[0];
    h.flags = p[1];
    h.length = get_u16(p + 2);
    h.channel = get_u32(p + 4);
    return h;
}

namespace {
constexpr size_t kHelloFixed = 4 + 2 + 2 + 4 + 4 + 4 + 4;
}  // namespace

std::string encode_hello(const Hello &h) {
    std::string out(kMagic, sizeof kMagic);
    put_u16(out, h.protocol);
    put_u16(out, 0);
    put_u32(out, h.server_version);
    put_u32(out, h.addr);
    put_u32(out, h.uid);
    put_u32(out, h.window);
    out.append(h.host.substr(0, proto::kHostNameMax));
    return out;
}

bool decode_hello(std::string_view payload, Hello *h) {
    if (payload.size() < kHelloFixed || payload.size() > kHelloFixed + proto::kHostNameMax)
        return false;
    if (memcmp(payload.data(), kMagic, sizeof kMagic) != 0) return false;
    auto p = reinterpret_cast<const uint8_t *>(payload.data());
    h->protocol = get_u16(p + 4);
    h->server_version = get_u32(p + 8);
    h->addr = get_u32(p + 12);
    h->uid = get_u32(p + 16);
    h->window = get_u32(p + 20);
    h->host.assign(payload.substr(kHelloFixed));
    // A name is text: stop at a NUL or a blank, which the client's parse of
    // the VERSION reply could not carry.
    for (size_t i = 0; i < h->host.size(); i++) {
        unsigned char c = h->host[i];
        if (c <= ' ' || c == 0x7f) {
            h->host.resize(i);
            break;
        }
    }
    return true;
}

}  // namespace vesk::frame
