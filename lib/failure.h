// The library's own failure texts.  They take the form of a failed reply, so
// that programs print them as they print the server's: com_result holds three
// 'X' (where a reply has '@', its direction and its status) and the text, and
// command_result points at the text.  Header only: the transfer programs'
// pipelined requests write them too.
#ifndef VESK_FAILURE_H
#define VESK_FAILURE_H

#include <cstdarg>
#include <cstddef>
#include <cstdio>

#include "vesknet.h"

namespace vesk {

// Where a reply's text, or the library's own, starts in com_result.
constexpr size_t kResultTextOffset = 3;

// Writes the failure text that format and its arguments make into com_result
// (cut to fit), and points command_result at it.
__attribute__((format(printf, 1, 2))) inline void set_failure(const char *format, ...) {
    snprintf(com_result, sizeof com_result, "XX%c", 'X');
    va_list ap;
    va_start(ap, format);
    vsnprintf(com_result + kResultTextOffset, sizeof com_result - kResultTextOffset, format, ap);
    va_end(ap);
    command_result = com_result + kResultTextOffset;
}

}  // namespace vesk

#endif
