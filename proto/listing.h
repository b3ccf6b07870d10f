// A directory tree as veskd lists it for the tree copies of upload and
// download ('Q'): every entry beneath the top in one stream, so that a tree
// of any depth costs one round trip.  veskd writes the lines and the
// programs read them here, so the two cannot drift apart.
//
// One line per entry, the top first (named "."), each directory before what
// it holds, names in byte order:
//   "<type> <mode> <size> <mtime> <atime> <length> <path>[ <length> <target>]\n"
// type 'f' regular, 'd' directory, 'l' symbolic link (the target follows),
// 'o' anything else; mode the permission bits in octal; size in bytes; times
// absolute, "<seconds>.<nanoseconds>" (nine digits), since a file's time is
// a fact of the file and must come out exact; path relative to the top.
// Lengths come before names and targets, so that any byte but NUL may stand
// in them: the reader never trusts one as a path (safe_component).
#pragma once

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "file_status.h"

namespace vesk::proto {

constexpr char kEntryFile = 'f';
constexpr char kEntryDir = 'd';
constexpr char kEntryLink = 'l';
constexpr char kEntryOther = 'o';

// Bounds on a listing, so that no far end can make a reader queue without
// end: entries, bytes of the whole text, and directory depth.
constexpr size_t kTreeEntriesMax = 1000000;
constexpr size_t kTreeListBytesMax = 256 * 1024 * 1024;  // bytes
constexpr int kTreeDepthMax = 256;                       // directories
// Longest name component on Linux, and longest path or link target.
constexpr size_t kEntryNameMax = 255;  // bytes
constexpr size_t kTreePathMax = 4095;  // bytes

constexpr long kNanosPerSecond = 1000000000L;

struct Stamp {
    long long sec = 0;
    long nsec = 0;  // 0 .. kNanosPerSecond - 1
    bool operator==(const Stamp &o) const { return sec == o.sec && nsec == o.nsec; }
};

struct TreeEntry {
    char type = kEntryOther;
    unsigned perms = 0;
    long long size = 0;
    Stamp mtime, atime;
    std::string path;    // "." for the top
    std::string target;  // a link's
};

// The path of name within the directory at parent ("." for the top).
inline std::string child_path(const std::string &parent, const std::string &name) {
    if (parent == ".") return name;
    std::string path = parent;
    path += '/';
    path += name;
    return path;
}

// Whether a copy's time and the source's agree: exactly, or to the second
// where one file system keeps no fraction.  Never a rounding.
inline bool same_time(const Stamp &a, const Stamp &b) {
    return a.sec == b.sec && (a.nsec == b.nsec || a.nsec == 0 || b.nsec == 0);
}

// A time as the listing and the 'P' request write it: "<seconds>.<nine digits>".
inline std::string stamp_text(const Stamp &s) {
    char t[48];
    snprintf(t, sizeof t, "%lld.%09ld", s.sec, s.nsec);
    return t;
}

// One entry's line.
inline std::string format_tree_entry(const TreeEntry &e) {
    char head[48];
    snprintf(head, sizeof head, "%c %o %lld ", e.type, e.perms & kMaxPermissionBits, e.size);
    std::string line = head;
    line += stamp_text(e.mtime);
    line += ' ';
    line += stamp_text(e.atime);
    line += ' ';
    line += std::to_string(e.path.size());
    line += ' ';
    line += e.path;
    if (e.type == kEntryLink) {
        line += ' ';
        line += std::to_string(e.target.size());
        line += ' ';
        line += e.target;
    }
    line += '\n';
    return line;
}

namespace listing_detail {

// A decimal at *p up to the delimiter stop, within [lo, hi]; *p moves past
// the delimiter.
inline bool number(std::string_view s, size_t *p, char stop, long long lo, long long hi,
                   long long *out, int base = 10) {
    size_t end = s.find(stop, *p);
    if (end == std::string_view::npos || end == *p || end - *p > 24) return false;
    std::string digits(s.substr(*p, end - *p));
    char *q = nullptr;
    errno = 0;
    long long v = strtoll(digits.c_str(), &q, base);
    if (errno != 0 || *q != '\0' || v < lo || v > hi || (digits[0] == '+' || digits[0] == ' '))
        return false;
    *out = v;
    *p = end + 1;
    return true;
}

inline bool stamp(std::string_view s, size_t *p, Stamp *out) {
    long long sec = 0, nsec = 0;
    if (!number(s, p, '.', -kMaxRelativeSeconds, kMaxRelativeSeconds, &sec)) return false;
    if (*p + 9 >= s.size() || s[*p + 9] != ' ') return false;
    if (!number(s, p, ' ', 0, kNanosPerSecond - 1, &nsec)) return false;
    out->sec = sec;
    out->nsec = static_cast<long>(nsec);
    return true;
}

// "<length> <bytes>" ending at a delimiter it returns in *after.
inline bool counted(std::string_view s, size_t *p, size_t max, std::string *out) {
    long long len = 0;
    if (!number(s, p, ' ', 1, static_cast<long long>(max), &len)) return false;
    if (s.size() - *p <= static_cast<size_t>(len)) return false;
    out->assign(s.substr(*p, static_cast<size_t>(len)));
    *p += static_cast<size_t>(len);
    return out->find('\0') == std::string::npos;
}

}  // namespace listing_detail

// Reads the entry that starts at *pos of text and moves *pos past it.
// Returns false for bytes that are not one (nothing read from them is to be
// trusted); a line cut short at the end of text is not one either.
inline bool parse_tree_entry(std::string_view s, size_t *pos, TreeEntry *e) {
    using namespace listing_detail;
    size_t p = *pos;
    if (s.size() - p < 2 || s[p + 1] != ' ') return false;
    e->type = s[p];
    if (e->type != kEntryFile && e->type != kEntryDir && e->type != kEntryLink &&
        e->type != kEntryOther)
        return false;
    p += 2;
    long long perms = 0, size = 0;
    if (!number(s, &p, ' ', 0, kMaxPermissionBits, &perms, 8) ||
        !number(s, &p, ' ', 0, LONG_MAX, &size) || !stamp(s, &p, &e->mtime) ||
        !stamp(s, &p, &e->atime) || !counted(s, &p, kTreePathMax, &e->path))
        return false;
    e->perms = static_cast<unsigned>(perms);
    e->size = size;
    e->target.clear();
    if (e->type == kEntryLink) {
        if (s[p] != ' ') return false;
        ++p;
        if (!counted(s, &p, kTreePathMax, &e->target)) return false;
    }
    if (p >= s.size() || s[p] != '\n') return false;
    *pos = p + 1;
    return true;
}

// Whether one component of a listed path may name something here: not
// empty, ".", "..", over-long, and no '/', NUL or newline.
inline bool safe_component(std::string_view c) {
    return !c.empty() && c != "." && c != ".." && c.size() <= kEntryNameMax &&
           c.find_first_of(std::string_view("/\0\n", 3)) == std::string_view::npos;
}

// Whether a listed path may name something beneath the top: "." for the top
// itself, or safe components joined by single '/'.
inline bool safe_tree_path(std::string_view path) {
    if (path == ".") return true;
    if (path.empty() || path.size() > kTreePathMax) return false;
    size_t start = 0;
    for (;;) {
        size_t slash = path.find('/', start);
        if (!safe_component(path.substr(start, slash - start))) return false;
        if (slash == std::string_view::npos) return true;
        start = slash + 1;
    }
}

}  // namespace vesk::proto
