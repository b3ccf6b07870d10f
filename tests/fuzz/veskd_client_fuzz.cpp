// libFuzzer harness: a client connection of veskd fed the fuzzer's bytes as
// they come (requests, dumps, streams), with the harness playing a far veskd
// that answers every request, echoes stream data and ends what ends.
#include <cstdint>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "commands.h"
#include "runner.h"
#include "veskd_fuzz_env.h"

namespace {
// Loop rounds after the input is written, at least and at most: the input
// ends early when nothing moves any more.
constexpr int kRoundsMin = 4;
constexpr int kRoundsMax = 64;
// What the far end answers to '7': a status reply and a few bytes of file.
constexpr char kStatus7[] = "d5 0 1 0 0 644 0";
constexpr char kFile7[] = "seven";

using vesk::frame::Header;

// Where the system gives no private network, a request that would reach it
// (any '@', direction, network code) asks for statistics instead.
void keep_off_the_network(std::string &bytes) {
    for (size_t i = 0; i + 2 < bytes.size(); i++)
        if (bytes[i] == '@' && vesk_fuzz::network_code(uint8_t(bytes[i + 2]))) bytes[i + 2] = 'F';
}

// Plays the far veskd for what this end sent.  Returns true when it sent any.
bool answer(vesk_fuzz::Link &link) {
    bool any = false;
    link.receive([&](const Header &h, std::string_view payload) {
        any = true;
        if (!(h.flags & vesk::frame::kFromOpener)) return;  // not a client channel of this end
        switch (h.type) {
            case vesk::frame::kRequest: {
                char code = payload.empty() ? '\0' : payload[0];
                if (code == '7') {
                    link.send(vesk::frame::kReply, 0, h.channel, kStatus7);
                    link.send(vesk::frame::kData, 0, h.channel, kFile7);
                    link.send(vesk::frame::kEof, 0, h.channel, {});
                } else if (code == '2') {
                    link.send(vesk::frame::kDataReset, 0, h.channel, {});
                } else if (vesk::proto::has_reply(code)) {
                    link.send(vesk::frame::kReply, 0, h.channel, "dok");
                }
                break;
            }
            case vesk::frame::kData:
                link.send(vesk::frame::kData, 0, h.channel, payload);
                break;
            case vesk::frame::kEof:
                link.send(vesk::frame::kEof, 0, h.channel, {});
                break;
            case vesk::frame::kClose:
                link.send(vesk::frame::kClose, 0, h.channel, {});
                break;
            default:
                break;
        }
    });
    return any;
}

}  // namespace

// One input, from a fresh session to its end.
void vesk_fuzz::run(Harness &h, int client, const uint8_t *data, size_t size) {
    vesk_fuzz::Env &env = vesk_fuzz::env();
    std::string bytes(reinterpret_cast<const char *>(data), size);
    if (!env.private_net) keep_off_the_network(bytes);

    size_t sent = 0;
    bool shut = false;
    for (int round = 0; round < kRoundsMax; round++) {
        if (sent < bytes.size()) {
            ssize_t w = write(client, bytes.data() + sent, bytes.size() - sent);
            if (w > 0) sent += size_t(w);
        } else if (!shut) {
            shutdown(client, SHUT_WR);
            shut = true;
        }
        vesk_fuzz::spin(h.loop(), 1);
        bool moved = answer(h.link());
        moved = vesk_fuzz::drain(client) || moved;
        if (shut && !moved && round >= kRoundsMin) break;
    }
}
