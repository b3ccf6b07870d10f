// File commands of veskd.  Every argument comes from a client or the far end,
// so each parse is strict: a malformed argument fails that request only.
#include "files.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vesknet.h"

namespace vesk::files {
namespace {

constexpr mode_t kPartialMode = 0400;      // an unfinished copy: owner may read, nothing else
constexpr mode_t kWritableMode = 0600;     // briefly, so that the owner can reopen a 0400 copy
constexpr mode_t kPermissionBits = 07777;  // what a mode argument may carry
constexpr const char kBadArgument[] = "Bad argument";
constexpr const char kNotRegular[] = "Not a regular file";
constexpr const char kBeyondEnd[] = "Offset beyond end of file";

Reply fail(const char *reason) {
    return Reply{false, reason};
}
Reply fail_errno(int err) {
    return Reply{false, std::strerror(err)};
}

// Whole text as a decimal (or octal) number; no sign other than a leading '-'
// for signed types, no blanks, no overflow.
template <typename T>
bool parse_number(std::string_view text, T *out, int base = 10) {
    if (text.empty()) return false;
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, *out, base);
    return ec == std::errc() && ptr == end;
}

bool parse_offset(std::string_view text, off_t *out) {
    long long v = 0;
    if (!parse_number(text, &v) || v < 0) return false;
    *out = static_cast<off_t>(v);
    return true;
}

bool parse_mode(std::string_view text, mode_t *out) {
    unsigned long v = 0;
    if (!parse_number(text, &v, 8) || v > kPermissionBits) return false;
    *out = static_cast<mode_t>(v);
    return true;
}

// A name usable as a C string: no NUL (it would silently cut the name short)
// and no newline (names never carry one; seeing it means a misparsed argument).
bool valid_name(std::string_view name) {
    return name.find('\0') == std::string_view::npos && name.find('\n') == std::string_view::npos;
}

// Splits "head\nname" at the first newline.  Returns false without one.
bool split_long_form(std::string_view arg, std::string_view *head, std::string_view *name) {
    size_t nl = arg.find('\n');
    if (nl == std::string_view::npos) return false;
    *head = arg.substr(0, nl);
    *name = arg.substr(nl + 1);
    return true;
}

// Splits head at single blanks into exactly n fields.
bool split_fields(std::string_view head, std::string_view *fields, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        size_t sp = head.find(' ');
        if (i + 1 == n) {
            if (sp != std::string_view::npos) return false;
            fields[i] = head;
        } else {
            if (sp == std::string_view::npos) return false;
            fields[i] = head.substr(0, sp);
            head.remove_prefix(sp + 1);
        }
    }
    return true;
}

int file_type(mode_t mode) {
    if (S_ISREG(mode)) return 0;
    if (S_ISDIR(mode)) return 1;
    return 2;
}

// The seven-field status text; crc is given by the caller.
std::string status_text(const struct stat &st, unsigned int crc) {
    const long long now = static_cast<long long>(time(nullptr));
    std::string text;
    text += std::to_string(static_cast<long long>(st.st_size));
    text += ' ';
    text += std::to_string(file_type(st.st_mode));
    text += ' ';
    text += std::to_string(static_cast<unsigned long long>(st.st_nlink));
    text += ' ';
    text += std::to_string(static_cast<long long>(st.st_atim.tv_sec) - now);
    text += ' ';
    text += std::to_string(static_cast<long long>(st.st_mtim.tv_sec) - now);
    text += ' ';
    char mode[16];
    std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(st.st_mode & kPermissionBits));
    text += mode;
    text += ' ';
    text += std::to_string(crc);
    return text;
}

