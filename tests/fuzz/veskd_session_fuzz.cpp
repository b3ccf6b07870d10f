// libFuzzer harness: veskd's session fed frames from a far end, through the
// seam the link feeds it (LinkEvents::on_frame).  One client of this end waits
// for a far answer, so that frames for this end's channels reach code too.
//
// Input: records of a type byte (low four bits), a flags byte, a channel
// selector, a length byte (255: two more bytes give it) and the payload.
#include <cstdint>
#include <iterator>
#include <sys/socket.h>
#include <unistd.h>

#include "veskd_fuzz_env.h"

namespace {
// This end's client (the first adopted is 1), channels of the far end, and
// the extremes.
constexpr uint32_t kChannels[] = {1, 2, 3, 4, 0, 0xFFFFFFFFu};
// A length byte of this value takes the length from the next two bytes.
constexpr uint8_t kLongLength = 255;
// What this end's client asks the far end, and then waits for.
constexpr char kAsk[] = "@>F-9";  // sizeof includes the NUL that ends it

}  // namespace

// One input, from a fresh session to its end.
void vesk_fuzz::run(Harness &h, int client, const uint8_t *data, size_t size) {
    vesk_fuzz::Env &env = vesk_fuzz::env();
    if (write(client, kAsk, sizeof kAsk) != ssize_t(sizeof kAsk)) abort();
    vesk_fuzz::spin(h.loop(), 2);

    vesk_fuzz::Input in(data, size);
    while (in.more()) {
        uint8_t type = in.byte() & 15;
        uint8_t flags = in.byte();
        uint32_t channel = kChannels[in.byte() % std::size(kChannels)];
        size_t len = in.byte();
        if (len == kLongLength) len = size_t(in.byte()) << 8 | in.byte();
        std::string_view payload = in.take(len);
        if (type == vesk::frame::kRequest && !env.private_net && !payload.empty() &&
            vesk_fuzz::network_code(uint8_t(payload[0])))
            continue;
        vesk::ChanKey key = vesk::chan_key(channel, !(flags & vesk::frame::kFromOpener));
        h.session().on_frame(type, key, payload);
        vesk_fuzz::spin(h.loop(), 1);
        h.link().receive([](const vesk::frame::Header &, std::string_view) {});
        vesk_fuzz::drain(client);
    }
    vesk_fuzz::spin(h.loop(), 4);
}
