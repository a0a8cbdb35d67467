#pragma once

#include "tools/vrxgen/generator.h"

namespace ostra::test {

// A small noise-free picture without an embedded preview (so thumbnails come from the
// raw samples) and with planted hot pixels that its camera's calibration record lists.
inline vrxgen::PictureOptions hotPixelPictureOptions(std::uint32_t cameraSeed = 1, std::uint32_t seed = 1)
{
    vrxgen::PictureOptions o;
    o.moduleWidth = 96;
    o.moduleHeight = 72;
    o.frames = 1;
    o.preview = false;
    o.noise = 0.f;
    o.hotPixelsPerModule = 40;
    o.cameraSeed = cameraSeed;
    o.seed = seed;
    return o;
}

} // namespace ostra::test
