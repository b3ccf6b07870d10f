// Directory trees (tree.h), the parts both directions share: a tree entry's
// names, the quick check, requests sent ahead of their replies, the listing
// of a far tree and the directories whose modes and times come last.
// Internal to tree*.cpp.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <time.h>

#include "commands.h"
#include "file_status.h"
#include "listing.h"
#include "tree.h"

namespace vesk::transfer::trees {

using proto::Stamp;
using proto::stamp_text;
using proto::TreeEntry;

// A directory being filled is the owner's to write into; its own mode
// comes at the end.
constexpr unsigned kDirWhileCopying = 0700;

constexpr const char *kUnsupported = "Unsupported vesk option";

using Listing = std::map<std::string, TreeEntry>;  // by path beneath the top

// rel beneath top ("." and "" are top itself).
std::string join(const std::string &top, const std::string &rel);
// s without the '/'s at its end, "/" kept.
std::string strip_slashes(std::string s);
// The directory rel lies in ("." for one at the top).
std::string parent_of(const std::string &rel);

// A copy's hidden companion that an interrupted run left: the next run's
// own business, never a file of the tree.
bool own_temporary(std::string_view path);

// Whether the top's own name is "." or ".." (or "/"): the directory the user
// is in or above, whose mode a copy must not change.
bool names_itself(const std::string &path);

// Prints a failure on the standard error stream; the run's status is 1.
void say(Run &run, const char *format, ...) __attribute__((format(printf, 2, 3)));

Stamp stamp_of(const struct timespec &ts);

// A complete copy whose size and time match its source is up to date
// (the quick check): it is not read or sent again.
// A copy at the source's own mode counts too (a 0444 source's finished copy
// looks partial): a copy only gets its source's exact time after its check.
bool up_to_date(const TreeEntry &source, const TreeEntry &copy);

// The file argument of a tree's file e, whose far name resolves beneath base.
FileArg tree_file(const std::string &source, const std::string &target, const std::string &base,
                  const TreeEntry &e);

// Posts each request of make (one per index below n) well ahead of the
// replies, and hands each reply to done in order.
void pipelined(Run &run, size_t n, const std::function<Requests::Ticket(size_t)> &make,
               const std::function<void(size_t, const Reply &)> &done);

// The far tree beneath name, listed in one stream ('Q').  Returns false
// with *why set (the far end's reason, or why its listing is refused) and
// *far_error the far end's errno code for it (0 when it gave none).
// Entries that cannot be copied are left out and told in *refused.
bool list_far(Run &run, const std::string &name, Listing *out, std::string *why, int *far_error,
              std::string *refused);

// A tree's directories to finish, deepest last in the list (finished first).
struct Finals {
    struct Dir {
        std::string base;  // upload: the far top; download: the local top
        TreeEntry e;
        bool keep_mode = false;
    };
    std::vector<Dir> dirs;
};

// Whether some directory on rel's way down failed (or rel itself).
bool under(const std::set<std::string> &failed, const std::string &rel);

// Two trees with one target would be written at once: the later is refused.
bool claim_top(Run &run, std::set<std::string> *tops, const FileArg &arg);

}  // namespace vesk::transfer::trees
