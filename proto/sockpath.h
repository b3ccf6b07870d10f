// Where a link server's socket lies beneath a base directory, for each share
// mode.  veskd makes and listens on it; the library finds and connects to it.
#pragma once

#include <string>

namespace vesk::proto {

// Beneath the base: the owner's private directory (share mode 0).
constexpr const char *kPrivateDir = "/.vesk";
// Beneath the base: the parent of shared directories.
constexpr const char *kSharedParent = "/tmp";
// The socket's name in its directory.
constexpr const char *kSocketName = "/socket";

// Returns the socket's directory.  Shared directories carry the suffix in
// their name; the private one carries it on the socket.
inline std::string socket_dir(const std::string &base, int share, const std::string &suffix) {
    if (share == 0) return base + kPrivateDir;
    return base + kSharedParent + "/private" + suffix;
}

// Returns the socket's path.
inline std::string socket_path(const std::string &base, int share, const std::string &suffix) {
    return socket_dir(base, share, suffix) + kSocketName + (share == 0 ? suffix : "");
}

}  // namespace vesk::proto
