// displink: an X display on this machine whose clients reach the X server on
// the far machine.  Usage: displink [options] [display]
//
// The display has a cookie of its own, in the user's X authority while
// displink runs: a client's connection setup must carry it before anything
// crosses the link, and the far X server is sent the credentials the user
// holds for it instead (or none).
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include "args.h"
#include "commands.h"
#include "stream.h"
#include "program_help.h"
#include "vesknet.h"
#include "xauth.h"
#include "xsetup.h"

namespace {

using vesk::forward::kListenBacklog;
using vesk::forward::kMaxDisplay;
using vesk::forward::kXPortBase;
namespace x11 = vesk::forward::x11;

// An X client sends its setup as soon as it connects; one that has not
// within this holds up the other clients no longer, ms.
constexpr int kSetupWaitMs = 5 * 1000;
// The far X server's display as the user's X authority names it: the far
// socket is display 0 of the far host.
constexpr const char *kFarDisplayFormat = "%s/unix:0";
const char kNoAuthReason[] = "No protocol specified";
const char kBadCookieReason[] = "Invalid MIT-MAGIC-COOKIE-1 key";

std::vector<uint8_t> g_cookie(x11::kCookieBytes);
int g_port = 0;  // the display's TCP port

// The accepted socket of the client at peer (its port in host order).
// do_connect hands the callback the peer's address but not its descriptor;
// the connection to our port from that address and port is unique, so the
// descriptor is found by it.  Returns -1 when none matches.
int client_socket(const sockaddr_in *peer) {
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int found = -1;
    while (dirent *e = readdir(dir)) {
        int fd = std::atoi(e->d_name);
        if (fd <= 2 || fd == dirfd(dir)) continue;
        sockaddr_in far{}, near{};
        socklen_t len = sizeof far, nlen = sizeof near;
        if (getpeername(fd, reinterpret_cast<sockaddr *>(&far), &len) != 0 ||
            far.sin_family != AF_INET ||
            getsockname(fd, reinterpret_cast<sockaddr *>(&near), &nlen) != 0)
            continue;
        if (far.sin_addr.s_addr == peer->sin_addr.s_addr && ntohs(far.sin_port) == peer->sin_port &&
            ntohs(near.sin_port) == g_port) {
            found = fd;
            break;
        }
    }
    closedir(dir);
    return found;
}

// Reads exactly n bytes within the setup's time.  Returns false on an end,
// an error or the time running out.
bool read_exact(int fd, uint8_t *p, size_t n) {
    while (n > 0) {
        pollfd pfd = {fd, POLLIN, 0};
        int ready = poll(&pfd, 1, kSetupWaitMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        ssize_t got = recv(fd, p, n, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) return false;
        p += got;
        n -= size_t(got);
    }
    return true;
}

bool write_all(int fd, const std::vector<uint8_t> &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

// Reads the client's setup from fd and checks its cookie.  Returns the
// setup to send the far X server, or an empty one when the client is
// refused (its refusal written to it) or gave no setup.
std::vector<uint8_t> admitted_setup(int fd) {
    uint8_t head_bytes[x11::kHeadBytes];
    x11::Head head;
    if (!read_exact(fd, head_bytes, sizeof head_bytes) || !x11::parse_head(head_bytes, &head))
        return {};
    std::vector<uint8_t> setup(head_bytes, head_bytes + sizeof head_bytes);
    setup.resize(x11::setup_bytes(head));
    if (!read_exact(fd, setup.data() + x11::kHeadBytes, setup.size() - x11::kHeadBytes)) return {};
    if (!x11::carries_cookie(head, setup.data(), g_cookie.data())) {
        write_all(fd, x11::failure(head, head.name_len == 0 ? kNoAuthReason : kBadCookieReason));
        return {};
    }
    // The user's cookie for the far display if this machine's X authority
    // has one; else no credentials, which a far X server that needs none
    // (or lets the far veskd's user in by who it is) accepts.
    char far_display[sizeof vesk_remotehost + 16];
    std::snprintf(far_display, sizeof far_display, kFarDisplayFormat, vesk_remotehost);
    std::vector<uint8_t> far_cookie;
    if (vesk::forward::xauth::lookup(far_display, &far_cookie))
        return x11::with_auth(head, x11::kCookieName, far_cookie);
    return x11::with_auth(head, "", {});
}

// Called by do_connect for every X client.  Returns a link-server connection
// that now carries the X protocol to the far X server, or -1 to refuse the
// client.  With no link server left, connect_server ends the program (status 1).
int connect_x_server(int /*index*/, struct sockaddr_in *peer) {
    // Until the first client arrives nothing can raise SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    int client = client_socket(peer);
    if (client < 0) return -1;
    std::vector<uint8_t> setup = admitted_setup(client);
    if (setup.empty()) return -1;
    int fd = connect_server(vesk_server);
    if (fd < 0) return -1;
    fd = vesk::forward::open_stream(fd, 'X', vesk::proto::kXDisplay0Path, nullptr);
    if (fd < 0) return -1;
    if (!write_all(fd, setup)) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char **argv) {
    vesk::help::answer(argc, argv, "displink", "Usage: displink [options] [display]\n",
                       vesk::help::kCommonOptions);
    // A bad option is not fatal: the display argument is still looked for.
    client_options(argc, argv, "", nullptr);
    setvbuf(stderr, nullptr, _IONBF, 0);
    // A bad VESKBIND would fail every bind below with a message that hides why.
    in_addr bind_addr{};
    if (vesk_bind_address(&bind_addr) < 0) {
        std::fprintf(stderr, "displink: %s\n", command_result);
        return 1;
    }

    int main_fd = socket_connect_server(-1, vesk_server);
    if (main_fd < 0) {
        std::fprintf(stderr, "Vesk: %s\n", command_result);
        return 1;
    }
    const char *name = vesk_optind < argc ? argv[vesk_optind] : std::getenv("DISPLAY");
    vesk::forward::DisplayStart start = vesk::forward::display_start(name);
    const char *host = start.host.c_str();
    int display = start.number;

    int listener;
    for (;;) {
        listener = bind_tcp_listen(kXPortBase + display, kListenBacklog);
        if (listener != -2) break;
        if (++display > kMaxDisplay) {
            std::fputs("Unable to bind tcp socket\n", stderr);
            break;
        }
    }
    if (listener < 0 || display > kMaxDisplay) {
        if (listener >= 0) close(listener);
        std::fputs("displink: no connections\n", stderr);
        return 1;
    }
    g_port = kXPortBase + display;
    std::string why = "no random numbers for the display's cookie";
    if (getrandom(g_cookie.data(), g_cookie.size(), 0) != ssize_t(g_cookie.size()) ||
        !vesk::forward::xauth::install(display, g_cookie, &why)) {
        std::fprintf(stderr, "displink: %s\n", why.c_str());
        return 1;
    }

    send_command(main_fd, '9', 1, "DISPLAY=%s:%d", host, display);
    close(main_fd);
    // 127.0.0.0/8 never leaves this machine; anything else may.
    if ((ntohl(bind_addr.s_addr) >> 24) != 127) {
        char addr[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &bind_addr, addr, sizeof addr);
        std::fprintf(stderr,
                     "displink: VESKBIND=%s: the display is open beyond this machine; clients "
                     "elsewhere need its cookie (xauth extract - :%d)\n",
                     addr, display);
    }
    std::fprintf(stderr, "displink bound to DISPLAY=%s:%d\n", host, display);
    std::printf("%s:%d\n", host, display);
    // Whoever reads the display (a script, a pipe) must see it before serving
    // starts, and do_connect does not return to flush it.
    std::fflush(stdout);

    int listeners[1] = {listener};
    do_connect(1, listeners, connect_x_server);
    return 0;
}
