#pragma once

#include "ciapi/vrx/vrxtypes.h"

#include <cstdint>
#include <vector>

namespace CIAPI::vrx {

// Depth maps are stored as inverse depth quantised to 16 bits (little-endian) between
// 1/far (0) and 1/near (65535), then zstd compressed.
class DepthCodec
{
public:
    // The zstd-compressed quantised samples of a map (std::runtime_error for an invalid map).
    static std::vector<std::uint8_t> pack(const DepthMap& map);
    // Fills map.depth from packed samples for the map's width, height, near and far, which
    // the caller has validated; std::runtime_error when the bytes do not decode to exactly
    // width x height samples.
    static void unpack(const std::uint8_t* data, std::size_t length, DepthMap& map);
};

} // namespace CIAPI::vrx
