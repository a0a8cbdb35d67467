#pragma once

#include "ciapi/transform.h"
#include "ciapi/vrx/vrxtypes.h"

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace CIAPI::state {

// A depth map kept in a state: depth in metres per pixel.
struct DepthState
{
    std::int32_t type = 0; // 1 factory depth, 2 computed depth
    vrx::DepthMap map;
};

// Everything a state stream can hold. Each member is present when some segment set it;
// reading applies segments in order, so the last value of each kind wins.
struct EngineState
{
    std::optional<vrx::UuidWords> imageId;
    std::optional<std::int32_t> rating;
    // Tune values by float parameter number (exposure, contrast, temperature, ...), and
    // integer parameters that belong to an edit. A tune segment replaces both maps.
    std::optional<std::map<int, float>> tuneFloats;
    std::optional<std::map<int, std::int64_t>> tuneInts;
    std::optional<float> depthOfField;
    std::optional<float> focusDepth;
    std::optional<Transform> transform;
    std::optional<DepthState> depth;
    // The depth-edit stack, in the depth editor's own encoding (opaque here). An empty
    // blob means "no edits".
    std::optional<std::vector<std::uint8_t>> depthEdits;
    // JPEG bytes of the rendered thumbnail.
    std::optional<std::vector<std::uint8_t>> thumbnailJpeg;

    int depthType() const { return depth ? depth->type : 0; }
    bool hasDepthEdits() const { return depthEdits && !depthEdits->empty(); }
};

} // namespace CIAPI::state
