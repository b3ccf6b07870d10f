// zstd compression of the link's data frames, one frame payload at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vesk::transport {

// zstd compression of one frame payload into out (cleared first), at level
// (1 the fastest).  Returns false when compressing does not make it smaller:
// send it raw then.
bool compress(std::span<const uint8_t> in, std::vector<uint8_t> &out, int level = 1);
// Decompresses one zstd frame that declares its size into out (cleared
// first), refusing more than max_out bytes.  Returns false on corrupt,
// oversized or trailing input.
bool decompress(std::span<const uint8_t> in, std::vector<uint8_t> &out, size_t max_out);

}  // namespace vesk::transport
