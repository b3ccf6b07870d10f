// Directory trees (tree.h), upload: the walk of a local tree, set against
// the far listing, the far directories and links made for it, and the far
// directories' final modes and times.
#include "tree_parts.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vesk::transfer {

namespace {

using namespace trees;

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

}  // namespace vesk::transfer
