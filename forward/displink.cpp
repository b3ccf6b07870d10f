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
#include <chrono>
#include <cstdlib>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include "args.h"
#include "commands.h"
#include "descriptors.h"
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

// An X client sends its whole setup as soon as it connects; one that has
// not within this is closed, ms.  Setups are read beside each other, off
// the relay, so a silent or slow client holds up no one but itself.
constexpr int kSetupWaitMs = 3 * 1000;
// Clients whose setup is being read at once; past it the oldest makes room.
constexpr size_t kPendingMax = 64;
// The gate's poll wakes at least this often to close late setups, ms.
constexpr int kGatePollMs = 500;
// The far X server's display as the user's X authority names it: the far
// socket is display 0 of the far host.
constexpr const char *kFarDisplayFormat = "%s/unix:0";
const char kNoAuthReason[] = "No protocol specified";
const char kBadCookieReason[] = "Invalid MIT-MAGIC-COOKIE-1 key";

std::vector<uint8_t> g_cookie(x11::kCookieBytes);
int g_port = 0;  // the port do_connect serves: the gate's hand-over listener

// A client the gate has admitted, waiting for do_connect to take it.
struct Handover {
    int client = -1;  // the X client's socket
    int far = -1;     // its link-server connection, setup written
    int token = -1;   // the gate's connection to do_connect's listener
};
std::mutex g_handovers_lock;
std::map<int, Handover> g_handovers;  // by the token's local port

