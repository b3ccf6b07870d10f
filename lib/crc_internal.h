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

}  // namespace vesk

#endif
