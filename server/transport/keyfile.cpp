// Key files of TCP links: made from the system's random numbers, read only
// when nobody but their owner can read or change them.
#include "keyfile.h"
#include "descriptors.h"
#include "fd.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/rand.h>

namespace vesk::keyfile {
namespace {

constexpr mode_t kFileMode = 0600;
constexpr mode_t kDirMode = 0700;
constexpr mode_t kGroupOther = S_IRWXG | S_IRWXO;

std::string octal(mode_t mode) {
    char buf[8];
    snprintf(buf, sizeof buf, "%04o", unsigned(mode & 07777));
    return buf;
}

// mkdir -p of the directories above path, each new one private.
bool make_parents(const std::string &path, std::string *error) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        std::string dir = path.substr(0, slash);
        if (::mkdir(dir.c_str(), kDirMode) != 0 && errno != EEXIST) {
            *error = "cannot create " + dir + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

}  // namespace

bool load(const std::string &path, std::string *key, std::string *error) {
    const std::string what = "key file " + path;
    // O_NOFOLLOW: a link could lead anywhere, also to a file another user
    // may swap.  O_NONBLOCK: a FIFO must not hang the start.
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    if (fd.get() < 0) {
        *error = errno == ELOOP ? what + " is a symbolic link; name the file itself"
                                : what + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        *error = what + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = what + " is not a regular file";
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        *error = what + " belongs to another user (uid " + std::to_string(st.st_uid) + ")";
        return false;
    }
    if ((st.st_mode & kGroupOther) != 0) {
        *error =
            what + " is open to group or others (mode " + octal(st.st_mode) + "); chmod 600 it";
        return false;
    }
    if ((st.st_mode & S_IRUSR) == 0) {
        *error =
            what + " is not readable by its owner (mode " + octal(st.st_mode) + "); chmod 600 it";
        return false;
    }
    if (st.st_size < static_cast<off_t>(kMinBytes)) {
        *error = what + " is too short: " + std::to_string(st.st_size) + " bytes, at least " +
                 std::to_string(kMinBytes) + " (veskd --genkey FILE makes one)";
        return false;
    }
    if (st.st_size > static_cast<off_t>(kMaxBytes)) {
        *error = what + " is larger than " + std::to_string(kMaxBytes) + " bytes";
        return false;
    }
    std::string data(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    while (got < data.size()) {
        ssize_t r = ::read(fd.get(), data.data() + got, data.size() - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            OPENSSL_cleanse(data.data(), data.size());
            *error = what + ": " + std::strerror(errno);
            return false;
        }
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    if (got != data.size()) {
        OPENSSL_cleanse(data.data(), data.size());
        *error = what + " changed while it was read";
        return false;
    }
    *key = std::move(data);
    return true;
}

bool generate(const std::string &path, std::string *error) {
    const std::string what = "key file " + path;
    if (path.empty()) {
        *error = "no key file named";
        return false;
    }
    if (!make_parents(path, error)) return false;
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode));
    if (fd.get() < 0) {
        *error = errno == EEXIST ? what + " exists already; not overwriting it"
                                 : "cannot create " + what + ": " + std::strerror(errno);
        return false;
    }
    uint8_t bytes[kGeneratedBytes];
    bool ok = RAND_bytes(bytes, sizeof bytes) == 1;
    if (!ok) *error = "no random numbers for " + what;
    // The umask may have taken bits away, never given any: set it exactly.
    if (ok && (::fchmod(fd.get(), kFileMode) != 0 || !write_all(fd.get(), bytes, sizeof bytes) ||
               ::fsync(fd.get()) != 0)) {
        ok = false;
        *error = "cannot write " + what + ": " + std::strerror(errno);
    }
    OPENSSL_cleanse(bytes, sizeof bytes);
    if (!fd.close_checked() && ok) {
        ok = false;
        *error = "cannot write " + what + ": " + std::strerror(errno);
    }
    if (!ok) ::unlink(path.c_str());
    return ok;
}

}  // namespace vesk::keyfile
