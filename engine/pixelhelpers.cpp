#include "engine/pixelhelpers.h"

#include <emmintrin.h>

#include <cstring>

CIAPI::ROI imageRect(const CIAPI::Image& image)
{
    return CIAPI::ROI { 0, 0, image.width(), image.height() };
}

namespace {

inline void swapPixel(uint8_t* p)
{
    const uint8_t r = p[0];
    p[0] = p[2];
    p[2] = r;
}

// Four pixels at once: keep green and alpha, move red up and blue down by 16 bits.
inline void swapBlock(uint8_t* p)
{
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i keep = _mm_and_si128(v, _mm_set1_epi32(int(0xFF00FF00u)));
    const __m128i red = _mm_slli_epi32(_mm_and_si128(v, _mm_set1_epi32(0x000000FF)), 16);
    const __m128i blue = _mm_and_si128(_mm_srli_epi32(v, 16), _mm_set1_epi32(0x000000FF));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_or_si128(keep, _mm_or_si128(red, blue)));
}

} // namespace

void swapRedBlue(uint8_t* data, int width, int rows, int stride, const uint8_t* end)
{
    if (!data || width <= 0 || rows <= 0)
        return;
    for (int y = 0; y < rows; ++y) {
        uint8_t* p = data + std::ptrdiff_t(y) * stride;
        if (p >= end)
            return;
        uint8_t* stop = p + std::ptrdiff_t(width) * 4;
        if (stop > end)
            stop = p + ((end - p) / 4) * 4;
        // Single pixels up to a 16-byte boundary, blocks of four, then the rest.
        while (p < stop && (reinterpret_cast<uintptr_t>(p) & 15) != 0) {
            swapPixel(p);
            p += 4;
        }
        while (stop - p >= 16) {
            swapBlock(p);
            p += 16;
        }
        while (p < stop) {
            swapPixel(p);
            p += 4;
        }
    }
}

QSizeF aspectScale(qreal w, qreal h, qreal ratio)
{
    const qreal wf = (w > h * ratio && w > 0) ? h * ratio / w : 1.0;
    const qreal hf = (h > w * ratio && h > 0) ? w * ratio / h : 1.0;
    return QSizeF(wf, hf);
}
