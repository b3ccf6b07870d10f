// A serial device as the link's end (see serial.h): the UUCP lock file, the
// device's set-up and restoration, and its hang-up.
#include "serial.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fd.h"
#include "log.h"

namespace vesk::transport {
namespace {

struct Speed {
    unsigned baud;
    speed_t code;
};
// Every speed termios names on Linux; a speed between them would need the
// non-standard BOTHER interface, which not every adapter honours.
constexpr Speed kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};
// A lock file's pid: ten digits and a newline, the HDB UUCP convention that
// other programs (minicom, cu, pppd) read and write.
constexpr int kLockPidDigits = 10;
// Largest lock file read, bytes: a pid and some room for stray spaces.
constexpr size_t kLockReadMax = 64;
// Tries to take a lock that keeps changing under us (two takers of one
// stale lock), before giving up.
constexpr int kLockTries = 3;
// At close, how long bytes still queued for the line (a goodbye) may take
// to leave before the device's own speed is put back, ms, and how often we
// look, ms.  Bounded: a line held up by flow control never drains.
constexpr int kDrainMs = 1000;
constexpr int kDrainPollMs = 10;

// The pid a lock file names, or 0 when it names none.  Besides the ASCII
// form, the old binary one (a native int of 4 bytes) is understood.
pid_t read_lock(const std::string &path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0) return 0;
    char buf[kLockReadMax + 1];
    ssize_t n = ::read(fd.get(), buf, kLockReadMax);
    if (n <= 0) return 0;
    if (n == sizeof(int) && (buf[0] < '0' || buf[0] > '9') && buf[0] != ' ') {
        int binary;
        std::memcpy(&binary, buf, sizeof binary);
        return binary > 0 ? pid_t(binary) : 0;
    }
    buf[n] = '\0';
    char *end = nullptr;
    long pid = std::strtol(buf, &end, 10);
    if (end == buf || pid <= 0 || pid > INT_MAX) return 0;
    return pid_t(pid);
}

// Whether a process of that pid exists: one of another user that we may
// not signal (EPERM) exists too.
bool process_exists(pid_t pid) {
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

// The errnos of a lock directory that this user cannot make files in.
bool unwritable(int err) {
    return err == EACCES || err == EPERM || err == EROFS || err == ENOENT || err == ENOTDIR;
}

}  // namespace

bool serial_speed(unsigned baud, speed_t *code) {
    for (const Speed &s : kSpeeds) {
        if (s.baud == baud) {
            *code = s.code;
            return true;
        }
    }
    return false;
}

std::string serial_speeds() {
    std::string out;
    for (const Speed &s : kSpeeds) out += (out.empty() ? "" : ", ") + std::to_string(s.baud);
    return out;
}

std::string lock_name(const std::string &device) {
    std::string path = device;
    if (char *real = ::realpath(device.c_str(), nullptr)) {
        path = real;
        std::free(real);
    }
    constexpr std::string_view kDev = "/dev/";
    std::string_view rest = path;
    if (rest.starts_with(kDev)) {
        rest.remove_prefix(kDev.size());
    } else if (size_t slash = rest.rfind('/'); slash != std::string_view::npos) {
        rest.remove_prefix(slash + 1);  // a device outside /dev: its own name
    }
    std::string name = "LCK.." + std::string(rest);
    for (char &c : name)
        if (c == '/') c = '_';
    return name;
}

LockResult take_lock(const std::string &dir, const std::string &name, pid_t pid, pid_t *holder,
                     std::string *error) {
    std::string path = dir + "/" + name;
    std::string temp = dir + "/LTMP." + std::to_string(pid);
    char text[kLockPidDigits + 2];
    std::snprintf(text, sizeof text, "%*d\n", kLockPidDigits, int(pid));
    {
        Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
        if (fd.get() < 0) {
            if (unwritable(errno)) return LockResult::kUnwritable;
            *error = "cannot write a lock file in " + dir + ": " + std::strerror(errno);
            return LockResult::kFailed;
        }
        size_t len = std::strlen(text);
        if (::write(fd.get(), text, len) != ssize_t(len) || !fd.close_checked()) {
            *error = "cannot write a lock file in " + dir + ": " + std::strerror(errno);
            ::unlink(temp.c_str());
            return LockResult::kFailed;
        }
    }
    LockResult result = LockResult::kFailed;
    *error = "cannot take the lock " + path + ": it keeps changing";
    for (int i = 0; i < kLockTries; i++) {
        // link() fails when the name exists: of two takers only one wins.
        if (::link(temp.c_str(), path.c_str()) == 0) {
            result = LockResult::kTaken;
            break;
        }
        if (errno != EEXIST) {
            *error = "cannot take the lock " + path + ": " + std::strerror(errno);
            break;
        }
        pid_t other = read_lock(path);
        if (other == pid) {
            result = LockResult::kTaken;
            break;
        }
        if (other > 0 && process_exists(other)) {
            *holder = other;
            result = LockResult::kHeld;
            break;
        }
        // Stale: its process is gone (or it names none).
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            *error = "cannot remove the stale lock " + path + ": " + std::strerror(errno);
            break;
        }
    }
    ::unlink(temp.c_str());
    return result;
}

