// upload: copies local files to the far machine through the link server,
// resuming partial remote copies (mode 0400) and checking size and checksum.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include "commands.h"
#include "file_status.h"
#include "resume.h"
#include "run.h"
#include "tree.h"

namespace {

using namespace vesk::proto;
using vesk::proto::Stamp;
using namespace vesk::transfer;

constexpr uint32_t kReadAhead = 4096;  // bytes buffered from the source before each write
// Bytes per data write: the local link server frames what it forwards in
// pieces of this size, so larger writes would only be split again.
constexpr int kPieceMax = 509;
// Full writes follow each other without waiting until this many bytes have
// gone since the last report point; then upload waits for writability.
constexpr long kWaitAfter = 65536;  // bytes

struct Source {
    int fd = -1;
    bool is_stdin = false;
    unsigned perms = 0;
    long atime = 0;
    long mtime = 0;
    Stamp atime_exact, mtime_exact;
    long size = 0;
};

// One file's state through negotiation, data phase and finish.
struct Upload : FileJob {
    Upload(Run &r, const FileArg &a) : run(r), arg(a) {}
    Run &run;
    const FileArg arg;
    Source src;
    bool probed = false;  // the probe went out: its reply decides
    Requests::Ticket probe_reply = 0;
    // A tree's new file: its '6' goes out with its first request, ahead of
    // the last replies of the file before.
    bool open_posted = false;
    Requests::Ticket open_reply = 0;
    Requests::Ticket flush_reply = 0;  // of the empty 'F' after 'M'
    Requests::Ticket check_reply = 0;  // of the probe after the data
    Reply probe_answer;                // the probe's reply, once collected
    bool complete = false;             // the data phase reached the source's end
    long offset = 0;                   // where '1' resumes, then the bytes the far copy holds
    long now = 0;                      // seconds of the latest clock reading
    long phase_bytes = 0;

    void begin() override;
    bool middle() override;
    void end() override;

