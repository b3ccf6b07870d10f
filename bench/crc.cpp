// Throughput of file_crc on a memory-backed file, and of each checksum kernel
// on data already in memory (so the cost of read(2) can be told apart).
// The target is at least 1 GB/s for file_crc.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>

#include "crc.h"
#include "vesknet.h"

namespace {
constexpr size_t kFileBytes = 512UL * 1024 * 1024;
constexpr size_t kChunkBytes = 1024 * 1024;
constexpr size_t kMemoryBytes = 64UL * 1024 * 1024;  // in-memory kernel run
constexpr int kRuns = 5;                             // median and best of this many
constexpr double kBytesPerGB = 1e9;

template <typename F>
std::vector<double> rates(size_t bytes, F run) {
    std::vector<double> out;
    for (int i = 0; i < kRuns; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        run();
        auto t1 = std::chrono::steady_clock::now();
        out.push_back(static_cast<double>(bytes) / kBytesPerGB /
                      std::chrono::duration<double>(t1 - t0).count());
    }
    std::sort(out.begin(), out.end());
    return out;
}

void report(const char *what, const std::vector<double> &r) {
    std::printf("%-22s median %.2f GB/s, best %.2f GB/s\n", what, r[r.size() / 2], r.back());
}
}  // namespace

int main() {
    const char *path = "/dev/shm/vesk_crc_bench";
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        std::perror(path);
        return 1;
    }
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[kChunkBytes]);
    for (size_t i = 0; i < kChunkBytes; ++i) chunk[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
    for (size_t done = 0; done < kFileBytes; done += kChunkBytes)
        if (write(fd, chunk.get(), kChunkBytes) != static_cast<ssize_t>(kChunkBytes)) {
            std::perror("write");
            close(fd);
            unlink(path);
            return 1;
        }
    close(fd);

    unsigned crc = 0;
    report("file_crc (512 MB)", rates(kFileBytes, [&] { crc = file_crc(path, 0); }));
    unlink(path);
    std::printf("crc=%04x\n", crc);

    std::vector<uint8_t> mem(kMemoryBytes);
    for (size_t i = 0; i < mem.size(); ++i) mem[i] = static_cast<uint8_t>(i * 13 + (i >> 11));
    volatile uint16_t sink = 0;
    report("table kernel (memory)",
           rates(mem.size(), [&] { sink = vesk::crc16_table(0xFFFF, mem.data(), mem.size()); }));
    if (vesk::crc16_clmul_available()) {
        report("clmul kernel (memory)", rates(mem.size(), [&] {
                   sink = vesk::crc16_clmul(0xFFFF, mem.data(), mem.size());
               }));
    } else {
        std::printf("clmul kernel: not available on this CPU\n");
    }
    (void)sink;
    return 0;
}
