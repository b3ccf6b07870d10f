// download: copies files from the far machine through the link server,
// resuming partial local copies (no write or execute bit) and checking size
// and checksum.
// The connection carries only file data after '7', so a fresh one follows
// every data phase.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include "commands.h"
#include "file_status.h"
#include "localfile.h"
#include "resume.h"
#include "run.h"
#include "tree.h"

namespace {

using namespace vesk::proto;
using namespace vesk::transfer;

struct Download : FileJob {
    Download(Run &r, const FileArg &a) : run(r), arg(a) {}
    void begin() override;
    bool middle() override;
    void end() override;
    // -u sends 'Z' only after the check: the next file's probe waits for it.
    bool overlaps() const override { return !run.remove; }

    Run &run;
    const FileArg arg;
    bool probed = false;  // the probe went out: its reply decides
    bool listed = false;  // a tree's file with no copy here: the listing stands for the probe
    Requests::Ticket probe_reply = 0;
    Requests::Ticket check_reply = 0;  // of the checksum probe after the data
    bool to_stdout = false;
    bool exists = false;
    struct stat st {};
    FileStatus probe;
    long far_size = 0;  // bytes, from the probe
    long offset = 0;    // where '7' asks the data from, then the bytes the copy holds
    long atime = 0;
    long mtime = 0;
    bool have_perms = false;
    unsigned final_perms = 0;  // from the reply to '7', given after the checks
    long phase_bytes = 0;
    int out = -1;
    bool synced = true;  // the copy's data reached the disk