// Opens name for writing.  A copy left at 0400 by an interrupted transfer
// refuses its own owner; make it writable for the open, and put the old mode
// back when even that does not help.  The open never blocks (a FIFO without a
// reader would otherwise stall the whole daemon) and only regular files pass.
// Returns the descriptor, or -1 with the reason in *reason.
int open_for_writing(const std::string &name, int flags, std::string *reason) {
    const int open_flags = O_WRONLY | O_CLOEXEC | O_NONBLOCK | flags;
    int fd = ::open(name.c_str(), open_flags, kWritableMode);
    if (fd < 0 && errno == EACCES) {
        struct stat st;
        if (::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
            ::chmod(name.c_str(), kWritableMode) == 0) {
            fd = ::open(name.c_str(), open_flags, kWritableMode);
            if (fd < 0) {
                int err = errno;
                ::chmod(name.c_str(), st.st_mode & kPermissionBits);
                errno = err;
            }
        } else {
            errno = EACCES;
        }
    }
    if (fd < 0) {
        *reason = std::strerror(errno);
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        *reason = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        *reason = kNotRegular;
        ::close(fd);
        return -1;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    return fd;
}

// lseek that refuses to move past the end: writing there would leave a hole
// of zeros that looks like data that was sent.
bool seek_within(int fd, off_t offset, std::string *reason) {
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        *reason = std::strerror(errno);
        return false;
    }
    if (offset > st.st_size) {
        *reason = kBeyondEnd;
        return false;
    }
    if (::lseek(fd, offset, SEEK_SET) < 0) {
        *reason = std::strerror(errno);
        return false;
    }
    return true;
}

// now + rel seconds, or false when it does not fit a time_t.
bool absolute_time(long long rel, time_t *out) {
    long long now = static_cast<long long>(time(nullptr));
    long long sum = 0;
    if (__builtin_add_overflow(now, rel, &sum)) return false;
    if (sum < std::numeric_limits<time_t>::min() || sum > std::numeric_limits<time_t>::max())
        return false;
    *out = static_cast<time_t>(sum);
    return true;
}

}  // namespace

Reply status(std::string_view arg) {
    std::string_view name = arg;
    long long length = 0;
    if (!arg.empty() && arg.front() == '\n') {
        std::string_view head;
        if (!split_long_form(arg.substr(1), &head, &name)) return fail(kBadArgument);
        if (!parse_number(head, &length) || length < 0) return fail(kBadArgument);
    }
    if (!valid_name(name)) return fail(kBadArgument);
    const std::string path(name);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return fail_errno(errno);
    unsigned int crc = 0;
    // Only regular files: opening a FIFO to checksum it would block the daemon.
    if (S_ISREG(st.st_mode)) {
        long len = length != 0 ? static_cast<long>(length) : static_cast<long>(st.st_size);
        crc = file_crc(path.c_str(), len);
    }
    return Reply{true, status_text(st, crc)};
}

Sink::~Sink() {
    close();
}

Reply Sink::open_fresh(std::string_view arg) {
    close();
    std::string_view head, name = arg;
    mode_t mode = kPartialMode;
    if (split_long_form(arg, &head, &name)) {
        std::string_view f[2];
        off_t offset = 0;
        // A fresh file starts at 0; any other offset is a confused client.
        if (!split_fields(head, f, 2) || !parse_offset(f[0], &offset) || offset != 0 ||
            !parse_mode(f[1], &mode))
            return fail(kBadArgument);
    }
    if (!valid_name(name)) return fail(kBadArgument);
    std::string reason;
    std::string path(name);
    int fd = open_for_writing(path, O_CREAT | O_TRUNC, &reason);
    if (fd < 0) return Reply{false, reason};
    return adopt(fd, mode, std::move(path));
}

// Gives the opened file the mode sent and makes it this Sink's.
Reply Sink::adopt(int fd, mode_t mode, std::string path) {
    if (::fchmod(fd, mode) != 0) {
        int err = errno;
        ::close(fd);
        return fail_errno(err);
    }
    fd_ = fd;
    failed_ = false;
    name_ = std::move(path);
    return Reply{true, ""};
}

