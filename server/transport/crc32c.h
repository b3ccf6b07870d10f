// CRC-32C (Castagnoli), the check of every packet on a checked link: it
// catches every burst of up to 32 bits, and x86's SSE4.2 computes it at
// several bytes a cycle.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vesk {

// CRC-32C of n bytes at p, continuing from crc (0 to start).  Uses the CPU's
// crc32 instruction where it has one, a table everywhere else; both give the
// same value.
uint32_t crc32c(uint32_t crc, const void *p, size_t n);
// The table path alone, so that tests can hold the fast path against it.
uint32_t crc32c_portable(uint32_t crc, const void *p, size_t n);

}  // namespace vesk