    void fail() { run.status = 1; }
    // The far name requests carry: beneath the tree's top for a tree's file.
    const char *source() const { return arg.tree ? arg.tree->wire.c_str() : arg.source.c_str(); }
    // The local copy: for a changed tree file that -U replaces, the hidden
    // name beside it until the new copy is checked.
    std::string local;
    const char *target() const { return local.c_str(); }
    // Points the connection at the tree's top for a tree's file, else at no
    // tree: a plain file's name never resolves beneath one.
    void aim() { use_base(run, arg.tree ? arg.tree->base : std::string()); }
    // Exact final times: a tree's file gets the listed ones, unless the
    // file changed since it was listed (then the data's own, to the second).
    void set_times(long at, long mt, bool *failed) {
        struct timespec ts[2] = {{at, 0}, {mt, 0}};
        // Relative times cross with a second's uncertainty.
        if (arg.tree && std::llabs(arg.tree->mtime.sec - mt) <= 1) {
            ts[0] = {static_cast<time_t>(arg.tree->atime.sec), arg.tree->atime.nsec};
            ts[1] = {static_cast<time_t>(arg.tree->mtime.sec), arg.tree->mtime.nsec};
        }
        *failed = utimensat(AT_FDCWD, target(), ts, AT_SYMLINK_NOFOLLOW) != 0;
    }
    // -U: the checked copy takes the old one's place.
    bool put_in_place() {
        return !arg.tree || !arg.tree->replace || rename(target(), arg.target.c_str()) == 0;
    }
};

enum class Step { kFailed, kDone, kOpen };

// The local copy is complete and equal: it gets its final times and mode.
void finish_in_place(Download &d) {
    const bool force = d.run.force;
    const FileStatus &p = d.probe;
    // Verified complete: now, and only now, it may have its final times and mode.
    long now = time(nullptr);
    bool say = !force || verbose >= 2;
    if (force && verbose >= 2) d.msgs.put("\tSame size local and remote file");
    if (say) d.msgs.put(", checksums do match, setting mode");
    bool time_failed = false;
    d.set_times(static_cast<long>(p.atime + now), static_cast<long>(p.mtime + now), &time_failed);
    if (time_failed && say) d.msgs.put(" (time failed)");
    // An earlier run may have left the data in memory only.
    int fd = open(d.target(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    bool synced = fd >= 0 && sync_local_copy(fd);
    bool moded = fd >= 0 && fchmod(fd, p.perms) == 0;
    if (fd >= 0) close(fd);
    if ((!synced || !moded || !d.put_in_place()) && say) d.msgs.put(" (perms failed)");
    if (say) d.msgs.put("\n");
}

// The local target's state and the probe, sent without waiting.
void send_probe(Download &d) {
    d.to_stdout = d.arg.target == "-";
    if (!d.to_stdout) {
        // A tree's copy is looked at, not what a link there leads to (the
        // tree's plan removed links that stood where files go).
        auto look = [&] {
            return (d.arg.tree ? lstat(d.target(), &d.st) : stat(d.target(), &d.st)) == 0;
        };
        d.exists = look();
        if (!d.exists && recover_local_copy(d.target())) d.exists = look();
    }
    d.aim();
    // A tree's file with no copy here: the listing said all a probe would.
    d.listed = d.arg.tree && !d.exists && !d.to_stdout;
    if (d.listed) {
    } else if (d.exists && remote_vesk_version >= kFirstLongStatus)
        d.probe_reply =
            d.run.req.post('D', 0, "\n%ld\n%s", static_cast<long>(d.st.st_size), d.source());
    else
        d.probe_reply = d.run.req.post('D', 0, "%s", d.source());
    d.probed = true;
}

// The line of each skip; the same-size ones go on from the same-size line.
const char *skip_line(Reason reason) {
    switch (reason) {
        case Reason::kSourceModified:
            return "\tSkipping, the remote file has been modified\n";
        case Reason::kFinishedCopy:
            return "\tSkipping, local file has write/exec permission\n";
        case Reason::kModeFixed:
            return "\tSkipping, can't change file mode to 0600\n";
        case Reason::kCopyLarger:
            return "\tSkipping, local file is larger than remote\n";
        case Reason::kSameSizeNoChecksum:
            return ", skipping\n";
        case Reason::kSameSizeNoLocal:
            return "\n";
        case Reason::kSameSizeMismatch:
            return ", checksums do not match, skipping\n";
        case Reason::kPrefixMismatch:
            return "\tSkipping, local file differs from beginning of remote\n";
        default:
            return "";  // reasons that only upload gives
    }
}

// What the target and the probe's reply say, for the resume policy.
Copies gather(const Download &d, long now) {
    Copies c;
    c.force = d.run.force;
    c.far_version = remote_vesk_version;
    c.now = now;
    c.local_exists = d.exists;
    c.local_is_stdio = d.to_stdout;
    if (d.exists) {
        c.local_size = d.st.st_size;
        c.local_mtime = d.st.st_mtime;
        c.local_mode = d.st.st_mode & kMaxPermissionBits;
    }
    c.far_exists = true;
    c.far_readable = true;
    c.far_size = d.far_size;
    c.far_mtime = static_cast<long>(d.probe.mtime);
    c.far_mode = d.probe.perms;
    c.far_crc = d.probe.crc;
    return c;
}

// Probe reply and decision.  kOpen with d.offset set, kDone, or kFailed.
Step negotiate(Download &d) {
    if (d.arg.tree && d.exists && !S_ISREG(d.st.st_mode)) {
        if (!d.listed) d.run.req.collect(d.probe_reply);
        d.msgs.print("\tSkipped : local %s is not a regular file\n",
                     printable(d.arg.target).c_str());
        d.fail();
        return Step::kFailed;
    }
    long now = time(nullptr);
    if (d.listed) {
        const TreeFile &t = *d.arg.tree;
        d.probe = FileStatus{};
        d.probe.size = t.size;
        d.probe.type = kRegularFile;
        d.probe.atime = t.atime.sec - now;
        d.probe.mtime = t.mtime.sec - now;
        d.probe.perms = t.perms;
        d.probe.fields = kStatusFields;
    } else {
        const Reply probed = d.run.req.collect(d.probe_reply);
        if (probed.failed()) {
            d.msgs.put("\tSkipped : can't open remote file\n");
            d.fail();
            return Step::kFailed;
        }
        now = time(nullptr);
        if (parse_file_status(probed.text.c_str(), &d.probe) < 2) {
            d.msgs.print("\tSkipped : can't stat %s: %s\n", printable(d.arg.source).c_str(),
                         probed.text.c_str());
            d.fail();
            return Step::kFailed;
        }
    }
    d.far_size = static_cast<long>(d.probe.size);
    if (d.probe.type != kRegularFile) {
        d.msgs.print("\tSkipped : %s is not a regular file\n", printable(d.arg.source).c_str());
        d.fail();
        return Step::kFailed;
    }
    d.offset = 0;
    Copies c = gather(d, now);
    Decision dec = decide_download(c);
    bool said_same_size = false;
    for (;;) {
        // Printed before the checksum, which may take a while.
        if (dec.same_size && !c.force && !said_same_size) {
            d.msgs.put("\tLocal file is same size as remote");
            said_same_size = true;
        }
        if (dec.verdict == Verdict::kNeedModeCheck) {
            // The copy is made writable only when it is opened
            // (open_local_copy), so that no refusal and no kill during the
            // checksums leaves a partial copy writable.  Here it is only
            // asked whether its mode may be changed: setting the mode it
            // already has changes nothing.
            c.mode_changeable = chmod(d.target(), c.local_mode) == 0;
        } else if (dec.verdict == Verdict::kNeedChecksum) {
            c.checksum = {dec.checksum_length, file_crc(d.target(), dec.checksum_length)};
        } else {
            break;
        }
        dec = decide_download(c);
    }
    if (dec.fails) d.fail();
    if (dec.verdict == Verdict::kSkip) {
        d.msgs.put(skip_line(dec.reason));
        return Step::kFailed;
    }
    if (dec.verdict == Verdict::kFinished) {
        finish_in_place(d);
        return Step::kDone;
    }
    d.offset = dec.offset;
    if (dec.announce == Announce::kRestart)
        d.msgs.print("\tAttempting to restart download from %ld\n", d.offset);
    return Step::kOpen;
}

void open_local(Download &d) {
    if (d.to_stdout) {
        d.out = 1;
        return;
    }
    const bool nofollow = d.arg.tree.has_value();
    // Only the source's read bits while partial: a private file's copy is
    // never readable by others, not even for the length of the copy.
    const unsigned mode =
        d.probe.fields >= 6 ? partial_local_mode(d.probe.perms) : kPartialLocalMode;
    d.out = open_local_copy(d.target(), d.offset != 0, nofollow, mode);
    if (d.out < 0 && d.offset == 0 && d.run.force) {
        // -f replaces what cannot be reopened (another user's file, say).
        unlink(d.target());
        d.out = open_local_copy(d.target(), false, nofollow, mode);
    }
    // A failed open shows at the first write.
    d.run.local_fd = d.out;
}

// Sends '7' and reads its reply.  False when the file is failed.
bool request_data(Download &d) {
    d.aim();
    const Reply opened = d.run.req.call('7', 0, "%ld\n%s", d.offset, d.source());
    if (opened.failed()) {
        d.msgs.print("\tSkipped : Couldn't open remote file, %s\n", opened.text.c_str());
        d.fail();
        return false;
    }
    long now = time(nullptr);
    FileStatus st;
    // Type and access time at least (the first four fields).
    constexpr int kNeeded = 4;
    if (parse_file_status(opened.text.c_str(), &st) < kNeeded) {
        d.msgs.print("\tSkipped : can't stat %s: %s\n", printable(d.arg.source).c_str(),
                     opened.text.c_str());
        d.fail();
        d.run.req.call('2', 0, nullptr);
        // The server may already be streaming the file: only a fresh
        // connection is sure to carry commands again.
        run_reconnect(d.run, d.msgs);
        return false;
    }
    d.have_perms = st.fields >= 6;
    d.final_perms = st.perms;
    d.atime = st.atime + now;
    d.mtime = st.mtime + now;
    return true;
}

void data_phase(Download &d) {
    Run &run = d.run;
    struct timeval start = begin_data_phase(run);
    DownloadRate rate(start);
    if (verbose >= 3) {
        if (d.far_size != 0)
            d.msgs.print("\r\t%ld of %ld (0%%)   ", d.offset, d.far_size);
        else
            d.msgs.print("\r\t%ld  ", d.offset);
    }
    vesk_buff *b = &run.buf;
    do {
        if (run.read_block < 1) run.read_block = 1;
        long blk = run.read_block;
        if (verbose >= 3 && d.offset % blk != 0) blk -= d.offset % blk;
        if (blk > d.far_size - d.offset) blk = d.far_size - d.offset;
        if (static_cast<long>(b->count) < blk) {
            int r = read_into_buff(run.conn, b, static_cast<int>(blk - b->count));
            if (r < 0) break;
            if (r > 0 && static_cast<long>(b->count) < blk) continue;
        }
        if (b->count == 0) break;
        int w = write_from_buff(d.out, b, 0);
        if (w <= 0 && veskerrno != 0) {
            d.msgs.put("\tError writing to file. Aborting..\n");
            break;
        }
        if (w < 0) w = 0;
        d.phase_bytes += w;
        run.total += w;
        d.offset += w;
        if (verbose >= 3) {
            double r = rate.sample(clock_now(), w);
            run.read_block = adapt_read_block(run.read_block, r, d.offset);
            double eta = r > 0 ? static_cast<double>(d.far_size - d.offset) / r : 0;
            d.msgs.put(progress_line(d.offset, d.far_size, d.far_size != 0, r, eta).c_str());
        }
    } while (d.offset < d.far_size);
    // Bytes of this file still held (a failed write) are dropped here.
    b->start = b->end = b->count = 0;
    run_reconnect(run, d.msgs);
    if (verbose >= 2) {
        double used = 0;
        d.msgs.put(download_summary(d.phase_bytes, clock_diff(clock_now(), start), &used).c_str());
        run.phase_seconds += used;
    }
}

// Checks after the data.  Returns true when the file may be removed remotely.
bool check(Download &d) {
    if (d.to_stdout) {
        if (d.phase_bytes != d.far_size) {
            d.msgs.put("\n\tCount of bytes received is different from initial remote size!\n");
            d.fail();
            return false;
        }
        return true;
    }
    bool bad = false;
    struct stat st {};
    bool examined = stat(d.target(), &st) == 0;
    if (!examined) {
        d.msgs.put("\n\tCan't stat local file after download!\n");
        bad = true;
    }
    bool short_copy = examined && st.st_size != d.far_size;
    if (short_copy) {
        d.msgs.put("\n\tLocal file is a different size from initial remote size!\n");
        bad = true;
    }
    // The checksum is compared before the copy gets its final times and mode:
    // a copy that fails it, or whose check cannot be made, stays partial and
    // a later run resumes or replaces it.  Its line is printed after any
    // message about the times and mode, where it always stood.
    std::string crc_line;
    if (remote_vesk_version >= kFirstLongStatus) {
        const Reply checked = d.run.req.collect(d.check_reply);
        crc_line = "CRC ";
        FileStatus rs;
        if (checked.failed() || parse_file_status(checked.text.c_str(), &rs) < 0) {
            crc_line += "\n\t" + checked.text +
                        "\n\tcouldn't stat remote file after download. Please check it.\n";
            bad = true;
        } else if (rs.crc == 0) {
            crc_line += "?\n";
        } else {
            unsigned local_crc = file_crc(d.target(), examined ? st.st_size : 0);
            if (local_crc != 0 && local_crc != rs.crc) {
                crc_line += "F\n\tRemote and local file checksums don't match after upload!\n";
                bad = true;
            } else {
                crc_line += "OK\n";
            }
        }
    }
    if (!d.synced) {
        d.msgs.put("\n\tCan't write local file to disk!\n");
        bad = true;
    }
    if (!bad) {
        bool time_failed = false;
        d.set_times(d.atime, d.mtime, &time_failed);
        if (time_failed) {
            d.msgs.put("\n\tCan't set correct times on file after download!\n");
            bad = true;
        }
        if (d.have_perms && (chmod(d.target(), d.final_perms) < 0 || !d.put_in_place())) {
            d.msgs.put("\n\tCan't set permission on file after download!\n");
            bad = true;
        }
    }
    d.msgs.put(crc_line.c_str());
    if (bad) d.fail();
    return !bad;
}

void Download::begin() {
    local = arg.tree && arg.tree->replace ? replacement_name(arg.target) : arg.target;
    if (arg.too_long) {
        msgs.print("\tSkipped : local name longer than %zu bytes\n", kNameMax);
        fail();
        return;
    }
    send_probe(*this);
}

bool Download::middle() {
    if (!probed || negotiate(*this) != Step::kOpen) return false;
    open_local(*this);
    if (!request_data(*this)) return false;
    data_phase(*this);
    if (!to_stdout && out >= 0) {
        // On disk before the checks can give it its final mode; closed
        // before the next file opens anything, whose descriptor could
        // otherwise take this number.
        synced = sync_local_copy(out);
        close(out);
        run.local_fd = -1;
        out = -1;
    }
    // The checksum probe goes out on the new connection at once; the checks
    // read its reply.
    if (!to_stdout && remote_vesk_version >= kFirstLongStatus) {
        aim();
        check_reply = run.req.post('D', 0, "\n%ld\n%s", far_size, source());
    }
    return true;
}

void Download::end() {
    if (!check(*this) || !run.remove) return;
    aim();
    if (run.req.call('Z', 0, "%s", source()).failed()) {
        msgs.put("\tUnable to remove sent file\n");
        fail();
    } else {
        msgs.put("\tSent file removed.\n");
    }
}

}  // namespace

int main(int argc, char **argv) {
    // The last argument is a directory when it is one here.
    auto is_dir = [](Run &, const char *name) {
        struct stat st {};
        return stat(name, &st) == 0 && S_ISDIR(st.st_mode);
    };
    auto make = [](Run &run, const FileArg &arg) -> std::unique_ptr<FileJob> {
        return std::make_unique<Download>(run, arg);
    };
    return run_main(Program::kDownload, argc, argv, is_dir, make, download_trees);
}
