// Descriptor helpers that the library's programs and veskd share: the soft
// descriptor limit raised for the processes that hold a descriptor or two per
// forwarded connection (do_connect's forwarders and veskd), the
// non-blocking switch and a whole write.  Internal; never installed.
#ifndef VESK_COMMON_DESCRIPTORS_H
#define VESK_COMMON_DESCRIPTORS_H

#include <cstddef>

namespace vesk {

// Raises the soft RLIMIT_NOFILE to the hard limit; the usual soft 1024 would
// cap a forwarder near 500 connections although the hard limit allows far
// more.  Returns false when the limit could not be read or set (the old one
// then stays).
bool raise_descriptor_limit();

// Sets O_NONBLOCK on fd.  Returns false, with errno set, when its flags
// could not be read or set.
bool set_nonblocking(int fd);

// Writes all n bytes at p to a blocking fd, again after EINTR and partial
// writes; a socket whose far side has gone raises no SIGPIPE (a pipe still
// does).  Returns false, with errno set, when a write fails or writes
// nothing.
bool write_all(int fd, const void *p, size_t n);

}  // namespace vesk

#endif
