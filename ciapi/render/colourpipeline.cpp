#include "ciapi/render/colourpipeline.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace CIAPI::render {

namespace {

constexpr float kLumR = 0.2126f, kLumG = 0.7152f, kLumB = 0.0722f;

const std::vector<uint8_t>& encodeTable()
{
    static const std::vector<uint8_t> table = [] {
        std::vector<uint8_t> t(65536);
        for (int i = 0; i < 65536; ++i)
            t[i] = static_cast<uint8_t>(std::lround(std::clamp(srgbEncode(i / 65535.f), 0.f, 1.f) * 255.f));
        return t;
    }();
    return table;
}

} // namespace

Mat3 multiply(const Mat3& a, const Mat3& b)
{
    Mat3 r {};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            r[i * 3 + j] = a[i * 3] * b[j] + a[i * 3 + 1] * b[3 + j] + a[i * 3 + 2] * b[6 + j];
    return r;
}

Mat3 inverse(const Mat3& m)
{
    const double a = m[0], b = m[1], c = m[2], d = m[3], e = m[4], f = m[5], g = m[6], h = m[7], i = m[8];
    const double det = a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
    if (std::fabs(det) < 1e-12)
        throw std::runtime_error("Colour matrix is singular");
    const double k = 1.0 / det;
    return { float((e * i - f * h) * k), float((c * h - b * i) * k), float((b * f - c * e) * k),
        float((f * g - d * i) * k), float((a * i - c * g) * k), float((c * d - a * f) * k),
        float((d * h - e * g) * k), float((b * g - a * h) * k), float((a * e - b * d) * k) };
}

Mat3 diagonal(float a, float b, float c)
{
    return { a, 0, 0, 0, b, 0, 0, 0, c };
}

float srgbEncode(float v)
{
    if (v <= 0.0031308f)
        return 12.92f * std::max(0.f, v);
    return 1.055f * std::pow(v, 1.f / 2.4f) - 0.055f;
}

float srgbDecode(float v)
{
    if (v <= 0.04045f)
        return std::max(0.f, v) / 12.92f;
    return std::pow((v + 0.055f) / 1.055f, 2.4f);
}

std::array<float, 3> illuminantRgb(float kelvin, float tint)
{
    const double t = std::clamp(double(kelvin), 1667.0, 25000.0);
    // Planckian locus, cubic fits in 1/T.
    double x;
    if (t <= 4000.0)
        x = -0.2661239e9 / (t * t * t) - 0.2343589e6 / (t * t) + 0.8776956e3 / t + 0.179910;
    else
        x = -3.0258469e9 / (t * t * t) + 2.1070379e6 / (t * t) + 0.2226347e3 / t + 0.240390;
    double y;
    if (t <= 2222.0)
        y = -1.1063814 * x * x * x - 1.34811020 * x * x + 2.18555832 * x - 0.20219683;
    else if (t <= 4000.0)
        y = -0.9549476 * x * x * x - 1.37418593 * x * x + 2.09137015 * x - 0.16748867;
    else
        y = 3.0817580 * x * x * x - 5.87338670 * x * x + 3.75112997 * x - 0.37001483;
    const double X = x / y, Y = 1.0, Z = (1.0 - x - y) / y;
    double r = 3.2404542 * X - 1.5371385 * Y - 0.4985314 * Z;
    double g = -0.9692660 * X + 1.8760108 * Y + 0.0415560 * Z;
    double b = 0.0556434 * X - 0.2040259 * Y + 1.0572252 * Z;
    r = std::max(r, 1e-3);
    b = std::max(b, 1e-3);
    // Positive tint: the light was greener than the locus, so the picture turns magenta.
    g *= std::exp2(std::clamp(double(tint), -150.0, 150.0) / 300.0);
    return { float(r / g), 1.f, float(b / g) };
}

std::array<float, 3> whiteBalanceGains(float kelvin, float tint, const Mat3& cameraToSrgb)
{
    const auto rgb = illuminantRgb(kelvin, tint);
    const Mat3 toCamera = inverse(cameraToSrgb);
    std::array<float, 3> cam {};
    for (int i = 0; i < 3; ++i)
        cam[i] = std::max(
            1e-4f, toCamera[i * 3] * rgb[0] + toCamera[i * 3 + 1] * rgb[1] + toCamera[i * 3 + 2] * rgb[2]);
    return { cam[1] / cam[0], 1.f, cam[1] / cam[2] };
}

