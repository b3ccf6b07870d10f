// The soft descriptor limit raised to the hard one, for the programs that
// hold a descriptor or two per forwarded connection (do_connect's forwarders
// and veskd).  Not part of the installed interface.
#ifndef VESK_FDLIMIT_INTERNAL_H
#define VESK_FDLIMIT_INTERNAL_H

namespace vesk {

// Raises the soft RLIMIT_NOFILE to the hard limit; the usual soft 1024 would
// cap a forwarder near 500 connections although the hard limit allows far
// more.  Returns false when the limit could not be read or set (the old one
// then stays).
bool raise_descriptor_limit();

}  // namespace vesk

#endif
