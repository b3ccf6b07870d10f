// Core services the client module builds on: where to look for the server,
// which ids to switch to, and small socket helpers.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "descriptors.h"
#include "homedirs.h"
#include "localhost.h"
#include "vesknet.h"

char *get_vesk_path(int *state) {
    // Room for the longest thing callers append after the base directory.
    static char buf[PATH_MAX + 64];
    std::vector<std::string> dirs = vesk::socket_base_dirs(share == 0);
    size_t at = *state > 0 ? size_t(*state) : 0;
    if (at >= dirs.size()) {
        *state = 0;
        return nullptr;
    }
    *state = at + 1 < dirs.size() ? int(at + 1) : 0;
    strcpy(buf, dirs[at].c_str());  // shorter than PATH_MAX
    return buf;
}

// Whether the call came from use_vesk_command changes nothing any more.
int set_share_mode(int /*first*/, int mode) {
    share = mode;
    savedeid = -1;
    if (mode == 2) {
        if (geteuid() != getuid()) {
            savedeid = static_cast<int>(geteuid());
        }
    } else if (mode != 0) {
        if (getegid() != getgid()) {
            savedeid = static_cast<int>(getegid());
        }
    }
    return 0;
}

int eaccess(const char *path, int mode) __THROW {
    return faccessat(AT_FDCWD, path, mode, AT_EACCESS) == 0 ? 0 : -1;
}

int connect_unix(int fd, const char *path) {
    struct sockaddr_un sa;
    memset(&sa, 0, sizeof sa);
    sa.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof sa.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    strcpy(sa.sun_path, path);

    bool made = false;
    if (fd >= 0) {
        struct sockaddr_storage ss;
        socklen_t len = sizeof ss;
        bool is_unix = getsockname(fd, reinterpret_cast<struct sockaddr *>(&ss), &len) == 0 &&
                       ss.ss_family == AF_UNIX;
        if (!is_unix) {
            int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (s < 0) {
                return -1;
            }
            // Keep the caller's descriptor number: it may already be wired up.
            if (dup3(s, fd, O_CLOEXEC) < 0) {
                int e = errno;
                close(s);
                errno = e;
                return -1;
            }
            close(s);
        }
    } else {
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return -1;
        }
        made = true;
    }
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) < 0) {
        if (made) {
            int e = errno;
            close(fd);
            errno = e;
        }
        return -1;
    }
    return fd;
}

int set_block(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        return 1;
    }
    if (flags & O_NONBLOCK) {
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        return 0;
    }
    return 1;
}

int set_nonblock(int fd) {
    return vesk::set_nonblocking(fd) ? 0 : -1;
}

int get_vesk_localaddr(unsigned long addr) {
    vesk::LocalHost me = vesk::local_host(static_cast<uint32_t>(addr));
    memcpy(vesk_localhost, me.name.c_str(), me.name.size() + 1);
    vesk_localaddr = me.addr;
    return 0;
}
