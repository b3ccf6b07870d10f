// An emulated serial line for benchmarks and tests: runs a command with its
// standard input and output joined to ours through a line in each direction
// that has a rate, a delay and seeded damage, so that it fits an exec: link:
//
//   bench_line [options] -- COMMAND [ARG...]
//
// "up" is what we read on our standard input and the command reads on its
// own; "down" is what the command writes and we write on our standard output.
// Each option sets both directions; OPTION-up / OPTION-down set one:
//
//   --rate BITS/S    line rate, 10 bits a byte as 8N1 (0, the default: unlimited)
//   --delay MS       one-way delay (default 0)
//   --ber P          probability that any one data bit is flipped
//   --burst BYTES    length of an error burst: that many bytes randomised
//   --burst-rate P   probability per byte that a burst starts there
//   --drop P         probability per byte that it is lost
//   --insert P       probability per byte that a random byte follows it
//   --outage S:LEN   from S seconds after start, for LEN seconds, the line
//                    delivers nothing (repeatable); bytes sent then are lost
//   --buffer BYTES   the transmitter's queue before the wire (default 4096);
//                    the source is read only while it has room, so a slow
//                    line holds its writer back as a tty does
//   --seed N         all damage comes from N (default 1), each direction from
//                    its own stream, placed by byte count so a run repeats
//   --capture-up FILE, --capture-down FILE
//                    FILE gets that direction's bytes as its source wrote
//                    them, before any damage: a recording of the line
//
// At the end it prints one line per direction on standard error and exits
// with the command's status (128 + signal when a signal ended it).  SIGTERM
// and SIGINT are passed to the command, the summary printed, and we exit.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>

#include "line_damage.h"
#include "line_options.h"

namespace {

constexpr double kBitsPerByte = 10;    // 8N1: start bit, 8 data bits, stop bit
constexpr int64_t kTickNs = 1000000;   // ns: the finest step of the wire; at 1 Mbit/s
                                       // it sends 100 bytes a step, not one a wake-up
constexpr int64_t kMergeNs = 1000000;  // ns: bytes due this close together leave as one write
constexpr size_t kHeldMax = 64u * 1024 * 1024;  // bytes on the wire or waiting for the reader;
                                                // past it the transmitter waits, as under CTS
constexpr size_t kIoChunk = 64 * 1024;          // bytes per read or write call

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * line::kNsPerSec + ts.tv_nsec;
}

struct Counts {
    uint64_t in = 0, out = 0, outage = 0, undelivered = 0;
};

struct Piece {
    int64_t due_ns;
    std::string bytes;
};

