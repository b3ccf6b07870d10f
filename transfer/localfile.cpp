// The local copy's open: write access without a window in which a partial
// copy looks finished.
#include "localfile.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_status.h"
#include "run.h"

namespace vesk::transfer {

namespace {

constexpr unsigned kOwnerWrite = 0600;  // the least an owner's open for writing needs
constexpr unsigned kOwnerRead = 0400;   // a copy's checks read it back
// A copy put back after a kill, whose source's mode is not known here: the
// owner alone may read it.
constexpr unsigned kRecoveredLocalMode = 0400;

// The hidden name beside path that a read-only copy is opened under.
std::string hidden_name(const std::string &path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    return dir + proto::kOpeningPrefix + base;
}

// A rename only lasts a power cut once its directory is on disk too.
void sync_parent(const char *path) {
    std::string p(path);
    size_t slash = p.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// chmod, open, fchmod on name with the signals a user sends blocked: used
// only when the copy cannot be moved aside (a directory we may not write).
int open_in_place(const char *name, int flags, unsigned mode) {
    sigset_t block, old;
    sigemptyset(&block);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP}) sigaddset(&block, sig);
    sigprocmask(SIG_BLOCK, &block, &old);
    int fd = -1;
    if (chmod(name, kOwnerWrite) == 0) {
        fd = open(name, flags);
        int err = errno;
        if (fd >= 0)
            fchmod(fd, mode);
        else
            chmod(name, mode);
        errno = err;
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return fd;
}

// An owner's write descriptor to a file that lacks write permission.
int open_read_only_copy(const char *path, int flags, unsigned mode) {
    std::string hidden = hidden_name(path);
    if (renameat2(AT_FDCWD, path, AT_FDCWD, hidden.c_str(), RENAME_NOREPLACE) != 0)
        return open_in_place(path, flags, mode);
    int fd = -1;
    if (chmod(hidden.c_str(), kOwnerWrite) == 0) {
        fd = open(hidden.c_str(), flags);
        chmod(hidden.c_str(), mode);
    }
    int err = errno;
    if (renameat2(AT_FDCWD, hidden.c_str(), AT_FDCWD, path, RENAME_NOREPLACE) != 0) {
        // Someone made a new file of that name meanwhile: theirs stays, and
        // the copy is dropped rather than written under the hidden name.
        if (fd >= 0) close(fd);
        unlink(hidden.c_str());
        errno = EEXIST;
        return -1;
    }
    sync_parent(path);
    errno = err;
    return fd;
}

}  // namespace

bool sync_local_copy(int fd) {
    while (fdatasync(fd) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

bool recover_local_copy(const char *path) {
    std::string hidden = hidden_name(path);
    struct stat st {};
    if (lstat(hidden.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
        (st.st_mode & S_IXUSR) != 0)
        return false;
    // Read-only before it gets the real name: it is partial whatever mode
    // the kill left it in.
    if (chmod(hidden.c_str(), kRecoveredLocalMode) != 0 ||
        renameat2(AT_FDCWD, hidden.c_str(), AT_FDCWD, path, RENAME_NOREPLACE) != 0)
        return false;
    sync_parent(path);
    return true;
}

unsigned partial_local_mode(unsigned source_perms) {
    return (source_perms & kPartialLocalMode) | kOwnerRead;
}

int open_local_copy(const char *path, bool append, bool nofollow, unsigned mode) {
    const int flags = O_WRONLY | O_CLOEXEC | (append ? O_APPEND : 0) | (nofollow ? O_NOFOLLOW : 0);
    int fd = open(path, flags);
    if (fd < 0 && errno == ENOENT && !append) {
        // Created read-only: the descriptor may write, the name never says
        // "finished".
        fd = open(path, flags | O_CREAT | O_EXCL, mode);
        if (fd < 0 && errno == EEXIST) fd = open(path, flags);
    }
    if (fd < 0 && errno == EACCES) {
        struct stat st {};
        if ((nofollow ? lstat(path, &st) : stat(path, &st)) != 0 || !S_ISREG(st.st_mode) ||
            st.st_uid != geteuid() || (st.st_mode & kFinishedBits) != 0) {
            errno = EACCES;
            return -1;
        }
        fd = open_read_only_copy(path, flags, mode);
    }
    if (fd < 0) return -1;
    // Partial first, then the content changes: a complete file may look
    // partial for a moment, a partial one never looks complete.
    if (fchmod(fd, mode) != 0 || (!append && ftruncate(fd, 0) != 0)) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

}  // namespace vesk::transfer
