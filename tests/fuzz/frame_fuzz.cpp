// Fuzz harness: the link's frame header and HELLO decoder, fed a byte stream
// as a far end would send it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "frame.h"

using namespace vesk::frame;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    size_t pos = 0;
    while (size - pos >= kHeaderBytes) {
        Header h = parse_header(data + pos);
        pos += kHeaderBytes;
        size_t n = h.length < size - pos ? h.length : size - pos;
        std::string_view payload(reinterpret_cast<const char *>(data + pos), n);
        pos += n;
        if (h.type != kHello) continue;
        Hello hello;
        if (!decode_hello(payload, &hello)) continue;
        // What was decoded is text a VERSION reply can carry, and encodes back
        // to a HELLO that decodes to the same.
        for (unsigned char c : hello.host) {
            if (c <= ' ' || c == 0x7f) abort();
        }
        Hello again;
        if (!decode_hello(encode_hello(hello), &again)) abort();
        if (again.host != hello.host || again.protocol != hello.protocol ||
            again.server_version != hello.server_version || again.addr != hello.addr ||
            again.uid != hello.uid || again.window != hello.window) {
            abort();
        }
    }
    return 0;
}
