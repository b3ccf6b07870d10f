// dgramlink: local UDP ports that lead, through the link, to UDP ports the far
// machine can reach.  The link servers carry the datagrams; this program only
// sets the pairs up and then holds the connection that keeps them alive.
// Usage: dgramlink [options] {<localport> <[host:]remoteport>}
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <arpa/inet.h>
#include <poll.h>

#include "args.h"
#include "commands.h"
#include "program_help.h"
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

constexpr const char *kUsage = "Usage: dgramlink [options] {<localport> <[host:]remoteport>}\n";

[[noreturn]] void usage() {
    std::fputs(kUsage, stderr);
    std::exit(1);
}

// Keeps a write on a closed connection from killing the process: the write
// fails instead and the command reports it.
void on_sigpipe(int) {
    signal(SIGPIPE, on_sigpipe);
}

// Sets up one pair on main_fd.  Returns 0, or -1 after writing the reason.
int setup_udp_pair(uint16_t local_port, const std::string &remote) {
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
    if (send_command(main_fd, 'W', 0, "%d :%s", number, remote.c_str()) < 0) {
        std::fprintf(stderr, "Vesk C_UDPSET: %s\n", command_result);
        return -1;
    }
    return 0;
}

// "address:port" of a far target, "[IPv6 address]:port" for one in
// brackets, or ends the program (status 1).
std::string resolve_target(const char *arg) {
    vesk::forward::FarTarget far = vesk::forward::far_target(arg);
    if (far.form == vesk::forward::FarTarget::Form::kIpv6) {
        auto port = static_cast<uint16_t>(std::strtol(far.port.c_str(), nullptr, 10));
        if (port == 0) {
            std::fprintf(stderr, "Bad port number %u.\n", 0u);
            std::exit(1);
        }
        return "[" + far.host + "]:" + std::to_string(port);
    }
    sockaddr_in target_addr{};
    sockaddr_in *remote = &target_addr;
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
        return sockaddr_to_str(remote, 0);
    }
    const hostent *entry = vesk_gethostbyname(target.host.c_str());
    // Only an IPv4 address fits the record; a longer one would overrun it.
    if (entry == nullptr || entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr ||
        entry->h_length != static_cast<int>(sizeof remote->sin_addr))
        std::exit(1);
    std::memcpy(&remote->sin_addr, entry->h_addr_list[0], sizeof remote->sin_addr);
    return sockaddr_to_str(remote, 0);
}

// Blocks until the server closes, writes to, or breaks the main connection.
void wait_for_teardown() {
    pollfd watch{main_fd, POLLIN | POLLPRI, 0};
    // A failed wait ends it as well: there is nothing better to wait for.
    poll(&watch, 1, -1);
}

}  // namespace

int main(int argc, char **argv) {
    vesk::help::answer(argc, argv, "dgramlink", kUsage, vesk::help::kCommonOptions);
    signal(SIGPIPE, on_sigpipe);
    int first = client_options(argc, argv, "", nullptr);
    if (first < 0) return 1;
    if (argc - first < 2) usage();
    if (vesk_bind_address(&bind_addr) < 0) {
        std::fprintf(stderr, "dgramlink: %s\n", command_result);
        return 1;
    }

    // Every far target is read before anything is set up: one that cannot
    // be used is said now.
    for (int i = first + 1; i < argc; i += 2) {
        if (vesk::forward::far_target(argv[i]).form == vesk::forward::FarTarget::Form::kBad) {
            std::fprintf(stderr, "dgramlink: bad far target %s (an IPv6 host: [address]:port)\n",
                         argv[i]);
            return 1;
        }
    }
    main_fd = socket_connect_server(-1, vesk_server);
    if (main_fd < 0) {
        std::fprintf(stderr, "Vesk: %s\n", command_result);
        return 1;
    }
    for (int i = first; i < argc; i += 2) {
        if (i + 1 >= argc) usage();
        std::fprintf(stderr, "Redirecting %s to %s\n", argv[i], argv[i + 1]);
        std::string remote = resolve_target(argv[i + 1]);
        if (setup_udp_pair(vesk::forward::local_udp_port(argv[i]), remote) < 0) return 1;
    }

    // Detach from the terminal or pipe that started us: from here on the
    // process only holds the pairs open.
    for (int fd = 0; fd <= 2; ++fd)
        if (fd != main_fd) vesk_close(fd);
    wait_for_teardown();
    vesk_close(main_fd);
    return 0;
}
