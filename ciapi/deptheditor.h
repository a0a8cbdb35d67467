#pragma once

#include "ciapi/image.h"

#include <memory>
#include <vector>

namespace CIAPI {

class Renderer;

struct BrushDepthEditingParams
{
    std::vector<PointF> points; // normalised image coordinates
    float brushSize = 0.f; // normalised to the image width
    float depth = 0.f; // depth to paint
    int mode = 0;
};

struct HealDepthEditingParams
{
    std::vector<PointF> points;
    float brushSize = 0.f;
};

struct LassoDepthEditingParams
{
    std::vector<PointF> points; // polygon
    float depth = 0.f;
    float feather = 0.f;
};

struct QuickSelectDepthEditingParams
{
    std::vector<PointF> points;
    float brushSize = 0.f;
    bool add = true;
    ROI visible; // visible part of `level`, in that level's pixels
    int level = 0;
};

// Edits the depth map of a profile-3 renderer. Edits are kept as an undo stack, show in
// later renders and are saved in a full state. Points outside [0, 1] and degenerate
// polygons throw std::runtime_error.
class DepthEditor
{
public:
    explicit DepthEditor(Renderer& renderer);
    ~DepthEditor();
    DepthEditor(const DepthEditor&) = delete;
    DepthEditor& operator=(const DepthEditor&) = delete;

    // Throws std::runtime_error outside [0, 1) or before depth exists.
    float getDepthAtPoint(const PointF& point);

    void pushBrushDepthEdit(const BrushDepthEditingParams& params);
    void pushEdgeHealDepthEdit(const HealDepthEditingParams& params);
    void pushSurfaceHealDepthEdit(const HealDepthEditingParams& params);
    void pushLassoDepthEdit(const LassoDepthEditingParams& params);
    void addQuickSelectStrokes(const QuickSelectDepthEditingParams& params);
    void resetQuickSelect();
    void pushQuickSelectDepthEdit(float depth);
    void enableFaceMatting(bool enable);
    bool undoDepthEdit();
    bool redoDepthEdit();
    void reset();
    // True while at least one edit is applied (undone edits do not count).
    bool hasDepthEdits();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace CIAPI
