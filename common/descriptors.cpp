// Descriptor helpers (see descriptors.h).
#include "descriptors.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vesk {

bool raise_descriptor_limit() {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return false;
    if (lim.rlim_cur >= lim.rlim_max) return true;
    lim.rlim_cur = lim.rlim_max;
    return setrlimit(RLIMIT_NOFILE, &lim) == 0;
}

bool set_nonblocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool write_all(int fd, const void *p, size_t n) {
    auto at = static_cast<const char *>(p);
    bool socket = true;
    while (n > 0) {
        // A far side that has gone must give false, not end the writer with
        // SIGPIPE; send() says so for a socket, and refuses anything else.
        ssize_t w = socket ? send(fd, at, n, MSG_NOSIGNAL) : write(fd, at, n);
        if (w < 0 && errno == ENOTSOCK) {
            socket = false;
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        at += w;
        n -= size_t(w);
    }
    return true;
}

}  // namespace vesk
