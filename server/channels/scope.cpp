// Names confined beneath a directory (see scope.h).
#include "scope.h"
#include "fd.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace vesk {
namespace {
constexpr const char kOutside[] = "Outside the directory this veskd serves";
constexpr const char kAbsolute[] =
    "Absolute names are refused: names are relative to the directory this veskd serves";
constexpr const char kLinkInTheWay[] = "A symbolic link is in the way";
// openat2 gives EAGAIN when a ".." raced with a rename; it may be retried.
constexpr int kRaceRetries = 8;

// Set once openat2 turned out to be missing (ENOSYS): the walk serves then.
std::atomic<bool> g_no_openat2{false};

// The components of a path, without empty ones and ".".
std::deque<std::string> components(std::string_view path) {
    std::deque<std::string> out;
    while (!path.empty()) {
        size_t slash = path.find('/');
        std::string_view c = path.substr(0, slash);
        if (!c.empty() && c != ".") out.emplace_back(c);
        if (slash == std::string_view::npos) break;
        path.remove_prefix(slash + 1);
    }
    return out;
}

bool read_link(int dir, const std::string &name, std::string *target) {
    char buf[PATH_MAX];
    ssize_t n = readlinkat(dir, name.c_str(), buf, sizeof buf);
    if (n < 0) return false;
    if (size_t(n) >= sizeof buf) {
        errno = ENAMETOOLONG;
        return false;
    }
    target->assign(buf, size_t(n));
    return true;
}

// Resolves name beneath root one component at a time, following symbolic
// links itself (relative ones only) and keeping the directories it entered so
// that ".." can never climb above root.
// With no_links every link is refused (ELOOP) but a last component opened as
// O_PATH|O_NOFOLLOW, which names the link itself.
int walk(int root, std::string_view name, int flags, mode_t mode, bool no_links) {
    std::deque<std::string> rest = components(name);
    std::vector<Fd> dirs;  // entered beneath root, innermost last
    int links = 0;
    auto here = [&] { return dirs.empty() ? root : dirs.back().get(); };
    while (!rest.empty()) {
        std::string c = std::move(rest.front());
        rest.pop_front();
        if (c == "..") {
            if (dirs.empty()) {
                errno = EXDEV;
                return -1;
            }
            dirs.pop_back();
            continue;
        }
        struct stat st;
        bool exists = fstatat(here(), c.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (!exists && errno != ENOENT) return -1;
        if (exists && S_ISLNK(st.st_mode) && no_links) {
            if (!rest.empty() || (flags & (O_PATH | O_NOFOLLOW)) != (O_PATH | O_NOFOLLOW)) {
                errno = ELOOP;
                return -1;
            }
        } else if (exists && S_ISLNK(st.st_mode)) {
            std::string target;
            if (++links > Scope::kLinksMax) {
                errno = ELOOP;
                return -1;
            }
            if (!read_link(here(), c, &target)) return -1;
            if (target.empty() || target[0] == '/') {
                errno = target.empty() ? ENOENT : EXDEV;
                return -1;
            }
            std::deque<std::string> more = components(target);
            rest.insert(rest.begin(), more.begin(), more.end());
            continue;
        }
        if (rest.empty()) return openat(here(), c.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
        if (!exists) {
            errno = ENOENT;
            return -1;
        }
        int d = openat(here(), c.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (d < 0) return -1;
        dirs.emplace_back(d);
    }
    // The name ends at a directory: "a/..", or a link to one.
    return openat(here(), ".", flags | O_CLOEXEC, mode);
}

// openat2 with RESOLVE_BENEATH; -1 with ENOSYS when the kernel lacks it.
int beneath(int root, const std::string &name, int flags, mode_t mode, bool no_links) {
    open_how how{};
    how.flags = uint64_t(flags | O_CLOEXEC);
    how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS | (no_links ? RESOLVE_NO_SYMLINKS : 0);
    for (int i = 0;; i++) {
        long fd = syscall(SYS_openat2, root, name.c_str(), &how, sizeof how);
        if (fd >= 0 || errno != EAGAIN || i == kRaceRetries) return int(fd);
    }
}
}  // namespace

bool Scope::confine(const std::string &dir, Scope *out, std::string *error, Resolver resolver) {
    int fd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot serve " + dir + ": " + strerror(errno);
        return false;
    }
    out->root_ = std::shared_ptr<const int>(new int(fd), [](const int *p) {
        ::close(*p);
        delete p;
    });
    out->resolver_ = resolver;
    return true;
}

int Scope::open(std::string_view name, int flags, mode_t mode) const {
    if (name.empty()) {
        errno = ENOENT;
        return -1;
    }
    std::string path(name);
    if (!root_) return ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (*root_ < 0) {
        errno = ENOENT;
        return -1;
    }
    if (path[0] == '/') {
        errno = EXDEV;
        return -1;
    }
    if (resolver_ == Resolver::kAuto && !g_no_openat2.load(std::memory_order_relaxed)) {
        int fd = beneath(*root_, path, flags, mode, no_links_);
        if (fd >= 0 || errno != ENOSYS) return fd;
        g_no_openat2.store(true, std::memory_order_relaxed);
    }
    return walk(*root_, path, flags, mode, no_links_);
}

Scope Scope::refusing() {
    Scope s;
    s.root_ = std::make_shared<const int>(-1);
    return s;
}

bool Scope::tree_at(std::string_view dir, Scope *out) const {
    int fd = open(dir, O_PATH | O_DIRECTORY);
    if (fd < 0) return false;
    out->root_ = std::shared_ptr<const int>(new int(fd), [](const int *p) {
        ::close(*p);
        delete p;
    });
    out->resolver_ =
        resolver_ == Resolver::kWalk || g_no_openat2 ? Resolver::kWalk : Resolver::kAuto;
    out->no_links_ = true;
    return true;
}

int Scope::open_parent(std::string_view name, std::string *last) const {
    while (name.size() > 1 && name.back() == '/') name.remove_suffix(1);
    size_t slash = name.rfind('/');
    std::string_view dir = slash == std::string_view::npos ? "." : name.substr(0, slash + 1);
    *last = std::string(slash == std::string_view::npos ? name : name.substr(slash + 1));
    if (last->empty()) {
        errno = ENOENT;
        return -1;
    }
    // ".." as the last component names the directory above the one opened,
    // which beneath a root may lie outside it.
    if (root_ && ((!name.empty() && name[0] == '/') || *last == "..")) {
        errno = EXDEV;
        return -1;
    }
    return open(dir, O_PATH | O_DIRECTORY);
}

std::string Scope::refusal(std::string_view name, int err) const {
    if (root_ && err == EXDEV) return !name.empty() && name[0] == '/' ? kAbsolute : kOutside;
    if (no_links_ && err == ELOOP) return kLinkInTheWay;
    return strerror(err);
}

}  // namespace vesk
