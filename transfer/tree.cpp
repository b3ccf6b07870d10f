// Directory trees (tree.h): the walk of a local tree and the listing of a
// far one, the comparison that leaves up-to-date files alone, the
// directories and links made on the other side, and the directories' final
// modes and times.
#include "tree.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "commands.h"
#include "file_status.h"
#include "listing.h"

namespace vesk::transfer {

namespace {

using proto::Stamp;
using proto::stamp_text;
using proto::TreeEntry;

// Requests sent ahead of their replies: each reply is a few bytes, so the
// replies waiting in the socket never fill it, and a long round trip is
// covered many times over.
constexpr size_t kAhead = 512;
// A directory being filled is the owner's to write into; its own mode
// comes at the end.
constexpr unsigned kDirWhileCopying = 0700;

constexpr const char *kUnsupported = "Unsupported vesk option";

using Listing = std::map<std::string, TreeEntry>;  // by path beneath the top

std::string join(const std::string &top, const std::string &rel) {
    return rel == "." || rel.empty() ? top : top + "/" + rel;
}

std::string strip_slashes(std::string s) {
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

std::string parent_of(const std::string &rel) {
    size_t slash = rel.rfind('/');
    return slash == std::string::npos ? "." : rel.substr(0, slash);
}

// A copy's hidden companion that an interrupted run left: the next run's
// own business, never a file of the tree.
bool own_temporary(std::string_view path) {
    size_t slash = path.rfind('/');
    std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    return last.rfind(proto::kOpeningPrefix, 0) == 0 || last.rfind(proto::kReplacingPrefix, 0) == 0;
}

// Whether the top's own name is "." or ".." (or "/"): the directory the user
// is in or above, whose mode a copy must not change.
bool names_itself(const std::string &path) {
    size_t slash = path.rfind('/');
    std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
    return last == "." || last == ".." || last.empty();
}

void say(Run &run, const char *format, ...) __attribute__((format(printf, 2, 3)));
void say(Run &run, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    vfprintf(stderr, format, ap);
    va_end(ap);
    run.status = 1;
}

Stamp stamp_of(const struct timespec &ts) {
    return Stamp{static_cast<long long>(ts.tv_sec), ts.tv_nsec};
}

// A complete copy whose size and time match its source is up to date
// (the quick check): it is not read or sent again.
// A copy at the source's own mode counts too (a 0444 source's finished copy
// looks partial): a copy only gets its source's exact time after its check.
bool up_to_date(const TreeEntry &source, const TreeEntry &copy) {
    return copy.type == proto::kEntryFile &&
           ((copy.perms & kFinishedBits) != 0 || copy.perms == source.perms) &&
           copy.size == source.size && proto::same_time(copy.mtime, source.mtime);
}

FileArg tree_file(const std::string &source, const std::string &target, const std::string &base,
                  const TreeEntry &e) {
    FileArg f;
    f.source = source;
    f.target = target;
    f.long_form = source != target;
    f.too_long = target.size() > proto::kTreePathMax;
    TreeFile t;
    t.base = base;
    t.wire = e.path;
    t.mtime = e.mtime;
    t.atime = e.atime;
    t.perms = e.perms;
    t.size = e.size;
    f.tree = t;
    return f;
}

// Posts each request of make (one per index below n) kAhead ahead of the
// replies, and hands each reply to done in order.
void pipelined(Run &run, size_t n, const std::function<Requests::Ticket(size_t)> &make,
               const std::function<void(size_t, const Reply &)> &done) {
    std::vector<Requests::Ticket> tickets(n);
    size_t sent = 0;
    for (size_t i = 0; i < n; ++i) {
        while (sent < n && sent < i + kAhead) {
            tickets[sent] = make(sent);
            ++sent;
        }
        done(i, run.req.collect(tickets[i]));
    }
}

// The far tree beneath name, listed in one stream ('Q').  Returns false
// with *why set (the far end's reason, or why its listing is refused) and
// *far_error the far end's errno code for it (0 when it gave none).
// Entries that cannot be copied are left out and told in *refused.
bool list_far(Run &run, const std::string &name, Listing *out, std::string *why, int *far_error,
              std::string *refused) {
    out->clear();
    *far_error = 0;
    use_base(run, "");
    const Reply size = run.req.call('Q', 0, "%s", name.c_str());
    if (size.failed()) {
        *why = size.text;
        *far_error = size.far_error;
        return false;
    }
    char *end = nullptr;
    unsigned long long bytes = strtoull(size.text.c_str(), &end, 10);
    if (end == size.text.c_str() || *end != '\0' || bytes > proto::kTreeListBytesMax) {
        *why = "the far listing is too large or unreadable";
        run_reconnect(run);
        return false;
    }
    std::string text(static_cast<size_t>(bytes), '\0');
    size_t got = 0;
    while (got < text.size()) {
        ssize_t r = read(run.conn, text.data() + got, text.size() - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    // The connection carried the listing: a fresh one carries requests.
    run_reconnect(run);
    if (got < text.size()) {
        *why = "the far listing ended early";
        return false;
    }
    size_t pos = 0;
    while (pos < text.size()) {
        TreeEntry e;
        if (!proto::parse_tree_entry(text, &pos, &e) || out->size() >= proto::kTreeEntriesMax) {
            *why = "the far listing is unreadable";
            return false;
        }
        if (own_temporary(e.path)) continue;
        // Each entry's directory is listed before it, and no name twice: a
        // path is then always the walk of real directories beneath the top.
        const bool top = e.path == ".";
        if (top != out->empty() || !proto::safe_tree_path(e.path) ||
            (!top && (!out->count(parent_of(e.path)) ||
                      out->at(parent_of(e.path)).type != proto::kEntryDir)) ||
            out->count(e.path)) {
            *refused += "\tSkipped : a name in the far listing of " + printable(name) +
                        " cannot be copied: " + printable(e.path) + "\n";
            run.status = 1;
            continue;
        }
        out->emplace(e.path, std::move(e));
    }
    if (out->empty()) {
        *why = "the far listing is empty";
        return false;
    }
    return true;
}

// ---- upload --------------------------------------------------------------

// The local tree beneath the directory open at dir, in walk order: every
// entry looked at without following it.  Directories that cannot be read
// are said and left out with what they hold.
void walk_local(Run &run, int dir, const std::string &top, const std::string &rel, int depth,
                std::vector<TreeEntry> *out, std::map<std::string, std::pair<dev_t, ino_t>> *ids) {
    int own = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *d = own < 0 ? nullptr : fdopendir(own);
    if (d == nullptr || depth > proto::kTreeDepthMax) {
        if (d) closedir(d);
        say(run, "\tSkipped : can't read local directory %s\n", printable(join(top, rel)).c_str());
        return;
    }
    std::vector<std::string> names;
    while (struct dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        const std::string path = proto::child_path(rel, name);
        if (own_temporary(name)) continue;
        if (!proto::safe_component(name)) {
            // A newline would split the far request that carries it.
            say(run, "\tSkipped : %s: the name cannot cross the link\n",
                printable(join(top, path)).c_str());
            continue;
        }
        struct stat st {};
        if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone
        TreeEntry e;
        e.path = path;
        e.perms = st.st_mode & proto::kMaxPermissionBits;
        e.size = st.st_size;
        e.mtime = stamp_of(st.st_mtim);
        e.atime = stamp_of(st.st_atim);
        if (S_ISREG(st.st_mode)) {
            e.type = proto::kEntryFile;
            (*ids)[path] = {st.st_dev, st.st_ino};
        } else if (S_ISDIR(st.st_mode)) {
            e.type = proto::kEntryDir;
        } else if (S_ISLNK(st.st_mode)) {
            char buf[proto::kTreePathMax + 1];
            ssize_t len = readlinkat(dir, name.c_str(), buf, sizeof buf);
            if (len <= 0 || static_cast<size_t>(len) > proto::kTreePathMax) continue;
            e.type = proto::kEntryLink;
            e.target.assign(buf, static_cast<size_t>(len));
        }
        out->push_back(e);
        if (e.type != proto::kEntryDir) continue;
        int sub = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub < 0) {
            say(run, "\tSkipped : can't read local directory %s\n",
                printable(join(top, path)).c_str());
            continue;
        }
        walk_local(run, sub, top, path, depth + 1, out, ids);
        close(sub);
    }
}

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
bool under(const std::set<std::string> &failed, const std::string &rel) {
    for (std::string p = rel;; p = parent_of(p)) {
        if (failed.count(p)) return true;
        if (p == ".") return false;
    }
}

// One tree's upload: the local walk set against the far listing.
struct TreeUpload {
    std::string src, dst;  // the two tops, without a '/' at the end
    Listing far;
    std::vector<TreeEntry> nodes;                        // the local tree, in walk order
    std::map<std::string, std::pair<dev_t, ino_t>> ids;  // its files as the walk saw them
    std::set<std::string> failed;                        // far directories that cannot be filled
};

// What to send for an entry, decided against the far listing.
struct FarStep {
    const TreeEntry *e;
    bool remove;   // 'Z' first: a link or file stands where it goes
    bool make;     // 'K' or 'k'
    bool open_up;  // a finished far directory gets the owner's bits for the run
};

// The far directories and links that the local tree needs, in walk order;
// each directory is also put among the finals.  Entries that cannot be
// copied are said.
std::vector<FarStep> far_steps(Run &run, TreeUpload &t, Finals *finals) {
    std::vector<FarStep> steps;
    const TreeEntry &far_top = t.far.at(".");
    if ((far_top.perms & kDirWhileCopying) != kDirWhileCopying)
        steps.push_back({&far_top, false, false, true});
    for (const TreeEntry &n : t.nodes) {
        auto it = t.far.find(n.path);
        const TreeEntry *there = it == t.far.end() ? nullptr : &it->second;
        if (n.type == proto::kEntryOther) {
            say(run, "\tSkipped : %s is not a regular file, directory or link\n",
                printable(join(t.src, n.path)).c_str());
            continue;
        }
        if (there && there->type == proto::kEntryDir && n.type != proto::kEntryDir) {
            say(run, "\tSkipped : a remote directory stands where %s goes\n",
                printable(join(t.dst, n.path)).c_str());
            continue;
        }
        if (there && there->type != proto::kEntryDir && n.type == proto::kEntryDir &&
            there->type != proto::kEntryLink) {
            say(run, "\tSkipped : a remote file stands where directory %s goes\n",
                printable(join(t.dst, n.path)).c_str());
            t.failed.insert(n.path);
            continue;
        }
        const bool link_there = there && there->type == proto::kEntryLink;
        if (n.type == proto::kEntryDir) {
            if (!there || link_there)
                steps.push_back({&n, link_there, true, false});
            else if ((there->perms & kDirWhileCopying) != kDirWhileCopying)
                steps.push_back({&n, false, false, true});
            finals->dirs.push_back({t.dst, n, false});
        } else if (n.type == proto::kEntryLink) {
            if (!link_there || there->target != n.target)
                steps.push_back({&n, there != nullptr, true, false});
            else if (!(there->mtime == n.mtime))
                steps.push_back({&n, false, false, false});
        } else if (link_there) {
            steps.push_back({&n, true, false, false});
        }
    }
    return steps;
}

// Directories and links, made in walk order ahead of the replies.  A far
// directory that cannot be made joins t.failed, and what lies beneath it is
// not tried.
void make_far(Run &run, TreeUpload &t, const std::vector<FarStep> &steps) {
    use_base(run, t.dst);
    pipelined(
        run, steps.size(),
        [&](size_t i) {
            const FarStep &s = steps[i];
            const TreeEntry &e = *s.e;
            if (s.remove) run.req.post('Z', 0, "%s", e.path.c_str());
            if (s.open_up)
                return run.req.post('P', 0, "%o - -\n%s", e.perms | kDirWhileCopying,
                                    e.path.c_str());
            if (s.make && e.type == proto::kEntryDir)
                return run.req.post('K', 0, "%o\n%s", e.perms | kDirWhileCopying, e.path.c_str());
            if (s.make && e.type == proto::kEntryLink)
                run.req.post('k', 0, "%s\n%s", e.path.c_str(), e.target.c_str());
            if (e.type == proto::kEntryLink)
                return run.req.post('P', 0, "- %s %s\n%s", stamp_text(e.mtime).c_str(),
                                    stamp_text(e.atime).c_str(), e.path.c_str());
            return run.req.post(0, 0, nullptr);  // the 'Z' alone
        },
        [&](size_t i, const Reply &r) {
            const TreeEntry &e = *steps[i].e;
            if (!r.failed() || under(t.failed, parent_of(e.path))) {
                if (r.failed() && e.type == proto::kEntryDir) t.failed.insert(e.path);
                return;
            }
            const char *what = e.type == proto::kEntryDir ? "directory" : "link";
            say(run, "\tSkipped : can't make remote %s %s: %s\n", what,
                printable(join(t.dst, e.path)).c_str(), r.text.c_str());
            if (e.type == proto::kEntryDir) t.failed.insert(e.path);
        });
}

// The tree's files to copy: those beneath directories that were made, and
// whose far copies are not up to date already.
void plan_files(Run &run, TreeUpload &t, TreePlan *plan) {
    for (const TreeEntry &n : t.nodes) {
        if (n.type != proto::kEntryFile || under(t.failed, parent_of(n.path))) continue;
        auto it = t.far.find(n.path);
        if (it != t.far.end() && up_to_date(n, it->second)) {
            ++run.up_to_date;
            continue;
        }
        FileArg f = tree_file(join(t.src, n.path), join(t.dst, n.path), t.dst, n);
        f.tree->dev = t.ids[n.path].first;
        f.tree->ino = t.ids[n.path].second;
        f.tree->replace = run.update && it != t.far.end() && it->second.type == proto::kEntryFile &&
                          (it->second.perms & kFinishedBits) != 0;
        plan->files.push_back(std::move(f));
    }
}

void upload_tree(Run &run, const FileArg &arg, const struct stat &top_st, TreePlan *plan,
                 Finals *finals) {
    const std::string src = strip_slashes(arg.source);
    const std::string dst = strip_slashes(arg.target);
    const unsigned top_perms = top_st.st_mode & proto::kMaxPermissionBits;
    if (remote_vesk_version < proto::kFirstTrees) {
        say(run, "\tSkipped : %s: the far veskd copies no directory trees (%s)\n", src.c_str(),
            kUnsupported);
        return;
    }
    use_base(run, "");
    const Reply made = run.req.call('K', 0, "%o\n%s", top_perms | kDirWhileCopying, dst.c_str());
    if (made.failed()) {
        say(run, "\tSkipped : can't make remote directory %s: %s\n", dst.c_str(),
            made.text.c_str());
        return;
    }
    TreeUpload t;
    t.src = src;
    t.dst = dst;
    std::string why, refused;
    int far_error = 0;
    if (!list_far(run, dst, &t.far, &why, &far_error, &refused)) {
        say(run, "\tSkipped : can't list remote directory %s: %s\n", dst.c_str(), why.c_str());
        return;
    }
    fputs(refused.c_str(), stderr);
    int topfd = open(src.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (topfd < 0) {
        say(run, "\tSkipped : can't read local directory %s: %s\n", src.c_str(), strerror(errno));
        return;
    }
    walk_local(run, topfd, src, ".", 0, &t.nodes, &t.ids);
    close(topfd);

    TreeEntry top;
    top.type = proto::kEntryDir;
    top.perms = top_perms;
    top.mtime = stamp_of(top_st.st_mtim);
    top.atime = stamp_of(top_st.st_atim);
    top.path = ".";
    finals->dirs.push_back({dst, top, names_itself(src) || names_itself(dst)});
    make_far(run, t, far_steps(run, t, finals));
    plan_files(run, t, plan);
}

// ---- download ------------------------------------------------------------

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

// Gives each directory its mode and times, the deepest first, so that
// finishing one never changes its parent's time.
void finish_upload(Run &run, const Finals &finals) {
    for (size_t i = finals.dirs.size(); i-- > 0;) {
        const Finals::Dir &d = finals.dirs[i];
        use_base(run, d.base);
        char mode[16] = "-";
        if (!d.keep_mode) snprintf(mode, sizeof mode, "%o", d.e.perms);
        run.req.post('P', 0, "%s %s %s\n%s", mode, stamp_text(d.e.mtime).c_str(),
                     stamp_text(d.e.atime).c_str(), d.e.path.c_str());
    }
    // A request with a reply last: the ones before it have been served
    // when it is answered.
    run.req.collect(run.req.post(0, 0, nullptr));
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

// Two trees with one target would be written at once: the later is refused.
bool claim_top(Run &run, std::set<std::string> *tops, const FileArg &arg) {
    if (tops->insert(strip_slashes(arg.target)).second) return true;
    say(run, "\tSkipped : %s is also the target of an earlier argument\n",
        printable(arg.target).c_str());
    return false;
}

}  // namespace

TreePlan upload_trees(Run &run, const std::vector<FileArg> &args) {
    TreePlan plan;
    auto finals = std::make_shared<Finals>();
    std::set<std::string> tops;
    Messages shown;  // the tree's own line, at once
    for (const FileArg &arg : args) {
        struct stat st {};
        if (arg.source == "-" || arg.too_long || stat(arg.source.c_str(), &st) != 0 ||
            !S_ISDIR(st.st_mode)) {
            plan.files.push_back(arg);
            continue;
        }
        print_file_line(run, arg, shown);
        if (claim_top(run, &tops, arg)) upload_tree(run, arg, st, &plan, finals.get());
    }
    plan.finish = [finals](Run &r) { finish_upload(r, *finals); };
    return plan;
}

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
