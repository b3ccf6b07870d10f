// A TCP relay that delays every byte by a fixed time, to emulate a long link
// where the kernel has no netem (the rate comes from tbf on a veth pair):
//
//   bench_delay_link LISTEN_ADDR LISTEN_PORT TARGET_ADDR TARGET_PORT DELAY_MS
//
// Every accepted connection gets its own connection to the target; bytes
// wait DELAY_MS in each direction, so a round trip through it takes twice
// that.  Bytes are read as they come and written when due: a delay line, not
// a buffer that holds the sender back, so the senders' own windows decide
// how much is in flight.  It runs until killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Bytes read per system call: large, so that a 1 Gbit/s stream costs few
// calls; the delay is coarser than this at any rate worth emulating.
constexpr size_t kChunkBytes = 256 * 1024;
// Bytes one direction may hold before its reader pauses: well above the
// 12.5 MB that 1 Gbit/s holds over 100 ms, so only a runaway sender meets it.
constexpr size_t kHeldMax = 256u * 1024 * 1024;

struct Piece {
    Clock::time_point due;
    std::vector<char> bytes;  // empty: the source ended
};

// One direction of one connection: a reader queues pieces stamped with
// their due time, a writer sends each when it is due.
class Direction {
  public:
    Direction(int from, int to, Clock::duration delay) : from_(from), to_(to), delay_(delay) {}

    void read_side() {
        for (;;) {
            std::vector<char> buf(kChunkBytes);
            ssize_t n = read(from_, buf.data(), buf.size());
            if (n < 0 && errno == EINTR) continue;
            buf.resize(n > 0 ? size_t(n) : 0);
            std::unique_lock<std::mutex> lock(mu_);
            room_.wait(lock, [&] { return held_ < kHeldMax; });
            held_ += buf.size();
            queue_.push_back(Piece{Clock::now() + delay_, std::move(buf)});
            ready_.notify_one();
            if (n <= 0) return;
        }
    }

    void write_side() {
        for (;;) {
            Piece p;
            {
                std::unique_lock<std::mutex> lock(mu_);
                ready_.wait(lock, [&] { return !queue_.empty(); });
                p = std::move(queue_.front());
                queue_.pop_front();
            }
            std::this_thread::sleep_until(p.due);
            if (p.bytes.empty()) {
                shutdown(to_, SHUT_WR);
                return;
            }
            size_t off = 0;
            while (off < p.bytes.size()) {
                ssize_t w = send(to_, p.bytes.data() + off, p.bytes.size() - off, MSG_NOSIGNAL);
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) {
                    // The far side is gone: end the source too, and let a
                    // reader waiting for room go.
                    shutdown(from_, SHUT_RDWR);
                    std::lock_guard<std::mutex> lock(mu_);
                    held_ = 0;
                    room_.notify_one();
                    return;
                }
                off += size_t(w);
            }
            std::lock_guard<std::mutex> lock(mu_);
            held_ -= p.bytes.size();
            room_.notify_one();
        }
    }

  private:
    int from_, to_;
    Clock::duration delay_;
    std::mutex mu_;
    std::condition_variable ready_, room_;
    std::deque<Piece> queue_;
    size_t held_ = 0;
};

sockaddr_in address(const char *host, const char *port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(atoi(port)));
    if (inet_pton(AF_INET, host, &sa.sin_addr) != 1) {
        fprintf(stderr, "bench_delay_link: bad address %s\n", host);
        exit(2);
    }
    return sa;
}

void no_delay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void serve(int client, sockaddr_in target, Clock::duration delay) {
    int far = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (far < 0 || connect(far, reinterpret_cast<sockaddr *>(&target), sizeof target) != 0) {
        perror("bench_delay_link: connect");
        close(client);
        if (far >= 0) close(far);
        return;
    }
    no_delay(client);
    no_delay(far);
    auto up = std::make_shared<Direction>(client, far, delay);
    auto down = std::make_shared<Direction>(far, client, delay);
    std::vector<std::thread> threads;
    threads.emplace_back([up] { up->read_side(); });
    threads.emplace_back([up] { up->write_side(); });
    threads.emplace_back([down] { down->read_side(); });
    threads.emplace_back([down] { down->write_side(); });
    for (auto &t : threads) t.join();
    close(client);
    close(far);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 6) {
        fprintf(stderr,
                "usage: bench_delay_link LISTEN_ADDR LISTEN_PORT TARGET_ADDR TARGET_PORT "
                "DELAY_MS\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    sockaddr_in here = address(argv[1], argv[2]);
    sockaddr_in target = address(argv[3], argv[4]);
    auto delay = std::chrono::microseconds(long(atof(argv[5]) * 1000));
    int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (ls < 0 || bind(ls, reinterpret_cast<sockaddr *>(&here), sizeof here) != 0 ||
        listen(ls, 16) != 0) {
        perror("bench_delay_link: listen");
        return 1;
    }
    for (;;) {
        int c = accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
            if (errno == EINTR) continue;
            perror("bench_delay_link: accept");
            return 1;
        }
        std::thread(serve, c, target, delay).detach();
    }
}
