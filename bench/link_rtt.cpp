// Round-trip time of small far requests ('F' -9) through the local veskd:
// prints count, median, 99th percentile and maximum in microseconds.
//   bench_link_rtt [COUNT]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>
#include <vector>

#include "vesknet.h"

namespace {
long long now_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}
}  // namespace

int main(int argc, char **argv) {
    int count = argc > 1 ? atoi(argv[1]) : 500;
    int fd = socket_connect_server(-1, vesk_server);
    if (fd < 0) {
        fprintf(stderr, "Vesk: %s\n", command_result);
        return 1;
    }
    std::vector<long long> rtt;
    for (int i = 0; i < count; i++) {
        long long t0 = now_us();
        if (send_command(fd, 'F', 0, "%d", -9) < 0) {
            fprintf(stderr, "request failed: %s\n", command_result);
            return 1;
        }
        rtt.push_back(now_us() - t0);
        usleep(2000);  // requests of a person, not a flood
    }
    std::sort(rtt.begin(), rtt.end());
    printf("%d requests: median %lld us, p99 %lld us, max %lld us\n", count, rtt[rtt.size() / 2],
           rtt[rtt.size() * 99 / 100], rtt.back());
    return 0;
}
