// portlink: local TCP ports that lead, through the link, to TCP ports the far
// machine can reach.  Usage: portlink [options] {<localport> <[host:]remoteport>}
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

#include "args.h"
#include "stream.h"
#include "program_help.h"
#include "vesknet.h"

namespace {

using vesk::forward::kListenBacklog;
using vesk::forward::kMaxPairs;

// The remote specifications point into argv: the far server interprets them,
// so they are passed on exactly as typed.
int listeners[kMaxPairs];
const char *remote_spec[kMaxPairs];

constexpr const char *kUsage = "Usage: portlink [options] {<localport> <[host:]remoteport>}\n";

[[noreturn]] void usage() {
    std::fputs(kUsage, stderr);
    std::exit(1);
}

// Called by do_connect for every accepted connection.  Returns a link-server
// connection that now carries the stream to the pair's remote port, or -1 to
// refuse this client (serving goes on either way).
int connect_remote_port(int index, struct sockaddr_in *peer) {
    int fd = socket_connect_server(-1, vesk_server);
    if (fd < 0) {
        std::fprintf(stderr, "Vesk: %s\n", command_result);
        return -1;
    }
    // Only a log line on the far side; an older far server refuses it locally.
    send_command(fd, 'e', 0, "%s", sockaddr_to_str(peer, 0));
    return vesk::forward::open_stream(fd, 'A', remote_spec[index], "Vesk C_PORT");
}

}  // namespace

int main(int argc, char **argv) {
    vesk::help::answer(argc, argv, "portlink", kUsage, vesk::help::kCommonOptions);
    signal(SIGPIPE, SIG_IGN);
    int first = client_options(argc, argv, "", nullptr);
    if (first < 0) return 1;
    setvbuf(stderr, nullptr, _IONBF, 0);
    if (argc - first < 2) usage();
    // A bad VESKBIND would fail every bind below with a message that hides why.
    in_addr bind_addr{};
    if (vesk_bind_address(&bind_addr) < 0) {
        std::fprintf(stderr, "portlink: %s\n", command_result);
        return 1;
    }

    // Every far target is read before any port is served: one that cannot
    // be used is said now, not when a client comes.
    for (int i = first + 1; i < argc; i += 2) {
        if (vesk::forward::far_target(argv[i]).form == vesk::forward::FarTarget::Form::kBad) {
            std::fprintf(stderr, "portlink: bad far target %s (an IPv6 host: [address]:port)\n",
                         argv[i]);
            return 1;
        }
    }
    int count = 0;
    for (int i = first; i < argc && count < kMaxPairs; i += 2) {
        if (i + 1 >= argc) usage();
        const char *local = argv[i];
        std::fprintf(stderr, "Redirecting %s to %s\n", local, argv[i + 1]);
        remote_spec[count] = argv[i + 1];
        int port = vesk::forward::local_tcp_port(local);
        if (port == 0) {
            std::fprintf(stderr, "Unknown service %s\n", local);
            continue;
        }
        int fd = bind_tcp_listen(port, kListenBacklog);
        if (fd == -2) {
            std::fputs("Port is already bound.\n", stderr);
            continue;
        }
        if (fd < 0) {
            std::fprintf(stderr, "Can't bind to %s.\n", local);
            continue;
        }
        listeners[count++] = fd;
    }
    if (count == 0) {
        std::fputs("Nothing to do.\n", stderr);
        return 1;
    }
    do_connect(count, listeners, connect_remote_port);
    return 0;
}
