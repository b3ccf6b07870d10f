// A far end for tests that write exact frames: runs a command that speaks
// plain frames on its standard input and output, and carries them to and from
// veskd (our standard input and output) in the checked packets of a stdio
// link, with the link's own repair layer.  Ends when either side ends.
//
//   plainbridge COMMAND [ARG...]
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "arq.h"
#include "loop.h"

namespace {

// Writes all of data to fd (blocking).  Returns false when fd is gone.
bool put(int fd, const std::string &data) {
    size_t off = 0;
    while (off < data.size()) {
        ssize_t w = write(fd, data.data() + off, data.size() - off);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        off += size_t(w);
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: plainbridge COMMAND [ARG...]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    int to_child[2], from_child[2];
    if (pipe(to_child) != 0 || pipe(from_child) != 0) return 1;
    pid_t pid = fork();
    if (pid < 0) return 1;
    if (pid == 0) {
        dup2(to_child[0], 0);
        dup2(from_child[1], 1);
        for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]}) close(fd);
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    vesk::Arq arq(1, 0x70b1d9e5u);
    // Frames for the command wait here while it does not read, up to a bound
    // beyond which veskd is not read either, as a pipe would hold them.
    const size_t kHeldMax = 1024 * 1024;
    std::string held;
    fcntl(to_child[1], F_SETFL, O_NONBLOCK);
    char buf[64 * 1024];
    for (;;) {
        std::string wire;
        arq.resend_due(vesk::monotonic_us(), wire);
        arq.ack_if_owed(wire);
        if (!wire.empty() && !put(1, wire)) break;
        pollfd p[3] = {{held.size() < kHeldMax ? 0 : -1, POLLIN, 0},
                       {from_child[0], POLLIN, 0},
                       {held.empty() ? -1 : to_child[1], POLLOUT, 0}};
        if (poll(p, 3, 50) < 0 && errno != EINTR) break;
        if (p[0].revents) {
            ssize_t r = read(0, buf, sizeof buf);
            if (r <= 0) break;
            arq.receive(std::string_view(buf, size_t(r)), vesk::monotonic_us(), held);
        }
        if (p[2].revents) {
            ssize_t w = write(to_child[1], held.data(), held.size());
            if (w < 0 && errno != EAGAIN && errno != EINTR) break;
            if (w > 0) held.erase(0, size_t(w));
        }
        if (p[1].revents) {
            ssize_t r = read(from_child[0], buf, sizeof buf);
            if (r <= 0) break;
            std::string out;
            arq.send(std::string_view(buf, size_t(r)), vesk::monotonic_us(), out);
            if (!put(1, out)) break;
        }
    }
    close(to_child[1]);
    // Say that nothing more comes, then read what veskd still sends until it
    // hangs up: a socket closed with unread bytes in it reaches veskd as a
    // reset, not as the end the command meant.
    shutdown(1, SHUT_WR);
    close(1);
    for (int i = 0; i < 40; i++) {
        pollfd p = {0, POLLIN, 0};
        if (poll(&p, 1, 50) > 0 && read(0, buf, sizeof buf) <= 0) break;
    }
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    return 0;
}
