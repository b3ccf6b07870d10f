// The resume policy of upload and download: from what is known of a file's
// two copies, whether to copy it afresh, resume a partial copy, only finish
// a copy that is already complete, or skip it.  Pure functions with no I/O:
// the programs gather the facts, answer the questions a decision asks (a
// checksum, whether a mode can be changed), do the I/O and print the lines
// each outcome names.
#pragma once

#include <optional>

namespace vesk::transfer {

// This machine's checksum (file_crc) of the first length bytes of its copy.
struct LocalChecksum {
    long length = -1;  // bytes covered; -1 while none was computed
    unsigned value = 0;
};

// What is known of a file's two copies.  "Local" is this machine's file
// (the source of an upload, the target of a download), "far" the one the
// far link server reported in its file status reply.
struct Copies {
    bool force = false;             // -f
    unsigned long far_version = 0;  // the far link server's version
    long now = 0;                   // local clock, seconds, read after the probe
    // This machine's copy.
    bool local_exists = false;
    bool local_is_stdio = false;  // upload from standard input, download to standard output
    long local_size = 0;          // bytes
    long local_mtime = 0;         // seconds
    unsigned local_mode = 0;      // permission bits
    // The far copy.
    bool far_exists = false;    // the probe was answered
    bool far_readable = false;  // its reply could be read
    long far_size = 0;          // bytes
    long far_mtime = 0;         // seconds relative to now; 0 when not known
    unsigned far_mode = 0;      // permission bits
    // The far checksum: of the whole far file for upload, of its first
    // local_size bytes for download; 0 when none was computed.
    unsigned far_crc = 0;
    // Answers to the questions a decision asked.
    LocalChecksum checksum;
    std::optional<bool> mode_changeable;  // download: chmod of the local copy works
};

enum class Verdict {
    kCopy,           // open the copy at offset (0: afresh) and send the data
    kFinished,       // the copies are equal: only the final mode (and times) are set
    kSkip,           // both copies stay as they are, for reason
    kNeedChecksum,   // put file_crc over checksum_length bytes in Copies::checksum
    kNeedModeCheck,  // put whether the local copy's mode can be changed in Copies::mode_changeable
};

// Why a file is skipped; each program prints its own line for each.
enum class Reason {
    kNone,
    kStdinResume,         // upload: the far copy exists and the source is standard input
    kFarUnreadable,       // upload: the probe's reply holds a number out of range
    kFinishedCopy,        // the copy being written has a write or execute bit
    kSourceModified,      // the source is newer than the partial copy
    kModeFixed,           // download: the local copy's mode cannot be changed
    kCopyLarger,          // the partial copy is larger than the source
    kSameSizeNoChecksum,  // same size, and the far end gave no checksum
    kSameSizeNoLocal,     // download: same size, and the local checksum failed
    kSameSizeMismatch,    // same size, and the checksums differ
    kPrefixMismatch,      // the partial copy differs from the source's beginning
};

// The line printed before a copy opens.
enum class Announce { kNothing, kRestart, kOverwrite };

struct Decision {
    Verdict verdict = Verdict::kCopy;
    long offset = 0;                         // kCopy: where the data starts
    Announce announce = Announce::kNothing;  // kCopy
    Reason reason = Reason::kNone;           // kSkip
    long checksum_length = 0;                // kNeedChecksum
    // The copies were found to be the same size: without -f the same-size
    // line opens what is printed, before the checksum is asked for.
    bool same_size = false;
    bool fails = false;  // the run's exit status becomes 1
};

// The decision for an upload.  A question (kNeedChecksum, kNeedModeCheck)
// is never asked again once Copies holds its answer, so asking again after
// each answer ends, after one question at most for upload and two for
// download.
Decision decide_upload(const Copies &copies);

// The decision for a download; the far file is known to exist and to be a
// regular file.
Decision decide_download(const Copies &copies);

}  // namespace vesk::transfer
