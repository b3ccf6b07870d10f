// The resume policy as one table: each row is a file's two copies, seen as
// source and partial copy so that most rows hold for both directions, and
// the decision once every question it asks is answered.
#include <gtest/gtest.h>

#include "commands.h"
#include "resume.h"

namespace {

using namespace vesk::transfer;
using vesk::proto::kFirstLongStatus;

constexpr long kNow = 1000000;  // seconds
constexpr unsigned long kOld = kFirstLongStatus - 1;
constexpr unsigned kCrc = 4242;  // both ends' checksum where they agree

struct Want {
    Verdict verdict = Verdict::kCopy;
    long offset = 0;
    Announce announce = Announce::kNothing;
    Reason reason = Reason::kNone;
    bool same_size = false;
    bool fails = false;
    bool forced = false;  // restarted by -f: upload warns, download says nothing
};

Want resume(long offset, bool same = false) {
    return {Verdict::kCopy, offset, Announce::kRestart, Reason::kNone, same};
}
Want silent_fresh() {
    return {};
}
Want forced_fresh(bool same = false) {
    return {Verdict::kCopy, 0, Announce::kNothing, Reason::kNone, same, false, true};
}
Want skip(Reason reason, bool same = false) {
    return {Verdict::kSkip, 0, Announce::kNothing, reason, same, true};
}
Want finished(bool fails) {
    return {Verdict::kFinished, 0, Announce::kNothing, Reason::kNone, true, fails};
}

enum Dirs { kBoth, kUp, kDown };

struct Row {
    const char *name;
    Dirs dirs = kBoth;
    bool force = false;
    unsigned long far_version = kFirstLongStatus;
    bool stdio = false;  // "-" as the upload's source or the download's target
    bool copy_exists = true;
    bool readable = true;  // upload: the probe's reply
    long source_size = 1000;
    long copy_size = 400;
    unsigned copy_mode = 0444;
    bool source_newer = false;
    unsigned far_crc = kCrc;
    unsigned local_crc = kCrc;  // what file_crc gives, whatever the length
    bool mode_ok = true;        // download: chmod of the local copy works
    Want want;
    long asked = -1;  // the checksum length asked for last; -1: none
};

const Row kRows[] = {
    {.name = "partial copy resumes", .want = resume(400), .asked = 400},
    {.name = "no copy: afresh, silent", .copy_exists = false, .want = silent_fresh()},
    {.name = "empty copy restarts from 0", .copy_size = 0, .want = resume(0)},
    {.name = "empty copy, -f", .force = true, .copy_size = 0, .want = forced_fresh()},
    {.name = "far gives no checksum", .far_crc = 0, .want = resume(400)},
    {.name = "local checksum fails", .local_crc = 0, .want = resume(400), .asked = 400},
    {.name = "prefix differs", .local_crc = 7, .want = skip(Reason::kPrefixMismatch), .asked = 400},
    {.name = "prefix differs, -f",
     .force = true,
     .local_crc = 7,
     .want = forced_fresh(),
     .asked = 400},
    {.name = "copy larger", .copy_size = 2000, .want = skip(Reason::kCopyLarger)},
    {.name = "copy larger, -f", .force = true, .copy_size = 2000, .want = forced_fresh()},
    {.name = "finished copy", .copy_mode = 0644, .want = skip(Reason::kFinishedCopy)},
    {.name = "finished copy, -f", .force = true, .copy_mode = 0644, .want = forced_fresh()},
    {.name = "finished equal copy, -f",
     .force = true,
     .copy_size = 1000,
     .copy_mode = 0644,
     .want = finished(false),
     .asked = 1000},
    {.name = "source modified", .source_newer = true, .want = skip(Reason::kSourceModified)},
    {.name = "source modified, -f", .force = true, .source_newer = true, .want = forced_fresh()},
    {.name = "same size, checksums differ",
     .copy_size = 1000,
     .local_crc = 7,
     .want = skip(Reason::kSameSizeMismatch, true),
     .asked = 1000},
    {.name = "same size, checksums differ, -f",
     .force = true,
     .copy_size = 1000,
     .local_crc = 7,
     .want = forced_fresh(true),
     .asked = 1000},
    {.name = "same size, no far checksum",
     .copy_size = 1000,
     .far_crc = 0,
     .want = skip(Reason::kSameSizeNoChecksum, true)},
    {.name = "same size, no far checksum, -f",
     .force = true,
     .copy_size = 1000,
     .far_crc = 0,
     .want = forced_fresh(true)},
    {.name = "old far, -f", .force = true, .far_version = kOld, .want = forced_fresh()},
    {.name = "old far, -f, finished copy",
     .force = true,
     .far_version = kOld,
     .copy_mode = 0755,
     .want = forced_fresh()},

    // Upload only.
    {.name = "equal copy", .dirs = kUp, .copy_size = 1000, .want = finished(false), .asked = 1000},
    {.name = "same size, local checksum fails",
     .dirs = kUp,
     .copy_size = 1000,
     .local_crc = 0,
     .want = resume(1000, true),
     .asked = 1000},
    {.name = "finished copy before modified source",
     .dirs = kUp,
     .copy_mode = 0644,
     .source_newer = true,
     .want = skip(Reason::kFinishedCopy)},
    {.name = "old far compares the prefix",
     .dirs = kUp,
     .far_version = kOld,
     .local_crc = 7,
     .want = skip(Reason::kPrefixMismatch),
     .asked = 400},
    {.name = "stdin, copy exists", .dirs = kUp, .stdio = true, .want = skip(Reason::kStdinResume)},
    {.name = "stdin, copy exists, -f",
     .dirs = kUp,
     .force = true,
     .stdio = true,
     .want = forced_fresh()},
    {.name = "stdin, no copy",
     .dirs = kUp,
     .stdio = true,
     .copy_exists = false,
     .want = silent_fresh()},
    {.name = "unreadable reply",
     .dirs = kUp,
     .readable = false,
     .want = skip(Reason::kFarUnreadable)},

    // Download only.
    {.name = "equal copy still fails",
     .dirs = kDown,
     .copy_size = 1000,
     .want = finished(true),
     .asked = 1000},
    {.name = "same size, local checksum fails",
     .dirs = kDown,
     .copy_size = 1000,
     .local_crc = 0,
     .want = skip(Reason::kSameSizeNoLocal, true),
     .asked = 1000},
    {.name = "same size, local checksum fails, -f",
     .dirs = kDown,
     .force = true,
     .copy_size = 1000,
     .local_crc = 0,
     .want = resume(1000, true),
     .asked = 1000},
    {.name = "modified source before finished copy",
     .dirs = kDown,
     .copy_mode = 0644,
     .source_newer = true,
     .want = skip(Reason::kSourceModified)},
    {.name = "old far: no prefix check",
     .dirs = kDown,
     .far_version = kOld,
     .local_crc = 7,
     .want = resume(400)},
    {.name = "old far: same size skips",
     .dirs = kDown,
     .far_version = kOld,
     .copy_size = 1000,
     .want = skip(Reason::kSameSizeNoChecksum, true)},
    {.name = "mode cannot change",
     .dirs = kDown,
     .mode_ok = false,
     .want = skip(Reason::kModeFixed)},
    {.name = "mode cannot change, -f",
     .dirs = kDown,
     .force = true,
     .mode_ok = false,
     .want = forced_fresh()},
    {.name = "to stdout", .dirs = kDown, .stdio = true, .copy_size = 2000, .want = silent_fresh()},
};

// The row's copies as the program sees them: the upload's source is here
// and its copy far, the download's the other way round.
Copies copies_of(const Row &r, bool upload) {
    Copies c;
    c.force = r.force;
    c.far_version = r.far_version;
    c.now = kNow;
    c.local_is_stdio = r.stdio;
    c.far_crc = r.far_crc;
    const long copy_mtime = kNow - 100;
    const long source_mtime = r.source_newer ? kNow - 50 : kNow - 200;
    c.far_exists = upload ? r.copy_exists : true;
    c.far_readable = upload ? r.readable : true;
    c.local_exists = upload ? true : r.copy_exists;
    c.local_size = upload ? r.source_size : r.copy_size;
    c.local_mtime = upload ? source_mtime : copy_mtime;
    c.local_mode = upload ? 0644 : r.copy_mode;
    c.far_size = upload ? r.copy_size : r.source_size;
    c.far_mtime = (upload ? copy_mtime : source_mtime) - kNow;
    c.far_mode = upload ? r.copy_mode : 0644;
    return c;
}

// Decides, answering each question the way the row says, as the programs do.
Decision settle(const Row &r, bool upload, long *asked) {
    Copies c = copies_of(r, upload);
    auto decide = upload ? decide_upload : decide_download;
    Decision d = decide(c);
    constexpr int kMaxQuestions = 2;
    for (int i = 0; i < kMaxQuestions; ++i) {
        if (d.verdict == Verdict::kNeedChecksum) {
            *asked = d.checksum_length;
            c.checksum = {d.checksum_length, r.local_crc};
        } else if (d.verdict == Verdict::kNeedModeCheck) {
            c.mode_changeable = r.mode_ok;
        } else {
            break;
        }
        d = decide(c);
    }
    return d;
}

TEST(Resume, DecisionTable) {
    for (const Row &r : kRows) {
        for (bool upload : {true, false}) {
            if ((upload && r.dirs == kDown) || (!upload && r.dirs == kUp)) continue;
            SCOPED_TRACE(std::string(upload ? "upload: " : "download: ") + r.name);
            long asked = -1;
            Decision d = settle(r, upload, &asked);
            Announce announce = r.want.announce;
            if (r.want.forced) announce = upload ? Announce::kOverwrite : Announce::kNothing;
            EXPECT_EQ(d.verdict, r.want.verdict);
            EXPECT_EQ(d.reason, r.want.reason);
            EXPECT_EQ(d.same_size, r.want.same_size);
            EXPECT_EQ(d.fails, r.want.fails);
            if (d.verdict == Verdict::kCopy) {
                EXPECT_EQ(d.offset, r.want.offset);
                EXPECT_EQ(d.announce, announce);
            }
            EXPECT_EQ(asked, r.asked);
        }
    }
}

}  // namespace
