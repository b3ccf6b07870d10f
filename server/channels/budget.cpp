// What a far end can make this veskd hold (see budget.h).
#include "budget.h"

#include <algorithm>
#include <cassert>
#include <sys/resource.h>

namespace vesk {

FarBudget::FarBudget() {
    max_[kBytes] = kBytesMax;
    max_[kChecks] = kChecksMax;
    max_[kLookups] = kLookupsMax;
    rlimit rl{};
    max_[kFiles] = getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY
                       ? std::max<size_t>(size_t(rl.rlim_cur) / 2, 1)
                       : kFilesFallback;
}

bool FarBudget::take(What what, size_t n) {
    if (held_[what] + n > max_[what]) return false;
    held_[what] += n;
    return true;
}

void FarBudget::give(What what, size_t n) {
    assert(held_[what] >= n);
    held_[what] -= std::min(held_[what], n);
}

}  // namespace vesk
