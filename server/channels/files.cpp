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

#include "crc.h"
#include "file_status.h"
#include "fd.h"
#include "fileargs.h"

namespace vesk::files {
namespace {

using namespace args;

constexpr mode_t kWritableMode = 0600;  // briefly, so that the owner can reopen a 0400 copy
// Bytes of a file being written that may gather in memory before they are
// sent to the disk; the range before is waited for.  The sync before 'O'
// then waits for about this much, never for a whole large file (1 GiB took
// 0.6 s on this machine's disk, with every channel stalled meanwhile).
constexpr off_t kWritebackBytes = 8 * 1024 * 1024;
constexpr const char kNotRegular[] = "Not a regular file";
constexpr const char kBeyondEnd[] = "Offset beyond end of file";

bool parse_offset(std::string_view text, off_t *out) {
    long long v = 0;
    if (!parse_number(text, &v) || v < 0) return false;
    *out = static_cast<off_t>(v);
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

// The seven-field status text; crc is given by the caller.
std::string status_text(const struct stat &st, unsigned int crc) {
    const long long now = static_cast<long long>(time(nullptr));
    return proto::format_file_status(proto::file_status_of(st, now, crc));
}

// The hidden name beside a partial copy while it is opened for writing.
std::string hidden_name(const std::string &last) {
    return proto::kOpeningPrefix + last;
}

// A copy left at its partial mode by an interrupted transfer refuses its own
// owner.  It gets write permission only under a hidden name beside it, so
// that no kill at any moment leaves the real name with a write bit (which
// every later run takes for a finished copy): the name is absent meanwhile,
// and a copy a kill left hidden is put back (recover_hidden).  Returns the
// descriptor opened with flags, or -1 with errno.
int reopen_partial(const Scope &scope, const std::string &name, int flags) {
    std::string last;
    int dfd = scope.open_parent(name, &last);
    if (dfd < 0) return -1;
    Fd dir(dfd);
    const std::string hidden = hidden_name(last);
    struct stat st;
    if (::fstatat(dir.get(), last.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
        (st.st_mode & proto::kFinishedBits) != 0 ||
        ::renameat2(dir.get(), last.c_str(), dir.get(), hidden.c_str(), RENAME_NOREPLACE) != 0) {
        errno = EACCES;
        return -1;
    }
    int fd = -1, err = EACCES;
    if (::fchmodat(dir.get(), hidden.c_str(), kWritableMode, 0) == 0) {
        fd = ::openat(dir.get(), hidden.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
        err = errno;
        if (fd >= 0)
            ::fchmod(fd, st.st_mode & proto::kMaxPermissionBits);
        else
            ::fchmodat(dir.get(), hidden.c_str(), st.st_mode & proto::kMaxPermissionBits, 0);
    }
    if (::renameat2(dir.get(), hidden.c_str(), dir.get(), last.c_str(), RENAME_NOREPLACE) != 0) {
        // A new file of that name came meanwhile: it stays, the copy goes.
        if (fd >= 0) ::close(fd);
        ::unlinkat(dir.get(), hidden.c_str(), 0);
        errno = EEXIST;
        return -1;
    }
    errno = err;
    return fd;
}

// A copy that a kill left under its hidden name goes back, at its partial
// mode, unless the name was taken meanwhile.
void recover_hidden(const Scope &scope, const std::string &name) {
    std::string last;
    int dfd = scope.open_parent(name, &last);
    if (dfd < 0) return;
    Fd dir(dfd);
    const std::string hidden = hidden_name(last);
    struct stat st;
    if (::fstatat(dir.get(), hidden.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & S_IXUSR) != 0)
        return;
    if (::fchmodat(dir.get(), hidden.c_str(), proto::kPartialMode, 0) == 0)
        ::renameat2(dir.get(), hidden.c_str(), dir.get(), last.c_str(), RENAME_NOREPLACE);
}

// Opens name for writing, creating it at mode (a partial one: never a
// moment with a write bit).  The open never blocks (a FIFO without a reader
// would otherwise stall the whole daemon) and only regular files pass.  With
// truncate, the file is emptied only once it has the partial mode.  Returns
// the descriptor, or -1 with the reason in *reason.
int open_for_writing(const Scope &scope, const std::string &name, int flags, mode_t mode,
                     bool truncate, std::string *reason) {
    const int open_flags = O_WRONLY | O_NONBLOCK | O_NOCTTY | flags;
    int fd = scope.open(name, open_flags, mode);
    if (fd < 0 && errno == ENOENT && !(flags & O_CREAT)) {
        // A resume of a copy that a kill left under its hidden name.
        recover_hidden(scope, name);
        fd = scope.open(name, open_flags, mode);
    }
    if (fd < 0 && errno == EACCES) fd = reopen_partial(scope, name, open_flags);
    if (fd < 0) {
        *reason = scope.refusal(name, errno);
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
    // Partial first, then the content changes: a complete file may look
    // partial for a moment, a partial one never looks complete.
    if (::fchmod(fd, mode) != 0 || (truncate && ::ftruncate(fd, 0) != 0)) {
        *reason = std::strerror(errno);
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

int sync_file_data(int pfd, const std::string &proc_path) {
    struct stat st;
    if (::fstat(pfd, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    int fd = ::open(proc_path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) fd = ::open(proc_path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return 0;
    int err = 0;
    while (::fdatasync(fd) != 0) {
        if (errno == EINTR) continue;
        err = errno;
        break;
    }
    ::close(fd);
    return err;
}

Check::Check(std::string_view arg, Scope scope) : arg_(arg), scope_(std::move(scope)) {}

Check::~Check() = default;

// Parses the argument and looks at the file.  Returns false when the reply
// is already final.
bool Check::begin() {
    std::string_view name = arg_;
    long long length = 0;
    if (!arg_.empty() && arg_.front() == '\n') {
        std::string_view head;
        if (!split_long_form(std::string_view(arg_).substr(1), &head, &name) ||
            !parse_number(head, &length) || length < 0) {
            reply_ = fail(kBadArgument);
            return false;
        }
    }
    if (!valid_name(name)) {
        reply_ = fail(kBadArgument);
        return false;
    }
    path_ = name;
    // Look before opening anything for reading: opening a FIFO or a device
    // could block or have effects.  Only a regular file is read.
    int pfd = scope_.open(path_, O_PATH);
    if (pfd < 0) {
        reply_ = Reply{false, scope_.refusal(path_, errno)};
        return false;
    }
    int rc = ::fstat(pfd, &st_);
    int err = errno;
    ::close(pfd);
    if (rc != 0) {
        reply_ = fail_errno(err);
        return false;
    }
    if (S_ISREG(st_.st_mode)) {
        long len = length != 0 ? static_cast<long>(length) : static_cast<long>(st_.st_size);
        crc_ = std::make_unique<CrcReader>(len);
    }
    return true;
}

// One slice of the checksum, through a descriptor that lives only as long as
// the slice: a check waiting for its turn holds no descriptor.
bool Check::read_slice(size_t max_bytes) {
    int fd = scope_.open(path_, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    struct stat now;
    bool finished = true;
    // The file that was looked at, not one put in its place since.
    if (fd < 0 || ::fstat(fd, &now) != 0 || !S_ISREG(now.st_mode) || now.st_dev != st_.st_dev ||
        now.st_ino != st_.st_ino)
        crc_->fail();
    else
        finished = crc_->step(fd, max_bytes);
    if (fd >= 0) ::close(fd);
    return finished;
}

bool Check::step(size_t max_bytes) {
    if (done_) return true;
    if (!started_) {
        started_ = true;
        if (!begin()) return done_ = true;
    }
    if (crc_ && !read_slice(max_bytes)) return false;
    done_ = true;
    // Unreadable, or not a regular file: no checksum (0).
    reply_ = Reply{true, status_text(st_, crc_ ? crc_->value() : 0)};
    crc_.reset();
    return true;
}

Reply status(std::string_view arg, const Scope &scope) {
    Check check(arg, scope);
    while (!check.step(SIZE_MAX)) {
    }
    return check.reply();
}

Sink::~Sink() {
    close();
}

Reply Sink::open_fresh(std::string_view arg) {
    close();
    std::string_view head, name = arg;
    mode_t mode = proto::kPartialMode;
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
    int fd = open_for_writing(scope_, path, O_CREAT, mode, true, &reason);
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
    at(::lseek(fd, 0, SEEK_CUR));
    return Reply{true, ""};
}

Reply Sink::open_at(std::string_view arg) {
    close();
    std::string_view head, name = arg;
    mode_t mode = proto::kPartialMode;
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
    int fd = open_for_writing(scope_, path, 0, mode, false, &reason);
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
    at(offset);
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
        pos_ += w;
    }
    write_back();
    return true;
}

void Sink::write_back() {
    if (pos_ - kicked_ < kWritebackBytes) return;
    ::sync_file_range(fd_, kicked_, pos_ - kicked_, SYNC_FILE_RANGE_WRITE);
    if (waited_ < kicked_)
        ::sync_file_range(
            fd_, waited_, kicked_ - waited_,
            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    waited_ = kicked_;
    kicked_ = pos_;
}

// write() hands every byte to the kernel at once, so a following stat() already
// sees them; there is no user-space buffer to drain.  The disk is reached
// before 'O' gives the finished mode (set_final), not here.
void Sink::flush() {}

void Sink::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    failed_ = false;
    name_.clear();
}

Reply set_final(std::string_view arg, const Scope &scope) {
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
    std::string path(name);
    // Resolve the name once (beneath the directory when confined) and act on
    // the file through its descriptor: chmod and utimensat by name would
    // follow a symbolic link put there meanwhile, wherever it leads.
    int fd = scope.open(path, O_PATH);
    if (fd < 0) return Reply{false, scope.refusal(path, errno)};
    path = "/proc/self/fd/" + std::to_string(fd);
    // The mode says "finished" to every later run: it may only be given once
    // the data it vouches for is on disk.
    int err = sync_file_data(fd, path);
    if (err != 0) {
        ::close(fd);
        return fail_errno(err);
    }
    if ((rel_atime != 0 || rel_mtime != 0) && ::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
        err = errno;
    if (::chmod(path.c_str(), mode) != 0 && err == 0) err = errno;
    ::close(fd);
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
    int fd = scope_.open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return Reply{false, scope_.refusal(path, errno)};
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

Reply remove(std::string_view arg, const Scope &scope) {
    if (!valid_name(arg)) return fail(kBadArgument);
    const std::string path(arg);
    if (!scope.confined()) {
        if (::unlink(path.c_str()) != 0) return fail_errno(errno);
        return Reply{true, ""};
    }
    std::string last;
    int dir = scope.open_parent(path, &last);
    if (dir < 0) return Reply{false, scope.refusal(path, errno)};
    int rc = ::unlinkat(dir, last.c_str(), 0);
    int err = errno;
    ::close(dir);
    if (rc != 0) return fail_errno(err);
    return Reply{true, ""};
}

}  // namespace vesk::files
