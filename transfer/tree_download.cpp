// Directory trees (tree.h), download: the local directories and links made
// for a far tree's listing, the files it still needs, and the local
// directories' final modes and times.
#include "tree_parts.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vesk::transfer {

namespace {

using namespace trees;

// Makes the local directory rel beneath topfd (or takes the one there; a
// link there gives way).  Returns false after saying why.
bool make_local_dir(Run &run, int topfd, const std::string &shown, const TreeEntry &e) {
    const unsigned want = e.perms | kDirWhileCopying;
    if (mkdirat(topfd, e.path.c_str(), want) == 0) return true;
    int err = errno;
    struct stat st {};
    if (err == EEXIST && fstatat(topfd, e.path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(st.st_mode)) {
            // A finished read-only directory must not refuse this run's files.
            if ((st.st_mode & kDirWhileCopying) == kDirWhileCopying ||
                fchmodat(topfd, e.path.c_str(), (st.st_mode & 07777) | kDirWhileCopying, 0) == 0)
                return true;
            err = errno;
        } else if (S_ISLNK(st.st_mode) && unlinkat(topfd, e.path.c_str(), 0) == 0 &&
                   mkdirat(topfd, e.path.c_str(), want) == 0) {
            return true;
        } else {
            err = errno;
        }
    }
    say(run, "\tSkipped : can't make local directory %s: %s\n", printable(shown).c_str(),
        strerror(err));
    return false;
}

void make_local_link(Run &run, int topfd, const std::string &shown, const TreeEntry &e) {
    char buf[proto::kTreePathMax + 1];
    ssize_t len = readlinkat(topfd, e.path.c_str(), buf, sizeof buf);
    bool same = len >= 0 && std::string(buf, static_cast<size_t>(len)) == e.target;
    struct stat st {};
    if (!same && fstatat(topfd, e.path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        // A link or a file gives way; a directory does not.
        if (S_ISDIR(st.st_mode) || unlinkat(topfd, e.path.c_str(), 0) != 0) {
            say(run, "\tSkipped : can't make local link %s: %s\n", printable(shown).c_str(),
                strerror(S_ISDIR(st.st_mode) ? EEXIST : errno));
            return;
        }
    }
    if (!same && symlinkat(e.target.c_str(), topfd, e.path.c_str()) != 0) {
        say(run, "\tSkipped : can't make local link %s: %s\n", printable(shown).c_str(),
            strerror(errno));
        return;
    }
    struct timespec ts[2] = {{static_cast<time_t>(e.atime.sec), e.atime.nsec},
                             {static_cast<time_t>(e.mtime.sec), e.mtime.nsec}};
    utimensat(topfd, e.path.c_str(), ts, AT_SYMLINK_NOFOLLOW);
}

void download_tree(Run &run, const FileArg &arg, const Listing &far, TreePlan *plan,
                   Finals *finals) {
    const std::string src = strip_slashes(arg.source);
    const std::string dst = strip_slashes(arg.target);
    const TreeEntry &top = far.at(".");
    if (mkdir(dst.c_str(), top.perms | kDirWhileCopying) != 0 && errno != EEXIST) {
        say(run, "\tSkipped : can't make local directory %s: %s\n", dst.c_str(), strerror(errno));
        return;
    }
    int topfd = open(dst.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat tst {};
    if (topfd < 0 || fstat(topfd, &tst) != 0 ||
        ((tst.st_mode & kDirWhileCopying) != kDirWhileCopying &&
         fchmod(topfd, (tst.st_mode & 07777) | kDirWhileCopying) != 0)) {
        say(run, "\tSkipped : can't make local directory %s: %s\n", dst.c_str(), strerror(errno));
        if (topfd >= 0) close(topfd);
        return;
    }
    finals->dirs.push_back({dst, top, names_itself(src) || names_itself(dst)});
    std::set<std::string> failed;
    for (const auto &[path, e] : far) {
        if (path == "." || under(failed, parent_of(path))) continue;
        const std::string here = join(dst, path);
        switch (e.type) {
            case proto::kEntryDir:
                if (!make_local_dir(run, topfd, here, e)) {
                    failed.insert(path);
                    continue;
                }
                finals->dirs.push_back({dst, e, false});
                break;
            case proto::kEntryLink:
                make_local_link(run, topfd, here, e);
                break;
            case proto::kEntryFile: {
                struct stat st {};
                bool exists = fstatat(topfd, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
                if (exists && S_ISLNK(st.st_mode)) {
                    // A link an earlier copy made: the file takes its place,
                    // and nothing is ever written through it.
                    exists = unlinkat(topfd, path.c_str(), 0) != 0;
                } else if (exists && S_ISDIR(st.st_mode)) {
                    say(run, "\tSkipped : a local directory stands where %s goes\n",
                        printable(here).c_str());
                    continue;
                }
                TreeEntry mine;
                if (exists) {
                    mine.type = S_ISREG(st.st_mode) ? proto::kEntryFile : proto::kEntryOther;
                    mine.perms = st.st_mode & proto::kMaxPermissionBits;
                    mine.size = st.st_size;
                    mine.mtime = stamp_of(st.st_mtim);
                }
                if (exists && up_to_date(e, mine)) {
                    ++run.up_to_date;
                    continue;
                }
                FileArg f = tree_file(join(src, path), here, src, e);
                f.tree->replace = run.update && exists && mine.type == proto::kEntryFile &&
                                  (mine.perms & kFinishedBits) != 0;
                f.tree->absent = !exists;
                plan->files.push_back(std::move(f));
                break;
            }
            default:
                say(run, "\tSkipped : %s is not a regular file, directory or link\n",
                    printable(join(src, path)).c_str());
                break;
        }
    }
    close(topfd);
}

void finish_download(Run &run, const Finals &finals) {
    for (size_t i = finals.dirs.size(); i-- > 0;) {
        const Finals::Dir &d = finals.dirs[i];
        const std::string p = join(d.base, d.e.path);
        struct timespec ts[2] = {{static_cast<time_t>(d.e.atime.sec), d.e.atime.nsec},
                                 {static_cast<time_t>(d.e.mtime.sec), d.e.mtime.nsec}};
        bool ok = utimensat(AT_FDCWD, p.c_str(), ts, AT_SYMLINK_NOFOLLOW) == 0;
        if (!d.keep_mode) ok = chmod(p.c_str(), d.e.perms) == 0 && ok;
        if (!ok)
            say(run, "\tCan't set mode and times on local directory %s\n", printable(p).c_str());
    }
}

}  // namespace

TreePlan download_trees(Run &run, const std::vector<FileArg> &args) {
    TreePlan plan;
    auto finals = std::make_shared<Finals>();
    std::set<std::string> tops;
    Messages shown;  // the tree's own line, at once
    for (const FileArg &arg : args) {
        if (arg.target == "-" || arg.too_long) {
            plan.files.push_back(arg);
            continue;
        }
        const std::string src = strip_slashes(arg.source);
        Listing far;
        std::string why, refused;
        int far_error = 0;
        if (remote_vesk_version < proto::kFirstTrees) {
            // An older far end: only a directory is refused for it.
            proto::FileStatus st;
            const Reply probe = run.req.call('D', 0, "%s", src.c_str());
            if (!probe.failed() && proto::parse_file_status(probe.text.c_str(), &st) >= 2 &&
                st.type == proto::kDirectory) {
                print_file_line(run, arg, shown);
                say(run, "\tSkipped : %s: the far veskd copies no directory trees (%s)\n",
                    src.c_str(), kUnsupported);
                continue;
            }
            plan.files.push_back(arg);
            continue;
        }
        if (!list_far(run, src, &far, &why, &far_error, &refused)) {
            if (far_error == ENOTDIR || far_error == ENOENT) {
                // Not a directory: the file's own work copies it or says why not.
                plan.files.push_back(arg);
                continue;
            }
            print_file_line(run, arg, shown);
            say(run, "\tSkipped : can't list remote directory %s: %s\n", src.c_str(), why.c_str());
            continue;
        }
        print_file_line(run, arg, shown);
        fputs(refused.c_str(), stderr);
        if (claim_top(run, &tops, arg)) download_tree(run, arg, far, &plan, finals.get());
    }
    plan.finish = [finals](Run &r) { finish_download(r, *finals); };
    return plan;
}

}  // namespace vesk::transfer
