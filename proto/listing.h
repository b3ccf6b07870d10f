// A directory listing as veskd pages it for the tree copies of upload and
// download: one page per reply, so that a directory of any size crosses in
// replies no longer than a request text.  veskd writes the pages and the
// programs read them here, so the two cannot drift apart.
//
// Page text: "<pages>\n" and then one line per entry,
//   "<type> <mode> <size> <atime> <mtime> <length> <name>\n"
// type 'f' regular, 'd' directory, 'l' symbolic link, 'o' anything else;
// mode the permission bits in octal; size in bytes (a link's: its target's
// length); times in seconds relative to the sender's clock; the name comes
// after its length in bytes, so that any byte but NUL may stand in it.
// Pages cut the name-sorted directory at the same places whichever page is
// asked for, so a client that knows the count asks for all pages at once.
#pragma once

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "commands.h"
#include "file_status.h"

namespace vesk::proto {

constexpr char kEntryFile = 'f';
constexpr char kEntryDir = 'd';
constexpr char kEntryLink = 'l';
constexpr char kEntryOther = 'o';

// Bytes of a page's text: a reply's text less room to spare.
constexpr size_t kListPageMax = kRequestTextMax - 20;
// Most bytes of an entry line besides its name: type, mode (5 digits), size
// (19), two times (a sign and 13 digits each), the name's length (3), six
// blanks and the newline.  Pages are cut with this bound, so that the cut
// needs no stat of any entry.
constexpr size_t kEntryFixedMax = 1 + 5 + 19 + 14 + 14 + 3 + 6 + 1;
// The "<pages>\n" line at its longest.
constexpr size_t kPageHeaderMax = 11;
// Longest name a directory entry has on Linux; the cut assumes it.
constexpr size_t kEntryNameMax = 255;  // bytes

struct ListEntry {
    char type = kEntryOther;
    unsigned perms = 0;
    long long size = 0;
    long long atime = 0;  // relative to the sender's clock
    long long mtime = 0;
    std::string name;
};

// Index of the first entry of each page, for sorted names of these lengths;
// always at least one page (an empty directory has one, empty).
inline std::vector<size_t> page_starts(const std::vector<size_t> &name_lengths) {
    std::vector<size_t> starts{0};
    size_t used = kPageHeaderMax;
    for (size_t i = 0; i < name_lengths.size(); ++i) {
        size_t cost = kEntryFixedMax + name_lengths[i];
        if (used + cost > kListPageMax && i != starts.back()) {
            starts.push_back(i);
            used = kPageHeaderMax;
        }
        used += cost;
    }
    return starts;
}

// One entry's line.  Times beyond kMaxRelativeSeconds are clamped to it.
inline std::string format_entry(const ListEntry &e) {
    auto clamp = [](long long t) {
        return t > kMaxRelativeSeconds    ? kMaxRelativeSeconds
               : t < -kMaxRelativeSeconds ? -kMaxRelativeSeconds
                                          : t;
    };
    std::string line = std::string(1, e.type) + " ";
    char nums[96];
    snprintf(nums, sizeof nums, "%o %lld %lld %lld %zu ", e.perms & kMaxPermissionBits, e.size,
             clamp(e.atime), clamp(e.mtime), e.name.size());
    line += nums;
    line += e.name;
    line += '\n';
    return line;
}

// Reads a page.  Returns false for a text that is not one (nothing read
// from it is to be trusted); otherwise *pages and *entries.
inline bool parse_page(std::string_view text, size_t *pages, std::vector<ListEntry> *entries) {
    entries->clear();
    std::string s(text);  // NUL-terminated for strtoll
    const char *p = s.c_str();
    const char *end = p + s.size();
    char *q = nullptr;
    long long n = strtoll(p, &q, 10);
    if (q == p || *q != '\n' || n < 1) return false;
    *pages = static_cast<size_t>(n);
    p = q + 1;
    while (p < end) {
        ListEntry e;
        e.type = *p++;
        if (*p++ != ' ') return false;
        long long v[5];
        const int base[5] = {8, 10, 10, 10, 10};
        for (int i = 0; i < 5; ++i) {
            v[i] = strtoll(p, &q, base[i]);
            if (q == p || *q != ' ') return false;
            p = q + 1;
        }
        if (v[0] < 0 || v[0] > kMaxPermissionBits || v[1] < 0 || v[2] < -kMaxRelativeSeconds ||
            v[2] > kMaxRelativeSeconds || v[3] < -kMaxRelativeSeconds ||
            v[3] > kMaxRelativeSeconds || v[4] < 1 || v[4] > static_cast<long long>(kEntryNameMax))
            return false;
        size_t len = static_cast<size_t>(v[4]);
        if (static_cast<size_t>(end - p) < len + 1 || p[len] != '\n') return false;
        e.perms = static_cast<unsigned>(v[0]);
        e.size = v[1];
        e.atime = v[2];
        e.mtime = v[3];
        e.name.assign(p, len);
        p += len + 1;
        entries->push_back(std::move(e));
    }
    return true;
}

}  // namespace vesk::proto