// One direction: a source, the transmitter's queue, the wire (bytes by
// delivery time) and a destination.
class Direction {
  public:
    Direction(const char *name, line::LineParams p, uint64_t seed, int src, int dst, int64_t start)
        : name_(name),
          p_(std::move(p)),
          damage_(p_.damage, seed),
          src_(src),
          dst_(dst),
          start_(start) {
        byte_ns_ = p_.rate > 0 ? kBitsPerByte * line::kNsPerSec / p_.rate : 0;
        delay_ns_ = int64_t(p_.delay_ms * 1e6);
        clean_ = damage_.clean() && p_.outages.empty();
        if (!p_.capture.empty()) {
            capture_ = open(p_.capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (capture_ < 0) {
                fprintf(stderr, "bench_line: %s: %s\n", p_.capture.c_str(), strerror(errno));
                exit(1);
            }
        }
    }
    ~Direction() {
        if (capture_ >= 0) close(capture_);
    }
    Direction(const Direction &) = delete;
    Direction &operator=(const Direction &) = delete;

    // The source is read only while the queue has room.
    bool wants_read() const { return src_ >= 0 && queue_.size() < p_.buffer; }
    bool wants_write() const { return dst_ >= 0 && !wire_.empty() && wire_.front().due_ns <= now_; }
    int src() const { return src_; }
    int dst() const { return dst_; }
    // Finished: the source ended and everything it sent is written or lost.
    bool done() const { return dst_ < 0; }

    void read_source(int64_t now) {
        char buf[kIoChunk];
        size_t room = p_.buffer - queue_.size();
        ssize_t n = read(src_, buf, room < sizeof buf ? room : sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
        if (n <= 0) {  // an error ends the source as its end does
            close_src();
            return;
        }
        if (queue_.empty() && wire_free_ < double(now)) wire_free_ = double(now);
        queue_.insert(queue_.end(), buf, buf + n);
        counts_.in += uint64_t(n);
        if (capture_ >= 0) record(buf, size_t(n));
    }

    // Moves every byte whose turn on the wire has come onto it; then ends the
    // destination if nothing is left.  Call before each wait.
    void step(int64_t now) {
        now_ = now;
        if (held_ < kHeldMax && !queue_.empty()) transmit(now);
        if (src_ < 0 && queue_.empty() && wire_.empty()) close_dst();
    }

    void write_destination() {
        while (!wire_.empty() && wire_.front().due_ns <= now_) {
            Piece &head = wire_.front();
            size_t len = head.bytes.size() - head_off_;
            ssize_t n = write(dst_, head.bytes.data() + head_off_, len < kIoChunk ? len : kIoChunk);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) return;
            if (n <= 0) {
                // The reader is gone: so is the line; the writer learns it
                // from its own end closing.
                abandon();
                return;
            }
            counts_.out += uint64_t(n);
            held_ -= size_t(n);
            head_off_ += size_t(n);
            if (head_off_ == head.bytes.size()) {
                wire_.pop_front();
                head_off_ = 0;
            }
        }
    }

    // The time at which this direction next has work without new input, or
    // -1 when only a descriptor can wake it.
    int64_t next_wake(int64_t now) const {
        int64_t t = -1;
        auto sooner = [&](int64_t x) { t = (t < 0 || x < t) ? x : t; };
        if (!wire_.empty() && wire_.front().due_ns > now) sooner(wire_.front().due_ns);
        if (!queue_.empty() && held_ < kHeldMax && dst_ >= 0)
            sooner(std::max(int64_t(wire_free_), now + kTickNs));
        return t;
    }

    // The command is gone: nothing more can reach it.
    void abandon() {
        counts_.undelivered += queue_.size() + held_;
        queue_.clear();
        wire_.clear();
        held_ = 0;
        head_off_ = 0;
        close_src();
        close_dst();
    }

    // Descriptors we share with whoever started us get their flags back
    // before we let go of them.
    void restore_flags(int src_flags, int dst_flags) {
        src_flags_ = src_flags;
        dst_flags_ = dst_flags;
    }

    void report() const {
        const Counts &c = counts_;
        const line::DamageCounts &d = damage_.counts();
        fprintf(stderr,
                "bench_line: %s: %llu bytes in, %llu out, %llu bits flipped, %llu bursts, "
                "%llu dropped, %llu inserted, %llu lost to outage, %llu undelivered\n",
                name_, (unsigned long long)c.in, (unsigned long long)c.out,
                (unsigned long long)d.flipped, (unsigned long long)d.bursts,
                (unsigned long long)d.dropped, (unsigned long long)d.inserted,
                (unsigned long long)c.outage,
                (unsigned long long)c.undelivered + queue_.size() + held_);
    }

  private:
    // A recording that cannot be written is no recording: stop rather than
    // leave a file that looks whole.
    void record(const char *buf, size_t n) {
        while (n > 0) {
            ssize_t w = write(capture_, buf, n);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                fprintf(stderr, "bench_line: %s: %s\n", p_.capture.c_str(), strerror(errno));
                exit(1);
            }
            buf += w;
            n -= size_t(w);
        }
    }

    void transmit(int64_t now) {
        size_t n = queue_.size();
        if (byte_ns_ > 0) {
            if (double(now) < wire_free_) return;
            double fit = std::floor((double(now) - wire_free_) / byte_ns_) + 1;
            if (fit < double(n)) n = size_t(fit);
        } else {
            wire_free_ = double(now);
        }
        std::string out;
        int64_t first_due = 0;
        for (size_t k = 0; k < n; k++) {
            double sent = wire_free_;
            wire_free_ += byte_ns_;
            int64_t due = int64_t(wire_free_) + delay_ns_;
            if (out.empty())
                first_due = due;
            else if (due - first_due > kMergeNs) {
                put(first_due, out);
                out.clear();
                first_due = due;
            }
            unsigned char c = queue_[k];
            if (clean_) {
                out.push_back(char(c));
            } else {
                damage(c, int64_t(sent), due, out);
            }
        }
        queue_.erase(queue_.begin(), queue_.begin() + std::ptrdiff_t(n));
        if (!out.empty()) put(first_due, out);
    }

    // Damages one byte sent at SENT and due at DUE; the draws are made
    // even for a byte an outage takes, so the damage follows the byte count.
    void damage(unsigned char c, int64_t sent, int64_t due, std::string &out) {
        if (in_outage(sent) || in_outage(due)) {
            std::string lost;
            damage_.apply(c, lost);
            counts_.outage++;
        } else {
            damage_.apply(c, out);
        }
    }

    bool in_outage(int64_t t) const {
        for (const line::Outage &o : p_.outages)
            if (t - start_ >= o.start_ns && t - start_ < o.end_ns) return true;
        return false;
    }

    void put(int64_t due, std::string &bytes) {
        held_ += bytes.size();
        if (!wire_.empty() && due - wire_.back().due_ns <= kMergeNs)
            wire_.back().bytes += bytes;
        else
            wire_.push_back(Piece{due, std::move(bytes)});
    }

    void close_src() {
        if (src_ < 0) return;
        if (src_flags_ >= 0) fcntl(src_, F_SETFL, src_flags_);
        close(src_);
        src_ = -1;
    }
    void close_dst() {
        if (dst_ < 0) return;
        // Our standard output may share a socket with our input: a
        // half-close tells the reader the end while the other way goes on.
        shutdown(dst_, SHUT_WR);
        if (dst_flags_ >= 0) fcntl(dst_, F_SETFL, dst_flags_);
        close(dst_);
        dst_ = -1;
    }

