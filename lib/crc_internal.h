// The checksum kernels behind file_crc, exposed so that tests can hold the
// fast path against the table path on the same data.
#ifndef VESK_CRC_INTERNAL_H
#define VESK_CRC_INTERNAL_H

#include <cstddef>
#include <cstdint>

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

// file_crc of what is read from a descriptor (from its current offset),
// worked through a slice at a time so that a long checksum can make way for
// others between slices.
class CrcReader {
  public:
    // fd stays the caller's.  len as for file_crc: the first len bytes, or
    // everything up to the end for 0.
    CrcReader(int fd, long len);
    ~CrcReader();
    CrcReader(const CrcReader &) = delete;
    CrcReader &operator=(const CrcReader &) = delete;
    // Reads and folds up to max more bytes.  Returns true once finished;
    // value() is then the checksum, or 0 when a read failed or the file ended
    // before len bytes.
    bool step(size_t max);
    unsigned int value() const { return failed_ ? 0 : crc_; }

  private:
    int fd_;
    long len_;
    long left_;
    uint16_t crc_;
    bool failed_ = false;
    bool done_ = false;
    uint8_t *block_;
};

}  // namespace vesk

#endif
