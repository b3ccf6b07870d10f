// Fuzz harness: the receiving side of a checked link, fed bytes as a damaged
// line or a hostile far end would send them, in pieces of the sizes the
// input picks.  Whatever comes, the frame bytes handed up are bytes some
// packet carried, and the receiver's buffers stay bounded.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "arq.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    vesk::Arq arq(0x12345678, 0x9abcdef0u);
    std::string frames;
    int64_t now = 0;
    size_t pos = 0;
    while (pos < size) {
        size_t n = 1 + data[pos] % 97;
        pos++;
        if (n > size - pos) n = size - pos;
        arq.receive(std::string_view(reinterpret_cast<const char *>(data + pos), n), now, frames);
        pos += n;
        now += 1000;
        std::string wire;
        arq.resend_due(now, wire);
        arq.ack_if_owed(wire);
        arq.expire(now, frames);
    }
    if (frames.size() > size) abort();
    return 0;
}
