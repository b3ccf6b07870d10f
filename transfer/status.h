// The file status reply of 'D' and '7' as the transfer programs read it.  The
// text comes from the far machine, so every field is range-checked: a number
// that does not fit its field makes the whole reply unreadable instead of
// overflowing the arithmetic that turns relative times into local ones.
#pragma once

namespace vesk::transfer {

// Relative times further from the sender's clock than this are refused:
// about 35,000 years either way, so adding the local clock never overflows.
constexpr long kMaxRelativeSeconds = 1L << 40;  // seconds
constexpr unsigned kMaxPermissionBits = 07777;
constexpr unsigned kMaxChecksum = 0xffff;  // the checksum has 16 bits
constexpr int kStatusFields = 7;

struct FileStatus {
    long size = 0;       // field 1: bytes, 0 or more
    int type = 0;        // field 2: 0 regular file, 1 directory, other kinds
    long links = 0;      // field 3: not used by the transfer programs
    long atime = 0;      // field 4: seconds relative to the sender's clock
    long mtime = 0;      // field 5: likewise
    unsigned perms = 0;  // field 6: octal permission bits
    unsigned crc = 0;    // field 7: checksum, 0 when none was computed
    int fields = 0;      // how many leading fields were read
};

// Reads the leading fields of text into *st.  Like the classic scanf reading
// it stops at the first field that is missing or not a number, leaving that
// field and the rest at 0; returns how many fields were read (0 to 7).
// Returns -1 (unreadable) when a field holds a number outside its range.
int parse_file_status(const char *text, FileStatus *st);

}  // namespace vesk::transfer
