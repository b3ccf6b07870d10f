// Several files in flight (-j N): each worker is a process of its own with
// its own link-server connection, on which each file gets the same requests
// in the same order as in a run of one file after another.  The run's
// process hands out the files and prints each file's lines in the order of
// the files, as if they had gone one after another.
#pragma once

#include <vector>

#include "run.h"

namespace vesk::transfer {

// Most files a run keeps in flight.
constexpr int kJobsMax = 128;

// Does the work of files with up to jobs workers.  A file read from standard
// input or written to standard output runs alone.  Adds each file's status,
// started count and bytes to run.  Returns false, with run's status 1, when
// files were left undone: a worker ended without finishing its file (it
// printed why) or none could be started (said here).  The run goes on to
// its end either way, so that a tree's directories still get their modes.
bool run_jobs(Run &run, const std::vector<FileArg> &files, int jobs, const MakeJob &make);

}  // namespace vesk::transfer
