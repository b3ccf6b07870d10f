// What a far end can make this veskd hold, across all its channels together:
// bytes (the channels themselves, requests waiting, stream data not yet passed
// on), open descriptors (files, sockets) and jobs for the worker threads
// (file checks, lookups).  One
// budget per link; past it the far end's requests fail with a reason or the
// channel that asked closes, and the daemon's memory stays where it was.
#pragma once

#include <cstddef>

namespace vesk {

class FarBudget {
  public:
    enum What { kBytes, kFiles, kChecks, kLookups, kKinds };

    // Bytes the far end may make this end hold: its channels at kChannelBytes
    // each, the requests waiting behind one in service, and stream data
    // received but not yet written out.  With the daemon's own ~8 MiB and the
    // worker threads' read blocks it keeps veskd under 64 MiB.
    static constexpr size_t kBytesMax = 32 * 1024 * 1024;
    // What one open far channel costs here, bytes (measured: ~2.7 KB each
    // when 65,536 were open), so that opening channels alone cannot pass the
    // budget's memory.
    static constexpr size_t kChannelBytes = 4 * 1024;
    // File checks of the far end queued or running at once; lookups apart,
    // so that a resolver that never answers cannot stop the file checks.  A
    // queued check holds only its name (a running one its read block too,
    // and the workers run few at once), and a copy with many files in
    // flight has two probes out for each (128 files: 256).
    static constexpr size_t kChecksMax = 512;
    static constexpr size_t kLookupsMax = 64;
    // Descriptors when the limit on open files cannot be read.
    static constexpr size_t kFilesFallback = 256;

    // Descriptors: half of this process's limit on open files, so that
    // this end's own clients always find some.
    FarBudget();

    // Takes n of what.  Returns false, taking nothing, when that would pass
    // the limit.
    bool take(What what, size_t n = 1);
    // Gives back n taken before.
    void give(What what, size_t n = 1);
    // Takes n of what even past the limit (something already held that is
    // only now counted).
    void force(What what, size_t n = 1) { held_[what] += n; }
    size_t held(What what) const { return held_[what]; }
    size_t max(What what) const { return max_[what]; }

  private:
    size_t held_[kKinds] = {};
    size_t max_[kKinds] = {};
};

}  // namespace vesk
