#pragma once

#include <vector>

#include "ciapi/render/plane.h"

namespace CIAPI::render {

// How strongly the picture is refocused at one pyramid level.
struct RefocusSettings
{
    float strength = 0.f; // 0 (everything sharp) .. 1 (widest aperture)
    float focusDepth = 1.f; // depth that stays sharp
    float nearDepth = 0.5f; // depth range of the picture
    float farDepth = 10.f;
    float maxRadius = 0.f; // blur radius in pixels of this level for the largest distance

    bool active() const { return strength > 0.f && maxRadius >= 0.5f; }
    // Signed blur radius at `depth`: positive in front of the focus depth, negative behind.
    float signedRadius(float depth) const;
};

// Planes a refocus works in, kept by the caller from region to region (their memory is kept
// while large enough) and let go with it.
struct RefocusScratch
{
    PlaneF pos; // layer coordinate of every region pixel (refocusRegion only)
    PlaneF weight, hpass, blurredWeight, accWeight;
    RgbPlanes<float> acc;
    std::vector<float> rowValues;
};

// Depth-aware refocus of one region. `in` and `depth` cover the region (its halo included);
// `center` (in region coordinates) is what is written to `out` (sized like `center`). The
// region is cut into layers by signed blur radius; each layer is blurred with its own
// radius (normalised by its blurred coverage) and composited from far to near, so sharp
// edges in front never bleed into a blurred background.
void refocusRegion(const RgbPlanes<float>& in, const PlaneF& depth, const Rect& center,
    const RefocusSettings& settings, RgbPlanes<float>& out, RefocusScratch* scratch = nullptr);

// The layer coordinate refocusLayers takes for each of `n` depths.
void refocusPositions(const float* depth, int n, const RefocusSettings& settings, float* pos);

// The refocus of refocusRegion on `region` of larger planes: `in` and `pos` (layer coordinates
// from refocusPositions) are read in `region` only, `center` is in region coordinates, and the
// result goes to `out` (already sized) at (outX, outY). The same pixels as refocusRegion on the
// region cut out. `out` may be the scratch's `acc` (sized as `center`, at (0, 0)): the composite
// is then resolved in place.
// `range`, when given, holds the lowest and highest layer coordinate in the region (as
// refocusCost finds them), which are then not looked for again.
void refocusLayers(const RgbPlanes<float>& in, const PlaneF& pos, const Rect& region, const Rect& center,
    const RefocusSettings& settings, RgbPlanes<float>& out, int outX, int outY, RefocusScratch& scratch,
    const float* range = nullptr);

// A measure of the work refocusLayers does for these arguments (the pixels its layers blur),
// to start the costliest regions first.
// `range` (two floats), when given, receives the lowest and highest layer coordinate.
double refocusCost(const PlaneF& pos, const Rect& region, const Rect& center, const RefocusSettings& settings,
    float* range = nullptr);

// Halo (in pixels) a region needs around its output for refocus.
int refocusHalo(const RefocusSettings& settings);

} // namespace CIAPI::render
