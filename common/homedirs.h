// Where the per-user socket directory may lie: the base directories that the
// library searches, in order, and whose first veskd makes its socket under
// (proto/sockpath.h gives the path below a base).  Internal; never installed.
#ifndef VESK_COMMON_HOMEDIRS_H
#define VESK_COMMON_HOMEDIRS_H

#include <string>
#include <vector>

namespace vesk {

// The candidates, each shorter than PATH_MAX: $HOME when set and not empty;
// then the passwd entry's home, in private mode only when $HOME gave none;
// and, in the shared modes only, "" last (a base of "" puts the socket under
// /tmp).  Private mode may give none.
std::vector<std::string> socket_base_dirs(bool private_mode);

}  // namespace vesk

#endif
