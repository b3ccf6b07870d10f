// The connect module's parse of the version handshake reply, exposed so that
// a fuzz harness can feed it what a link server might answer.
#ifndef VESK_CONNECT_INTERNAL_H
#define VESK_CONNECT_INTERNAL_H

namespace vesk {

// Reads "VERSION %lu %lx %s %u" from text into remote_vesk_version,
// vesk_remoteaddr, vesk_remotehost (at most 255 bytes and its NUL) and
// vesk_remoteuser; fields that are absent keep their values.
void parse_version_reply(const char *text);

}  // namespace vesk

#endif
