#pragma once

#include "ciapi/image.h"

namespace CIAPI::vrx {

// The output size for a focal length (mm), on the 64 x 48 grid of the 4160 x 3120 base
// frame. Outside [0, 150] throws std::runtime_error "Invalid focal length!". Below 1 mm the
// size for 1 mm is returned (the scale is unbounded at 0).
Point<int> cropSizeForFocalLength(float focalLength);

} // namespace CIAPI::vrx
