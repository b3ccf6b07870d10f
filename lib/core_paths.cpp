// Core services the client module builds on: where to look for the server,
// which ids to switch to, and small socket helpers.
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "vesknet.h"

char *get_vesk_path(int *state) {
    // Room for the longest thing callers append after the base directory.
    static char buf[PATH_MAX + 64];
    // Private mode looks in the user's own home only: the server made its
    // socket there, and a failure then names $HOME/.vesk/socket rather than
    // a /.vesk/socket nobody has.  The shared modes (and an undecided mode)
    // also try the home of the passwd entry and finally "", which gives
    // /tmp/private{suffix}.
    const bool private_mode = share == 0;
    for (;;) {
        int step = *state;
        if (step == 0) {
            *state = 1;
            const char *home = getenv("HOME");
            if (home != nullptr && home[0] != '\0' && strlen(home) < PATH_MAX) {
                if (private_mode) *state = 0;
                strcpy(buf, home);
                return buf;
            }
        } else if (step == 1) {
            *state = private_mode ? 0 : 2;
            struct passwd *pw = getpwuid(getuid());
            if (pw != nullptr && pw->pw_dir != nullptr && strlen(pw->pw_dir) < PATH_MAX) {
                strcpy(buf, pw->pw_dir);
                return buf;
            }
            if (private_mode) return nullptr;
        } else if (step == 2) {
            *state = 0;
            buf[0] = '\0';
            return buf;
        } else {
            *state = 0;
            return nullptr;
        }
    }
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
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        return -1;
    }
    return 0;
}

int get_vesk_localaddr(unsigned long addr) {
    if (gethostname(vesk_localhost, sizeof vesk_localhost - 1) < 0) {
        strcpy(vesk_localhost, "localhost");
    }
    vesk_localhost[sizeof vesk_localhost - 1] = '\0';
    unsigned long found = addr;
    struct hostent *he = gethostbyname(vesk_localhost);
    if (he != nullptr && he->h_addrtype == AF_INET && he->h_length == 4 &&
        he->h_addr_list[0] != nullptr) {
        in_addr_t a;
        memcpy(&a, he->h_addr_list[0], 4);
        found = a;
    }
    vesk_localaddr = ntohl(static_cast<uint32_t>(found));
    return 0;
}
