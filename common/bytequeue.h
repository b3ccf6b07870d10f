// ByteQueue: the byte buffer behind every stream direction, with a hard cap.
// Internal to the library and veskd; never installed.
#ifndef VESK_BYTEQUEUE_H
#define VESK_BYTEQUEUE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <sys/types.h>

namespace vesk {

// One send(2) (write(2) when fd is no socket) of n bytes at p, without
// SIGPIPE; EINTR is retried.  Returns what the call returned: the count
// written, or -1 with errno set (EAGAIN when fd would block).
ssize_t write_some(int fd, const char *p, size_t n);

// Bytes in arrival order.  Storage grows on demand up to the cap and never
// beyond it; what was consumed is reclaimed by moving the held bytes to the
// front in one block, and only once at least as many bytes are free there as
// would move, so each byte is moved a bounded number of times.
class ByteQueue {
  public:
    explicit ByteQueue(size_t cap) : cap_(cap) {}
    ByteQueue(const ByteQueue &) = delete;
    ByteQueue &operator=(const ByteQueue &) = delete;

    size_t size() const { return tail_ - head_; }
    bool empty() const { return tail_ == head_; }
    size_t cap() const { return cap_; }
    // Bytes that may still be appended.
    size_t room() const { return cap_ - size(); }

    // Appends all n bytes.  Returns true, or false with nothing appended when
    // the size would pass the cap (or memory runs out).
    bool append(const void *data, size_t n);
    bool append(std::string_view bytes) { return append(bytes.data(), bytes.size()); }
    // The held bytes, oldest first; valid until the next change.
    std::string_view peek() const { return {buf_.get() + head_, size()}; }
    // Drops the n oldest bytes (all of them when n is larger).
    void consume(size_t n);
    void clear() { head_ = tail_ = 0; }

    // One read of at most max bytes (and at most room() and 64 KiB beyond
    // the storage already held) appended at the end; EINTR is retried.
    // Returns what the read returned: the count appended (> 0), 0 at end of
    // file, -1 with errno set (EAGAIN when nothing is there yet; ENOBUFS,
    // without a read, when the queue is full; ENOMEM when storage could not
    // grow for what was read, which is then lost: end the stream).
    ssize_t read_from(int fd, size_t max = SIZE_MAX);
    // One send(2) (write(2) when fd is no socket) of the held bytes, without
    // SIGPIPE; EINTR is retried.  Returns the count written (> 0), which is
    // consumed; 0 when the queue is empty (no call made); -1 with errno set
    // (EAGAIN when fd would block, EPIPE when its reader is gone).
    ssize_t write_to(int fd);

  private:
    // Makes n bytes free after the held ones; n <= room().  False when memory
    // runs out.
    bool reserve(size_t n);

    std::unique_ptr<char[]> buf_;
    size_t alloc_ = 0;  // bytes of storage
    size_t head_ = 0;   // offset of the oldest byte held
    size_t tail_ = 0;   // offset after the newest
    size_t cap_;
};

}  // namespace vesk

#endif
