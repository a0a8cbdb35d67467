#include "display/depthstroke.h"

#include <algorithm>

bool DepthStroke::press(ImageEditState& state, ImageEdit::PickerMode picker, const QPointF& p)
{
    switch (picker) {
    case ImageEdit::Segmented:
        state.strokePoints.push_back(p);
        state.segmentPoints.push_back(p);
        return true;
    case ImageEdit::Trajectory:
        clear(state);
        state.strokePoints.push_back(p);
        state.segmentPoints.push_back(p);
        return true;
    case ImageEdit::Reference:
        break;
    }
    return false;
}

bool DepthStroke::move(ImageEditState& state, const QPointF& p)
{
    std::vector<QPointF>& points = state.strokePoints;
    if (points.size() >= 2) {
        const QPointF d = p - points.back();
        if (d.x() * d.x() + d.y() * d.y() <= kMinStepSquared)
            return false;
    }
    points.push_back(p);
    return true;
}

bool DepthStroke::closePolygon(ImageEditState& state)
{
    std::vector<QPointF>& points = state.strokePoints;
    if (points.empty() || (points.size() > 1 && points.back() == points.front()))
        return false;
    points.push_back(points.front());
    return true;
}

void DepthStroke::clear(ImageEditState& state)
{
    state.strokePoints.clear();
    state.segmentPoints.clear();
}

int DepthStroke::distinctPoints(const std::vector<QPointF>& points)
{
    std::vector<std::pair<double, double>> keys;
    keys.reserve(points.size());
    for (const QPointF& p : points)
        keys.emplace_back(p.x(), p.y());
    std::sort(keys.begin(), keys.end());
    return int(std::unique(keys.begin(), keys.end()) - keys.begin());
}

bool DepthStroke::hasClosedEditArea(const ImageEditState& state, ImageEdit::EditorMode mode)
{
    switch (mode) {
    case ImageEdit::DepthEditingBrush:
        return state.strokePoints.size() >= 2;
    case ImageEdit::DepthEditingQuickSelect:
        return state.quickSelectStrokes != 0;
    case ImageEdit::DepthEditingLasso:
        // A polygon closed over two points (A, B, A) encloses nothing.
        return state.strokePoints.size() >= 3 && distinctPoints(state.strokePoints) >= 3;
    default:
        return false;
    }
}

std::vector<CIAPI::PointF> DepthStroke::enginePoints(const std::vector<QPointF>& points)
{
    std::vector<CIAPI::PointF> out;
    out.reserve(points.size());
    for (const QPointF& p : points)
        out.push_back(CIAPI::PointF { float(p.x()), float(p.y()) });
    return out;
}

bool DepthStroke::isInside(const QPointF& p)
{
    return p.x() >= 0 && p.x() < 1 && p.y() >= 0 && p.y() < 1;
}
