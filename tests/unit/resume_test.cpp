// The resume policy as one table: each row is a file's two copies, seen as
// source and partial copy so that most rows hold for both directions, and
// the decision once every question it asks is answered.
#include <gtest/gtest.h>

#include "commands.h"
#include "resume.h"

namespace {

using namespace vesk::transfer;
using vesk::proto::kFirstLongStatus;
using enum vesk::transfer::Reason;

constexpr long kNow = 1000000;  // seconds
constexpr unsigned long kOld = kFirstLongStatus - 1;
constexpr unsigned kCrc = 4242;  // both ends' checksum where they agree
constexpr long kSize = 1000;     // bytes of the source

struct Want {
    Verdict verdict = Verdict::kCopy;
    long offset = 0;
    Announce announce = Announce::kNothing;
    Reason reason = kNone;
    bool same_size = false;
    bool fails = false;
    bool forced = false;  // restarted by -f: upload warns, download says nothing
};

Want resume(long offset, bool same = false) {
    return {Verdict::kCopy, offset, Announce::kRestart, kNone, same};
}
Want silent_fresh() {
    return {};
}
Want forced_fresh(bool same = false) {
    return {Verdict::kCopy, 0, Announce::kNothing, kNone, same, false, true};
}
Want skip(Reason reason, bool same = false) {
    return {Verdict::kSkip, 0, Announce::kNothing, reason, same, true};
}
Want finished(bool fails) {
    return {Verdict::kFinished, 0, Announce::kNothing, kNone, true, fails};
}

enum Dirs { kBoth, kUp, kDown };

struct Row {
    const char *name;
    Dirs dir = kBoth;
    bool f = false;                            // -f
    unsigned long version = kFirstLongStatus;  // the far end's
    bool stdio = false;    // "-" as the upload's source or the download's target
    bool exists = true;    // the copy
    bool readable = true;  // upload: the probe's reply
    long copy = 400;       // the copy's bytes
    unsigned mode = 0444;  // the copy's permission bits
    long age = -100;       // seconds the source is newer than the copy
    unsigned far_crc = kCrc;
    unsigned crc = kCrc;  // what file_crc gives here, whatever the length
    bool mode_ok = true;  // download: chmod of the local copy works
    Want want;
    long asked = -1;  // the checksum length asked for last; -1: none
};

const Row kRows[] = {
    {.name = "partial copy resumes", .want = resume(400), .asked = 400},
    {.name = "no copy: afresh, silent", .exists = false, .want = silent_fresh()},
    {.name = "empty copy restarts from 0", .copy = 0, .want = resume(0)},
    {.name = "empty copy, -f", .f = true, .copy = 0, .want = forced_fresh()},
    {.name = "far gives no checksum", .far_crc = 0, .want = resume(400)},
    {.name = "local checksum fails", .crc = 0, .want = resume(400), .asked = 400},
    {.name = "prefix differs", .crc = 7, .want = skip(kPrefixMismatch), .asked = 400},
    {.name = "prefix differs, -f", .f = true, .crc = 7, .want = forced_fresh(), .asked = 400},
    {.name = "copy larger", .copy = 2000, .want = skip(kCopyLarger)},
    {.name = "copy larger, -f", .f = true, .copy = 2000, .want = forced_fresh()},
    {.name = "finished copy", .mode = 0644, .want = skip(kFinishedCopy)},
    {.name = "finished copy, -f", .f = true, .mode = 0644, .want = forced_fresh()},
    {.name = "finished, equal, -f",
     .f = true,
     .copy = kSize,
     .mode = 0644,
     .mode_ok = false,  // a finished copy's mode is not asked about
     .want = finished(false),
     .asked = kSize},
    {.name = "source modified", .age = 50, .want = skip(kSourceModified)},
    {.name = "source as old as the copy", .age = 0, .want = resume(400), .asked = 400},
    {.name = "source modified, -f", .f = true, .age = 50, .want = forced_fresh()},
    {.name = "same size, crcs differ",
     .copy = kSize,
     .crc = 7,
     .want = skip(kSameSizeMismatch, true),
     .asked = kSize},
    {.name = "same size, crcs differ, -f",
     .f = true,
     .copy = kSize,
     .crc = 7,
     .want = forced_fresh(true),
     .asked = kSize},
    {.name = "same size, no far crc",
     .copy = kSize,
     .far_crc = 0,
     .want = skip(kSameSizeNoChecksum, true)},
    {.name = "same size, no far crc, -f",
     .f = true,
     .copy = kSize,
     .far_crc = 0,
     .want = forced_fresh(true)},
    {.name = "old far, -f", .f = true, .version = kOld, .want = forced_fresh()},
    {.name = "old far, -f, finished",
     .f = true,
     .version = kOld,
     .mode = 0755,
     .want = forced_fresh()},

    // Upload only.
    {.name = "equal copy", .dir = kUp, .copy = kSize, .want = finished(false), .asked = kSize},
    {.name = "same size, no local crc",
     .dir = kUp,
     .copy = kSize,
     .crc = 0,
     .want = resume(kSize, true),
     .asked = kSize},
    {.name = "finished before modified",
     .dir = kUp,
     .mode = 0644,
     .age = 50,
     .want = skip(kFinishedCopy)},
    {.name = "old far, prefix",
     .dir = kUp,
     .version = kOld,
     .crc = 7,
     .want = skip(kPrefixMismatch),
     .asked = 400},
    {.name = "stdin", .dir = kUp, .stdio = true, .want = skip(kStdinResume)},
    {.name = "stdin, -f", .dir = kUp, .f = true, .stdio = true, .want = forced_fresh()},
    {.name = "stdin, no copy", .dir = kUp, .stdio = true, .exists = false, .want = silent_fresh()},
    {.name = "unreadable reply", .dir = kUp, .readable = false, .want = skip(kFarUnreadable)},

    // Download only.
    {.name = "equal copy fails",
     .dir = kDown,
     .copy = kSize,
     .want = finished(true),
     .asked = kSize},
    {.name = "same size, no local crc",
     .dir = kDown,
     .copy = kSize,
     .crc = 0,
     .want = skip(kSameSizeNoLocal, true),
     .asked = kSize},
    {.name = "same size, no local crc, -f",
     .dir = kDown,
     .f = true,
     .copy = kSize,
     .crc = 0,
     .want = resume(kSize, true),
     .asked = kSize},
    {.name = "modified before finished",
     .dir = kDown,
     .mode = 0644,
     .age = 50,
     .want = skip(kSourceModified)},
    {.name = "old far, no prefix", .dir = kDown, .version = kOld, .crc = 7, .want = resume(400)},
    {.name = "old far, same size",
     .dir = kDown,
     .version = kOld,
     .copy = kSize,
     .want = skip(kSameSizeNoChecksum, true)},
    {.name = "mode fixed", .dir = kDown, .mode_ok = false, .want = skip(kModeFixed)},
    {.name = "mode fixed, -f", .dir = kDown, .f = true, .mode_ok = false, .want = forced_fresh()},
    {.name = "to stdout", .dir = kDown, .stdio = true, .copy = 2000, .want = silent_fresh()},
};

// The row's copies as the program sees them: the upload's source is here
// and its copy far, the download's the other way round.
Copies copies_of(const Row &r, bool upload) {
    Copies c;
    c.force = r.f;
    c.far_version = r.version;
    c.now = kNow;
    c.local_is_stdio = r.stdio;
    c.far_crc = r.far_crc;
    const long copy_mtime = kNow - 100;
    const long source_mtime = copy_mtime + r.age;
    c.far_exists = upload ? r.exists : true;
    c.far_readable = upload ? r.readable : true;
    c.local_exists = upload ? true : r.exists;
    c.local_size = upload ? kSize : r.copy;
    c.local_mtime = upload ? source_mtime : copy_mtime;
    c.local_mode = upload ? 0644 : r.mode;
    c.far_size = upload ? r.copy : kSize;
    c.far_mtime = (upload ? copy_mtime : source_mtime) - kNow;
    c.far_mode = upload ? r.mode : 0644;
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
            c.checksum = {d.checksum_length, r.crc};
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
            if ((upload && r.dir == kDown) || (!upload && r.dir == kUp)) continue;
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
