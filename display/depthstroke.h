#pragma once

#include "ciapi/image.h"
#include "display/imageeditstate.h"

#include <QPointF>

#include <vector>

// Collects pointer positions (normalised image coordinates) into the strokes and polygons
// of the depth tools, and says when they enclose something the engine can apply.
class DepthStroke
{
public:
    // A stroke sample closer than this (squared, normalised units) to the last one is skipped.
    static constexpr double kMinStepSquared = 3.9999998989515007e-5;

    // A press with the Segmented picker adds a corner; with Trajectory it starts a stroke.
    // False when the picker collects nothing.
    static bool press(ImageEditState& state, ImageEdit::PickerMode picker, const QPointF& p);
    // A drag with the Trajectory picker; false when the point was too close to keep.
    static bool move(ImageEditState& state, const QPointF& p);
    // Closes a lasso polygon by repeating its first point; false when there is nothing to
    // close or it is closed already.
    static bool closePolygon(ImageEditState& state);
    static void clear(ImageEditState& state);
    // Points that differ from every other one.
    static int distinctPoints(const std::vector<QPointF>& points);
    // Brush: a stroke of two points; quick select: strokes handed to the engine; lasso: a
    // polygon of three distinct corners.
    static bool hasClosedEditArea(const ImageEditState& state, ImageEdit::EditorMode mode);
    static std::vector<CIAPI::PointF> enginePoints(const std::vector<QPointF>& points);
    // Both coordinates in [0, 1).
    static bool isInside(const QPointF& p);
};
