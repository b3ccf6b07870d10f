// The soft descriptor limit raised to the hard one (see fdlimit_internal.h).
#include "fdlimit_internal.h"

#include <sys/resource.h>

namespace vesk {

bool raise_descriptor_limit() {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return false;
    if (lim.rlim_cur >= lim.rlim_max) return true;
    lim.rlim_cur = lim.rlim_max;
    return setrlimit(RLIMIT_NOFILE, &lim) == 0;
}

}  // namespace vesk
