// The file status reply of 'D' and '7': seven blank-separated numbers that
// veskd writes and the transfer programs read.  Field order, base and range
// stand in one table here, so the writer and the range-checked reader cannot
// drift apart.  The text comes from the far machine, so a number that does
// not fit its field makes the whole reply unreadable instead of overflowing
// the arithmetic that turns relative times into local ones.
#pragma once

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <string>

#include <sys/stat.h>

namespace vesk::proto {

// Relative times further from the sender's clock than this are refused:
// about 35,000 years either way, so adding the local clock never overflows.
constexpr long long kMaxRelativeSeconds = 1LL << 40;  // seconds
// The permission bits a mode in a request or a reply may carry.
constexpr unsigned kMaxPermissionBits = 07777;
// A copy that is still owed data: its owner may read it, nobody else may
// touch it, and the next transfer recognises it as resumable.
constexpr unsigned kPartialMode = 0400;
// Hidden names beside a copy: while a read-only partial copy is opened for
// writing, and while a tree's changed copy is replaced (-U).  Tree copies
// never copy names that start so.
constexpr const char *kOpeningPrefix = ".vesk-open.";
constexpr const char *kReplacingPrefix = ".vesk-new.";
// Partial copies are marked by mode: any of these bits marks a finished one.
constexpr unsigned kFinishedBits = 0333;
constexpr unsigned kMaxChecksum = 0xffff;  // the checksum has 16 bits
constexpr int kStatusFields = 7;

// Field 2, the file type.
constexpr int kRegularFile = 0;
constexpr int kDirectory = 1;
constexpr int kOtherFile = 2;  // any other kind

struct FileStatus {
    long long size = 0;   // field 1: bytes, 0 or more
    int type = 0;         // field 2: kRegularFile, kDirectory or kOtherFile
    long long links = 0;  // field 3: not used by the transfer programs
    long long atime = 0;  // field 4: seconds relative to the sender's clock
    long long mtime = 0;  // field 5: likewise
    unsigned perms = 0;   // field 6: permission bits, written in octal
    unsigned crc = 0;     // field 7: checksum, 0 when none was computed
    int fields = 0;       // how many leading fields were read
};

struct StatusField {
    int base;
    long long lo;
    long long hi;
};

// Each field's base and the range a reader accepts, in reply order.  The
// size stops at LONG_MAX because the transfer programs count bytes in long.
constexpr StatusField kStatusLayout[kStatusFields] = {
    {10, 0, LONG_MAX},                                // size
    {10, INT_MIN, INT_MAX},                           // type
    {10, LONG_MIN, LONG_MAX},                         // links
    {10, -kMaxRelativeSeconds, kMaxRelativeSeconds},  // atime
    {10, -kMaxRelativeSeconds, kMaxRelativeSeconds},  // mtime
    {8, 0, kMaxPermissionBits},                       // permission bits
    {10, 0, kMaxChecksum},                            // checksum
};

// The status of a file from its stat, times relative to now (seconds of the
// sender's clock), with checksum crc.
inline FileStatus file_status_of(const struct stat &st, long long now, unsigned crc) {
    FileStatus fs;
    fs.size = st.st_size;
    fs.type = S_ISREG(st.st_mode) ? kRegularFile : S_ISDIR(st.st_mode) ? kDirectory : kOtherFile;
    fs.links = static_cast<long long>(st.st_nlink);
    fs.atime = st.st_atime - now;
    fs.mtime = st.st_mtime - now;
    fs.perms = st.st_mode & kMaxPermissionBits;
    fs.crc = crc;
    return fs;
}

namespace status_detail {

inline void to_fields(const FileStatus &st, long long v[kStatusFields]) {
    const long long fields[kStatusFields] = {st.size,  st.type,  st.links, st.atime,
                                             st.mtime, st.perms, st.crc};
    for (int i = 0; i < kStatusFields; ++i) v[i] = fields[i];
}

inline void from_fields(const long long v[kStatusFields], int n, FileStatus *st) {
    st->size = v[0];
    st->type = static_cast<int>(v[1]);
    st->links = v[2];
    st->atime = v[3];
    st->mtime = v[4];
    st->perms = static_cast<unsigned>(v[5]);
    st->crc = static_cast<unsigned>(v[6]);
    st->fields = n;
}

enum class Field { kMissing, kRead, kOutOfRange };

// One number at *p in the field's base and within its range; moves *p past
// it when read.
inline Field read_field(const char **p, const StatusField &f, long long *out) {
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(*p, &end, f.base);
    if (end == *p) return Field::kMissing;
    if (errno == ERANGE || v < f.lo || v > f.hi) return Field::kOutOfRange;
    *p = end;
    *out = v;
    return Field::kRead;
}

}  // namespace status_detail

// Returns the reply text of st, every field in its base ("%o" for the
// permission bits, decimal for the rest), st.fields ignored.
inline std::string format_file_status(const FileStatus &st) {
    long long v[kStatusFields];
    status_detail::to_fields(st, v);
    std::string text;
    char buf[32];  // enough for any long long in base 8 or 10
    for (int i = 0; i < kStatusFields; ++i) {
        if (i > 0) text += ' ';
        auto r = std::to_chars(buf, buf + sizeof buf, v[i], kStatusLayout[i].base);
        text.append(buf, r.ptr);
    }
    return text;
}

// Reads the leading fields of text into *st.  Like the classic scanf reading
// it stops at the first field that is missing or not a number, leaving that
// field and the rest at 0; returns how many fields were read (0 to 7).
// Returns -1 (unreadable, *st all 0) when a field holds a number outside its
// range.
inline int parse_file_status(const char *text, FileStatus *st) {
    using status_detail::Field;
    *st = FileStatus{};
    long long v[kStatusFields] = {};
    const char *p = text;
    int n = 0;
    for (; n < kStatusFields; ++n) {
        Field f = status_detail::read_field(&p, kStatusLayout[n], &v[n]);
        if (f == Field::kOutOfRange) return -1;
        if (f == Field::kMissing) break;
    }
    status_detail::from_fields(v, n, st);
    return n;
}

}  // namespace vesk::proto