bool drop_lock(const std::string &dir, const std::string &name, pid_t pid) {
    std::string path = dir + "/" + name;
    if (read_lock(path) != pid) return false;
    return ::unlink(path.c_str()) == 0;
}

SerialPort::SerialPort(SerialLine line, std::string lock_dir)
    : line_(std::move(line)), lock_dir_(std::move(lock_dir)) {}

bool SerialPort::open(std::string *error, bool *absent) {
    close();
    *absent = false;
    const std::string &dev = line_.device;
    speed_t speed;
    if (!serial_speed(line_.baud, &speed)) {
        *error = "unsupported serial speed " + std::to_string(line_.baud);
        return false;
    }
    std::string name = lock_name(dev);
    pid_t holder = 0;
    switch (take_lock(lock_dir_, name, ::getpid(), &holder, error)) {
        case LockResult::kTaken:
            lock_ = name;
            break;
        case LockResult::kHeld:
            *error = dev + " is in use: process " + std::to_string(holder) + " holds its lock " +
                     lock_dir_ + "/" + name;
            return false;
        case LockResult::kUnwritable: {
            // TIOCEXCL still keeps other users' programs out.
            static bool told = false;
            if (!told)
                log::info("cannot write a lock file in %s: %s used without one", lock_dir_.c_str(),
                          dev.c_str());
            told = true;
            break;
        }
        case LockResult::kFailed:
            return false;
    }
    Fd fd(::open(dev.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        int err = errno;
        *absent = err == ENOENT || err == ENODEV || err == ENXIO;
        *error = "cannot open " + dev + ": " + std::strerror(err);
        if (err == EBUSY) *error += " (another program holds it for itself)";
        close();
        return false;
    }
    termios tio{};
    if (!::isatty(fd.get()) || ::tcgetattr(fd.get(), &tio) != 0) {
        *error = dev + " is no serial device: " + std::strerror(errno);
        close();
        return false;
    }
    saved_ = tio;
    ::ioctl(fd.get(), TIOCEXCL);
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD;
    // Without carrier watching, a three-wire cable (no DCD) works.
    if (line_.carrier) {
        tio.c_cflag &= ~CLOCAL;
    } else {
        tio.c_cflag |= CLOCAL;
    }
    if (line_.rtscts) tio.c_cflag |= CRTSCTS;
    if (line_.xonxoff) tio.c_iflag |= IXON | IXOFF;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    if (::tcsetattr(fd.get(), TCSANOW, &tio) != 0) {
        *error = "cannot set up " + dev + ": " + std::strerror(errno);
        ::ioctl(fd.get(), TIOCNXCL);
        close();
        return false;
    }
    restore_ = true;
    // Bytes that waited in the device came before us: no packet of ours.
    ::tcflush(fd.get(), TCIFLUSH);
    fd_ = fd.release();
    return true;
}

bool SerialPort::hung_up() const {
    if (fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) return true;
    struct stat st;
    if (::stat(line_.device.c_str(), &st) != 0) return true;
    int lines = 0;
    return line_.carrier && ::ioctl(fd_, TIOCMGET, &lines) == 0 && !(lines & TIOCM_CD);
}

void SerialPort::close() {
    if (fd_ >= 0) {
        // Settings first, then the exclusive use: the next user of the
        // device finds it as it was before us.
        int queued = 0;
        for (int waited = 0;
             waited < kDrainMs && ::ioctl(fd_, TIOCOUTQ, &queued) == 0 && queued > 0;
             waited += kDrainPollMs)
            ::usleep(kDrainPollMs * 1000);
        if (restore_) ::tcsetattr(fd_, TCSANOW, &saved_);
        ::ioctl(fd_, TIOCNXCL);
        ::close(fd_);
        fd_ = -1;
    }
    restore_ = false;
    if (!lock_.empty()) drop_lock(lock_dir_, lock_, ::getpid());
    lock_.clear();
}

}  // namespace vesk::transport
