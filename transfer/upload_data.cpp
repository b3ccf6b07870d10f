// upload's data phase (upload.h): the source read ahead into the run's
// buffer and written to the link server as a dump ('l'), in pieces, with
// the progress line at each report point.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "upload.h"

namespace vesk::upload {

namespace {

using namespace vesk::transfer;

constexpr uint32_t kReadAhead = 4096;  // bytes buffered from the source before each write
// Bytes per data write: the local link server frames what it forwards in
// pieces of this size, so larger writes would only be split again.
constexpr int kPieceMax = 509;
// Full writes follow each other without waiting until this many bytes have
// gone since the last report point; then upload waits for writability.
constexpr long kWaitAfter = 65536;  // bytes
// The connection's send buffer while the link's pace is unknown, bytes: what
// the kernel holds is written but not yet taken by the link server, and on
// a slow line a default buffer (some 200 KB) would show a copy as sent
// minutes before it is.  Once the data phase has moved kFastBytes within
// kFastUs the link is fast and the buffer goes back to its size.
constexpr int kSlowSendBuffer = 4096;
constexpr long kFastBytes = 256 * 1024;
constexpr long long kFastUs = 100 * 1000;

void wait_fd(int fd, bool for_write) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    while (select(fd + 1, for_write ? nullptr : &set, for_write ? &set : nullptr, nullptr,
                  nullptr) < 0 &&
           errno == EINTR) {
        FD_ZERO(&set);
        FD_SET(fd, &set);
    }
}

// The connection's send buffer during data phases: small until the link
// proves fast (over all the phases of the run so far), then as it was.
class SendBuffer {
  public:
    explicit SendBuffer(int fd) : fd_(fd) {
        if (proven_fast_) return;
        socklen_t len = sizeof was_;
        small_ =
            getsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &was_, &len) == 0 &&
            setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &kSlowSendBuffer, sizeof kSlowSendBuffer) == 0;
    }
    ~SendBuffer() { restore(); }
    SendBuffer(const SendBuffer &) = delete;
    SendBuffer &operator=(const SendBuffer &) = delete;
    // The phase has moved bytes in us so far.
    void moved(long bytes, long long us) {
        total_bytes_ += bytes - bytes_;
        total_us_ += us - us_;
        bytes_ = bytes;
        us_ = us;
        if (total_bytes_ >= kFastBytes && total_us_ < kFastUs * (total_bytes_ / kFastBytes)) {
            proven_fast_ = true;
            restore();
        }
    }

  private:
    void restore() {
        // The kernel reports twice what was asked for: halve it back.
        int size = was_ / 2;
        if (small_) setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        small_ = false;
    }
    static inline bool proven_fast_ = false;
    static inline long total_bytes_ = 0;
    static inline long long total_us_ = 0;
    int fd_;
    int was_ = 0;
    bool small_ = false;
    long bytes_ = 0;
    long long us_ = 0;
};

// Fills the buffer to the read-ahead mark.  Returns false on a read error.
bool fill(Upload &u) {
    vesk_buff *b = &u.run.buf;
    while (b->count < kReadAhead) {
        int r = read_into_buff(u.src.fd, b, 0);
        if (r < 0) return false;
        if (r > 0) continue;
        // 0 with veskerrno clear: a non-blocking source with nothing yet; wait
        // for it rather than take it as the end of the file.
        if (veskerrno == 0 && b->count == 0) {
            wait_fd(u.src.fd, false);
            continue;
        }
        break;
    }
    return true;
}

// Where a data phase stands between two writes.
struct Dump {
    long since = 0;            // bytes since the last report point
    long left = 0;             // bytes the dump that 'l' started still takes
    bool nonblocking = false;  // the connection is switched to non-blocking
    bool broken = false;       // the 'l' exchange failed: the socket's state is unknown
};

// What comes after one write of the data phase.
enum class Piece { kFailed, kNext, kReport };

