// The resume policy as rules applied in order.  Each check that -f
// overrides either skips the file (no -f) or restarts the copy from 0;
// a restart by -f prints nothing of its own.
#include "resume.h"

#include "commands.h"
#include "run.h"

namespace vesk::transfer {

namespace {

using proto::kFirstLongStatus;

Decision skip(Reason reason, bool same_size = false) {
    return {.verdict = Verdict::kSkip, .reason = reason, .same_size = same_size, .fails = true};
}

Decision copy_from(long offset, Announce announce, bool same_size = false) {
    return {.offset = offset, .announce = announce, .same_size = same_size};
}

// The local checksum over length bytes, when it was computed.
std::optional<unsigned> checksum_of(const Copies &c, long length) {
    if (c.checksum.length != length) return std::nullopt;
    return c.checksum.value;
}

Decision ask_checksum(long length, bool same_size) {
    return {.verdict = Verdict::kNeedChecksum, .checksum_length = length, .same_size = same_size};
}

// A rule found a reason to stop: without -f the file is skipped; with -f
// *offset becomes 0 and the deciding goes on.
std::optional<Decision> stop_or_restart(const Copies &c, Reason reason, long *offset,
                                        bool same_size = false) {
    if (!c.force) return skip(reason, same_size);
    *offset = 0;
    return std::nullopt;
}

}  // namespace

Decision decide_upload(const Copies &c) {
    const bool force = c.force;
    if (!c.far_exists) return copy_from(0, Announce::kNothing);
    if (force && c.far_version < kFirstLongStatus) return copy_from(0, Announce::kOverwrite);
    if (c.local_is_stdio)
        return force ? copy_from(0, Announce::kOverwrite) : skip(Reason::kStdinResume);
    if (!c.far_readable) return skip(Reason::kFarUnreadable);

    long offset = c.far_size;
    const long size = c.local_size;
    if (c.far_mode & kFinishedBits) {
        if (!force) return skip(Reason::kFinishedCopy);
        if (offset != size) offset = 0;
    }
    if ((offset != 0 || !force) && c.far_mtime != 0 && c.local_mtime > c.far_mtime + c.now) {
        if (auto s = stop_or_restart(c, Reason::kSourceModified, &offset)) return *s;
    }
    bool same = false;
    if ((offset != 0 || !force) && offset == size) {
        same = true;
        if (c.far_crc == 0) {
            if (auto s = stop_or_restart(c, Reason::kSameSizeNoChecksum, &offset, same)) return *s;
        } else {
            auto local = checksum_of(c, size);
            if (!local) return ask_checksum(size, same);
            // A local checksum of 0 compares nothing: the copy resumes at its
            // end, so that only the finish runs.
            if (*local != 0 && *local != c.far_crc) {
                if (auto s = stop_or_restart(c, Reason::kSameSizeMismatch, &offset, same))
                    return *s;
            } else if (*local != 0) {
                return {.verdict = Verdict::kFinished, .same_size = same};
            }
        }
    } else if (offset != 0 && offset > size) {
        if (auto s = stop_or_restart(c, Reason::kCopyLarger, &offset)) return *s;
    } else if (c.far_crc != 0 && offset != 0) {
        // With offset 0 there is no prefix to compare, and an empty far copy
        // always resumes.
        auto local = checksum_of(c, offset);
        if (!local) return ask_checksum(offset, same);
        if (*local != 0 && *local != c.far_crc) {
            if (auto s = stop_or_restart(c, Reason::kPrefixMismatch, &offset)) return *s;
        }
    }
    return copy_from(offset, !force || offset != 0 ? Announce::kRestart : Announce::kOverwrite,
                     same);
}

Decision decide_download(const Copies &c) {
    const bool force = c.force;
    if (c.local_is_stdio || !c.local_exists) return copy_from(0, Announce::kNothing);
    if (force && c.far_version < kFirstLongStatus) return copy_from(0, Announce::kNothing);

    long offset = c.local_size;
    const long size = c.far_size;
    const bool far_checksums = c.far_version >= kFirstLongStatus && c.far_crc != 0;
    if (c.far_mtime != 0 && c.local_mtime < c.far_mtime + c.now) {
        if (auto s = stop_or_restart(c, Reason::kSourceModified, &offset)) return *s;
    }
    bool finished_copy = false;
    if ((offset != 0 || !force) && (c.local_mode & kFinishedBits)) {
        if (!force) return skip(Reason::kFinishedCopy);
        if (offset != size) offset = 0;
        finished_copy = true;
    }
    // A copy whose mode cannot be changed could not be made writable to
    // take the rest of the data.
    if (!finished_copy && (offset != 0 || !force)) {
        if (!c.mode_changeable) return {.verdict = Verdict::kNeedModeCheck};
        if (!*c.mode_changeable) {
            if (auto s = stop_or_restart(c, Reason::kModeFixed, &offset)) return *s;
        }
    }
    if (offset != 0 && size < offset) {
        if (auto s = stop_or_restart(c, Reason::kCopyLarger, &offset)) return *s;
    }
    bool same = false;
    if ((offset != 0 || !force) && size == offset) {
        same = true;
        if (!far_checksums) {
            if (auto s = stop_or_restart(c, Reason::kSameSizeNoChecksum, &offset, same)) return *s;
        } else {
            auto local = checksum_of(c, c.local_size);
            if (!local) return ask_checksum(c.local_size, same);
            if (*local == 0) {
                // Nothing to compare: with -f nothing is left to receive and
                // only the checks after the data run.
                if (!force) return skip(Reason::kSameSizeNoLocal, same);
            } else if (*local != c.far_crc) {
                if (auto s = stop_or_restart(c, Reason::kSameSizeMismatch, &offset, same))
                    return *s;
            } else {
                // Complete and equal: without -f that still counts as a failure.
                return {.verdict = Verdict::kFinished, .same_size = same, .fails = !force};
            }
        }
    }
    if (offset != 0 && far_checksums) {
        auto local = checksum_of(c, offset);
        if (!local) return ask_checksum(offset, same);
        if (*local != 0 && *local != c.far_crc) {
            if (auto s = stop_or_restart(c, Reason::kPrefixMismatch, &offset, same)) return *s;
        }
    }
    return copy_from(offset, offset != 0 || !force ? Announce::kRestart : Announce::kNothing, same);
}

}  // namespace vesk::transfer
