// displink: an X display on this machine whose clients reach the X server on
// the far machine.  Usage: displink [options] [display]
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

#include "args.h"
#include "commands.h"
#include "stream.h"
#include "vesknet.h"

namespace {

using vesk::forward::kListenBacklog;
using vesk::forward::kMaxDisplay;
using vesk::forward::kXPortBase;

// Called by do_connect for every X client.  Returns a link-server connection
// that now carries the X protocol to the far X server, or -1 to refuse the
// client.  With no link server left, connect_server ends the program (status 1).
// Every X client goes to the same display, whoever it is.
int connect_x_server(int /*index*/, struct sockaddr_in * /*peer*/) {
    // Until the first client arrives nothing can raise SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    int fd = connect_server(vesk_server);
    if (fd < 0) return -1;
    return vesk::forward::open_stream(fd, 'X', vesk::proto::kXDisplay0Path, nullptr);
}

}  // namespace

int main(int argc, char **argv) {
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

    send_command(main_fd, '9', 1, "DISPLAY=%s:%d", host, display);
    close(main_fd);
    std::fprintf(stderr, "displink bound to DISPLAY=%s:%d\n", host, display);
    std::printf("%s:%d\n", host, display);
    // Whoever reads the display (a script, a pipe) must see it before serving
    // starts, and do_connect does not return to flush it.
    std::fflush(stdout);

    int listeners[1] = {listener};
    do_connect(1, listeners, connect_x_server);
    return 0;
}