Reply Sink::open_at(std::string_view arg) {
    close();
    std::string_view head, name = arg;
    mode_t mode = kPartialMode;
    off_t offset = 0;
    if (split_long_form(arg, &head, &name)) {
        std::string_view f[2];
        if (!split_fields(head, f, 2) || !parse_offset(f[0], &offset) || !parse_mode(f[1], &mode))
            return fail(kBadArgument);
    }
    if (!valid_name(name)) return fail(kBadArgument);
    std::string reason;
    std::string path(name);
    // No O_CREAT: resuming a file that vanished would write after a hole.
    int fd = open_for_writing(path, 0, &reason);
    if (fd < 0) return Reply{false, reason};
    if (!seek_within(fd, offset, &reason)) {
        ::close(fd);
        return Reply{false, reason};
    }
    return adopt(fd, mode, std::move(path));
}

Reply Sink::seek(std::string_view arg) {
    off_t offset = 0;
    if (!parse_offset(arg, &offset)) return fail(kBadArgument);
    if (fd_ < 0) return fail_errno(EBADF);
    std::string reason;
    if (!seek_within(fd_, offset, &reason)) return Reply{false, reason};
    return Reply{true, ""};
}

bool Sink::write(const char *data, size_t n) {
    if (fd_ < 0 || failed_) return false;
    while (n > 0) {
        ssize_t w = ::write(fd_, data, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            failed_ = true;
            return false;
        }
        if (w == 0) {  // no progress on a regular file: the disk is full
            failed_ = true;
            return false;
        }
        data += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// write() hands every byte to the kernel at once, so a following stat() already
// sees them; there is no user-space buffer to drain.  No fsync: the client only
// needs the size and checksum, and syncing each file would cost a disk flush.
void Sink::flush() {}

void Sink::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    failed_ = false;
    name_.clear();
}

Reply set_final(std::string_view arg) {
    std::string_view head, name;
    if (!split_long_form(arg, &head, &name)) return fail(kBadArgument);
    std::string_view f[3];
    mode_t mode = 0;
    long long rel_atime = 0, rel_mtime = 0;
    if (!split_fields(head, f, 3) || !parse_mode(f[0], &mode) || !parse_number(f[1], &rel_atime) ||
        !parse_number(f[2], &rel_mtime) || !valid_name(name))
        return fail(kBadArgument);
    struct timespec times[2];
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_nsec = UTIME_OMIT;
    if (rel_atime != 0) {
        if (!absolute_time(rel_atime, &times[0].tv_sec)) return fail(kBadArgument);
        times[0].tv_nsec = 0;
    }
    if (rel_mtime != 0) {
        if (!absolute_time(rel_mtime, &times[1].tv_sec)) return fail(kBadArgument);
        times[1].tv_nsec = 0;
    }
    const std::string path(name);
    int err = 0;
    if ((rel_atime != 0 || rel_mtime != 0) && ::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
        err = errno;
    if (::chmod(path.c_str(), mode) != 0 && err == 0) err = errno;
    if (err != 0) return fail_errno(err);
    return Reply{true, ""};
}

Source::~Source() {
    close();
}

Reply Source::open(std::string_view arg) {
    close();
    std::string_view head, name;
    off_t offset = 0;
    if (!split_long_form(arg, &head, &name) || !parse_offset(head, &offset) || !valid_name(name))
        return fail(kBadArgument);
    const std::string path(name);
    // O_NONBLOCK keeps a FIFO from stalling the daemon in open(); only regular
    // files are served.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return fail_errno(errno);
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        int err = errno;
        ::close(fd);
        return fail_errno(err);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail(S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : kNotRegular);
    }
    std::string reason;
    if (!seek_within(fd, offset, &reason)) {
        ::close(fd);
        return Reply{false, reason};
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    fd_ = fd;
    return Reply{true, status_text(st, 0)};
}

ssize_t Source::read(char *buf, size_t n) {
    if (fd_ < 0) return -1;
    for (;;) {
        ssize_t r = ::read(fd_, buf, n);
        if (r < 0 && errno == EINTR) continue;
        return r < 0 ? -1 : r;
    }
}

void Source::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

Reply remove(std::string_view arg) {
    if (!valid_name(arg)) return fail(kBadArgument);
    const std::string path(arg);
    if (::unlink(path.c_str()) != 0) return fail_errno(errno);
    return Reply{true, ""};
}

}  // namespace vesk::files
