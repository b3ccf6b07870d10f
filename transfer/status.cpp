// Range-checked reading of the file status reply.
#include "status.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace vesk::transfer {

namespace {

enum class Field { kMissing, kRead, kOutOfRange };

// One number in base at *p within [lo, hi]; moves *p past it when read.
Field read_number(const char **p, int base, long lo, long hi, long *out) {
    char *end = nullptr;
    errno = 0;
    long v = strtol(*p, &end, base);
    if (end == *p) return Field::kMissing;
    if (errno == ERANGE || v < lo || v > hi) return Field::kOutOfRange;
    *p = end;
    *out = v;
    return Field::kRead;
}

}  // namespace

int parse_file_status(const char *text, FileStatus *st) {
    *st = FileStatus{};
    struct Spec {
        int base;
        long lo;
        long hi;
    };
    static constexpr Spec kSpecs[kStatusFields] = {
        {10, 0, LONG_MAX},                                // size
        {10, INT_MIN, INT_MAX},                           // type
        {10, LONG_MIN, LONG_MAX},                         // links
        {10, -kMaxRelativeSeconds, kMaxRelativeSeconds},  // atime
        {10, -kMaxRelativeSeconds, kMaxRelativeSeconds},  // mtime
        {8, 0, static_cast<long>(kMaxPermissionBits)},    // permission bits
        {10, 0, static_cast<long>(kMaxChecksum)},         // checksum
    };
    long v[kStatusFields] = {};
    const char *p = text;
    int n = 0;
    for (; n < kStatusFields; ++n) {
        Field f = read_number(&p, kSpecs[n].base, kSpecs[n].lo, kSpecs[n].hi, &v[n]);
        if (f == Field::kOutOfRange) {
            *st = FileStatus{};
            return -1;
        }
        if (f == Field::kMissing) break;
    }
    st->size = v[0];
    st->type = static_cast<int>(v[1]);
    st->links = v[2];
    st->atime = v[3];
    st->mtime = v[4];
    st->perms = static_cast<unsigned>(v[5]);
    st->crc = static_cast<unsigned>(v[6]);
    st->fields = n;
    return n;
}

}  // namespace vesk::transfer