    const char *name_;
    line::LineParams p_;
    line::Damage damage_;
    int src_, dst_;
    int src_flags_ = -1, dst_flags_ = -1;
    int64_t start_;
    double byte_ns_ = 0;  // ns a byte takes on the wire
    int64_t delay_ns_ = 0;
    bool clean_ = true;  // no damage configured: bytes pass untouched
    int capture_ = -1;   // the recording's descriptor (--capture-up or -down), or -1
    std::deque<unsigned char> queue_;
    double wire_free_ = 0;  // ns: when the wire can start the next byte
    std::deque<Piece> wire_;
    size_t head_off_ = 0;  // bytes of the first piece already written
    size_t held_ = 0;      // bytes on the wire, not yet written
    int64_t now_ = 0;
    Counts counts_;
};

void nonblocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Starts the command with its input from *TO_CHILD and its output to
// *FROM_CHILD (our ends); returns its pid, or exits when it cannot.
pid_t spawn(char **command, const sigset_t &old_mask, int *to_child, int *from_child) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        perror("bench_line: pipe");
        exit(1);
    }
    pid_t pid = fork();
    if (pid < 0) {
        perror("bench_line: fork");
        exit(1);
    }
    if (pid == 0) {
        sigprocmask(SIG_SETMASK, &old_mask, nullptr);
        signal(SIGPIPE, SIG_DFL);
        if (dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0) _exit(127);
        execvp(command[0], command);
        fprintf(stderr, "bench_line: %s: %s\n", command[0], strerror(errno));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    *to_child = in[1];
    *from_child = out[0];
    return pid;
}

int status_of(int wstatus) {
    if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    line::Options o = line::parse(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    sigset_t mask, old_mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGCHLD);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigprocmask(SIG_BLOCK, &mask, &old_mask);
    int sigfd = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
    if (sigfd < 0) {
        perror("bench_line: signalfd");
        return 1;
    }
    int to_child, from_child;
    pid_t child = spawn(o.command, old_mask, &to_child, &from_child);
    // Our own descriptors go back as they were, for whoever shares them.
    int in_flags = fcntl(0, F_GETFL), out_flags = fcntl(1, F_GETFL);
    for (int fd : {0, 1, to_child, from_child}) nonblocking(fd);

    int64_t start = now_ns();
    Direction up("up", o.up, o.seed * 2, 0, to_child, start);
    Direction down("down", o.down, o.seed * 2 + 1, from_child, 1, start);
    up.restore_flags(in_flags, -1);
    down.restore_flags(-1, out_flags);
    Direction *dirs[] = {&up, &down};
    int status = -1;
    int caught = 0;
    while (!caught && (status < 0 || !down.done())) {
        int64_t now = now_ns();
        if (status >= 0) up.abandon();  // nothing reads the command's input now
        int64_t wake = -1;
        for (Direction *d : dirs) {
            d->step(now);
            int64_t t = d->next_wake(now);
            if (t >= 0 && (wake < 0 || t < wake)) wake = t;
        }
        if (status >= 0 && down.done()) break;
        pollfd fds[5];
        Direction *owner[5] = {};
        bool reading[5] = {};
        nfds_t n = 0;
        fds[n++] = pollfd{sigfd, POLLIN, 0};
        for (Direction *d : dirs) {
            if (d->wants_read()) {
                owner[n] = d;
                reading[n] = true;
                fds[n++] = pollfd{d->src(), POLLIN, 0};
            }
            if (d->wants_write()) {
                owner[n] = d;
                fds[n++] = pollfd{d->dst(), POLLOUT, 0};
            }
        }
        timespec ts{}, *timeout = nullptr;
        if (wake >= 0) {
            int64_t wait = wake > now ? wake - now : 0;
            ts = timespec{time_t(wait / line::kNsPerSec), long(wait % line::kNsPerSec)};
            timeout = &ts;
        }
        if (ppoll(fds, n, timeout, nullptr) < 0 && errno != EINTR) {
            perror("bench_line: poll");
            break;
        }
        now = now_ns();
        for (nfds_t k = 1; k < n; k++) {
            if (!fds[k].revents) continue;
            if (reading[k])
                owner[k]->read_source(now);
            else
                owner[k]->write_destination();
        }
        signalfd_siginfo si;
        while (read(sigfd, &si, sizeof si) == ssize_t(sizeof si)) {
            if (si.ssi_signo == SIGCHLD) {
                int ws;
                if (waitpid(child, &ws, WNOHANG) == child) status = status_of(ws);
            } else if (status < 0) {
                kill(child, int(si.ssi_signo));
                caught = int(si.ssi_signo);
            } else {
                caught = int(si.ssi_signo);
            }
        }
    }
    up.report();
    down.report();
    up.abandon();
    down.abandon();
    return caught ? 128 + caught : status;
}
