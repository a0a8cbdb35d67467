#pragma once

#include "ciapi/vrx/vrxtypes.h"
#include "tools/vrxgen/scene.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vrxgen {

// The fixed marker that makes a file name count as incompatible (32 lower-case hex digits).
extern const char* const kIncompatibilityMarker;

struct PictureOptions
{
    std::uint32_t seed = 1; // scene, picture UUID and noise
    std::uint32_t cameraSeed = 1; // camera UUID
    int moduleWidth = 256; // even
    int moduleHeight = 192; // even
    int modules = 2;
    int frames = 2;
    int orientation = 0; // code 0..7
    int aspectMode = 0; // 1 = 16:9
    int focalLength = 50; // mm
    bool compressed = false;
    bool preview = true;
    int previewLongSide = 0; // 0: the module width, at most 1152
    bool depthMap = true;
    int hotPixelsPerModule = 0;
    float noise = 0.004f; // standard deviation, fraction of the range
    std::int32_t cfa = CIAPI::vrx::CfaRGGB;
    std::uint16_t majorVersion = 1;
    std::int64_t captureTime = 0; // 0: derived from the seed
    std::int32_t utcOffsetMinutes = 60;
    std::int32_t iso = 200;
};

struct Picture
{
    std::vector<std::uint8_t> vrx;
    std::vector<std::uint8_t> calibration; // "hotpixel.rec" bytes; empty without hot pixels
    CIAPI::vrx::Metadata meta;
    std::vector<CIAPI::vrx::ModuleInfo> modules;
    std::vector<std::vector<CIAPI::vrx::PixelPos>> hotPixels; // by module position
    std::vector<std::uint8_t> previewJpeg;
    Scene scene;
};

Picture makePicture(const PictureOptions& options);

CIAPI::vrx::UuidWords cameraUuidWords(std::uint32_t cameraSeed);
CIAPI::vrx::UuidWords imageUuidWords(std::uint32_t seed);
// Canonical text of a UUID given as words: camera words read as two little-endian
// 64-bit words, picture words as big-endian bytes.
std::string cameraUuidText(const CIAPI::vrx::UuidWords& words);
std::string imageUuidText(const CIAPI::vrx::UuidWords& words);

// Writes bytes to a file (replacing it); false on failure.
bool writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes);

} // namespace vrxgen
