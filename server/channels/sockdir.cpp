// The socket directory veskd listens in (see sockdir.h): making it, checking
// who may write to it, and binding the socket.
#include "sockdir.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "homedirs.h"
#include "sockpath.h"

namespace vesk::sockdir {
namespace {
// Clients a listener holds before accept catches up.
constexpr int kListenBacklog = 128;

std::string errtext(const std::string &what, int err) {
    return what + ": " + strerror(err);
}

// stat (or lstat, when links must not be followed) with the failure in words.
bool examine(const std::string &dir, bool follow, struct stat *st, std::string *error) {
    if ((follow ? stat(dir.c_str(), st) : lstat(dir.c_str(), st)) == 0) return true;
    *error = errtext("cannot examine " + dir, errno);
    return false;
}

bool make_dir(const std::string &dir, mode_t mode, std::string *error) {
    if (mkdir(dir.c_str(), mode) != 0 && errno != EEXIST) {
        *error = errtext("cannot create " + dir, errno);
        return false;
    }
    return true;
}

// The directory must be ours and closed to writers other than us.
bool check_dir(const std::string &dir, std::string *error) {
    struct stat st;
    if (!examine(dir, false, &st, error)) return false;
    if (!S_ISDIR(st.st_mode)) {
        *error = dir + " is not a directory";
        return false;
    }
    if (st.st_uid != geteuid()) {
        *error = dir + " belongs to another user; refusing to serve from it";
        return false;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        *error = dir + " is writable by group or others; refusing to serve from it";
        return false;
    }
    return true;
}

// A directory that veskd makes its socket directory (or a step toward it) in.
// Anyone else who may write there could move ours away and put theirs in its
// place, unless the sticky bit stops them (as in /tmp).
bool check_parent(const std::string &dir, std::string *error) {
    struct stat st;
    if (!examine(dir, true, &st, error)) return false;
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX)) {
        char mode[16];
        snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        *error = dir + " (mode " + mode +
                 ") is writable by group or others without the sticky bit; refusing to keep "
                 "the socket directory in it";
        return false;
    }
    return true;
}

bool fill_addr(const std::string &path, sockaddr_un *su, std::string *error) {
    memset(su, 0, sizeof *su);
    su->sun_family = AF_UNIX;
    if (path.size() >= sizeof su->sun_path) {
        *error = "socket path too long: " + path;
        return false;
    }
    memcpy(su->sun_path, path.data(), path.size());
    return true;
}
// The first base directory the library searches in this share mode, the
// home; "" (under /tmp) when there is none.
std::string base_dir(int share) {
    std::vector<std::string> dirs = socket_base_dirs(share == 0);
    return dirs.empty() ? std::string() : dirs.front();
}
}  // namespace

std::string path_of(int share, const std::string &suffix) {
    return proto::socket_path(base_dir(share), share, suffix);
}

bool prepare(int share, const std::string &suffix, std::string *path, std::string *error) {
    std::string b = base_dir(share);
    std::string dir = proto::socket_dir(b, share, suffix);
    if (share == 0) {
        if (!check_parent(b.empty() ? "/" : b, error)) return false;
        if (!make_dir(dir, 0700, error) || !check_dir(dir, error)) return false;
    } else {
        std::string parent = b + proto::kSharedParent;
        if (!b.empty() && (!check_parent(b, error) || !make_dir(parent, 0755, error))) return false;
        if (!check_parent(parent, error)) return false;
        mode_t mode = share == 2 ? 0700 : 0750;
        if (!make_dir(dir, mode, error) || !check_dir(dir, error)) return false;
        if (chmod(dir.c_str(), mode) != 0) {
            *error = errtext("cannot set the mode of " + dir, errno);
            return false;
        }
    }
    *path = proto::socket_path(b, share, suffix);
    struct stat st;
    if (lstat(path->c_str(), &st) != 0) return true;
    if (!S_ISSOCK(st.st_mode)) {
        *error = *path + " exists and is not a socket";
        return false;
    }
    sockaddr_un su;
    if (!fill_addr(*path, &su, error)) return false;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errtext("socket", errno);
        return false;
    }
    int rc = connect(fd, reinterpret_cast<sockaddr *>(&su), sizeof su);
    close(fd);
    if (rc == 0) {
        *error = "already running: another veskd answers on " + *path +
                 " (a second veskd here needs a -t suffix of its own)";
        return false;
    }
    // Nobody listens: a socket left by a veskd that died.
    if (unlink(path->c_str()) != 0) {
        *error = errtext("cannot remove stale " + *path, errno);
        return false;
    }
    return true;
}

int listen_at(const std::string &path, int share, std::string *error) {
    sockaddr_un su;
    if (!fill_addr(path, &su, error)) return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errtext("socket", errno);
        return -1;
    }
    // Create it closed, open it to the mode's users once bound.
    mode_t old = umask(0177);
    int rc = bind(fd, reinterpret_cast<sockaddr *>(&su), sizeof su);
    umask(old);
    if (rc != 0 || listen(fd, kListenBacklog) != 0) {
        *error = errtext("cannot listen on " + path, errno);
        close(fd);
        return -1;
    }
    if (share == 1) chmod(path.c_str(), 0770);
    return fd;
}

}  // namespace vesk::sockdir
