// Fuzz harness: the command channel's reply reading and the version
// handshake's parse, fed whatever a link server might send back.  The input's
// first byte picks the server version and the command; the rest is the
// stream the client reads its replies from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

#include "connect_internal.h"
#include "vesknet.h"

namespace {

// Commands that read a reply and some that do not, as the programs send them.
constexpr char kCodes[] = {'D', '7', 'F', 'A', 'X', 'd', 'l', 'c'};
constexpr unsigned long kVersions[] = {0, 11499, 11714, 19999, 20057, 20164, 20305, 99999};
constexpr int kMaxCommands = 64;  // per input; every reply is at least one byte

void check_result() {
    if (memchr(com_result, '\0', sizeof com_result) == nullptr) abort();
    if (command_result != com_result + 3) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
    // Larger inputs than the socket holds are cut: the client would block.
    size_t n = size - 1 > 65536 ? 65536 : size - 1;
    if (write(fds[1], data + 1, n) != static_cast<ssize_t>(n)) {
        close(fds[0]);
        close(fds[1]);
        return 0;
    }
    shutdown(fds[1], SHUT_WR);

    remote_vesk_version = kVersions[data[0] & 7];
    strcpy(vesk_remotehost, "remotehost");
    for (int i = 0; i < kMaxCommands; ++i) {
        char code = kCodes[(data[0] >> 3) + i & 7];
        int rc = send_command(fds[0], code, i & 1, "%d\n%s", i, "name");
        check_result();
        if (rc < -2 || rc > 1) abort();
        if (rc == 1 && code == 'F') vesk::parse_version_reply(command_result);
        if (strnlen(vesk_remotehost, sizeof vesk_remotehost) >= sizeof vesk_remotehost) abort();
        if (rc == -2) break;
        // The stream has ended once a reply-reading command saw nothing.
        char probe;
        if (recv(fds[0], &probe, 1, MSG_PEEK | MSG_DONTWAIT) == 0) break;
    }
    close(fds[0]);
    close(fds[1]);
    remote_vesk_version = 0;
    return 0;
}
