#pragma once

#include <cstdint>
#include <functional>
#include <vector>

typedef struct ZSTD_CCtx_s ZSTD_CCtx;

namespace CIAPI::vrx {

// Lossless coding of Bayer samples: each sample is predicted from the nearest sample of
// the same colour (two to the left, else two above), the residual is zigzag-coded, the
// low and high bytes are split into two planes, and the planes are compressed with zstd.
class RawCodec
{
public:
    // With a `context`, zstd works in it (its tables made once for many frames, not per
    // frame); without one, in a context of its own.
    static std::vector<std::uint8_t> encode(const std::vector<std::uint16_t>& samples, int width, int height,
        int zstdLevel, ZSTD_CCtx* context = nullptr);
    // Decodes into exactly width x height samples; std::runtime_error on any mismatch.
    static std::vector<std::uint16_t> decode(
        const std::uint8_t* data, std::size_t length, int width, int height);
    // Runs body(i) for every i in [0, count), in any order, on any threads; returns when all
    // are done.
    using ParallelFor = std::function<void(int count, const std::function<void(int)>& body)>;
    // The same into `out` (width x height samples, row by row). With `parallel`, the rows are
    // rebuilt from their residuals in strips side by side (the same samples).
    static void decode(const std::uint8_t* data, std::size_t length, int width, int height,
        std::uint16_t* out, const ParallelFor& parallel = nullptr);
};

} // namespace CIAPI::vrx
