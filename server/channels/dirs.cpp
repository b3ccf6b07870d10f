// Directory and symbolic-link commands of veskd (see dirs.h).
#include "dirs.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "commands.h"
#include "fd.h"
#include "fileargs.h"
#include "listing.h"

namespace vesk::files {
namespace {

using namespace args;

constexpr const char kTargetTooLong[] = "Link target too long";

// The descriptor of the directory holding name's last component, with that
// component in *last; or -1 with the failed Reply in *why.
int parent_of(const Scope &scope, const std::string &name, std::string *last, Reply *why) {
    int fd = scope.open_parent(name, last);
    if (fd < 0) *why = Reply{false, scope.refusal(name, errno)};
    return fd;
}

// The sorted names of the directory open at fd, "." and ".." left out.
bool read_names(int fd, std::vector<std::string> *names) {
    // fdopendir takes the descriptor over: give it a copy of its own.
    int own = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (own < 0) return false;
    DIR *d = ::fdopendir(own);
    if (d == nullptr) {
        ::close(own);
        return false;
    }
    errno = 0;
    while (struct dirent *e = ::readdir(d)) {
        std::string n(e->d_name);
        if (n != "." && n != "..") names->push_back(std::move(n));
    }
    int err = errno;
    ::closedir(d);
    if (err != 0) {
        errno = err;
        return false;
    }
    std::sort(names->begin(), names->end());
    return true;
}

char entry_type(mode_t m) {
    if (S_ISREG(m)) return proto::kEntryFile;
    if (S_ISDIR(m)) return proto::kEntryDir;
    if (S_ISLNK(m)) return proto::kEntryLink;
    return proto::kEntryOther;
}

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

Reply list_dir(std::string_view arg, const Scope &scope) {
    std::string_view head, name;
    size_t page = 0;
    if (!split_long_form(arg, &head, &name) || !parse_number(head, &page) || !valid_name(name))
        return fail(kBadArgument);
    std::string path(name);
    int fd = scope.open(path, O_RDONLY | O_DIRECTORY | O_NONBLOCK);
    if (fd < 0) return Reply{false, scope.refusal(path, errno)};
    Fd dir(fd);
    std::vector<std::string> names;
    if (!read_names(dir.get(), &names)) return fail_errno(errno);
    std::vector<size_t> lengths;
    lengths.reserve(names.size());
    for (const std::string &n : names) lengths.push_back(n.size());
    const std::vector<size_t> starts = proto::page_starts(lengths);
    std::string text = std::to_string(starts.size()) + "\n";
    if (page >= starts.size()) return Reply{true, text};
    const size_t end = page + 1 < starts.size() ? starts[page + 1] : names.size();
    const long long now = static_cast<long long>(time(nullptr));
    for (size_t i = starts[page]; i < end; ++i) {
        struct stat st;
        // Gone since it was read: it is simply not listed.
        if (::fstatat(dir.get(), names[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        proto::ListEntry e;
        e.type = entry_type(st.st_mode);
        e.perms = st.st_mode & proto::kMaxPermissionBits;
        e.size = st.st_size;
        e.atime = st.st_atime - now;
        e.mtime = st.st_mtime - now;
        e.name = names[i];
        text += proto::format_entry(e);
    }
    return Reply{true, text};
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

Reply read_link(std::string_view arg, const Scope &scope) {
    if (!valid_name(arg)) return fail(kBadArgument);
    std::string path(arg), last;
    Reply why;
    int pfd = parent_of(scope, path, &last, &why);
    if (pfd < 0) return why;
    Fd dir(pfd);
    char buf[PATH_MAX];
    ssize_t n = ::readlinkat(dir.get(), last.c_str(), buf, sizeof buf);
    if (n < 0) return fail_errno(errno);
    if (static_cast<size_t>(n) > proto::kRequestTextMax) return fail(kTargetTooLong);
    return Reply{true, std::string(buf, static_cast<size_t>(n))};
}

}  // namespace vesk::files
