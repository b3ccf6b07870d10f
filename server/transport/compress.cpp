// zstd for data frames (see compress.h).
#include "compress.h"

#include <memory>

#include <zstd.h>

namespace vesk::transport {
namespace {

struct CctxFree {
    void operator()(ZSTD_CCtx *c) const { ZSTD_freeCCtx(c); }
};
struct DctxFree {
    void operator()(ZSTD_DCtx *c) const { ZSTD_freeDCtx(c); }
};

}  // namespace

bool compress(std::span<const uint8_t> in, std::vector<uint8_t> &out, int level) {
    out.clear();
    if (in.empty()) return false;
    thread_local std::unique_ptr<ZSTD_CCtx, CctxFree> cctx(ZSTD_createCCtx());
    if (!cctx) return false;
    out.resize(ZSTD_compressBound(in.size()));
    size_t n = ZSTD_compressCCtx(cctx.get(), out.data(), out.size(), in.data(), in.size(), level);
    if (ZSTD_isError(n) || n >= in.size()) {
        out.clear();
        return false;
    }
    out.resize(n);
    return true;
}

bool decompress(std::span<const uint8_t> in, std::vector<uint8_t> &out, size_t max_out) {
    out.clear();
    unsigned long long size = ZSTD_getFrameContentSize(in.data(), in.size());
    // Our frames always declare their size; an undeclared one cannot be bounded
    // before it is unpacked.
    if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN || size > max_out)
        return false;
    // Exactly one frame: anything after it would be data nobody checked.
    size_t frame = ZSTD_findFrameCompressedSize(in.data(), in.size());
    if (ZSTD_isError(frame) || frame != in.size()) return false;
    thread_local std::unique_ptr<ZSTD_DCtx, DctxFree> dctx(ZSTD_createDCtx());
    if (!dctx) return false;
    out.resize(static_cast<size_t>(size));
    size_t n = ZSTD_decompressDCtx(dctx.get(), out.data(), out.size(), in.data(), in.size());
    if (ZSTD_isError(n) || n != size) {
        out.clear();
        return false;
    }
    return true;
}

}  // namespace vesk::transport
