// Directory and symbolic-link commands of veskd (see dirs.h).
#include "dirs.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fd.h"
#include "fileargs.h"
#include "listing.h"

namespace vesk::files {
namespace {

using namespace args;

constexpr const char kTooLarge[] = "Tree listing too large";
// Listing text gathered before it is written to the anonymous file.
constexpr size_t kListChunk = 64 * 1024;  // bytes

// The descriptor of the directory holding name's last component, with that
// component in *last; or -1 with the failed Reply in *why.
int parent_of(const Scope &scope, const std::string &name, std::string *last, Reply *why) {
    int fd = scope.open_parent(name, last);
    if (fd < 0) *why = Reply{false, scope.refusal(name, errno)};
    return fd;
}

char entry_type(mode_t m) {
    if (S_ISREG(m)) return proto::kEntryFile;
    if (S_ISDIR(m)) return proto::kEntryDir;
    if (S_ISLNK(m)) return proto::kEntryLink;
    return proto::kEntryOther;
}

proto::Stamp stamp_of(const struct timespec &ts) {
    return proto::Stamp{static_cast<long long>(ts.tv_sec), ts.tv_nsec};
}

// "-" (UTIME_OMIT) or "<seconds>.<nine digits>".
bool parse_stamp(std::string_view text, struct timespec *out) {
    if (text == "-") {
        out->tv_sec = 0;
        out->tv_nsec = UTIME_OMIT;
        return true;
    }
    size_t dot = text.find('.');
    long long sec = 0;
    long nsec = 0;
    if (dot == std::string_view::npos || text.size() - dot != 10 ||
        !parse_number(text.substr(0, dot), &sec) || !parse_number(text.substr(dot + 1), &nsec) ||
        nsec < 0 || sec < -proto::kMaxRelativeSeconds || sec > proto::kMaxRelativeSeconds)
        return false;
    out->tv_sec = static_cast<time_t>(sec);
    out->tv_nsec = nsec;
    return true;
}

// The tree walk of list_tree: each directory read once, its names sorted,
// each entry looked at without following it.
class TreeLister {
  public:
    explicit TreeLister(int out) : out_(out) {}