// The accepted socket of the connection at peer (its port in host order)
// to our port.  do_connect hands the callback the peer's address but not its
// descriptor; the connection to our port from that address and port is
// unique, so the descriptor is found by it.  Returns -1 when none matches.
int accepted_socket(const sockaddr_in *peer) {
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

// The far X server's setup for a client whose whole setup carries the
// display's cookie: the user's cookie for the far display if this machine's
// X authority has one; else no credentials, which a far X server that needs
// none (or lets the far veskd's user in by who it is) accepts.  Empty, with
// the refusal written to the client, when the cookie is not there.
std::vector<uint8_t> far_setup(int fd, const x11::Head &head, const std::vector<uint8_t> &setup) {
    if (!x11::carries_cookie(head, setup.data(), g_cookie.data())) {
        const std::vector<uint8_t> refusal =
            x11::failure(head, head.name_len == 0 ? kNoAuthReason : kBadCookieReason);
        vesk::write_all(fd, refusal.data(), refusal.size());
        return {};
    }
    char far_display[sizeof vesk_remotehost + 16];
    std::snprintf(far_display, sizeof far_display, kFarDisplayFormat, vesk_remotehost);
    std::vector<uint8_t> far_cookie;
    if (vesk::forward::xauth::lookup(far_display, &far_cookie))
        return x11::with_auth(head, x11::kCookieName, far_cookie);
    return x11::with_auth(head, "", {});
}

// Opens the far X server for an admitted client and hands both to
// do_connect through its listener at to.  Closes the client on a failure.
void hand_over(int client, const std::vector<uint8_t> &setup, const sockaddr_in &to) {
    // Until the first client is admitted nothing can raise SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    // With no link server left, connect_server ends the program (status 1).
    int far = connect_server(vesk_server);
    if (far >= 0) far = vesk::forward::open_stream(far, 'X', vesk::proto::kXDisplay0Path, nullptr);
    if (far >= 0 && !vesk::write_all(far, setup.data(), setup.size())) {
        close(far);
        far = -1;
    }
    // The token's port goes in the table before it connects: do_connect
    // may take the connection before connect even returns here.
    int token = far < 0 ? -1 : socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in mine{};
    mine.sin_family = AF_INET;
    mine.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof mine;
    int port = -1;
    if (token >= 0 && bind(token, reinterpret_cast<sockaddr *>(&mine), sizeof mine) == 0 &&
        getsockname(token, reinterpret_cast<sockaddr *>(&mine), &len) == 0) {
        port = ntohs(mine.sin_port);
        std::lock_guard<std::mutex> hold(g_handovers_lock);
        g_handovers[port] = Handover{client, far, token};
    }
    if (port >= 0 && connect(token, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0)
        return;
    if (port >= 0) {
        std::lock_guard<std::mutex> hold(g_handovers_lock);
        g_handovers.erase(port);
    }
    if (token >= 0) close(token);
    if (far >= 0) close(far);
    close(client);
}

// A client whose setup the gate is reading.
struct Pending {
    int fd;
    std::chrono::steady_clock::time_point deadline;
    std::vector<uint8_t> setup;  // what came so far
    x11::Head head;
};

// Reads what the client has sent.  Returns false when it is to be closed
// (an end, an error, a head this side refuses); *whole once the setup is in.
bool read_setup(Pending &p, bool *whole) {
    size_t want = p.setup.size() < x11::kHeadBytes ? x11::kHeadBytes : x11::setup_bytes(p.head);
    size_t had = p.setup.size();
    p.setup.resize(want);
    ssize_t got = recv(p.fd, p.setup.data() + had, want - had, MSG_DONTWAIT);
    p.setup.resize(had + size_t(got > 0 ? got : 0));
    if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) return false;
    if (had < x11::kHeadBytes && p.setup.size() == x11::kHeadBytes &&
        !x11::parse_head(p.setup.data(), &p.head))
        return false;
    *whole = p.setup.size() >= x11::kHeadBytes && p.setup.size() == x11::setup_bytes(p.head);
    return true;
}

// The gate: accepts X clients on listener, reads every setup side by side
// within kSetupWaitMs for the whole of it, and hands the clients that carry
// the cookie to do_connect (listening at to).  Runs for the process's life.
void gate(int listener, sockaddr_in to) {
    // A client that leaves between poll and accept must not block the gate.
    fcntl(listener, F_SETFL, fcntl(listener, F_GETFL) | O_NONBLOCK);
    std::list<Pending> pending;
    std::vector<pollfd> fds;
    for (;;) {
        fds.assign(1, pollfd{listener, POLLIN, 0});
        for (const Pending &p : pending) fds.push_back(pollfd{p.fd, POLLIN, 0});
        int ready = poll(fds.data(), fds.size(), kGatePollMs);
        if (ready < 0 && errno != EINTR) return;
        auto now = std::chrono::steady_clock::now();
        size_t i = 1;
        for (auto it = pending.begin(); it != pending.end(); i++) {
            bool whole = false, keep = now < it->deadline;
            if (keep && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                keep = read_setup(*it, &whole);
            if (keep && !whole) {
                ++it;
                continue;
            }
            std::vector<uint8_t> setup;
            if (whole) setup = far_setup(it->fd, it->head, it->setup);
            if (setup.empty())
                close(it->fd);
            else
                hand_over(it->fd, setup, to);
            it = pending.erase(it);
        }
        if (!(fds[0].revents & POLLIN)) continue;
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        if (pending.size() >= kPendingMax) {
            close(pending.front().fd);
            pending.pop_front();
        }
        pending.push_back(Pending{fd, now + std::chrono::milliseconds(kSetupWaitMs), {}, {}});
    }
}

// Called by do_connect for every client the gate hands over.  Returns the
// client's link-server connection, which carries the X protocol to the far
// X server now, or -1.  do_connect relays what it accepted: that descriptor
// is made the X client's own.
int connect_x_server(int /*index*/, struct sockaddr_in *peer) {
    Handover h;
    {
        std::lock_guard<std::mutex> hold(g_handovers_lock);
        auto it = g_handovers.find(peer->sin_port);
        if (it == g_handovers.end()) return -1;
        h = it->second;
        g_handovers.erase(it);
    }
    int accepted = accepted_socket(peer);
    bool ok = accepted >= 0 && dup2(h.client, accepted) == accepted;
    close(h.client);
    close(h.token);
    if (!ok) {
        close(h.far);
        return -1;
    }
    return h.far;
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

    // do_connect relays from a listener of its own on loopback, fed by the
    // gate, so that no client's setup is read inside the relay.
    int handover = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof to;
    if (handover < 0 || bind(handover, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0 ||
        listen(handover, kListenBacklog) != 0 ||
        getsockname(handover, reinterpret_cast<sockaddr *>(&to), &len) != 0) {
        std::perror("displink: hand-over listener");
        return 1;
    }
    g_port = ntohs(to.sin_port);
    std::thread(gate, listener, to).detach();
    int listeners[1] = {handover};
    do_connect(1, listeners, connect_x_server);
    return 0;
}
