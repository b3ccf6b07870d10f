// Internal buffer helpers shared by the relay loops.
#ifndef VESK_BUFFER_INTERNAL_H
#define VESK_BUFFER_INTERNAL_H

#include "vesknet.h"

namespace vesk {
// Returns a buffer's storage to the process-wide table; the buffer is left all zero.
void buffer_release(vesk_buff *b);
}  // namespace vesk

#endif