ColourPipeline::ColourPipeline(const ToneSettings& s, const Mat3& cameraToSrgb)
{
    const auto gains = whiteBalanceGains(s.temperature, s.tint, cameraToSrgb);
    const float sat = 1.f + std::clamp(s.saturation, -100.f, 100.f) / 100.f;
    const Mat3 saturation = { kLumR + (1 - kLumR) * sat, kLumG * (1 - sat), kLumB * (1 - sat),
        kLumR * (1 - sat), kLumG + (1 - kLumG) * sat, kLumB * (1 - sat), kLumR * (1 - sat), kLumG * (1 - sat),
        kLumB + (1 - kLumB) * sat };
    const float gain = std::exp2(std::clamp(s.exposure, -10.f, 10.f));
    m_matrix = multiply(
        saturation, multiply(cameraToSrgb, diagonal(gains[0] * gain, gains[1] * gain, gains[2] * gain)));
    m_contrastAmount = std::clamp(s.contrast, -100.f, 100.f) / 100.f * 0.6f;
    m_vibrance = std::clamp(s.vibrance, -100.f, 100.f) / 100.f;

    // Without contrast (the common case) nothing is built: both look-ups use the shared table.
    m_encode = encodeTable().data();
    m_contrastEncode = m_encode;
    if (m_contrastAmount != 0.f) {
        m_contrastLut.resize(4097);
        for (int i = 0; i <= 4096; ++i)
            m_contrastLut[i] = srgbDecode(curve(srgbEncode(i / 4096.f)));
        m_ownContrastEncode.resize(65536);
        for (int i = 0; i < 65536; ++i)
            m_ownContrastEncode[i] = static_cast<uint8_t>(
                std::lround(std::clamp(curve(srgbEncode(i / 65535.f)), 0.f, 1.f) * 255.f));
        m_contrastEncode = m_ownContrastEncode.data();
    }
}

float ColourPipeline::curve(float e) const
{
    e = std::clamp(e, 0.f, 1.f);
    if (m_contrastAmount == 0.f)
        return e;
    const float k = 1.f + m_contrastAmount;
    return e < 0.5f ? 0.5f * std::pow(2.f * e, k) : 1.f - 0.5f * std::pow(2.f - 2.f * e, k);
}

float ColourPipeline::contrast(float v) const
{
    if (m_contrastAmount == 0.f)
        return std::max(0.f, v);
    if (v >= 1.f)
        return v; // highlights beyond white stay where they are
    float f = std::max(0.f, v) * 4096.f;
    const int i = std::min(4095, static_cast<int>(f));
    f -= float(i);
    return m_contrastLut[i] + (m_contrastLut[i + 1] - m_contrastLut[i]) * f;
}

void ColourPipeline::vibrance(float& r, float& g, float& b) const
{
    const float mx = std::max(r, std::max(g, b));
    const float mn = std::min(r, std::min(g, b));
    const float sat = mx > 1e-6f ? (mx - mn) / mx : 0.f;
    const float factor = 1.f + m_vibrance * (1.f - sat) * (m_vibrance > 0 ? 1.f : 0.8f);
    const float lum = kLumR * r + kLumG * g + kLumB * b;
    r = std::max(0.f, lum + (r - lum) * factor);
    g = std::max(0.f, lum + (g - lum) * factor);
    b = std::max(0.f, lum + (b - lum) * factor);
}

