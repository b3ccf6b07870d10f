// Directory trees (-R): an argument that names a directory becomes the
// files of its tree, each copied by the program's own work for one file, with
// the directories and symbolic links made around them.  Far directories and
// links go through veskd's tree requests ('K', 'Y', 'k', 'J'); a far veskd
// too old for them refuses with "Unsupported vesk option", and the tree is
// skipped with that reason.  Symbolic links are copied as links and never
// followed, so nothing outside a tree is read or written for it.  Program
// code: messages go to the standard error stream.
#pragma once

#include <functional>
#include <vector>

#include "run.h"

namespace vesk::transfer {

// Files in flight for trees when -j is not given: over a 50 ms round trip
// 1,000 files of 4 KiB took 6.8 s with 16, 1.9 s with 64 and 1.1 s with 128
// (each worker waits on the link nearly all the time).
constexpr int kTreeJobs = 128;

struct TreePlan {
    std::vector<FileArg> files;  // in argument order, each tree's in walk order
    // Run after every file: gives each directory its mode and times (the
    // deepest first, so that making one never changes its parent's time).
    std::function<void(Run &)> finish;
};

// upload: each argument naming a local directory becomes its tree beneath
// the target name on the far side; any other argument stays as it is.
TreePlan upload_trees(Run &run, const std::vector<FileArg> &args);

// download: each argument naming a far directory becomes its tree beneath
// the target name here; any other argument stays as it is.
TreePlan download_trees(Run &run, const std::vector<FileArg> &args);

}  // namespace vesk::transfer
