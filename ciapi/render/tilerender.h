#pragma once

#include <cstdint>
#include <memory>

#include "ciapi/render/colourpipeline.h"
#include "ciapi/render/plane.h"
#include "ciapi/render/refocus.h"

namespace CIAPI::render {

// Display modes of a renderer, numbered as the editor canvas passes them.
enum class ViewMode {
    Normal = 0,
    RefocusShading = 1, // what lies outside the band around the focus depth is shaded
    FocusBand = 2, // outside the in-focus band at the current aperture: depth in false colour
    Debug = 3, // camera RGB without colour work, tile edges in red
    SelectionOverlay = 4, // the quick-select mask tinted, the rest dimmed
};

// Everything one tile of one pyramid level needs; shared read-only by the tiles of a request.
struct TileInputs
{
    std::shared_ptr<const RgbPlanes<uint16_t>> camera; // developed level
    std::shared_ptr<const PlaneF> depth; // depth map (any resolution), may be null
    std::shared_ptr<const PlaneU8> selection; // quick-select mask (depth-map size), may be null
    std::shared_ptr<const ColourPipeline> colour;
    float sharpening = 0.f; // -100 .. 100
    RefocusSettings refocus;
    ViewMode mode = ViewMode::Normal;
    bool bgra = false;
    // When `camera` holds only some rows of the level (an export's window; renderLinear only):
    // the level row of its first row and the level's size. Zero sizes: the whole level.
    int cameraTop = 0;
    int levelWidth = 0;
    int levelHeight = 0;
    int width() const { return levelWidth > 0 ? levelWidth : camera->width(); }
    int height() const { return levelHeight > 0 ? levelHeight : camera->height(); }
};

// Level pixels around a rectangle that renderLinear reads (sharpening and refocus).
int linearHalo(const TileInputs& in);

// Depth of `region` of the level (sized like the region), sampled from the depth map.
PlaneF depthRegion(const TileInputs& in, const Rect& region);
void depthRegion(const TileInputs& in, const Rect& region, PlaneF& out);
// The same rows written from `first` on, `stride` floats apart.
void depthRows(const TileInputs& in, const Rect& region, float* first, size_t stride);

// How strongly `in` sharpens (the unsharp mask's amount).
float sharpenAmount(const TileInputs& in);

// One row of an unsharp mask with a 3x3 binomial blur: o[x] for x in [x0, x1), from the
// unsharpened rows above, at and below (x0 >= 1, x1 at most the row's width - 1).
void sharpenRow(const float* up, const float* mid, const float* dn, int x0, int x1, float amount, float* o);

// Planes renderLinear works in, kept by the caller from tile to tile and let go with it.
struct LinearScratch
{
    RgbPlanes<float> region; // the rectangle and its halo, linear
    PlaneF depth;
    RefocusScratch refocus;
};

// Renders `rect` of the level into 8-bit pixels at `out` (row stride in bytes).
void renderTile(const TileInputs& in, const Rect& rect, uint8_t* out, size_t outStride);

// Whether every row of a tile depends on its own source row only (no neighbourhood work, no
// overlay), so that a tile can be rendered a few rows at a time with renderRows.
bool rendersRowByRow(const TileInputs& in);

// Rows [y0, y1) of `rect` (level coordinates) into `out`, the pixel at (rect.x0, y0); only
// when rendersRowByRow.
void renderRows(const TileInputs& in, const Rect& rect, int y0, int y1, uint8_t* out, size_t outStride);

// Renders `rect` as linear sRGB floats, with (`tone`) or without the contrast curve and
// vibrance, always with sharpening and refocus. Used by export. Without `scratch`, planes
// kept per thread.
void renderLinear(const TileInputs& in, const Rect& rect, RgbPlanes<float>& out, bool tone,
    LinearScratch* scratch = nullptr);

} // namespace CIAPI::render
