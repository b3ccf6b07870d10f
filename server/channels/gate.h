// veskd's client socket across links: it is made when the first link comes
// up and stays until veskd ends.  The Gate accepts the clients that may use
// it and hands them on; the Desk answers them while no link is up.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <sys/socket.h>
#include <unordered_map>

#include "loop.h"

namespace vesk {

class Gate {
  public:
    // Takes an accepted client's descriptor (non-blocking, close-on-exec).
    using Handler = std::function<void(int fd, const ucred &cred)>;

    // share: the socket's share mode (0 private, 1 group, 2 user), which
    // decides who may connect; path: where sockdir::prepare put it.
    Gate(Loop &loop, int share, std::string path, Handler handler);
    ~Gate() { close(); }
    Gate(const Gate &) = delete;
    Gate &operator=(const Gate &) = delete;

    // Makes the socket and starts accepting.  Returns false with a reason.
    bool open(std::string *error);
    bool is_open() const { return fd_ >= 0; }
    // Closes the socket and removes it, if open() made it.
    void close();
    const std::string &path() const { return path_; }
    // Accepting stops while descriptors run out; this starts it again.
    void resume();

  private:
    void accept_clients();

    Loop &loop_;
    int share_;
    std::string path_;
    Handler handler_;
    int fd_ = -1;
    bool paused_ = false;
};

// Clients that connect while the link is down: each request that expects a
// reply gets a failure with the reason, and then the connection ends, so
// that the client's handshake fails with that text.
class Desk {
  public:
    explicit Desk(Loop &loop) : loop_(loop) {}
    ~Desk() { close_all(); }
    Desk(const Desk &) = delete;
    Desk &operator=(const Desk &) = delete;

    // The text every request is refused with.
    void set_reason(std::string text) { reason_ = std::move(text); }
    // What answers a status request meanwhile (json: one JSON object).
    void set_status(std::function<std::string(bool json)> status) { status_ = std::move(status); }
    // Takes a client's descriptor.
    void take(int fd);
    void close_all();

  private:
    void on_readable(int fd);
    void drop(int fd);

    Loop &loop_;
    std::string reason_;
    std::function<std::string(bool json)> status_;
    std::unordered_map<int, std::string> waiting_;  // descriptor, bytes of its request
};

}  // namespace vesk
