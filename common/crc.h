// The file checksum that the library's file_crc gives and veskd's file
// status replies carry: the kernels (exposed so that tests can hold the fast
// path against the table path on the same data) and a sliced file reader.
#ifndef VESK_COMMON_CRC_H
#define VESK_COMMON_CRC_H

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace vesk {

// CRC-16/CCITT-FALSE state after feeding n bytes to state crc (start: 0xFFFF).
// The table path works everywhere.
uint16_t crc16_table(uint16_t crc, const uint8_t *p, size_t n);

// The same result by carry-less multiplication.  Only valid when
// crc16_clmul_available() returns true.
uint16_t crc16_clmul(uint16_t crc, const uint8_t *p, size_t n);

// True when this CPU has the carry-less multiply and byte-shuffle instructions.
bool crc16_clmul_available();

// The fastest path this CPU offers; the result is that of crc16_table.
uint16_t crc16_update(uint16_t crc, const uint8_t *p, size_t n);

// file_crc of a file's bytes from its start, worked through a slice at a
// time so that a long checksum can make way for others between slices.
// Between slices it holds neither the descriptor nor a read block: a caller
// may close the file and reopen it for the next slice.
class CrcReader {
  public:
    // len as for file_crc: the first len bytes, or everything up to the end
    // for 0.
    explicit CrcReader(long len);
    CrcReader(const CrcReader &) = delete;
    CrcReader &operator=(const CrcReader &) = delete;
    // Reads (pread, from where the last step ended) and folds up to max more
    // bytes of fd, which stays the caller's.  Returns true once finished;
    // value() is then the checksum, or 0 when a read or the read block's
    // allocation failed, or the file ended before len bytes.
    bool step(int fd, size_t max);
    // Gives up: value() is 0 from now on.
    void fail() { failed_ = done_ = true; }
    unsigned int value() const { return failed_ ? 0 : crc_; }

  private:
    long len_;
    long left_;
    off_t offset_ = 0;
    uint16_t crc_;
    bool failed_ = false;
    bool done_ = false;
};

}  // namespace vesk

#endif
