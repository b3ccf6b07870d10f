// ByteQueue (see bytequeue.h): growth, compaction and the descriptor helpers.
#include "bytequeue.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace vesk {
namespace {
// Smallest storage a queue takes, bytes: a reply or a small request never
// makes it grow twice.
constexpr size_t kMinAlloc = 4096;
// Bytes of a read that may land beyond the storage held.
constexpr size_t kSpillBytes = 64 * 1024;
}  // namespace

bool ByteQueue::reserve(size_t n) {
    if (alloc_ - tail_ >= n) return true;
    size_t held = size();
    size_t need = held + n;  // n <= room() = cap_ - held: cannot overflow
    if (need <= alloc_ && (head_ >= held || alloc_ >= cap_)) {
        // Moving is cheap next to what was consumed, or growing is no longer
        // allowed.
        memmove(buf_.get(), buf_.get() + head_, held);
        head_ = 0;
        tail_ = held;
        return true;
    }
    size_t grown = alloc_ > cap_ / 2 ? cap_ : std::max(alloc_ * 2, kMinAlloc);
    grown = std::min(std::max(grown, need), cap_);
    std::unique_ptr<char[]> bigger(new (std::nothrow) char[grown]);
    if (!bigger) return false;
    if (held > 0) memcpy(bigger.get(), buf_.get() + head_, held);
    buf_ = std::move(bigger);
    alloc_ = grown;
    head_ = 0;
    tail_ = held;
    return true;
}

bool ByteQueue::append(const void *data, size_t n) {
    if (n > room()) return false;
    if (n == 0) return true;
    if (!reserve(n)) return false;
    memcpy(buf_.get() + tail_, data, n);
    tail_ += n;
    return true;
}

void ByteQueue::consume(size_t n) {
    if (n >= size()) {
        head_ = tail_ = 0;
        return;
    }
    head_ += n;
}

ssize_t ByteQueue::read_from(int fd, size_t max) {
    size_t n = std::min(max, room());
    if (n == 0) {
        errno = ENOBUFS;
        return -1;
    }
    // Storage grows with what arrives, not with what might: a read larger
    // than the free space spills onto the stack and is appended from there,
    // so an idle connection never holds a whole read's worth.
    char spill[kSpillBytes];
    size_t in_place = std::min(n, alloc_ - tail_);
    iovec iov[2] = {{buf_.get() + tail_, in_place}, {spill, std::min(n - in_place, kSpillBytes)}};
    ssize_t got;
    do {
        got = readv(fd, iov, 2);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return got;
    size_t first = std::min(size_t(got), in_place);
    tail_ += first;
    if (!append(spill, size_t(got) - first)) {
        errno = ENOMEM;
        return -1;
    }
    return got;
}

ssize_t write_some(int fd, const char *p, size_t n) {
    ssize_t put;
    do {
        put = send(fd, p, n, MSG_NOSIGNAL);
        if (put < 0 && errno == ENOTSOCK) put = write(fd, p, n);
    } while (put < 0 && errno == EINTR);
    return put;
}

ssize_t ByteQueue::write_to(int fd) {
    if (empty()) return 0;
    ssize_t put = write_some(fd, buf_.get() + head_, size());
    if (put > 0) consume(size_t(put));
    return put;
}

}  // namespace vesk
