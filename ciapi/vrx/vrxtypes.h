#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace CIAPI::vrx {

// Colour-filter patterns, named by the colours of the top-left 2 x 2 block in reading order.
enum CfaPattern : std::int32_t {
    CfaRGGB = 0,
    CfaGRBG = 1,
    CfaGBRG = 2,
    CfaBGGR = 3,
};
bool isKnownCfa(std::int32_t pattern);
// Colour (0 red, 1 green, 2 blue) of the sample at (x, y) for a known pattern.
int cfaColor(std::int32_t pattern, int x, int y);

using UuidWords = std::array<std::uint32_t, 4>;

// The picture-wide facts ("META").
struct Metadata
{
    UuidWords cameraUuid {}; // as two little-endian 64-bit words: the camera's canonical UUID
    UuidWords imageUuid {}; // the picture's UUID bytes as four big-endian words
    std::int64_t captureTime = 0; // seconds since the epoch (UTC)
    std::int32_t utcOffsetMinutes = 0;
    std::int32_t focalLength = 28; // mm
    std::int32_t iso = 100;
    float exposureTimeMs = 10.f;
    float evOffset = 0.f;
    std::int32_t orientation = 0; // code 0..7
    std::int32_t aspectMode = 0; // 1 = 16:9, else 4:3
    std::int32_t moduleCount = 0;
    std::int32_t frameCount = 0; // frames per module
    float wbTemperature = 5500.f; // as-shot white balance
    float wbTint = 0.f;
    std::int32_t referenceModule = 0;
};

// One camera module ("MODL").
struct ModuleInfo
{
    std::int32_t index = 0;
    std::int32_t width = 0; // samples
    std::int32_t height = 0;
    std::int32_t cfa = CfaRGGB;
    std::int32_t blackLevel = 0;
    std::int32_t whiteLevel = 65535;
    std::array<float, 3> gains { { 1.f, 1.f, 1.f } }; // per colour, applied after black level
    std::array<float, 9> colorMatrix { { 1, 0, 0, 0, 1, 0, 0, 0,
        1 } }; // camera RGB -> linear sRGB, row-major
    // Parallax of this module against the reference module: a point at depth d (metres)
    // appears shifted by (baselineX / d, baselineY / d) module pixels.
    float baselineX = 0.f;
    float baselineY = 0.f;
};

// Raw sample encodings of a "RAW " chunk.
enum RawEncoding : std::int32_t {
    RawPlain = 0, // little-endian 16-bit samples, row by row
    RawDeltaZstd = 1, // zstd of the neighbour-delta stream (see rawcodec.h)
};

// The factory depth map ("DPTH") at module resolution, in metres.
struct DepthMap
{
    std::int32_t width = 0;
    std::int32_t height = 0;
    float nearDepth = 0.5f; // metres
    float farDepth = 20.f;
    std::vector<float> depth; // width x height, row by row, each in [near, far]

    float at(int x, int y) const { return depth[static_cast<std::size_t>(y) * width + x]; }
};

// A sample position on a module's sensor.
struct PixelPos
{
    std::uint16_t x = 0;
    std::uint16_t y = 0;
    bool operator==(const PixelPos& o) const { return x == o.x && y == o.y; }
    bool operator<(const PixelPos& o) const { return y != o.y ? y < o.y : x < o.x; }
};

// Limits every reader enforces before it allocates.
namespace limits {
constexpr std::int32_t kMaxModuleSide = 16384;
constexpr std::int64_t kMaxModuleSamples = 64ll * 1024 * 1024;
constexpr std::int32_t kMaxModules = 64;
constexpr std::int32_t kMaxFrames = 64;
constexpr std::uint32_t kMaxChunks = 1u << 16;
constexpr std::int32_t kMaxPreviewSide = 8192;
// A preview is decoded only up to this many pixels (previews are about 1 MP); a progressive
// JPEG holds the coefficients of the whole picture whatever scale it is decoded at.
constexpr std::int64_t kMaxPreviewPixels = 16ll * 1024 * 1024;
// State files: the depth map is the computed one, at the finest level within 1024 x 1024;
// the thumbnail is the coarsest level (within 512 x 512), tolerated up to twice that.
constexpr std::int32_t kMaxStateDepthSide = 1024;
constexpr std::int32_t kMaxStateThumbnailSide = 1024;
// What the camera writes: modules no larger than its 4160 x 3120 frame, one or two frames
// each. A picture may store at most sixteen such frames' worth of raw samples over all its
// modules and frames; more is refused when the file is opened, before anything is decoded,
// so a small file of compressed zeros cannot make every open decode gigabytes.
constexpr std::int64_t kCameraFrameSamples = 4160ll * 3120;
constexpr std::int64_t kMaxPictureSamples = 16 * kCameraFrameSamples;
constexpr std::int32_t kMinFocalLength = 28;
constexpr std::int32_t kMaxFocalLength = 150;
} // namespace limits

} // namespace CIAPI::vrx
