#include "ciapi/vrx/rawcodec.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <zstd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
    std::vector<std::uint16_t> samples(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    decode(data, length, width, height, samples.data());
    return samples;
}

void RawCodec::decode(const std::uint8_t* data, std::size_t length, int width, int height, std::uint16_t* out,
    const ParallelFor& parallel)
{
    if (width <= 0 || height <= 0)
        throw std::runtime_error("Raw frame size invalid");
    const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    const unsigned long long declared = ZSTD_getFrameContentSize(data, length);
    if (declared == ZSTD_CONTENTSIZE_ERROR || declared == ZSTD_CONTENTSIZE_UNKNOWN || declared != n * 2)
        throw std::runtime_error("Compressed raw frame has the wrong size");
    // Every byte is written by zstd (its size is checked below): no zero fill first. With
    // `parallel`, its pages are faulted in side by side first, rather than one after another by
    // the decompression, which is serial.
    // The pages of `out` (which the rows below write side by side) are faulted in beside the
    // decompression, by the threads it leaves free.
    const std::unique_ptr<std::uint8_t[]> planes(new std::uint8_t[n * 2]);
    std::size_t got = 0;
    if (parallel) {
        constexpr std::size_t kPage = 4096, kPart = std::size_t(1) << 20;
        const auto touch = [&](std::uint8_t* bytes, std::size_t size, int i) {
            const std::size_t end = std::min(size, (static_cast<std::size_t>(i) + 1) * kPart);
            for (std::size_t at = static_cast<std::size_t>(i) * kPart; at < end; at += kPage)
                bytes[at] = 0;
        };
        const int parts = static_cast<int>((n * 2 + kPart - 1) / kPart);
        parallel(parts, [&](int i) { touch(planes.get(), n * 2, i); });
        // `out` holds n samples (2n bytes): each of its pages is written whole by the rows.
        auto* const outBytes = reinterpret_cast<std::uint8_t*>(out);
        parallel(1 + parts, [&](int i) {
            if (i == 0)
                got = ZSTD_decompress(planes.get(), n * 2, data, length);
            else
                touch(outBytes, n * 2, i - 1);
        });
    } else {
        got = ZSTD_decompress(planes.get(), n * 2, data, length);
    }
    if (ZSTD_isError(got) || got != n * 2)
        throw std::runtime_error("Compressed raw frame is damaged");
    // The prediction of predict(): the first two samples of a row from two rows above (0 in
    // the first two rows), the others from two to the left. The first two of every row are
    // made first, down the frame (on the side: writing them into `out` would fault its pages in
    // one after another); then each row on its own.
    const std::uint8_t* lo = planes.get();
    const std::uint8_t* hi = planes.get() + n;
    const auto residual = [&](std::size_t i) {
        const unsigned z = unsigned(lo[i]) | (unsigned(hi[i]) << 8);
        return static_cast<std::uint16_t>((z >> 1) ^ (0u - (z & 1u)));
    };
    const int firstColumns = std::min(2, width);
    std::vector<std::uint16_t> first(static_cast<std::size_t>(height) * 2);
    for (int y = 0; y < height; ++y) {
        const std::size_t at = static_cast<std::size_t>(y) * width;
        for (int x = 0; x < firstColumns; ++x)
            first[std::size_t(y) * 2 + x] = static_cast<std::uint16_t>(
                (y >= 2 ? first[std::size_t(y - 2) * 2 + x] : 0) + residual(at + x));
    }
    const auto rows = [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            const std::size_t at = static_cast<std::size_t>(y) * width;
            std::uint16_t* s = out + at;
            std::copy_n(first.data() + std::size_t(y) * 2, firstColumns, s);
            const std::uint8_t* l = lo + at;
            const std::uint8_t* h = hi + at;
            int x = 2;
#if defined(__SSE2__)
            // Eight samples at a time: the residuals summed along each colour (a prefix sum over
            // every other sample, in 16-bit arithmetic as the scalar sums), plus the last two
            // samples before them.
            if (width >= 2) {
                const __m128i one = _mm_set1_epi16(1);
                const __m128i zero = _mm_setzero_si128();
                std::uint32_t pair;
                std::memcpy(&pair, s, 4);
                __m128i carry = _mm_set1_epi32(int(pair));
                for (; x + 8 <= width; x += 8) {
                    const __m128i z
                        = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(l + x)),
                            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(h + x)));
                    __m128i r
                        = _mm_xor_si128(_mm_srli_epi16(z, 1), _mm_sub_epi16(zero, _mm_and_si128(z, one)));
                    r = _mm_add_epi16(r, _mm_slli_si128(r, 4));
                    r = _mm_add_epi16(r, _mm_slli_si128(r, 8));
                    const __m128i v = _mm_add_epi16(r, carry);
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(s + x), v);
                    carry = _mm_shuffle_epi32(v, 0xff);
                }
            }
#endif
            for (; x < width; ++x)
                s[x] = static_cast<std::uint16_t>(s[x - 2] + residual(at + x));
        }
    };
    // Strips of about 128k samples.
    const int strip = std::max(1, (1 << 17) / width);
    const int strips = (height + strip - 1) / strip;
    if (parallel && strips > 1)
        parallel(strips, [&](int i) { rows(i * strip, std::min(height, (i + 1) * strip)); });
    else
        rows(0, height);
}

} // namespace CIAPI::vrx
