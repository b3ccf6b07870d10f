// upload's one file (upload.cpp): its state through negotiation, data
// phase and finish, and the data phase (upload_data.cpp).  Internal to the
// upload program.
#pragma once

#include <ctime>
#include <string>

#include "listing.h"
#include "requests.h"
#include "run.h"

namespace vesk::upload {

using proto::Stamp;
using transfer::FileArg;
using transfer::FileJob;
using transfer::Reply;
using transfer::Requests;
using transfer::Run;
using transfer::use_base;

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

// The data phase.  Returns true when it ended at the end of the source,
// false when it ended on an error (the finish still runs).
bool data_phase(Upload &u);

}  // namespace vesk::upload
