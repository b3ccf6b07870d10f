// Fuzz harness: the transfer programs' reading of the file status reply that
// the far end sends for 'D' and '7', and veskd's writing of it read back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

#include "file_status.h"

using namespace vesk::proto;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);  // NUL-terminated copy
    FileStatus st;
    int n = parse_file_status(text.c_str(), &st);
    if (n < -1 || n > kStatusFields) abort();
    if (n < 0) return 0;
    if (st.fields != n || st.size < 0 || st.perms > kMaxPermissionBits || st.crc > kMaxChecksum)
        abort();
    // What veskd writes reads back the same.
    FileStatus again;
    if (n == kStatusFields &&
        (parse_file_status(format_file_status(st).c_str(), &again) != n || again.size != st.size ||
         again.mtime != st.mtime || again.perms != st.perms || again.crc != st.crc))
        abort();
    // The programs add the local clock to the relative times: no overflow
    // (UBSan would report one) for any clock up to the far future.
    const long now = static_cast<long>(time(nullptr)) + (1L << 40);
    volatile long a = st.atime + now;
    volatile long m = st.mtime + now;
    (void)a;
    (void)m;
    return 0;
}
