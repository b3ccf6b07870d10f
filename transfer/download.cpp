// download: copies files from the far machine through the link server,
// resuming partial local copies (mode 0444) and checking size and checksum.
// The connection carries only file data after '7', so a fresh one follows
// every data phase.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include "run.h"

namespace {

using namespace vesk::transfer;

constexpr unsigned long kLongProbeVersion = 20164;  // 'D' takes "\nN\nname"
constexpr unsigned kPartialMode = 0444;             // local copy while data is owed
constexpr unsigned kResumeMode = 0600;              // writable while resuming
constexpr unsigned kFreshMode = 0666;
constexpr unsigned kFinishedBits = 0333;  // any of these: a finished copy

struct Download {
    Download(Run &r, const FileArg &a) : run(r), arg(a) {}
    Run &run;
    const FileArg &arg;
    bool to_stdout = false;
    bool exists = false;
    struct stat st {};
    std::string probe_reply;
    long Z = 0;  // remote size
    long Tm = 0;
    unsigned C = 0;
    long D = 0;  // offset, then current offset
    long atime = 0;
    long mtime = 0;
    bool have_perms = false;
    unsigned P = 0;
    long phase_bytes = 0;
    int out = -1;

    void fail() { run.status = 1; }
    const char *source() const { return arg.source.c_str(); }
    const char *target() const { return arg.target.c_str(); }
};

enum class Step { kFailed, kDone, kOpen };

void reconnect(Run &run) {
    close(run.conn);
    run.conn = socket_connect_server(-1, vesk_server);
    if (run.conn < 0) {
        fprintf(stderr, "Vesk: %s\n", command_result);
        exit(1);
    }
}

// The local copy has the remote size: finished, or the checksum decides.
Step same_size(Download &d) {
    const bool F = d.run.force;
    // With -f the copy is made afresh; without, the file is skipped with
    // the reason, which ends the line.
    auto fresh_or_skip = [&](const char *reason) {
        if (F) {
            d.D = 0;
            return Step::kOpen;
        }
        fputs(reason, stderr);
        fputs("\n", stderr);
        d.fail();
        return Step::kFailed;
    };
    if (!F) fputs("\tLocal file is same size as remote", stderr);
    if (remote_vesk_version < kLongProbeVersion) return fresh_or_skip(", skipping");
    long rat = 0, rmt = 0;
    unsigned perms = 0, C = 0;
    sscanf(d.probe_reply.c_str(), "%*d %*d %*d %ld %ld %o %u", &rat, &rmt, &perms, &C);
    if (C == 0) return fresh_or_skip(", skipping");
    unsigned K = file_crc(d.target(), d.st.st_size);
    if (K == 0) {
        if (F) return Step::kOpen;  // nothing left to receive; the checks still run
        fputs("\n", stderr);
        d.fail();
        return Step::kFailed;
    }
    if (K != C) return fresh_or_skip(", checksums do not match, skipping");
    long now = time(nullptr);
    struct utimbuf times {};
    times.actime = rat + now;
    times.modtime = rmt + now;
    bool say = !F || verbose >= 2;
    if (F && verbose >= 2) fputs("\tSame size local and remote file", stderr);
    if (say) fputs(", checksums do match, setting mode", stderr);
    if (utime(d.target(), &times) < 0 && say) fputs(" (time failed)", stderr);
    if (chmod(d.target(), perms & 07777) < 0 && say) fputs(" (perms failed)", stderr);
    if (say) fputs("\n", stderr);
    if (!F) d.fail();
    return Step::kDone;
}

// Probe and decision.  kOpen with d.D set, kDone, or kFailed.
Step negotiate(Download &d) {
    const bool F = d.run.force;
    d.to_stdout = d.arg.target == "-";
    if (!d.to_stdout) d.exists = stat(d.target(), &d.st) == 0;
    int rc;
    if (d.exists && remote_vesk_version >= kLongProbeVersion)
        rc = send_command(d.run.conn, 'D', 0, "\n%ld\n%s", static_cast<long>(d.st.st_size),
                          d.source());
    else
        rc = send_command(d.run.conn, 'D', 0, "%s", d.source());
    if (rc < 0) {
        fputs("\tSkipped : can't open remote file\n", stderr);
        d.fail();
        return Step::kFailed;
    }
    long now = time(nullptr);
    d.probe_reply = command_result;
    int type = -1;
    unsigned mode = 0;
    if (sscanf(command_result, "%ld %d %*d %*d %ld %o %u", &d.Z, &type, &d.Tm, &mode, &d.C) < 2) {
        fprintf(stderr, "\tSkipped : can't stat %s: %s\n", d.source(), command_result);
        d.fail();
        return Step::kFailed;
    }
    if (type != 0) {
        fprintf(stderr, "\tSkipped : %s is not a regular file\n", d.source());
        d.fail();
        return Step::kFailed;
    }
    d.D = 0;
    if (d.to_stdout || !d.exists) return Step::kOpen;
    d.D = d.st.st_size;
    if (F && remote_vesk_version < kLongProbeVersion) {
        d.D = 0;
        return Step::kOpen;
    }
    if (d.Tm != 0 && d.st.st_mtime < d.Tm + now) {
        if (!F) {
            fputs("\tSkipping, the remote file has been modified\n", stderr);
            d.fail();
            return Step::kFailed;
        }
        d.D = 0;
    }
    bool skip_chmod = false;
    if ((d.D != 0 || !F) && (d.st.st_mode & kFinishedBits)) {
        if (!F) {
            fputs("\tSkipping, local file has write/exec permission\n", stderr);
            d.fail();
            return Step::kFailed;
        }
        if (d.D != d.Z) d.D = 0;
        skip_chmod = true;
    }
    if (!skip_chmod && (d.D != 0 || !F) && chmod(d.target(), kResumeMode) < 0) {
        if (!F) {
            fputs("\tSkipping, can't change file mode to 0600\n", stderr);
            d.fail();
            return Step::kFailed;
        }
        d.D = 0;
    }
    if (d.D != 0 && d.Z < d.D) {
        if (!F) {
            fputs("\tSkipping, local file is larger than remote\n", stderr);
            d.fail();
            return Step::kFailed;
        }
        d.D = 0;
    }
    if ((d.D != 0 || !F) && d.Z == d.D) {
        Step s = same_size(d);
        if (s != Step::kOpen) return s;
    }
    // Resume check.
    if (d.D != 0 && remote_vesk_version >= kLongProbeVersion && d.C != 0) {
        unsigned K = file_crc(d.target(), d.D);
        if (K != 0 && K != d.C) {
            if (!F) {
                fputs("\tSkipping, local file differs from beginning of remote\n", stderr);
                d.fail();
                return Step::kFailed;
            }
            d.D = 0;
        }
    }
    if (d.D != 0 || !F) fprintf(stderr, "\tAttempting to restart download from %ld\n", d.D);
    return Step::kOpen;
}

void open_local(Download &d) {
    if (d.to_stdout) {
        d.out = 1;
        return;
    }
    const bool F = d.run.force;
    constexpr int kFresh = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    if (d.D != 0) {
        d.out = open(d.target(), O_WRONLY | O_APPEND | O_CLOEXEC);
    } else if (!F) {
        d.out = open(d.target(), kFresh, kFreshMode);
    } else if (chmod(d.target(), kFreshMode) == 0) {
        d.out = open(d.target(), kFresh, kFreshMode);
    } else {
        d.out = open(d.target(), kFresh, kFreshMode);
        if (d.out < 0) {
            unlink(d.target());
            d.out = open(d.target(), kFresh, kFreshMode);
        }
    }
    d.run.local_fd = d.out;
    chmod(d.target(), kPartialMode);
}

// Sends '7' and reads its reply.  False when the file is failed.
bool request_data(Download &d) {
    if (send_command(d.run.conn, '7', 0, "%ld\n%s", d.D, d.source()) < 0) {
        fprintf(stderr, "\tSkipped : Couldn't open remote file, %s\n", command_result);
        d.fail();
        return false;
    }
    long now = time(nullptr);
    int type = 0;
    unsigned perms = 0;
    int n = sscanf(command_result, "%*d %d %*d %ld %ld %o", &type, &d.atime, &d.mtime, &perms);
    if (n < 2) {
        fprintf(stderr, "\tSkipped : can't stat %s: %s\n", d.source(), command_result);
        d.fail();
        send_command(d.run.conn, '2', 0, nullptr);
        // The server may already be streaming the file: only a fresh
        // connection is sure to carry commands again.
        reconnect(d.run);
        return false;
    }
    d.have_perms = n >= 4;
    d.P = perms;
    d.atime += now;
    d.mtime += now;
    return true;
}

void data_phase(Download &d) {
    Run &run = d.run;
    vesk_buff *b = &run.buf;
    struct timeval start = begin_data_phase(run);
    DownloadRate rate;
    rate.begin(start);
    d.phase_bytes = 0;
    if (verbose >= 3) {
        if (d.Z != 0)
            fprintf(stderr, "\r\t%ld of %ld (0%%)   ", d.D, d.Z);
        else
            fprintf(stderr, "\r\t%ld  ", d.D);
    }
    do {
        if (run.read_block < 1) run.read_block = 1;
        long blk = run.read_block;
        if (verbose >= 3 && d.D % blk != 0) blk -= d.D % blk;
        if (blk > d.Z - d.D) blk = d.Z - d.D;
        if (static_cast<long>(b->count) < blk) {
            int r = read_into_buff(run.conn, b, static_cast<int>(blk - b->count));
            if (r < 0) break;
            if (r > 0 && static_cast<long>(b->count) < blk) continue;
        }
        if (b->count == 0) break;
        int w = write_from_buff(d.out, b, 0);
        if (w <= 0 && veskerrno != 0) {
            fputs("\tError writing to file. Aborting..\n", stderr);
            break;
        }
        if (w < 0) w = 0;
        d.phase_bytes += w;
        run.total += w;
        d.D += w;
        if (verbose >= 3) {
            double r = rate.sample(clock_now(), w);
            run.read_block = adapt_read_block(run.read_block, r, d.D);
            double eta = r > 0 ? static_cast<double>(d.Z - d.D) / r : 0;
            fputs(progress_line(d.D, d.Z, d.Z != 0, r, eta).c_str(), stderr);
        }
    } while (d.D < d.Z);
    // Bytes of this file still held (a failed write) are dropped here.
    b->start = b->end = b->count = 0;
    reconnect(run);
    if (verbose >= 2) {
        double used = 0;
        fputs(download_summary(d.phase_bytes, clock_diff(clock_now(), start), &used).c_str(),
              stderr);
        run.phase_seconds += used;
    }
}

// Checks after the data.  Returns true when the file may be removed remotely.
bool check(Download &d) {
    if (d.to_stdout) {
        if (d.phase_bytes != d.Z) {
            fputs("\n\tCount of bytes received is different from initial remote size!\n", stderr);
            d.fail();
            return false;
        }
        return true;
    }
    if (d.out >= 0) {
        close(d.out);
        d.run.local_fd = -1;
        d.out = -1;
    }
    bool bad = false;
    struct stat st {};
    bool examined = stat(d.target(), &st) == 0;
    if (!examined) {
        fputs("\n\tCan't stat local file after download!\n", stderr);
        bad = true;
    }
    bool short_copy = examined && st.st_size != d.Z;
    if (short_copy) {
        fputs("\n\tLocal file is a different size from initial remote size!\n", stderr);
        bad = true;
    }
    // A copy of the wrong size keeps mode 0444 and its own times: resumable,
    // and never taken for a finished file.
    if (!short_copy) {
        struct utimbuf times {};
        times.actime = d.atime;
        times.modtime = d.mtime;
        if (utime(d.target(), &times) < 0) {
            fputs("\n\tCan't set correct times on file after download!\n", stderr);
            bad = true;
        }
        if (d.have_perms && chmod(d.target(), d.P & 07777) < 0) {
            fputs("\n\tCan't set permission on file after download!\n", stderr);
            bad = true;
        }
    }
    if (remote_vesk_version >= kLongProbeVersion) {
        int rc = send_command(d.run.conn, 'D', 0, "\n%ld\n%s", d.Z, d.source());
        fputs("CRC ", stderr);
        if (rc >= 0) {
            unsigned C = 0;
            sscanf(command_result, "%*d %*d %*d %*d %*d %*o %u", &C);
            if (C == 0) {
                fputs("?\n", stderr);
            } else {
                unsigned K = file_crc(d.target(), examined ? st.st_size : 0);
                if (K != 0 && K != C) {
                    fputs("F\n\tRemote and local file checksums don't match after upload!\n",
                          stderr);
                    // Back to unfinished: the copy differs from its source.
                    chmod(d.target(), kPartialMode);
                    bad = true;
                } else {
                    fputs("OK\n", stderr);
                }
            }
        }
    }
    if (bad) d.fail();
    return !bad;
}

void download_file(Run &run, const FileArg &arg) {
    Download d(run, arg);
    if (arg.too_long) {
        fprintf(stderr, "\tSkipped : local name longer than %zu bytes\n", kNameMax);
        d.fail();
        return;
    }
    if (negotiate(d) != Step::kOpen) return;
    open_local(d);
    if (!request_data(d)) return;
    data_phase(d);
    if (!check(d)) return;
    if (!run.remove) return;
    if (send_command(run.conn, 'Z', 0, "%s", d.source()) < 0) {
        fputs("\tUnable to remove sent file\n", stderr);
        d.fail();
    } else {
        fputs("\tSent file removed.\n", stderr);
    }
}

}  // namespace

int main(int argc, char **argv) {
    Run run;
    run_defaults(run, Program::kDownload);
    int i = run_options(run, argc, argv);
    run_connect(run);
    int last = argc;
    struct stat st {};
    bool is_dir = stat(argv[last - 1], &st) == 0 && S_ISDIR(st.st_mode);
    run_take_directory(run, &last, argv, is_dir);
    while (i < last) {
        if (run.local_fd > 1) {
            close(run.local_fd);
            run.local_fd = -1;
        }
        FileArg arg = next_file_arg(run, last, argv, &i);
        print_file_line(run, arg);
        download_file(run, arg);
    }
    return run_finish(run);
}
