#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace CIAPI::render {

using Mat3 = std::array<float, 9>; // row-major

Mat3 multiply(const Mat3& a, const Mat3& b);
Mat3 inverse(const Mat3& m);
Mat3 diagonal(float a, float b, float c);
constexpr Mat3 identity3()
{
    return { 1, 0, 0, 0, 1, 0, 0, 0, 1 };
}

// The seven tune and tone values as the user sets them.
struct ToneSettings
{
    float exposure = 0.f; // EV
    float contrast = 0.f; // -100 .. 100
    float temperature = 6500.f; // K
    float tint = 0.f; // -150 .. 150, positive towards magenta
    float vibrance = 0.f; // -100 .. 100
    float saturation = 0.f; // -100 .. 100
    float sharpening = 0.f; // -100 .. 100
};

// Linear sRGB of the white of a black body at `kelvin`, green shifted by `tint`, green = 1.
std::array<float, 3> illuminantRgb(float kelvin, float tint);

// Per-channel camera gains that make a grey lit by (kelvin, tint) neutral.
std::array<float, 3> whiteBalanceGains(float kelvin, float tint, const Mat3& cameraToSrgb);

// The colour part of the pipeline for one set of values: white balance, exposure and
// saturation folded into one matrix from camera RGB to linear sRGB, the contrast curve,
// vibrance, and the sRGB encoding into 8 bits. Built once per render, shared by tiles.
class ColourPipeline
{
public:
    ColourPipeline(const ToneSettings& settings, const Mat3& cameraToSrgb);
    ColourPipeline(const ColourPipeline&) = delete; // its table pointer may point into itself
    ColourPipeline& operator=(const ColourPipeline&) = delete;

    const Mat3& matrix() const { return m_matrix; } // camera RGB (0..1) to linear sRGB
    bool hasVibrance() const { return m_vibrance != 0.f; }

    // Contrast in linear light (the curve is defined on encoded values).
    float contrast(float v) const;
    // Vibrance on one linear pixel, in place.
    void vibrance(float& r, float& g, float& b) const;
    // Linear to 8-bit sRGB.
    uint8_t encode(float v) const { return m_encode[index(v)]; }
    const uint8_t* encodeLut() const { return m_encode; } // encode(v) is encodeLut()[index(v)]
    // Linear to 8-bit sRGB after the contrast curve, in one look-up.
    uint8_t contrastEncode(float v) const { return m_contrastEncode[index(v)]; }
    // Linear rows to 8-bit pixels (RGBA, or BGRA when `bgra`; alpha 255), as encode() does.
    void encodeRow(const float* r, const float* g, const float* b, int n, uint8_t* out, bool bgra) const;
    // The contrast curve on an encoded value in [0, 1].
    float curve(float encoded) const;

    // Camera RGB rows (16-bit) to linear sRGB; with `tone`, after contrast and vibrance.
    void toLinear(const uint16_t* r, const uint16_t* g, const uint16_t* b, int n, float* outR, float* outG,
        float* outB, bool tone = true) const;
    // Camera RGB rows straight to 8-bit pixels (RGBA, or BGRA when `bgra`).
    void toPixels(
        const uint16_t* r, const uint16_t* g, const uint16_t* b, int n, uint8_t* out, bool bgra) const;

    // Table index of a linear value: rounded to 16 bits, clamped (not a number gives white).
    static int index(float v)
    {
        const float f = v * 65535.f + 0.5f;
        return static_cast<int>(f < 65535.f ? (f > 0.f ? f : 0.f) : 65535.f);
    }

private:
    Mat3 m_matrix {};
    float m_contrastAmount = 0.f;
    float m_vibrance = 0.f;
    std::vector<float> m_contrastLut; // 4097 entries over [0, 1], interpolated; empty without contrast
    const uint8_t* m_encode = nullptr; // 65536 entries, shared by every pipeline
    const uint8_t* m_contrastEncode = nullptr; // the same, or m_ownContrastEncode
    std::vector<uint8_t> m_ownContrastEncode;
};

float srgbEncode(float linear);
float srgbDecode(float encoded);

} // namespace CIAPI::render
