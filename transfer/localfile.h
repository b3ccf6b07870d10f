// Opening the local copy that download writes into.  A local copy with a
// write or execute bit is taken for a finished one by every later run, so the
// copy must never carry such a bit while its content is partial: not during
// the open, not after a kill at any moment.
#pragma once

namespace vesk::transfer {

// The read bits a local copy that is still owed data may have: those of its
// source, so that a partial copy of a private file stays private.
constexpr unsigned kPartialLocalMode = 0444;

// The partial mode of a copy of a source with these permission bits: its
// read bits, and the owner's always (never a write or execute bit).
unsigned partial_local_mode(unsigned source_perms);

// Opens path for writing: at its end when append (a resume), else emptied.
// A missing file is created at mode; an existing one is set to mode
// through the new descriptor before a byte of it changes.  A file without
// write permission, which an unprivileged owner cannot open for writing, is
// given it only under a hidden name beside it, so that a kill in between
// leaves the name absent (a fresh download next time), never a writable
// partial copy.  Returns the descriptor, or -1 with errno set.
// With nofollow a symbolic link at path is never opened through; mode is
// the partial mode (partial_local_mode).
int open_local_copy(const char *path, bool append, bool nofollow = false,
                    unsigned mode = kPartialLocalMode);

// A copy left under its hidden name by a kill during that open goes back to
// path at 0400, so that the next run resumes it.  Only a regular file of
// ours without an execute bit, and never over an existing path.  Returns
// true when it was put back.
bool recover_local_copy(const char *path);

// Puts the data of the file open on fd on disk (fdatasync), so that the
// finished mode given after it never vouches for data a power cut can lose.
// Returns true, or false with errno set.
bool sync_local_copy(int fd);

}  // namespace vesk::transfer
