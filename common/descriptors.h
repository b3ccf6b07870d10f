// Descriptor helpers that the library's programs and veskd share: the soft
// descriptor limit raised for the processes that hold a descriptor or two per
// forwarded connection (do_connect's forwarders and veskd), and the
// non-blocking switch.  Internal; never installed.
#ifndef VESK_COMMON_DESCRIPTORS_H
#define VESK_COMMON_DESCRIPTORS_H

namespace vesk {

// Raises the soft RLIMIT_NOFILE to the hard limit; the usual soft 1024 would
// cap a forwarder near 500 connections although the hard limit allows far
// more.  Returns false when the limit could not be read or set (the old one
// then stays).
bool raise_descriptor_limit();

// Sets O_NONBLOCK on fd.  Returns false, with errno set, when its flags
// could not be read or set.
bool set_nonblocking(int fd);

}  // namespace vesk

#endif
