// Directory trees (tree.h): what both directions share (tree_parts.h): the
// names of a tree's entries, the quick check, requests ahead of their
// replies, and the listing of a far tree.
#include "tree_parts.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

namespace vesk::transfer::trees {

namespace {
// Requests sent ahead of their replies: each reply is a few bytes, so the
// replies waiting in the socket never fill it, and a long round trip is
// covered many times over.
constexpr size_t kAhead = 512;
}  // namespace

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

bool own_temporary(std::string_view path) {
    size_t slash = path.rfind('/');
    std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    return last.rfind(proto::kOpeningPrefix, 0) == 0 || last.rfind(proto::kReplacingPrefix, 0) == 0;
}

bool names_itself(const std::string &path) {
    size_t slash = path.rfind('/');
    std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
    return last == "." || last == ".." || last.empty();
}

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

bool under(const std::set<std::string> &failed, const std::string &rel) {
    for (std::string p = rel;; p = parent_of(p)) {
        if (failed.count(p)) return true;
        if (p == ".") return false;
    }
}

bool claim_top(Run &run, std::set<std::string> *tops, const FileArg &arg) {
    if (tops->insert(strip_slashes(arg.target)).second) return true;
    say(run, "\tSkipped : %s is also the target of an earlier argument\n",
        printable(arg.target).c_str());
    return false;
}

}  // namespace vesk::transfer::trees
