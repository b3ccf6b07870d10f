// Loopback sockets, bounded reads and forked relays that the unit tests share.
#include "testnet.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <vector>

#include "vesknet.h"

namespace testnet {

namespace {
constexpr int kFirstPort = 20000;
constexpr int kPortSpread = 20000;
constexpr int kLastPort = 65000;
constexpr int kAcceptStepMs = 20;  // how often the echo server looks at its stop flag
constexpr int kChildFdScan = 1024;
}  // namespace

int listen_any(int *port, int backlog) {
    for (int p = kFirstPort + (getpid() % kPortSpread); p < kLastPort; ++p) {
        int fd = bind_tcp_listen(p, backlog);
        if (fd >= 0) {
            *port = p;
            return fd;
        }
    }
    return -1;
}

int connect_local(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string read_upto(int fd, size_t most, int wait_ms, const char *on_silence) {
    std::string got;
    char buf[4096];
    while (got.size() < most) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, wait_ms) <= 0) return got + on_silence;
        size_t want = std::min(sizeof buf, most - got.size());
        ssize_t n = read(fd, buf, want);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

namespace {
// Calls step(left) until it has moved n bytes, retrying after signals; step
// returns what read or write returned. False at end of file or on an error.
template <typename Step>
bool move_all(size_t n, Step step) {
    while (n > 0) {
        ssize_t r = step(n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        n -= static_cast<size_t>(r);
    }
    return true;
}
}  // namespace

bool write_all(int fd, const char *p, size_t n) {
    return move_all(n, [&](size_t left) {
        ssize_t w = write(fd, p, left);
        if (w > 0) p += w;
        return w;
    });
}

bool read_exact(int fd, char *p, size_t n) {
    return move_all(n, [&](size_t left) {
        ssize_t r = read(fd, p, left);
        if (r > 0) p += r;
        return r;
    });
}

EchoServer::EchoServer(int lfd, int wait_ms)
    : thread_([this, lfd, wait_ms] {
          std::vector<std::thread> workers;
          while (!stop_) {
              pollfd p{lfd, POLLIN, 0};
              if (poll(&p, 1, kAcceptStepMs) <= 0) continue;
              int s = accept(lfd, nullptr, nullptr);
              if (s < 0) continue;
              workers.emplace_back([s, wait_ms] {
                  char buf[8192];
                  for (;;) {
                      pollfd q{s, POLLIN, 0};
                      if (poll(&q, 1, wait_ms) <= 0) break;
                      ssize_t n = read(s, buf, sizeof buf);
                      if (n <= 0 || write(s, buf, static_cast<size_t>(n)) != n) break;
                  }
                  close(s);
              });
          }
          for (auto &w : workers) w.join();
      }) {}

EchoServer::~EchoServer() {
    stop_ = true;
    thread_.join();
}

bool Forward::start(int *far_port, int backlog, int max_fds, int (*to)(int, sockaddr_in *)) {
    far = listen_any(far_port, backlog);
    int lfd = listen_any(&port, backlog);
    if (far < 0 || lfd < 0) return false;
    relay = fork();
    if (relay != 0) {
        close(lfd);
        return relay > 0;
    }
    close(far);
    if (max_fds > 0) {
        dup2(lfd, 3);
        for (int fd = 4; fd < kChildFdScan; ++fd) close(fd);
        lfd = 3;
        rlimit lim{static_cast<rlim_t>(max_fds), static_cast<rlim_t>(max_fds)};
        setrlimit(RLIMIT_NOFILE, &lim);
    }
    int fds[1] = {lfd};
    do_connect(1, fds, to);
    _exit(0);
}

Forward::~Forward() {
    if (relay > 0) {
        kill(relay, SIGKILL);
        waitpid(relay, nullptr, 0);
    }
    if (far >= 0) close(far);
}

}  // namespace testnet
