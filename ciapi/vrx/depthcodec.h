#pragma once

#include "ciapi/vrx/vrxtypes.h"

#include <cstdint>
#include <functional>
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
    // The same into row(y) for each row (map.depth is not used); with `parallel` (see
    // RawCodec), rows are converted side by side.
    static void unpack(const std::uint8_t* data, std::size_t length, const DepthMap& map,
        const std::function<float*(int y)>& row,
        const std::function<void(int, const std::function<void(int)>&)>& parallel);
};

} // namespace CIAPI::vrx
