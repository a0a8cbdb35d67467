#pragma once

#include <array>
#include <functional>
#include <vector>

#include "ciapi/depth/depthdocument.h"

namespace CIAPI::depth {

using render::RgbPlanes;

// A point in normalised picture coordinates.
struct NPoint
{
    float x = 0.f;
    float y = 0.f;
};

// Throws std::runtime_error when a point lies outside [0, 1].
void checkPoints(const std::vector<NPoint>& points);

// Sets `depth` inside the stroke (radius `brushSize` times the map width).
DepthPatch brushPatch(
    const DepthDocument& doc, const std::vector<NPoint>& points, float brushSize, float depth);

// Inside the stroke, replaces each depth by the median (edge heal: removes spikes, keeps
// edges) or by the mean (surface heal: smooths) of its neighbourhood outside and inside.
DepthPatch healPatch(const DepthDocument& doc, const std::vector<NPoint>& points, float brushSize, bool edge);

// Fills the polygon with `depth`, blending over `feather` (a fraction of the width) at its edge.
// Fewer than three distinct points or no area: std::runtime_error.
DepthPatch lassoPatch(
    const DepthDocument& doc, const std::vector<NPoint>& points, float depth, float feather);

// Grows a region from the stroke over similar colour and depth inside `roi` (normalised
// x0, y0, x1, y1), and adds it to (or, without `add`, removes it from) the selection.
void growSelection(DepthDocument& doc, const RgbPlanes<uint16_t>& guide, const std::vector<NPoint>& points,
    float brushSize, bool add, const std::array<float, 4>& roi);

// Sets `depth` over the selection; throws when nothing is selected.
DepthPatch selectionPatch(const DepthDocument& doc, float depth);

// Edge-aware smoothing of depth along the colours of `guide` (same size): face matting.
PlaneF matte(const PlaneF& depth, const RgbPlanes<uint16_t>& guide);

// The working depth map (width x height) from a factory map: resampled, holes (<= 0)
// filled, and aligned with the colour edges of `guide` (width x height). Reports 0..99.
PlaneF refineDepth(
    const PlaneF& factory, const RgbPlanes<uint16_t>& guide, const std::function<void(int)>& progress);
// refineDepth in two steps, the first of which needs no guide (it may run while the guide is
// made): the factory map resampled to width x height with its holes filled (reports 25 and
// 50), then aligned with the colour edges of `guide` (reports 75).
PlaneF resampleDepth(const PlaneF& factory, int width, int height, const std::function<void(int)>& progress);
PlaneF alignDepth(PlaneF depth, const RgbPlanes<uint16_t>& guide, const std::function<void(int)>& progress);

} // namespace CIAPI::depth
