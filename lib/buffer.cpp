// Stream buffers: the public struct holds only a handle so that its layout
// stays five plain 32-bit fields, while the storage lives in a table here.
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include "buffer_internal.h"

namespace {

constexpr uint32_t kBuffMax = 256 * 1024;      // bytes; bounds memory per buffer
constexpr uint32_t kBuffInitial = 4 * 1024;    // bytes; first allocation
constexpr uint32_t kReadChunkMax = 64 * 1024;  // bytes per read call

std::mutex table_mutex;
std::vector<std::unique_ptr<uint8_t[]>> blocks;
std::vector<uint32_t> free_handles;

uint8_t *storage(const vesk_buff *b) {
    std::lock_guard<std::mutex> lock(table_mutex);
    if (b->store == 0 || b->store > blocks.size()) return nullptr;
    return blocks[b->store - 1].get();
}

// Callers may zero start/end/count at any time; count is the truth, so bring
// the offsets back in line with it before touching data.
void normalize(vesk_buff *b) {
    if (b->count == 0 || b->start >= b->end) {
        b->start = 0;
        b->end = 0;
        b->count = 0;
    } else if (b->end - b->start != b->count) {
        b->count = b->end - b->start;
    }
}

// Makes room for at least want more bytes after end; returns false when the
// cap or memory prevents it.
bool reserve(vesk_buff *b, uint32_t want) {
    normalize(b);
    if (b->size - b->end >= want && b->store != 0) return true;
    if (b->start > 0 && b->store != 0) {
        uint8_t *p = storage(b);
        std::memmove(p, p + b->start, b->count);
        b->start = 0;
        b->end = b->count;
        if (b->size - b->end >= want) return true;
    }
    uint64_t needed = static_cast<uint64_t>(b->count) + want;
    if (needed > kBuffMax) return false;
    uint32_t newsize = b->size ? b->size : kBuffInitial;
    while (newsize < needed) newsize *= 2;
    if (newsize > kBuffMax) newsize = kBuffMax;
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[newsize]);
    if (!block) return false;
    std::lock_guard<std::mutex> lock(table_mutex);
    if (b->store != 0 && b->store <= blocks.size()) {
        std::memcpy(block.get(), blocks[b->store - 1].get() + b->start, b->count);
        blocks[b->store - 1] = std::move(block);
    } else if (!free_handles.empty()) {
        b->store = free_handles.back();
        free_handles.pop_back();
        blocks[b->store - 1] = std::move(block);
    } else {
        blocks.push_back(std::move(block));
        b->store = static_cast<uint32_t>(blocks.size());
    }
    b->start = 0;
    b->end = b->count;
    b->size = newsize;
    return true;
}

uint32_t free_space(vesk_buff *b) {
    normalize(b);
    return kBuffMax - b->count;
}

void drop_front(vesk_buff *b, uint32_t n) {
    b->start += n;
    b->count -= n;
    normalize(b);
}

}  // namespace

namespace vesk {
void buffer_release(vesk_buff *b) {
    if (b->store != 0) {
        std::lock_guard<std::mutex> lock(table_mutex);
        if (b->store <= blocks.size()) {
            blocks[b->store - 1].reset();
            free_handles.push_back(b->store);
        }
    }
    *b = vesk_buff{};
}
}  // namespace vesk

int add_to_buffer(vesk_buff *b, int byte) {
    if (!reserve(b, 1)) return -1;
    storage(b)[b->end++] = static_cast<uint8_t>(byte);
    ++b->count;
    return 0;
}

int get_from_buffer(vesk_buff *b) {
    normalize(b);
    if (b->count == 0) return -1;
    int byte = storage(b)[b->start];
    drop_front(b, 1);
    return byte;
}

int read_into_buff(int fd, vesk_buff *b, int max) {
    uint32_t want = free_space(b);
    if (want > kReadChunkMax) want = kReadChunkMax;
    if (max > 0 && static_cast<uint32_t>(max) < want) want = static_cast<uint32_t>(max);
    veskerrno = 0;
    if (want == 0 || !reserve(b, want)) return 0;
    uint8_t *p = storage(b);
    ssize_t got;
    do {
        got = read(fd, p + b->end, want);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        veskerrno = errno;
        return -1;
    }
    if (got == 0) {
        veskerrno = 1;
        return 0;
    }
    b->end += static_cast<uint32_t>(got);
    b->count += static_cast<uint32_t>(got);
    return static_cast<int>(got);
}

int write_from_buff(int fd, vesk_buff *b, int max) {
    normalize(b);
    veskerrno = 0;
    uint32_t todo = b->count;
    if (max > 0 && static_cast<uint32_t>(max) < todo) todo = static_cast<uint32_t>(max);
    int done = 0;
    while (todo > 0) {
        ssize_t put = write(fd, storage(b) + b->start, todo);
        if (put < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) veskerrno = errno;
            break;
        }
        if (put == 0) break;
        drop_front(b, static_cast<uint32_t>(put));
        todo -= static_cast<uint32_t>(put);
        done += static_cast<int>(put);
    }
    return done;
}

int write_from_buff_async(int fd, vesk_buff *b, int max) {
    normalize(b);
    veskerrno = 0;
    uint32_t todo = b->count;
    if (max > 0 && static_cast<uint32_t>(max) < todo) todo = static_cast<uint32_t>(max);
    if (todo == 0) return 0;
    // send() first: on the usual socket that is the only system call, and a
    // peer that has gone must not raise SIGPIPE; anything else is written.
    ssize_t put;
    do {
        put = send(fd, storage(b) + b->start, todo, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (put < 0 && errno == ENOTSOCK) put = write(fd, storage(b) + b->start, todo);
    } while (put < 0 && errno == EINTR);
    if (put < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) veskerrno = errno;
        return 0;
    }
    drop_front(b, static_cast<uint32_t>(put));
    return static_cast<int>(put);
}