    void fail() { run.status = 1; }
    // The far name requests carry: beneath the tree's top for a tree's file
    // (under the hidden name while a changed copy is replaced).
    std::string far;
    const char *far_name() const { return far.c_str(); }
    // Points the connection at the tree's top for a tree's file, else at no
    // tree: a plain file's name never resolves beneath one.
    void aim() { use_base(run, arg.tree ? arg.tree->base : std::string()); }
    // time(), not the finer clock: a link server reads time() for the times
    // it sends and applies, and time() may lag the finer clock by a tick, so
    // a mix of the two could set the far copy's mtime a second early.
    void tick() { now = time(nullptr); }
    long relative(long t) const { return t == 0 ? 0 : t - now; }
};

enum class Step { kNext, kFailed, kOpen, kDone };

Requests::Ticket probe(Upload &u) {
    u.aim();
    if (remote_vesk_version >= kFirstLongStatus)
        return u.run.req.post('D', 0, "\n%ld\n%s", 0L, u.far_name());
    return u.run.req.post('D', 0, "%s", u.far_name());
}

void send_final_mode(Upload &u) {
    u.aim();
    if (u.arg.tree) {
        // Exact times, and the link-proof request of trees; a replacement
        // then takes the old copy's place.
        u.run.req.post('P', 0, "%o %s %s\n%s", u.src.perms, stamp_text(u.src.mtime_exact).c_str(),
                       stamp_text(u.src.atime_exact).c_str(), u.far_name());
        if (u.arg.tree->replace)
            u.run.req.post('R', 0, "%s\n%s", u.far_name(), u.arg.tree->wire.c_str());
        return;
    }
    u.run.req.post('O', 0, "%o %ld %ld\n%s", u.src.perms, u.relative(u.src.atime),
                   u.relative(u.src.mtime), u.far_name());
}

// Marks the remote copy unfinished again after a check failed, so that it
// never claims to be complete while differing from the source.
void revoke_final_mode(Upload &u) {
    u.run.req.post('O', 0, "%o %ld %ld\n%s", kPartialMode, 0L, 0L, u.far_name());
}

Step open_source(Upload &u) {
    const std::string &name = u.arg.source;
    if (name == "-") {
        ++u.run.stdin_count;
        if (u.run.stdin_count > 1) {
            u.msgs.put("\tSkipped : can only take input from stdin once\n");
            u.fail();
            return Step::kFailed;
        }
        u.src.fd = 0;
        u.src.is_stdin = true;
        mode_t mask = umask(0);
        umask(mask);
        u.src.perms = 0666 & ~mask;
        u.run.local_fd = 0;
        return Step::kOpen;
    }
    // A tree's file is read only if it is still the file the walk saw: one
    // swapped for a link since would send what lies outside the tree.
    u.src.fd = open(name.c_str(), O_RDONLY | O_CLOEXEC | (u.arg.tree ? O_NOFOLLOW : 0));
    if (u.src.fd < 0) {
        u.msgs.put("\tSkipped : can't open local file\n");
        u.fail();
        return Step::kFailed;
    }
    u.run.local_fd = u.src.fd;
    struct stat st {};
    if (fstat(u.src.fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        u.msgs.put("\tSkipping directory.\n");
        return Step::kNext;
    }
    if (u.arg.tree &&
        (!S_ISREG(st.st_mode) || st.st_dev != u.arg.tree->dev || st.st_ino != u.arg.tree->ino)) {
        u.msgs.put("\tSkipped : the local file was replaced since the tree was read\n");
        u.fail();
        return Step::kFailed;
    }
    u.src.atime_exact = Stamp{static_cast<long long>(st.st_atim.tv_sec), st.st_atim.tv_nsec};
    u.src.mtime_exact = Stamp{static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec};
    u.src.perms = st.st_mode & 0777;
    u.src.atime = st.st_atime;
    u.src.mtime = st.st_mtime;
    u.src.size = st.st_size;
    return Step::kOpen;
}

// The line of each skip; the same-size ones go on from the same-size line.
// kFarUnreadable has its own, with the reply in it.
const char *skip_line(Reason reason) {
    switch (reason) {
        case Reason::kStdinResume:
            return "\tCannot resume from stdin\n";
        case Reason::kFinishedCopy:
            return "\tSkipping, remote file has write/execute permission\n";
        case Reason::kSourceModified:
            return "\tSkipping, the local file has been modified\n";
        case Reason::kSameSizeNoChecksum:
            return ", skipping\n";
        case Reason::kSameSizeMismatch:
            return ", checksums do not match, skipping\n";
        case Reason::kCopyLarger:
            return "\tSkipping, remote file is larger than local\n";
        case Reason::kPrefixMismatch:
            return "\tSkipping, remote file differs from beginning of local\n";
        default:
            return "";  // reasons that only download gives
    }
}

// What the probe's reply and the source say, for the resume policy.
// Collects the probe into u.probe_answer; reads the clock when it was
// answered.
Copies gather(Upload &u) {
    Copies c;
    c.force = u.run.force;
    c.far_version = remote_vesk_version;
    c.local_exists = true;
    c.local_is_stdio = u.src.is_stdin;
    c.local_size = u.src.size;
    c.local_mtime = u.src.mtime;
    c.local_mode = u.src.perms;
    // A tree's file the listing did not find has no probe out.
    const bool absent = u.arg.tree && u.arg.tree->absent;
    if (!absent) u.probe_answer = u.run.req.collect(u.probe_reply);
    c.far_exists = !absent && !u.probe_answer.failed();
    if (!c.far_exists) return c;
    u.tick();
    c.now = u.now;
    // A reply with a number out of its range is no answer at all: nothing is
    // decided on it.  Fields it lacks are 0.
    FileStatus st;
    c.far_readable = parse_file_status(u.probe_answer.text.c_str(), &st) >= 0;
    c.far_size = static_cast<long>(st.size);
    c.far_mtime = static_cast<long>(st.mtime);
    c.far_mode = st.perms;
    c.far_crc = st.crc;
    return c;
}

// The copies are equal: the far copy gets its final mode and times.
void finish_in_place(Upload &u) {
    const bool force = u.run.force;
    if (force && verbose >= 2) u.msgs.put("\tSame size local and remote file");
    if (!force) u.msgs.put(", checksums do match");
    send_final_mode(u);
    if (!force || verbose >= 2) u.msgs.put(", setting file mode\n");
}

// Probe reply and decision.  kOpen with u.offset set, kDone (finished
// without data), kFailed (skipped).
Step negotiate(Upload &u) {
    u.offset = 0;
    Copies c = gather(u);
    Decision d = decide_upload(c);
    bool said_same_size = false;
    for (;;) {
        // Printed before the checksum, which may take a while.
        if (d.same_size && !c.force && !said_same_size) {
            u.msgs.put("\tRemote file is same size as local");
            said_same_size = true;
        }
        if (d.verdict != Verdict::kNeedChecksum) break;
        c.checksum = {d.checksum_length, file_crc(u.arg.source.c_str(), d.checksum_length)};
        d = decide_upload(c);
    }
    if (d.fails) u.fail();
    if (d.verdict == Verdict::kSkip) {
        if (d.reason == Reason::kFarUnreadable)
            u.msgs.print("\tSkipped : can't stat %s: %s\n", printable(u.arg.target).c_str(),
                         u.probe_answer.text.c_str());
        else
            u.msgs.put(skip_line(d.reason));
        return Step::kFailed;
    }
    if (d.verdict == Verdict::kFinished) {
        finish_in_place(u);
        return Step::kDone;
    }
    u.offset = d.offset;
    if (d.announce == Announce::kRestart)
        u.msgs.print("\tAttempting to restart upload from %ld\n", u.offset);
    else if (d.announce == Announce::kOverwrite)
        u.msgs.put("\tWarning, overwriting file on remote host\n");
    return Step::kOpen;
}

bool open_remote(Upload &u) {
    u.aim();
    const char *target = u.far_name();
    const bool modern = remote_vesk_version >= kFirstOpenWithMode;
    if (u.offset != 0) {
        const Reply opened =
            modern ? u.run.req.call('1', 0, "%ld %o\n%s", u.offset, kPartialMode, target)
                   : u.run.req.call('1', 0, "%s", target);
        if (opened.failed()) {
            u.msgs.print("\tSkipped : Couldn't open remote file, %s\n", opened.text.c_str());
            u.fail();
            return false;
        }
        if (!modern) {
            const Reply sought = u.run.req.call('E', 0, "%ld", u.offset);
            if (sought.failed()) {
                u.msgs.print("\tSkipped, remote seek failed, %s\n", sought.text.c_str());
                u.fail();
                return false;
            }
        }
        if (lseek(u.src.fd, u.offset, SEEK_SET) < 0) {
            u.msgs.print("\tSkipped, local seek failed, Reason given: %s\n", strerror(errno));
            u.fail();
            return false;
        }
        return true;
    }
    const Reply opened = u.open_posted ? u.run.req.collect(u.open_reply)
                         : modern      ? u.run.req.call('6', 0, "0 %o\n%s", kPartialMode, target)
                                       : u.run.req.call('6', 0, "%s", target);
    if (opened.failed()) {
        u.msgs.print("\tSkipped : Couldn't open remote file, %s\n", opened.text.c_str());
        u.fail();
        return false;
    }
    return true;
}

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

// The data phase.  Returns true when it ended at the end of the source,
// false when it ended on an error (the finish still runs).
bool data_phase(Upload &u) {
    Run &run = u.run;
    vesk_buff *b = &run.buf;
    struct timeval start = begin_data_phase(run);
    UploadRate rate(start);
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

// The closing requests, back to back: 'M', the empty 'F', the final mode
// and times, and the probe the checks read.  None of their replies changes
// what is sent, so none is waited for here.
void send_closing(Upload &u) {
    Run &run = u.run;
    run.req.post('M', 0, nullptr);
    u.flush_reply = run.req.post(0, 0, nullptr);
    // After an aborted data phase the copy stays at mode 0400: resumable, and
    // never mistaken for a finished file.  A tree's copy gets its mode only
    // after the check (finish): a source that changed meanwhile never
    // leaves a torn copy at its finished mode, even for a moment.
    if (u.complete && !u.arg.tree) send_final_mode(u);
    u.check_reply = probe(u);
    if (remote_vesk_version >= kFirstLongStatus) u.msgs.put("CRC ");
}

// Reads the closing replies and checks the copy.
void finish(Upload &u) {
    Run &run = u.run;
    const bool complete = u.complete;
    run.req.collect(u.flush_reply);
    const Reply checked = run.req.collect(u.check_reply);
    if (checked.failed()) {
        u.msgs.print("\n\t%s", checked.text.c_str());
        u.msgs.put("\n\tcouldn't stat remote file after upload. Please check it.\n");
        u.fail();
        return;
    }
    FileStatus st;
    if (parse_file_status(checked.text.c_str(), &st) < 0) {
        u.msgs.print("\n\t%s", checked.text.c_str());
        u.msgs.put("\n\tcouldn't stat remote file after upload. Please check it.\n");
        if (complete && !u.arg.tree) revoke_final_mode(u);
        u.fail();
        return;
    }
    const long rsize = st.size;
    const unsigned far_crc = st.crc;
    long local = u.src.is_stdin ? u.phase_bytes : u.src.size;
    if (rsize != local) {
        u.msgs.print(
            "F\n\tRemote file is a different size from local after upload!\n\t(r=%ld,l=%ld)\n",
            rsize, local);
        if (complete && !u.arg.tree) revoke_final_mode(u);
        u.fail();
        return;
    }
    if (u.src.is_stdin) {
        u.msgs.put("\n");
        return;
    }
    if (far_crc != 0) {
        unsigned local_crc = file_crc(u.arg.source.c_str(), u.src.size);
        if (local_crc != 0 && local_crc != far_crc) {
            u.msgs.put("F\n\tRemote and local file checksums don't match after upload!\n");
            if (complete && !u.arg.tree) revoke_final_mode(u);
            u.fail();
            return;
        }
        u.msgs.put("OK");
    }
    if (complete && u.arg.tree) send_final_mode(u);
    if (!run.remove) {
        u.msgs.put("\n");
    } else if (unlink(u.arg.source.c_str()) == 0) {
        u.msgs.put("\n\tSent file removed.\n");
    } else {
        u.msgs.put("\n\tUnable to remove sent file\n");
        u.fail();
    }
}

void Upload::begin() {
    tick();
    far = !arg.tree           ? arg.target
          : arg.tree->replace ? replacement_name(arg.tree->wire)
                              : arg.tree->wire;
    if (arg.too_long) {
        msgs.print("\tSkipped : remote name longer than %zu bytes\n", kNameMax);
        fail();
        return;
    }
    if (open_source(*this) != Step::kOpen) return;
    if (!arg.tree || !arg.tree->absent) {
        probe_reply = probe(*this);
    } else {
        // Nothing there to decide on: the copy starts afresh, so it is
        // opened now, a round trip sooner.
        aim();
        open_reply = run.req.post('6', 0, "0 %o\n%s", kPartialMode, far_name());
        open_posted = true;
    }
    probed = true;
}

bool Upload::middle() {
    if (!probed) return false;
    if (negotiate(*this) != Step::kOpen) return false;
    if (!open_remote(*this)) return false;
    complete = data_phase(*this);
    send_closing(*this);
    return true;
}

void Upload::end() {
    finish(*this);
}

}  // namespace

int main(int argc, char **argv) {
    // The last argument is a directory when the far end says so.
    auto is_dir = [](Run &run, const char *name) {
        const Reply probed = run.req.call('D', 0, "%s", name);
        FileStatus st;
        return !probed.failed() && parse_file_status(probed.text.c_str(), &st) >= 2 &&
               st.type == kDirectory;
    };
    auto make = [](Run &run, const FileArg &arg) -> std::unique_ptr<FileJob> {
        return std::make_unique<Upload>(run, arg);
    };
    return run_main(Program::kUpload, argc, argv, is_dir, make, upload_trees);
}
