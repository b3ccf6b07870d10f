// Loopback sockets, bounded reads and forked relays that the unit tests share.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <thread>

struct sockaddr_in;

namespace testnet {

constexpr int kWaitMs = 10000;  // how long a test waits for a peer before it fails

// Binds a loopback-reachable TCP listener through the library, probing upwards
// from a per-process base. Returns the descriptor and sets *port, or -1.
int listen_any(int *port, int backlog);

// Returns a socket connected to 127.0.0.1:port, or -1.
int connect_local(int port);

// Reads until EOF, until `most` bytes came, or until wait_ms of silence.
// Returns what came, with `on_silence` appended when silence ended the read,
// so that a hung peer shows in a comparison instead of hanging the test.
std::string read_upto(int fd, size_t most, int wait_ms, const char *on_silence = "");

// Writes all n bytes at p, retrying after signals; returns false when a write fails.
bool write_all(int fd, const char *p, size_t n);
inline bool write_all(int fd, const std::string &data) {
    return write_all(fd, data.data(), data.size());
}

// Reads exactly n bytes into p, retrying after signals; returns false at end
// of file or on an error.
bool read_exact(int fd, char *p, size_t n);

// Closes every descriptor of fds.
inline void close_all(std::initializer_list<int> fds) {
    for (int fd : fds) close(fd);
}

// Echoes every connection accepted on lfd, one thread each, until destroyed.
class EchoServer {
  public:
    EchoServer(int lfd, int wait_ms);
    ~EchoServer();

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A far listener and a forwarder to it: do_connect runs in a forked child
// that is killed with the object; clients connect to `port`, the relay's
// connections arrive at `far`.
struct Forward {
    int far = -1;
    int port = 0;
    pid_t relay = -1;
    // Binds both listeners (the far one's port in *far_port, where `to` finds
    // it) and forks the relay; max_fds > 0 caps the child's descriptors, soft
    // and hard, after closing everything it does not need. Returns false when
    // a step failed.
    bool start(int *far_port, int backlog, int max_fds, int (*to)(int index, sockaddr_in *peer));
    ~Forward();
};

}  // namespace testnet