void ColourPipeline::toLinear(const uint16_t* r, const uint16_t* g, const uint16_t* b, int n, float* outR,
    float* outG, float* outB, bool tone) const
{
    const float k = 1.f / 65535.f;
    const Mat3& m = m_matrix;
    for (int i = 0; i < n; ++i) {
        const float cr = r[i] * k, cg = g[i] * k, cb = b[i] * k;
        outR[i] = m[0] * cr + m[1] * cg + m[2] * cb;
        outG[i] = m[3] * cr + m[4] * cg + m[5] * cb;
        outB[i] = m[6] * cr + m[7] * cg + m[8] * cb;
    }
    if (m_contrastAmount != 0.f && tone) {
        // contrast(), inlined: the curve table is read through one pointer.
        const float* lut = m_contrastLut.data();
        auto curveAt = [lut](float v) {
            if (v >= 1.f)
                return v;
            float f = std::max(0.f, v) * 4096.f;
            const int i = std::min(4095, static_cast<int>(f));
            f -= float(i);
            return lut[i] + (lut[i + 1] - lut[i]) * f;
        };
        for (int i = 0; i < n; ++i) {
            outR[i] = curveAt(outR[i]);
            outG[i] = curveAt(outG[i]);
            outB[i] = curveAt(outB[i]);
        }
    } else
        for (int i = 0; i < n; ++i) {
            outR[i] = std::max(0.f, outR[i]);
            outG[i] = std::max(0.f, outG[i]);
            outB[i] = std::max(0.f, outB[i]);
        }
    if (m_vibrance != 0.f && tone) {
        // vibrance() over the rows, four pixels at a time with the same steps in the same
        // order (std::max(a, b) is max_ps(b, a), std::min(a, b) is min_ps(b, a)).
        const float vib = m_vibrance, weight = m_vibrance > 0 ? 1.f : 0.8f;
        int i = 0;
#if defined(__SSE2__)
        const __m128 one = _mm_set1_ps(1.f), zero = _mm_setzero_ps(), eps = _mm_set1_ps(1e-6f);
        const __m128 v = _mm_set1_ps(vib), w = _mm_set1_ps(weight);
        const __m128 lr = _mm_set1_ps(kLumR), lg = _mm_set1_ps(kLumG), lb = _mm_set1_ps(kLumB);
        for (; i + 4 <= n; i += 4) {
            const __m128 r0 = _mm_loadu_ps(outR + i), g0 = _mm_loadu_ps(outG + i),
                         b0 = _mm_loadu_ps(outB + i);
            const __m128 mx = _mm_max_ps(_mm_max_ps(b0, g0), r0);
            const __m128 mn = _mm_min_ps(_mm_min_ps(b0, g0), r0);
            const __m128 lit = _mm_cmpgt_ps(mx, eps);
            const __m128 den = _mm_or_ps(_mm_and_ps(lit, mx), _mm_andnot_ps(lit, one));
            const __m128 sat = _mm_and_ps(lit, _mm_div_ps(_mm_sub_ps(mx, mn), den));
            const __m128 factor = _mm_add_ps(one, _mm_mul_ps(_mm_mul_ps(v, _mm_sub_ps(one, sat)), w));
            const __m128 lum
                = _mm_add_ps(_mm_add_ps(_mm_mul_ps(lr, r0), _mm_mul_ps(lg, g0)), _mm_mul_ps(lb, b0));
            _mm_storeu_ps(
                outR + i, _mm_max_ps(_mm_add_ps(lum, _mm_mul_ps(_mm_sub_ps(r0, lum), factor)), zero));
            _mm_storeu_ps(
                outG + i, _mm_max_ps(_mm_add_ps(lum, _mm_mul_ps(_mm_sub_ps(g0, lum), factor)), zero));
            _mm_storeu_ps(
                outB + i, _mm_max_ps(_mm_add_ps(lum, _mm_mul_ps(_mm_sub_ps(b0, lum), factor)), zero));
        }
#endif
        for (; i < n; ++i) {
            const float r0 = outR[i], g0 = outG[i], b0 = outB[i];
            const float mx = std::max(r0, std::max(g0, b0));
            const float mn = std::min(r0, std::min(g0, b0));
            const bool lit = mx > 1e-6f;
            const float q = (mx - mn) / (lit ? mx : 1.f);
            const float sat = lit ? q : 0.f;
            const float factor = 1.f + vib * (1.f - sat) * weight;
            const float lum = kLumR * r0 + kLumG * g0 + kLumB * b0;
            outR[i] = std::max(0.f, lum + (r0 - lum) * factor);
            outG[i] = std::max(0.f, lum + (g0 - lum) * factor);
            outB[i] = std::max(0.f, lum + (b0 - lum) * factor);
        }
    }
}

