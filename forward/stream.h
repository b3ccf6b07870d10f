// The stream open that portlink and displink share: a command that names what
// the far side connects to, then '5', after which the connection carries
// only that stream's bytes.
#ifndef VESK_FORWARD_STREAM_H
#define VESK_FORWARD_STREAM_H

#include <cstdio>

#include <unistd.h>

#include "vesknet.h"

namespace vesk::forward {

// Sends code with arg on the link-server connection fd, then '5'.  Returns fd,
// now a stream.  When the command is refused: prints "<prefix>: <reason>\n"
// unless prefix is null, closes fd and returns -1.
inline int open_stream(int fd, char code, const char *arg, const char *prefix) {
    if (send_command(fd, code, 0, "%s", arg) < 0) {
        if (prefix != nullptr) std::fprintf(stderr, "%s: %s\n", prefix, command_result);
        close(fd);
        return -1;
    }
    send_command(fd, '5', 1, nullptr);
    return fd;
}

}  // namespace vesk::forward

#endif  // VESK_FORWARD_STREAM_H
