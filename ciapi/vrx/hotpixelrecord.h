#pragma once

#include "ciapi/vrx/vrxtypes.h"

#include <cstdint>
#include <vector>

namespace CIAPI::vrx {

// The per-camera calibration record ("hotpixel.rec"):
//   "QHPX", u16 version (1), u16 module count, 4 x u32 camera UUID words,
//   per module: u32 count, count x (u16 x, u16 y); then u32 CRC-32 of all bytes before it.
struct HotPixelRecord
{
    UuidWords cameraUuid {};
    std::vector<std::vector<PixelPos>> modules; // by module position

    std::vector<std::uint8_t> encode() const;
    // Parses a record at the start of the bytes; `consumed` receives its length.
    // std::runtime_error when the bytes are not an intact record.
    static HotPixelRecord decode(
        const std::uint8_t* data, std::size_t length, std::size_t* consumed = nullptr);
    static bool looksLikeRecord(const std::uint8_t* data, std::size_t length);
};

// Replaces each listed sample by the median of its same-colour neighbours (two pixels
// away horizontally and vertically) that are not themselves listed.
void repairHotPixels(
    std::vector<std::uint16_t>& samples, int width, int height, const std::vector<PixelPos>& pixels);

} // namespace CIAPI::vrx
