// How veskd reaches the far end: the link specification, the TCP key check
// and compression of data frames.  Independent of the frame protocol.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>
#include <sys/types.h>

namespace vesk::transport {

// The two descriptors of an open link (the same one for a TCP link).
struct LinkEnds {
    int in_fd = -1;
    int out_fd = -1;
    pid_t child = -1;  // exec: the command's process, else -1
    bool is_tcp = false;
};

// Opens the link named by spec ("stdio", "exec:COMMAND", "tcp-listen:ADDR:PORT",
// "tcp:HOST:PORT").  TCP links need key_path and pass the key check before this
// returns; they get TCP_NODELAY and keepalive.  Returns false with a message in
// *error (for instance a refused key).
bool open_link(const std::string &spec, const std::string &key_path, LinkEnds *ends,
               std::string *error);

// Reads a key file: not empty, at most 4 KiB.  Returns false with a reason.
bool load_key(const std::string &path, std::string *key, std::string *error);

// Mutual HMAC-SHA256 challenge and response on a connected socket, bounded by
// a timeout.  Returns true when the peer proved that it holds the same key.
bool authenticate(int fd, const std::string &key, bool initiator, std::string *error);

// zstd compression of one frame payload into out (cleared first).  Returns
// false when compressing does not make it smaller: send it raw then.
bool compress(std::span<const uint8_t> in, std::vector<uint8_t> &out);
// Decompresses into out (cleared first), refusing more than max_out bytes.
// Returns false on corrupt input.
bool decompress(std::span<const uint8_t> in, std::vector<uint8_t> &out, size_t max_out);

}  // namespace vesk::transport
