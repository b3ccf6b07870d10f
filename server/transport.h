// How veskd reaches the far end: the --link argument, the TCP key check
// and compression of data frames.  Independent of the frame protocol.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>
#include <sys/types.h>

#include "record.h"

namespace vesk::transport {

// The two descriptors of an open link (the same one for a TCP link).
struct LinkEnds {
    int in_fd = -1;
    int out_fd = -1;
    pid_t child = -1;  // exec: the command's process, else -1
    bool is_tcp = false;
    // TCP: the record keys the key check derived; every byte after it
    // crosses in records.  exec: and stdio carry plain frames (ssh or the
    // line protects them).
    std::optional<record::Keys> keys;
};

// Opens the link named by link ("stdio", "exec:COMMAND", "tcp-listen:ADDR:PORT",
// "tcp:HOST:PORT").  exec: runs /bin/sh -c COMMAND with a socketpair end as its
// stdin and stdout.  TCP is IPv4; an ADDR of "" or "*" is every local
// address.  tcp-listen: accepts one connection (waiting as long as it
// takes) and closes the listener; tcp: retries a refused connect for about
// 10 s.  TCP links need key_path (see keyfile::load) and pass the key check
// before this returns; they get TCP_NODELAY, keepalive and ends->keys.  New
// descriptors are blocking and close-on-exec.  Returns false with a message
// in *error (for instance a refused key).
bool open_link(const std::string &link, const std::string &key_path, LinkEnds *ends,
               std::string *error);

// Mutual HMAC-SHA256 challenge and response on a connected socket, bounded by
// a 10 s timeout; one side passes initiator true, the other false.  Reads
// exactly the exchange's bytes, nothing after.  Returns true when the peer
// proved that it holds the same key, and then, when keys is not null, the
// record keys of this end derived from the key and both nonces; false with a
// reason on a refusal, a peer that closes or stalls, or one that does not
// speak the exchange.
bool authenticate(int fd, const std::string &key, bool initiator, std::string *error,
                  record::Keys *keys = nullptr);

// zstd compression of one frame payload into out (cleared first).  Returns
// false when compressing does not make it smaller: send it raw then.
bool compress(std::span<const uint8_t> in, std::vector<uint8_t> &out);
// Decompresses one zstd frame that declares its size into out (cleared
// first), refusing more than max_out bytes.  Returns false on corrupt,
// oversized or trailing input.
bool decompress(std::span<const uint8_t> in, std::vector<uint8_t> &out, size_t max_out);

}  // namespace vesk::transport