// Starts a dump of what the buffer holds when none is running, and writes
// the next piece of it.  kNext: write again at once; kReport: a report
// point is due; kFailed: the phase ends on an error.  Exits with status 1
// when the link server cannot be written to.
Piece write_piece(Upload &u, Dump &d) {
    Run &run = u.run;
    vesk_buff *b = &run.buf;
    if (d.left < 0) {
        u.msgs.print("\tAborted, dumpsize %ld < 0\n", d.left);
        run.status = 1;
        return Piece::kFailed;
    }
    if (d.left == 0) {
        int held = static_cast<int>(b->count);
        d.nonblocking = false;  // the command exchange left it blocking
        const Reply dump = run.req.call('l', 1, "%d", held);
        if (dump.failed()) {
            u.msgs.print("\tAborted, couldn't turn off command processing, %s\n",
                         dump.text.c_str());
            run.status = 1;
            d.broken = true;
            return Piece::kFailed;
        }
        d.left = held;
    }
    if (!d.nonblocking) {
        set_nonblock(run.conn);
        d.nonblocking = true;
    }
    veskerrno = 0;
    int n = d.left < kPieceMax ? static_cast<int>(d.left) : kPieceMax;
    int w = write_from_buff_async(run.conn, b, n);
    if (w <= 0 && veskerrno != 0) {
        u.msgs.put("\tError writing to vesk server. Exiting..\n");
        exit(1);
    }
    if (w < 0) w = 0;
    u.phase_bytes += w;
    run.total += w;
    u.offset += w;
    d.since += w;
    d.left -= w;
    if (w == n && d.since < kWaitAfter) return Piece::kNext;
    if (w == 0 && d.since == 0) {
        // Nothing went and there is nothing to report: wait instead of
        // spinning on a full socket.
        set_block(run.conn);
        d.nonblocking = false;
        wait_fd(run.conn, true);
        return Piece::kNext;
    }
    return Piece::kReport;
}

// A report point: the clock is read, and at -vvv the progress line shows
// the bytes written since the last one.
void report_point(Upload &u, UploadRate &rate, long since) {
    struct timeval now = clock_now();
    u.now = now.tv_sec;
    if (verbose >= 3 && (u.src.is_stdin || u.src.size > 0)) {
        double r = rate.sample(now, u.phase_bytes, since);
        double eta =
            r > 0 ? static_cast<double>(u.src.size - u.offset + rate.first_second()) / r : 0;
        u.msgs.put(progress_line(u.offset, u.src.size, !u.src.is_stdin, r, eta).c_str());
        fflush(stderr);
    }
}

}  // namespace

bool data_phase(Upload &u) {
    Run &run = u.run;
    vesk_buff *b = &run.buf;
    struct timeval start = begin_data_phase(run);
    UploadRate rate(start);
    SendBuffer sndbuf(run.conn);
    Dump d;
    bool done = false;
    bool ok = true;

    for (;;) {
        if (!fill(u)) {
            ok = false;
            break;
        }
        if (b->count == 0) done = true;
        if (!done) {
            const Piece next = write_piece(u, d);
            if (next == Piece::kFailed) {
                ok = false;
                break;
            }
            if (next == Piece::kNext) continue;
        }
        report_point(u, rate, d.since);
        sndbuf.moved(u.phase_bytes, static_cast<long long>(clock_diff(clock_now(), start) * 1e6));
        // Every report point starts a new count, printed or not, so that
        // full writes follow each other without a wait at any verbosity.
        d.since = 0;
        if (done) break;
        set_block(run.conn);
        d.nonblocking = false;
        wait_fd(run.conn, true);
    }
    if (d.nonblocking) set_block(run.conn);
    if (!ok && (d.left != 0 || d.broken)) {
        // The local link server may still count the next bytes as file data;
        // a fresh connection guarantees no finishing command is taken as data.
        run_reconnect(run, u.msgs);
    }
    if (verbose >= 2)
        u.msgs.put(upload_summary(u.phase_bytes, clock_diff(clock_now(), start)).c_str());
    u.tick();
    return ok;
}

}  // namespace vesk::upload