void ColourPipeline::toPixels(
    const uint16_t* r, const uint16_t* g, const uint16_t* b, int n, uint8_t* out, bool bgra) const
{
    // Pixels are assembled as one little-endian word: red in the low byte for RGBA.
    const int rs = bgra ? 16 : 0, bs = bgra ? 0 : 16;
    constexpr uint32_t kOpaque = 0xff000000u;
    if (m_vibrance != 0.f) {
        constexpr int kChunk = 256;
        alignas(16) float lr[kChunk], lg[kChunk], lb[kChunk];
        for (int s = 0; s < n; s += kChunk) {
            const int m = std::min(kChunk, n - s);
            toLinear(r + s, g + s, b + s, m, lr, lg, lb);
            encodeRow(lr, lg, lb, m, out + 4 * s, bgra);
        }
        return;
    }
    // 16-bit in, one matrix, one table per channel: the whole tone path. The matrix works on
    // 16-bit values, so the table index is the rounded, clamped product.
    const Mat3& m = m_matrix;
    const uint8_t* lut = m_contrastEncode;
    int i = 0;
#if defined(__SSE2__)
    {
        const __m128 m0 = _mm_set1_ps(m[0]), m1 = _mm_set1_ps(m[1]), m2 = _mm_set1_ps(m[2]);
        const __m128 m3 = _mm_set1_ps(m[3]), m4 = _mm_set1_ps(m[4]), m5 = _mm_set1_ps(m[5]);
        const __m128 m6 = _mm_set1_ps(m[6]), m7 = _mm_set1_ps(m[7]), m8 = _mm_set1_ps(m[8]);
        const __m128 half = _mm_set1_ps(0.5f), top = _mm_set1_ps(65535.f), zero = _mm_setzero_ps();
        const __m128i z = _mm_setzero_si128();
        alignas(16) int32_t idx[3][8];
        auto channel = [&](__m128 a, __m128 b, __m128 c, __m128 cr, __m128 cg, __m128 cb) {
            const __m128 v = _mm_add_ps(
                _mm_add_ps(_mm_add_ps(_mm_mul_ps(a, cr), _mm_mul_ps(b, cg)), _mm_mul_ps(c, cb)), half);
            return _mm_cvttps_epi32(_mm_max_ps(_mm_min_ps(v, top), zero));
        };
        for (; i + 8 <= n; i += 8) {
            const __m128i R = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r + i));
            const __m128i G = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g + i));
            const __m128i B = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
            for (int h = 0; h < 2; ++h) {
                const __m128 cr = _mm_cvtepi32_ps(h ? _mm_unpackhi_epi16(R, z) : _mm_unpacklo_epi16(R, z));
                const __m128 cg = _mm_cvtepi32_ps(h ? _mm_unpackhi_epi16(G, z) : _mm_unpacklo_epi16(G, z));
                const __m128 cb = _mm_cvtepi32_ps(h ? _mm_unpackhi_epi16(B, z) : _mm_unpacklo_epi16(B, z));
                _mm_store_si128(reinterpret_cast<__m128i*>(idx[0] + 4 * h), channel(m0, m1, m2, cr, cg, cb));
                _mm_store_si128(reinterpret_cast<__m128i*>(idx[1] + 4 * h), channel(m3, m4, m5, cr, cg, cb));
                _mm_store_si128(reinterpret_cast<__m128i*>(idx[2] + 4 * h), channel(m6, m7, m8, cr, cg, cb));
            }
            for (int k = 0; k < 8; ++k) {
                const uint32_t px = uint32_t(lut[idx[0][k]]) << rs | uint32_t(lut[idx[1][k]]) << 8
                    | uint32_t(lut[idx[2][k]]) << bs | kOpaque;
                std::memcpy(out + 4 * (i + k), &px, 4); // one word each: no staging, no stalled reload
            }
        }
    }
#endif
    for (; i < n; ++i) {
        const float cr = r[i], cg = g[i], cb = b[i];
        float vr = m[0] * cr + m[1] * cg + m[2] * cb + 0.5f;
        float vg = m[3] * cr + m[4] * cg + m[5] * cb + 0.5f;
        float vb = m[6] * cr + m[7] * cg + m[8] * cb + 0.5f;
        vr = vr < 65535.f ? (vr > 0.f ? vr : 0.f) : 65535.f;
        vg = vg < 65535.f ? (vg > 0.f ? vg : 0.f) : 65535.f;
        vb = vb < 65535.f ? (vb > 0.f ? vb : 0.f) : 65535.f;
        const uint32_t px = uint32_t(lut[int32_t(vr)]) << rs | uint32_t(lut[int32_t(vg)]) << 8
            | uint32_t(lut[int32_t(vb)]) << bs | kOpaque;
        std::memcpy(out + 4 * i, &px, 4);
    }
}

void ColourPipeline::encodeRow(
    const float* r, const float* g, const float* b, int n, uint8_t* out, bool bgra) const
{
    const int rs = bgra ? 16 : 0, bs = bgra ? 0 : 16;
    constexpr uint32_t kOpaque = 0xff000000u;
    const uint8_t* lut = m_encode;
    int i = 0;
#if defined(__SSE2__)
    {
        const __m128 scale = _mm_set1_ps(65535.f), half = _mm_set1_ps(0.5f), zero = _mm_setzero_ps();
        alignas(16) int32_t idx[3][4];
        // Same steps as index(): scale, round, clamp (min first, so not a number gives white).
        auto indices = [&](const float* v, int32_t* to) {
            const __m128 f = _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(v), scale), half);
            _mm_store_si128(
                reinterpret_cast<__m128i*>(to), _mm_cvttps_epi32(_mm_max_ps(_mm_min_ps(f, scale), zero)));
        };
        for (; i + 4 <= n; i += 4) {
            indices(r + i, idx[0]);
            indices(g + i, idx[1]);
            indices(b + i, idx[2]);
            for (int k = 0; k < 4; ++k) {
                const uint32_t px = uint32_t(lut[idx[0][k]]) << rs | uint32_t(lut[idx[1][k]]) << 8
                    | uint32_t(lut[idx[2][k]]) << bs | kOpaque;
                std::memcpy(out + 4 * (i + k), &px, 4);
            }
        }
    }
#endif
    for (; i < n; ++i) {
        const uint32_t px = uint32_t(lut[index(r[i])]) << rs | uint32_t(lut[index(g[i])]) << 8
            | uint32_t(lut[index(b[i])]) << bs | kOpaque;
        std::memcpy(out + 4 * i, &px, 4);
    }
}

} // namespace CIAPI::render
