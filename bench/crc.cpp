// Throughput of file_crc on a memory-backed file.
#include <chrono>
#include <cstdio>
#include <memory>
#include <unistd.h>
#include <fcntl.h>

#include "vesknet.h"

namespace {
constexpr size_t kFileBytes = 512UL * 1024 * 1024;
constexpr size_t kChunkBytes = 1024 * 1024;
constexpr double kBytesPerGB = 1e9;
}  // namespace

int main() {
    const char *path = "/dev/shm/vesk_crc_bench";
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        std::perror(path);
        return 1;
    }
    std::unique_ptr<unsigned char[]> chunk(new unsigned char[kChunkBytes]);
    for (size_t i = 0; i < kChunkBytes; ++i)
        chunk[i] = static_cast<unsigned char>(i * 7 + (i >> 9));
    for (size_t done = 0; done < kFileBytes; done += kChunkBytes)
        if (write(fd, chunk.get(), kChunkBytes) != static_cast<ssize_t>(kChunkBytes)) {
            std::perror("write");
            close(fd);
            unlink(path);
            return 1;
        }
    close(fd);
    auto t0 = std::chrono::steady_clock::now();
    unsigned crc = file_crc(path, 0);
    auto t1 = std::chrono::steady_clock::now();
    double secs = std::chrono::duration<double>(t1 - t0).count();
    std::printf("crc=%04x %.2f GB/s\n", crc, kFileBytes / kBytesPerGB / secs);
    unlink(path);
    return 0;
}
