// The far veskd as a test plays it: a socketpair whose one end a Session
// takes as its link while the test writes frames into the other and reads
// back what the Session sent, and a SessionOwner that notes what it hears.
// Shared by the channel unit tests and the veskd fuzz harnesses.  Frames
// cross in the checked packets of a stdio link, through the link's own
// repair layer, so the frames the test writes are the frames veskd acts on.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

#include "arq.h"
#include "frame.h"
#include "loop.h"
#include "session.h"
#include "ends.h"

namespace farend {

// Credit the far end grants each channel unless a test asks for less, bytes.
constexpr uint32_t kWindow = 256 * 1024;

class Link {
  public:
    Link() {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds_) != 0) abort();
    }
    ~Link() {
        close(fds_[0]);
        if (fds_[1] >= 0) close(fds_[1]);
    }
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    vesk::transport::LinkEnds ends() const {
        vesk::transport::LinkEnds e;
        e.in_fd = e.out_fd = fds_[0];
        return e;
    }
    void send_hello(uint32_t window = kWindow, uint32_t version = 20305) {
        vesk::frame::Hello h;
        h.server_version = version;
        h.addr = 0x7F000001;
        h.uid = uint32_t(getuid());
        h.window = window;
        h.host = "far";
        send(vesk::frame::kHello, 0, 0, vesk::frame::encode_hello(h));
    }
    // Queues the frame and writes what the socket takes now; flush() writes
    // the rest once veskd has read.
    void send(uint8_t type, uint8_t flags, uint32_t channel, std::string_view payload = {}) {
        std::string f;
        vesk::frame::append(f, type, flags, channel, payload);
        arq_.send(f, vesk::monotonic_us(), out_);
        flush();
    }
    void flush() {
        arq_.resend_due(vesk::monotonic_us(), out_);
        arq_.ack_if_owed(out_);
        ssize_t w = 0;
        while (fds_[1] >= 0 && !out_.empty() && (w = write(fds_[1], out_.data(), out_.size())) > 0)
            out_.erase(0, size_t(w));
    }
    // The far veskd goes away: veskd sees its link end.
    void hang_up() {
        close(fds_[1]);
        fds_[1] = -1;
    }
    // Frames veskd sent since the last call (whole ones only).
    template <typename Fn>
    void receive(Fn on_frame) {
        char buf[65536];
        ssize_t r;
        while (fds_[1] >= 0 && (r = read(fds_[1], buf, sizeof buf)) > 0)
            arq_.receive(std::string_view(buf, size_t(r)), vesk::monotonic_us(), in_);
        flush();
        size_t off = 0;
        while (in_.size() - off >= vesk::frame::kHeaderBytes) {
            auto h = vesk::frame::parse_header(reinterpret_cast<const uint8_t *>(in_.data() + off));
            if (in_.size() - off < vesk::frame::kHeaderBytes + h.length) break;
            on_frame(h, std::string_view(in_).substr(off + vesk::frame::kHeaderBytes, h.length));
            off += vesk::frame::kHeaderBytes + h.length;
        }
        in_.erase(0, off);
    }

  private:
    int fds_[2];
    vesk::Arq arq_{1, 0xfa4e9d01u};
    std::string in_;
    std::string out_;
};

class Owner : public vesk::SessionOwner {
  public:
    void session_up(const vesk::frame::Hello &) override { up = true; }
    void session_down(bool was_clean, const std::string &) override {
        down = true;
        clean = was_clean;
    }
    void client_left() override {}
    bool up = false, down = false, clean = false;
};

// Runs rounds of the loop, none of them waiting.
inline void spin(vesk::Loop &loop, int rounds) {
    for (int i = 0; i < rounds; i++) {
        loop.defer([&loop] { loop.stop(); });
        loop.run();
    }
}

}  // namespace farend
