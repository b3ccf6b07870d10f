// The socket's base directories (see homedirs.h).
#include "homedirs.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <unistd.h>

namespace vesk {

std::vector<std::string> socket_base_dirs(bool private_mode) {
    // Private mode looks in the user's own home only: the server made its
    // socket there, and a failure then names $HOME/.vesk/socket rather than
    // a /.vesk/socket nobody has.
    std::vector<std::string> dirs;
    const char *home = getenv("HOME");
    if (home != nullptr && home[0] != '\0' && strlen(home) < PATH_MAX) {
        dirs.emplace_back(home);
        if (private_mode) return dirs;
    }
    const passwd *pw = getpwuid(getuid());
    if (pw != nullptr && pw->pw_dir != nullptr && strlen(pw->pw_dir) < PATH_MAX)
        dirs.emplace_back(pw->pw_dir);
    if (!private_mode) dirs.emplace_back("");
    return dirs;
}

}  // namespace vesk
