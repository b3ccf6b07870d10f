// upload: copies local files to the far machine through the link server,
// resuming partial remote copies (mode 0400) and checking size and checksum.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "commands.h"
#include "file_status.h"
#include "resume.h"
#include "run.h"
#include "tree.h"
#include "upload.h"

namespace {

using namespace vesk::proto;
using namespace vesk::transfer;
using namespace vesk::upload;

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

}  // namespace

namespace vesk::upload {

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

}  // namespace vesk::upload

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
