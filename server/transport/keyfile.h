// The shared key of a TCP link: making a key file and reading one that is
// fit to hold a secret.
#pragma once

#include <cstddef>
#include <string>

namespace vesk::keyfile {

// Shortest key accepted, bytes: below 128 bits a key can be guessed.
constexpr size_t kMinBytes = 16;
// Longest key accepted, bytes: a key is a secret, not a data file.
constexpr size_t kMaxBytes = 4096;
// Random bytes a new key file gets: 256 bits.
constexpr size_t kGeneratedBytes = 32;

// Reads a key file whole.  Refused, each with its own reason in *error: a
// symbolic link, anything but a regular file, a file of another user, one
// with any group or other permission bit or without the owner's read bit,
// fewer than kMinBytes or more than kMaxBytes.  Returns true with the bytes
// in *key.
bool load(const std::string &path, std::string *key, std::string *error);

// Writes kGeneratedBytes random bytes to a new file at path with mode 0600,
// creating missing directories on the way with mode 0700.  Never overwrites:
// an existing path (a symbolic link included) is refused.  Returns false
// with a reason in *error; a file it began is removed again.
bool generate(const std::string &path, std::string *error);

}  // namespace vesk::keyfile