    // Lists the directory open at dir (path its name beneath the top).
    bool list(int dir, const std::string &path, int depth) {
        if (depth > proto::kTreeDepthMax) return too_large();
        std::vector<std::string> names;
        if (!read_names(dir, &names)) return false;
        std::vector<std::string> subdirs;
        for (const std::string &n : names) {
            struct stat st;
            // Gone since it was read: it is simply not listed.
            if (::fstatat(dir, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            proto::TreeEntry e = entry_of(st, proto::child_path(path, n));
            if (e.type == proto::kEntryLink && !read_target(dir, n, &e.target)) continue;
            if (!put(e)) return false;
            if (e.type == proto::kEntryDir) subdirs.push_back(n);
        }
        for (const std::string &n : subdirs) {
            int fd = ::openat(dir, n.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0) continue;  // unreadable: its entry stands, its content does not
            Fd sub(fd);
            if (!list(sub.get(), proto::child_path(path, n), depth + 1)) return false;
        }
        return true;
    }

    static proto::TreeEntry entry_of(const struct stat &st, std::string path) {
        proto::TreeEntry e;
        e.type = entry_type(st.st_mode);
        e.perms = st.st_mode & proto::kMaxPermissionBits;
        e.size = st.st_size;
        e.mtime = stamp_of(st.st_mtim);
        e.atime = stamp_of(st.st_atim);
        e.path = std::move(path);
        return e;
    }

    bool put(const proto::TreeEntry &e) {
        if (++entries_ > proto::kTreeEntriesMax) return too_large();
        text_ += proto::format_tree_entry(e);
        return text_.size() < kListChunk || flush();
    }

    bool flush() {
        bytes_ += text_.size();
        if (bytes_ > proto::kTreeListBytesMax) return too_large();
        const char *p = text_.data();
        size_t n = text_.size();
        while (n > 0) {
            ssize_t w = ::write(out_, p, n);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                why_ = std::strerror(w < 0 ? errno : ENOSPC);
                return false;
            }
            p += w;
            n -= static_cast<size_t>(w);
        }
        text_.clear();
        return true;
    }

    size_t bytes() const { return bytes_; }
    const std::string &why() const { return why_; }

  private:
    bool too_large() {
        why_ = kTooLarge;
        return false;
    }

    bool read_names(int dir, std::vector<std::string> *names) {
        // fdopendir takes the descriptor over: give it a copy of its own.
        int own = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR *d = own < 0 ? nullptr : ::fdopendir(own);
        if (d == nullptr) {
            if (own >= 0) ::close(own);
            return true;  // unreadable: listed as an empty directory
        }
        while (struct dirent *e = ::readdir(d)) {
            if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
            if (entries_ + names->size() >= proto::kTreeEntriesMax) {
                ::closedir(d);
                return too_large();
            }
            names->emplace_back(e->d_name);
        }
        ::closedir(d);
        std::sort(names->begin(), names->end());
        return true;
    }

    static bool read_target(int dir, const std::string &name, std::string *target) {
        char buf[proto::kTreePathMax + 1];
        ssize_t n = ::readlinkat(dir, name.c_str(), buf, sizeof buf);
        if (n <= 0 || static_cast<size_t>(n) > proto::kTreePathMax) return false;
        target->assign(buf, static_cast<size_t>(n));
        return true;
    }

    int out_;
    std::string text_;
    size_t entries_ = 0;
    size_t bytes_ = 0;
    std::string why_;
};

}  // namespace

Reply make_dir(std::string_view arg, const Scope &scope) {
    std::string_view head, name;
    mode_t mode = 0;
    if (!split_long_form(arg, &head, &name) || !parse_mode(head, &mode) || !valid_name(name))
        return fail(kBadArgument);
    std::string path(name), last;
    Reply why;
    int pfd = parent_of(scope, path, &last, &why);
    if (pfd < 0) return why;
    Fd dir(pfd);
    if (::mkdirat(dir.get(), last.c_str(), mode) == 0) return Reply{true, ""};
    int err = errno;
    struct stat st;
    if (err == EEXIST && ::fstatat(dir.get(), last.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(st.st_mode))
        return Reply{true, ""};
    return fail_errno(err);
}

Reply make_link(std::string_view arg, const Scope &scope) {
    std::string_view name, target;
    if (!split_long_form(arg, &name, &target) || !valid_name(name) || target.empty() ||
        target.find('\0') != std::string_view::npos)
        return fail(kBadArgument);
    std::string path(name), last, to(target);
    Reply why;
    int pfd = parent_of(scope, path, &last, &why);
    if (pfd < 0) return why;
    Fd dir(pfd);
    if (::symlinkat(to.c_str(), dir.get(), last.c_str()) == 0) return Reply{true, ""};
    int err = errno;
    struct stat st;
    if (err != EEXIST || ::fstatat(dir.get(), last.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISLNK(st.st_mode))
        return fail_errno(err);
    // A link holds no data: one already there gives way to the new one.
    if (::unlinkat(dir.get(), last.c_str(), 0) != 0 ||
        ::symlinkat(to.c_str(), dir.get(), last.c_str()) != 0)
        return fail_errno(errno);
    return Reply{true, ""};
}

Reply set_exact(std::string_view arg, const Scope &scope) {
    std::string_view head, name;
    if (!split_long_form(arg, &head, &name) || !valid_name(name)) return fail(kBadArgument);
    size_t a = head.find(' '), b = a == std::string_view::npos ? a : head.find(' ', a + 1);
    if (b == std::string_view::npos || head.find(' ', b + 1) != std::string_view::npos)
        return fail(kBadArgument);
    std::string_view mode_text = head.substr(0, a);
    mode_t mode = 0;
    struct timespec times[2];  // atime, mtime
    if ((mode_text != "-" && !parse_mode(mode_text, &mode)) ||
        !parse_stamp(head.substr(a + 1, b - a - 1), &times[1]) ||
        !parse_stamp(head.substr(b + 1), &times[0]))
        return fail(kBadArgument);
    std::string path(name), last;
    Reply why;
    int pfd = parent_of(scope, path, &last, &why);
    if (pfd < 0) return why;
    Fd dir(pfd);
    struct stat st;
    if (::fstatat(dir.get(), last.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return fail_errno(errno);
    if (S_ISLNK(st.st_mode)) {
        if (::utimensat(dir.get(), last.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
            return fail_errno(errno);
        return Reply{true, ""};
    }
    // Acted on through a descriptor of the entry itself: nothing put in its
    // place meanwhile is followed.
    int fd = ::openat(dir.get(), last.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return fail_errno(errno);
    Fd entry(fd);
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    // The mode says "finished" to every later run: only once the data it
    // vouches for is on disk.
    int err = sync_file_data(fd, proc);
    if (err == 0 && ::utimensat(AT_FDCWD, proc.c_str(), times, 0) != 0) err = errno;
    if (err == 0 && mode_text != "-" && ::chmod(proc.c_str(), mode) != 0) err = errno;
    if (err != 0) return fail_errno(err);
    return Reply{true, ""};
}

Reply rename_entry(std::string_view arg, const Scope &scope) {
    std::string_view from, to;
    if (!split_long_form(arg, &from, &to) || !valid_name(from) || !valid_name(to))
        return fail(kBadArgument);
    std::string from_path(from), to_path(to), from_last, to_last;
    Reply why;
    int f = parent_of(scope, from_path, &from_last, &why);
    if (f < 0) return why;
    Fd from_dir(f);
    int t = parent_of(scope, to_path, &to_last, &why);
    if (t < 0) return why;
    Fd to_dir(t);
    if (::renameat(from_dir.get(), from_last.c_str(), to_dir.get(), to_last.c_str()) != 0)
        return fail_errno(errno);
    ::fsync(to_dir.get());
    return Reply{true, ""};
}

int list_tree(std::string_view arg, const Scope &scope, size_t *bytes, std::string *why) {
    if (!valid_name(arg)) {
        *why = kBadArgument;
        return -1;
    }
    const std::string path(arg);
    int top = scope.open(path, O_RDONLY | O_DIRECTORY | O_NONBLOCK);
    if (top < 0) {
        *why = scope.refusal(path, errno);
        return -1;
    }
    Fd dir(top);
    struct stat st;
    int mem = ::memfd_create("vesk-tree", MFD_CLOEXEC);
    if (mem < 0 || ::fstat(dir.get(), &st) != 0) {
        *why = std::strerror(errno);
        if (mem >= 0) ::close(mem);
        return -1;
    }
    Fd out(mem);
    TreeLister lister(out.get());
    if (!lister.put(TreeLister::entry_of(st, ".")) || !lister.list(dir.get(), ".", 0) ||
        !lister.flush()) {
        *why = lister.why().empty() ? std::strerror(errno) : lister.why();
        return -1;
    }
    *bytes = lister.bytes();
    if (::lseek(out.get(), 0, SEEK_SET) != 0) {
        *why = std::strerror(errno);
        return -1;
    }
    return out.release();
}

}  // namespace vesk::files
