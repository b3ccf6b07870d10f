// dgramlink: local UDP ports that lead, through the link, to UDP ports the far
// machine can reach.  The link servers carry the datagrams; this program only
// sets the pairs up and then holds the connection that keeps them alive.
// Usage: dgramlink [options] {<localport> <[host:]remoteport>}
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>
#include <poll.h>

#include "args.h"
#include "commands.h"
#include "vesknet.h"

namespace {

// Second number of C_USOCK: which end of the pair a server creates.
constexpr int kFarSocketEnd = 3;
constexpr int kNearSocketEnd = 4;

// Carries every command of every pair; the far server tears the pairs down
// when it closes.
int main_fd = -1;

// Where the local server binds the local ports (vesk_bind_address).
in_addr bind_addr{};

[[noreturn]] void usage() {
    std::fputs("Usage: dgramlink [options] {<localport> <[host:]remoteport>}\n", stderr);
    std::exit(1);
}

// Keeps a write on a closed connection from killing the process: the write
// fails instead and the command reports it.
void on_sigpipe(int) {
    signal(SIGPIPE, on_sigpipe);
}

// Sets up one pair on main_fd.  Returns 0, or -1 after writing the reason.
int setup_udp_pair(uint16_t local_port, struct sockaddr_in *remote) {
    int setup_fd = socket_connect_server(-1, vesk_server);
    if (setup_fd < 0) {
        std::fprintf(stderr, "Vesk: %s\n", command_result);
        return -1;
    }
    if (send_command(setup_fd, 'F', 1, "%ld", vesk::proto::kStatsChannel) < 0) {
        std::fprintf(stderr, "Vesk C_STATS: %s\n", command_result);
        vesk_close(setup_fd);
        return -1;
    }
    int number = static_cast<int>(std::strtol(command_result, nullptr, 10));
    if (send_command(main_fd, 'V', 0, "%d %d", number, kFarSocketEnd) < 0 ||
        send_command(main_fd, 'V', 1, "%d %d", number, kNearSocketEnd) < 0) {
        std::fprintf(stderr, "Vesk C_USOCK: %s\n", command_result);
        vesk_close(setup_fd);
        return -1;
    }
    vesk_close(setup_fd);
    // The local server binds loopback unless told otherwise: only a
    // VESKBIND that says otherwise adds the address to the request.
    int bound =
        bind_addr.s_addr == htonl(INADDR_LOOPBACK)
            ? send_command(main_fd, 'T', 1, "%d %d", number, local_port)
            : send_command(main_fd, 'T', 1, "%d %d %s", number, local_port, inet_ntoa(bind_addr));
    if (bound < 0) {
        std::fprintf(stderr, "Vesk C_UBIND: %s\n", command_result);
        return -1;
    }
    if (send_command(main_fd, 'W', 0, "%d :%s", number, sockaddr_to_str(remote, 0)) < 0) {
        std::fprintf(stderr, "Vesk C_UDPSET: %s\n", command_result);
        return -1;
    }
    return 0;
}

// Fills remote from "[host:]port", or ends the program (status 1).
void resolve_target(const char *arg, struct sockaddr_in *remote) {
    vesk::forward::UdpTarget target = vesk::forward::udp_target(arg);
    remote->sin_family = AF_INET;
    // A port of 0 cannot be aimed at, with or without a host.
    if (target.port == 0) {
        std::fprintf(stderr, "Bad port number %u.\n", 0u);
        std::exit(1);
    }
    // Kept in host order: sockaddr_to_str prints it as the user gave it.
    remote->sin_port = target.port;
    if (!target.has_host) {
        remote->sin_addr.s_addr = inet_addr(vesk::proto::kFarSelfText);
        return;
    }
    const hostent *entry = vesk_gethostbyname(target.host.c_str());
    // Only an IPv4 address fits the record; a longer one would overrun it.
    if (entry == nullptr || entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr ||
        entry->h_length != static_cast<int>(sizeof remote->sin_addr))
        std::exit(1);
    std::memcpy(&remote->sin_addr, entry->h_addr_list[0], sizeof remote->sin_addr);
}

// Blocks until the server closes, writes to, or breaks the main connection.
void wait_for_teardown() {
    pollfd watch{main_fd, POLLIN | POLLPRI, 0};
    // A failed wait ends it as well: there is nothing better to wait for.
    poll(&watch, 1, -1);
}

}  // namespace

int main(int argc, char **argv) {
    signal(SIGPIPE, on_sigpipe);
    int first = client_options(argc, argv, "", nullptr);
    if (first < 0) return 1;
    if (argc - first < 2) usage();
    if (vesk_bind_address(&bind_addr) < 0) {
        std::fprintf(stderr, "dgramlink: %s\n", command_result);
        return 1;
    }

    main_fd = socket_connect_server(-1, vesk_server);
    if (main_fd < 0) {
        std::fprintf(stderr, "Vesk: %s\n", command_result);
        return 1;
    }
    struct sockaddr_in remote {};
    for (int i = first; i < argc; i += 2) {
        if (i + 1 >= argc) usage();
        std::fprintf(stderr, "Redirecting %s to %s\n", argv[i], argv[i + 1]);
        resolve_target(argv[i + 1], &remote);
        if (setup_udp_pair(vesk::forward::local_udp_port(argv[i]), &remote) < 0) return 1;
    }

    // Detach from the terminal or pipe that started us: from here on the
    // process only holds the pairs open.
    for (int fd = 0; fd <= 2; ++fd)
        if (fd != main_fd) vesk_close(fd);
    wait_for_teardown();
    vesk_close(main_fd);
    return 0;
}
