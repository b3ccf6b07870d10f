// Directory trees (tree.h): the walk of a local tree and the listing of a
// far one, the directories and links made on the other side, and the
// directories' final modes and times.
#include "tree.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <memory>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "commands.h"
#include "file_status.h"
#include "listing.h"

namespace vesk::transfer {

namespace {

using proto::ListEntry;

// Requests sent ahead of their replies: enough to cover a long round trip,
// few enough that the replies waiting in the socket never fill it.
constexpr size_t kAhead = 32;
// A directory being filled is the owner's to write into; its own mode
// comes at the end.
constexpr unsigned kDirWhileCopying = 0700;

constexpr const char *kUnsupported = "Unsupported vesk option";

// One thing in a tree, its path relative to the tree's top ("" for the top).
struct Node {
    char type = proto::kEntryOther;
    unsigned perms = 0;
    long atime = 0;  // absolute, this machine's clock
    long mtime = 0;
    std::string rel;
    std::string link;  // a link's target
};

std::string join(const std::string &top, const std::string &rel) {
    return rel.empty() ? top : top + "/" + rel;
}

std::string strip_slashes(std::string s) {
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

// Walk order: a directory before what it holds, names in byte order.
bool walk_before(const Node &a, const Node &b) {
    const std::string &x = a.rel, &y = b.rel;
    size_t n = std::min(x.size(), y.size());
    for (size_t i = 0; i < n; ++i) {
        if (x[i] == y[i]) continue;
        if (x[i] == '/') return true;
        if (y[i] == '/') return false;
        return static_cast<unsigned char>(x[i]) < static_cast<unsigned char>(y[i]);
    }
    return x.size() < y.size();
}

// Whether rel lies beneath one of the failed directories.
bool under_failed(const std::set<std::string> &failed, const std::string &rel) {
    for (std::string p = rel; !p.empty();) {
        size_t slash = p.rfind('/');
        p = slash == std::string::npos ? "" : p.substr(0, slash);
        if (failed.count(p)) return true;
    }
    return false;
}

void say(Run &run, const char *format, ...) __attribute__((format(printf, 2, 3)));
void say(Run &run, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    vfprintf(stderr, format, ap);
    va_end(ap);
    run.status = 1;
}

FileArg tree_file(const std::string &source, const std::string &target) {
    FileArg f;
    f.source = source;
    f.target = target;
    f.long_form = source != target;
    f.too_long = source.size() > kNameMax || target.size() > kNameMax;
    return f;
}

// Sends each request of make (one per index below n) kAhead ahead of the
// replies, and hands each result to done in order.
void pipelined(Run &run, size_t n, const std::function<Requests::Ticket(size_t)> &make,
               const std::function<void(size_t, int)> &done) {
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

// ---- upload --------------------------------------------------------------

// The local tree at top, in walk order.  Directories that cannot be read are
// said and left out with what they hold.
void walk_local(Run &run, const std::string &top, const std::string &rel, std::vector<Node> *out) {
    const std::string path = join(top, rel);
    DIR *d = opendir(path.c_str());
    if (d == nullptr) {
        say(run, "\tSkipped : can't read local directory %s: %s\n", path.c_str(), strerror(errno));
        return;
    }
    std::vector<std::string> names;
    while (struct dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        Node n;
        n.rel = rel;
        if (!n.rel.empty()) n.rel += '/';
        n.rel += name;
        const std::string p = join(top, n.rel);
        struct stat st {};
        if (lstat(p.c_str(), &st) != 0) continue;  // gone since it was read
        n.perms = st.st_mode & proto::kMaxPermissionBits;
        n.atime = st.st_atime;
        n.mtime = st.st_mtime;
        if (S_ISREG(st.st_mode)) {
            n.type = proto::kEntryFile;
        } else if (S_ISDIR(st.st_mode)) {
            n.type = proto::kEntryDir;
        } else if (S_ISLNK(st.st_mode)) {
            char buf[4096];
            ssize_t len = readlink(p.c_str(), buf, sizeof buf);
            if (len < 0 || static_cast<size_t>(len) >= sizeof buf) continue;
            n.type = proto::kEntryLink;
            n.link.assign(buf, static_cast<size_t>(len));
        }
        out->push_back(n);
        if (n.type == proto::kEntryDir) walk_local(run, top, n.rel, out);
    }
}

void upload_tree(Run &run, const FileArg &arg, const struct stat &top_st, TreePlan *plan,
                 std::vector<Node> *finals, std::vector<std::string> *final_paths) {
    const std::string src = strip_slashes(arg.source);
    const std::string dst = strip_slashes(arg.target);
    if (run.req.call('K', 0, "%o\n%s",
                     (top_st.st_mode & proto::kMaxPermissionBits) | kDirWhileCopying,
                     dst.c_str()) < 0) {
        if (strcmp(command_result, kUnsupported) == 0)
            say(run, "\tSkipped : %s: the far veskd copies no directory trees (%s)\n", src.c_str(),
                command_result);
        else
            say(run, "\tSkipped : can't make remote directory %s: %s\n", dst.c_str(),
                command_result);
        return;
    }
    Node top;
    top.type = proto::kEntryDir;
    top.perms = top_st.st_mode & proto::kMaxPermissionBits;
    top.atime = top_st.st_atime;
    top.mtime = top_st.st_mtime;
    std::vector<Node> nodes;
    walk_local(run, src, "", &nodes);
    std::vector<const Node *> made;  // directories and links, in walk order
    for (const Node &n : nodes)
        if (n.type == proto::kEntryDir || n.type == proto::kEntryLink) made.push_back(&n);
    std::set<std::string> failed;
    pipelined(
        run, made.size(),
        [&](size_t i) {
            const Node &n = *made[i];
            const std::string far = join(dst, n.rel);
            if (n.type == proto::kEntryDir)
                return run.req.post('K', 0, "%o\n%s", n.perms | kDirWhileCopying, far.c_str());
            return run.req.post('k', 0, "%s\n%s", far.c_str(), n.link.c_str());
        },
        [&](size_t i, int rc) {
            const Node &n = *made[i];
            if (rc >= 0 || under_failed(failed, n.rel)) {
                if (rc < 0 && n.type == proto::kEntryDir) failed.insert(n.rel);
                return;
            }
            const char *what = n.type == proto::kEntryDir ? "directory" : "link";
            say(run, "\tSkipped : can't make remote %s %s: %s\n", what, join(dst, n.rel).c_str(),
                command_result);
            if (n.type == proto::kEntryDir) failed.insert(n.rel);
        });
    finals->push_back(top);
    final_paths->push_back(dst);
    for (const Node &n : nodes) {
        if (under_failed(failed, n.rel)) continue;
        if (n.type == proto::kEntryFile) {
            plan->files.push_back(tree_file(join(src, n.rel), join(dst, n.rel)));
        } else if (n.type == proto::kEntryDir && !failed.count(n.rel)) {
            finals->push_back(n);
            final_paths->push_back(join(dst, n.rel));
        } else if (n.type == proto::kEntryOther) {
            say(run, "\tSkipped : %s is not a regular file, directory or link\n",
                join(src, n.rel).c_str());
        }
    }
}

}  // namespace

TreePlan upload_trees(Run &run, const std::vector<FileArg> &args) {
    TreePlan plan;
    auto finals = std::make_shared<std::vector<Node>>();
    auto paths = std::make_shared<std::vector<std::string>>();
    Messages shown;  // the tree's own line, at once
    for (const FileArg &arg : args) {
        struct stat st {};
        if (arg.source == "-" || arg.too_long || stat(arg.source.c_str(), &st) != 0 ||
            !S_ISDIR(st.st_mode)) {
            plan.files.push_back(arg);
            continue;
        }
        print_file_line(run, arg, shown);
        upload_tree(run, arg, st, &plan, finals.get(), paths.get());
    }
    plan.finish = [finals, paths](Run &r) {
        long now = time(nullptr);
        for (size_t i = finals->size(); i-- > 0;) {
            const Node &n = (*finals)[i];
            r.req.post('O', 0, "%o %ld %ld\n%s", n.perms, n.atime - now, n.mtime - now,
                       (*paths)[i].c_str());
        }
        // A request with a reply last: the ones before it have been served
        // when it is answered.
        r.req.collect(r.req.post(0, 0, nullptr));
    };
    return plan;
}

// ---- download ------------------------------------------------------------

namespace {

// A listed name that may become a path here: one component, not "." or
// "..", and usable in a request.
bool safe_name(const std::string &n) {
    return !n.empty() && n != "." && n != ".." && n.find('/') == std::string::npos &&
           n.find('\n') == std::string::npos && n.find('\0') == std::string::npos;
}

// The far tree at top, in walk order (the top itself not included).  The
// top's first page is already in page0.
void list_far(Run &run, const std::string &top, const std::string &page0, std::vector<Node> *out) {
    const long now = time(nullptr);
    std::vector<std::string> level{""};
    std::set<std::string> seen;  // a directory that changed between pages lists a name twice
    bool first = true;
    while (!level.empty()) {
        std::vector<std::string> next;
        std::vector<std::pair<std::string, size_t>> more;  // (directory, page)
        auto take = [&](const std::string &dir, int rc, size_t *pages) {
            std::vector<ListEntry> entries;
            if (rc < 0) {
                say(run, "\tSkipped : can't list remote directory %s: %s\n", join(top, dir).c_str(),
                    command_result);
                return;
            }
            if (!proto::parse_page(command_result, pages, &entries)) {
                say(run, "\tSkipped : can't read the listing of remote directory %s\n",
                    join(top, dir).c_str());
                return;
            }
            for (const ListEntry &e : entries) {
                if (!safe_name(e.name)) {
                    say(run, "\tSkipped : a name in remote directory %s cannot be copied\n",
                        join(top, dir).c_str());
                    continue;
                }
                Node n;
                n.rel = dir.empty() ? e.name : dir + "/" + e.name;
                if (!seen.insert(n.rel).second) continue;
                n.type = e.type;
                n.perms = e.perms;
                n.atime = static_cast<long>(e.atime + now);
                n.mtime = static_cast<long>(e.mtime + now);
                out->push_back(n);
                if (n.type == proto::kEntryDir) next.push_back(n.rel);
            }
        };
        auto first_pages = [&](size_t i, int rc) {
            size_t pages = 0;
            take(level[i], rc, &pages);
            for (size_t p = 1; p < pages; ++p) more.emplace_back(level[i], p);
        };
        size_t from = 0;
        if (first) {
            snprintf(com_result, sizeof com_result, "XXd%s", page0.c_str());
            command_result = com_result + 3;
            first_pages(0, 1);
            from = 1;
            first = false;
        }
        pipelined(
            run, level.size() - from,
            [&](size_t i) {
                return run.req.post('Y', 0, "0\n%s", join(top, level[from + i]).c_str());
            },
            [&](size_t i, int rc) { first_pages(from + i, rc); });
        pipelined(
            run, more.size(),
            [&](size_t i) {
                return run.req.post('Y', 0, "%zu\n%s", more[i].second,
                                    join(top, more[i].first).c_str());
            },
            [&](size_t i, int rc) {
                size_t pages = 0;
                take(more[i].first, rc, &pages);
            });
        level = std::move(next);
    }
    std::vector<size_t> links;
    for (size_t i = 0; i < out->size(); ++i)
        if ((*out)[i].type == proto::kEntryLink) links.push_back(i);
    pipelined(
        run, links.size(),
        [&](size_t i) {
            return run.req.post('J', 0, "%s", join(top, (*out)[links[i]].rel).c_str());
        },
        [&](size_t i, int rc) {
            Node &n = (*out)[links[i]];
            if (rc >= 0 && command_result[0] != '\0') {
                n.link = command_result;
                return;
            }
            say(run, "\tSkipped : can't read remote link %s: %s\n", join(top, n.rel).c_str(),
                command_result);
            n.type = '\0';  // nothing to make
        });
    std::stable_sort(out->begin(), out->end(), walk_before);
}

// Makes the directory here (or takes the one there).  Returns false after
// saying why.
bool make_local_dir(Run &run, const std::string &path, unsigned perms) {
    if (mkdir(path.c_str(), perms | kDirWhileCopying) == 0) return true;
    int err = errno;
    struct stat st {};
    if (err == EEXIST && lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    say(run, "\tSkipped : can't make local directory %s: %s\n", path.c_str(), strerror(err));
    return false;
}

void make_local_link(Run &run, const std::string &path, const std::string &target) {
    if (symlink(target.c_str(), path.c_str()) == 0) return;
    int err = errno;
    struct stat st {};
    // A link holds no data: one already there gives way to the new one.
    if (err == EEXIST && lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) &&
        unlink(path.c_str()) == 0 && symlink(target.c_str(), path.c_str()) == 0)
        return;
    say(run, "\tSkipped : can't make local link %s: %s\n", path.c_str(), strerror(err));
}

void download_tree(Run &run, const FileArg &arg, const std::string &page0, TreePlan *plan,
                   std::vector<Node> *finals, std::vector<std::string> *final_paths) {
    const std::string src = strip_slashes(arg.source);
    const std::string dst = strip_slashes(arg.target);
    std::vector<Node> nodes;
    list_far(run, src, page0, &nodes);
    // The top's own mode and times come from its probe.
    Node top;
    top.type = proto::kEntryDir;
    top.perms = 0755;
    top.atime = top.mtime = 0;
    proto::FileStatus st;
    if (run.req.call('D', 0, "%s", src.c_str()) >= 0 &&
        proto::parse_file_status(command_result, &st) >= 6) {
        long now = time(nullptr);
        top.perms = st.perms;
        top.atime = static_cast<long>(st.atime + now);
        top.mtime = static_cast<long>(st.mtime + now);
    }
    if (!make_local_dir(run, dst, top.perms)) return;
    finals->push_back(top);
    final_paths->push_back(dst);
    std::set<std::string> failed;
    for (const Node &n : nodes) {
        if (under_failed(failed, n.rel)) continue;
        const std::string here = join(dst, n.rel);
        const std::string far = join(src, n.rel);
        switch (n.type) {
            case proto::kEntryDir:
                if (!make_local_dir(run, here, n.perms)) {
                    failed.insert(n.rel);
                    continue;
                }
                finals->push_back(n);
                final_paths->push_back(here);
                break;
            case proto::kEntryFile:
                plan->files.push_back(tree_file(far, here));
                break;
            case proto::kEntryLink:
                make_local_link(run, here, n.link);
                break;
            case proto::kEntryOther:
                say(run, "\tSkipped : %s is not a regular file, directory or link\n", far.c_str());
                break;
            default:
                break;
        }
    }
}

}  // namespace

TreePlan download_trees(Run &run, const std::vector<FileArg> &args) {
    TreePlan plan;
    auto finals = std::make_shared<std::vector<Node>>();
    auto paths = std::make_shared<std::vector<std::string>>();
    Messages shown;  // the tree's own line, at once
    for (const FileArg &arg : args) {
        if (arg.target == "-" || arg.too_long) {
            plan.files.push_back(arg);
            continue;
        }
        const std::string src = strip_slashes(arg.source);
        if (run.req.call('Y', 0, "0\n%s", src.c_str()) < 0) {
            if (strcmp(command_result, kUnsupported) == 0) {
                // An older far end: only a directory is refused for it.
                proto::FileStatus st;
                if (run.req.call('D', 0, "%s", src.c_str()) >= 0 &&
                    proto::parse_file_status(command_result, &st) >= 2 &&
                    st.type == proto::kDirectory) {
                    print_file_line(run, arg, shown);
                    say(run, "\tSkipped : %s: the far veskd copies no directory trees (%s)\n",
                        src.c_str(), kUnsupported);
                    continue;
                }
            } else if (strcmp(command_result, strerror(ENOTDIR)) != 0 &&
                       strcmp(command_result, strerror(ENOENT)) != 0) {
                print_file_line(run, arg, shown);
                say(run, "\tSkipped : can't list remote directory %s: %s\n", src.c_str(),
                    command_result);
                continue;
            }
            // Not a directory: the file's own work copies it or says why not.
            plan.files.push_back(arg);
            continue;
        }
        print_file_line(run, arg, shown);
        download_tree(run, arg, command_result, &plan, finals.get(), paths.get());
    }
    plan.finish = [finals, paths](Run &r) {
        for (size_t i = finals->size(); i-- > 0;) {
            const Node &n = (*finals)[i];
            const std::string &p = (*paths)[i];
            struct timeval tv[2] = {{n.atime, 0}, {n.mtime, 0}};
            bool ok = true;
            if (n.mtime != 0) ok = utimes(p.c_str(), tv) == 0;
            ok = chmod(p.c_str(), n.perms) == 0 && ok;
            if (!ok) say(r, "\tCan't set mode and times on local directory %s\n", p.c_str());
        }
    };
    return plan;
}

}  // namespace vesk::transfer
