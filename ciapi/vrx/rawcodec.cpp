#include "ciapi/vrx/rawcodec.h"

#include <memory>
#include <stdexcept>
#include <zstd.h>

namespace CIAPI::vrx {

namespace {
inline std::uint16_t predict(const std::uint16_t* s, int width, int x, int y)
{
    if (x >= 2)
        return s[static_cast<std::size_t>(y) * width + x - 2];
    if (y >= 2)
        return s[static_cast<std::size_t>(y - 2) * width + x];
    return 0;
}
} // namespace

std::vector<std::uint8_t> RawCodec::encode(
    const std::vector<std::uint16_t>& samples, int width, int height, int zstdLevel, ZSTD_CCtx* context)
{
    const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    if (width <= 0 || height <= 0 || samples.size() != n)
        throw std::runtime_error("Raw frame size mismatch");
    // Every byte of the planes is written below: no zero fill first.
    const std::unique_ptr<std::uint8_t[]> planes(new std::uint8_t[n * 2]);
    const std::uint16_t* s = samples.data();
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * width + x;
            const std::int32_t r = static_cast<std::int32_t>(s[i]) - predict(s, width, x, y);
            // Residuals wrap modulo 2^16; zigzag makes small magnitudes small codes.
            const std::int16_t r16 = static_cast<std::int16_t>(static_cast<std::uint16_t>(r));
            const std::uint16_t z = static_cast<std::uint16_t>(
                (static_cast<std::uint16_t>(r16) << 1) ^ static_cast<std::uint16_t>(r16 >> 15));
            planes[i] = static_cast<std::uint8_t>(z & 0xff);
            planes[n + i] = static_cast<std::uint8_t>(z >> 8);
        }
    }
    const std::size_t bound = ZSTD_compressBound(n * 2);
    const std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[bound]);
    const std::size_t written = context
        ? ZSTD_compressCCtx(context, out.get(), bound, planes.get(), n * 2, zstdLevel)
        : ZSTD_compress(out.get(), bound, planes.get(), n * 2, zstdLevel);
    if (ZSTD_isError(written))
        throw std::runtime_error(std::string("Compression failed: ") + ZSTD_getErrorName(written));
    return std::vector<std::uint8_t>(out.get(), out.get() + written);
}

std::vector<std::uint16_t> RawCodec::decode(
    const std::uint8_t* data, std::size_t length, int width, int height)
{
    if (width <= 0 || height <= 0)
        throw std::runtime_error("Raw frame size invalid");
    const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    const unsigned long long declared = ZSTD_getFrameContentSize(data, length);
    if (declared == ZSTD_CONTENTSIZE_ERROR || declared == ZSTD_CONTENTSIZE_UNKNOWN || declared != n * 2)
        throw std::runtime_error("Compressed raw frame has the wrong size");
    // Every byte is written by the decompression (checked below): no zero fill first.
    const std::unique_ptr<std::uint8_t[]> planes(new std::uint8_t[n * 2]);
    const std::size_t got = ZSTD_decompress(planes.get(), n * 2, data, length);
    if (ZSTD_isError(got) || got != n * 2)
        throw std::runtime_error("Compressed raw frame is damaged");
    std::vector<std::uint16_t> samples(n);
    std::uint16_t* s = samples.data();
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * width + x;
            const std::uint16_t z = static_cast<std::uint16_t>(planes[i] | (planes[n + i] << 8));
            const std::uint16_t r = static_cast<std::uint16_t>((z >> 1) ^ (0u - (z & 1u)));
            s[i] = static_cast<std::uint16_t>(predict(s, width, x, y) + r);
        }
    }
    return samples;
}

} // namespace CIAPI::vrx
