// Where veskd's clients find it: the socket's directory, its checks, and the
// listening socket.
#pragma once

#include <string>

namespace vesk::sockdir {

// Works out the socket path for the share mode and suffix, creates the
// directory when missing (0700 private, 0750 shared by group, 0700 shared
// by user) and checks it: ours, not writable by group or others, and made in
// directories that no one else may write to (unless sticky, as /tmp).  A
// socket already there that answers means another veskd serves it: refused.
// A stale one is removed.  Returns false with a message in *error.
bool prepare(int share, const std::string &suffix, std::string *path, std::string *error);

// The socket path for the share mode and suffix, as prepare makes it.
std::string path_of(int share, const std::string &suffix);

// Binds and listens on the prepared path (non-blocking, close-on-exec),
// with permissions for the share mode.  Returns the descriptor or -1 with a
// message in *error.
int listen_at(const std::string &path, int share, std::string *error);

}  // namespace vesk::sockdir
