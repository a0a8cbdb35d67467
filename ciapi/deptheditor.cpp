#include "ciapi/deptheditor.h"

#include <stdexcept>

#include "ciapi/depth/depthtools.h"
#include "ciapi/render/rendererprivate.h"
#include "ciapi/renderer.h"

namespace CIAPI {

using depth::NPoint;

struct DepthEditor::Private
{
    Renderer* renderer = nullptr;

    // The renderer's current picture, which must have depth (profile 3).
    render::PictureSession& session()
    {
        if (renderer->profile() != 3)
            throw std::runtime_error("This renderer does no depth work");
        auto& s = renderer->privateData().session;
        if (!s)
            throw std::runtime_error("No picture to edit");
        return *s;
    }
    render::PictureSession& sessionWithDepth()
    {
        render::PictureSession& s = session();
        std::lock_guard<std::mutex> lock(s.depthMutex);
        if (!s.depth.hasDepth())
            throw std::runtime_error("No depth yet");
        return s;
    }
    // After a change: the depth range the callers validate focus depths against.
    void publishRange(render::PictureSession& s)
    {
        const auto range = s.depthRange();
        renderer->setProperty(FloatArrayParam::DepthRange, std::vector<float> { range.first, range.second });
    }
};

namespace {

std::vector<NPoint> toPoints(const std::vector<PointF>& in)
{
    std::vector<NPoint> out;
    out.reserve(in.size());
    for (const PointF& p : in)
        out.push_back({ p.x, p.y });
    depth::checkPoints(out);
    return out;
}

} // namespace

DepthEditor::DepthEditor(Renderer& renderer)
    : d(std::make_unique<Private>())
{
    d->renderer = &renderer;
}

DepthEditor::~DepthEditor() = default;

float DepthEditor::getDepthAtPoint(const PointF& point)
{
    render::PictureSession& s = d->session();
    std::lock_guard<std::mutex> lock(s.depthMutex);
    return s.depth.depthAt(point.x, point.y);
}

void DepthEditor::pushBrushDepthEdit(const BrushDepthEditingParams& p)
{
    const auto points = toPoints(p.points);
    render::PictureSession& s = d->sessionWithDepth();
    std::lock_guard<std::mutex> lock(s.depthMutex);
    s.depth.push(depth::brushPatch(s.depth, points, p.brushSize, p.depth));
    d->publishRange(s);
}

void DepthEditor::pushEdgeHealDepthEdit(const HealDepthEditingParams& p)
{
    const auto points = toPoints(p.points);
    render::PictureSession& s = d->sessionWithDepth();
    std::lock_guard<std::mutex> lock(s.depthMutex);
    s.depth.push(depth::healPatch(s.depth, points, p.brushSize, true));
    d->publishRange(s);
}

void DepthEditor::pushSurfaceHealDepthEdit(const HealDepthEditingParams& p)
{
    const auto points = toPoints(p.points);
    render::PictureSession& s = d->sessionWithDepth();
    std::lock_guard<std::mutex> lock(s.depthMutex);
    s.depth.push(depth::healPatch(s.depth, points, p.brushSize, false));
    d->publishRange(s);
}

void DepthEditor::pushLassoDepthEdit(const LassoDepthEditingParams& p)
{
    const auto points = toPoints(p.points);
    render::PictureSession& s = d->sessionWithDepth();
    std::lock_guard<std::mutex> lock(s.depthMutex);
    s.depth.push(depth::lassoPatch(s.depth, points, p.depth, p.feather));
    d->publishRange(s);
}

void DepthEditor::addQuickSelectStrokes(const QuickSelectDepthEditingParams& p)
{
    const auto points = toPoints(p.points);
    render::PictureSession& s = d->sessionWithDepth();
    std::array<float, 4> roi { 0.f, 0.f, 1.f, 1.f };
    if (p.level >= 0 && p.level < s.levelCount() && !p.visible.empty()) {
        const Point<int> ls = s.levelSize(p.level);
        roi = { float(p.visible.x0) / ls.x, float(p.visible.y0) / ls.y, float(p.visible.x1) / ls.x,
            float(p.visible.y1) / ls.y };
    }
    const auto guide = s.level(s.depthLevel());
    std::lock_guard<std::mutex> lock(s.depthMutex);
    depth::growSelection(s.depth, *guide, points, p.brushSize, p.add, roi);
}

void DepthEditor::resetQuickSelect()
{
    render::PictureSession& s = d->session();
    std::lock_guard<std::mutex> lock(s.depthMutex);
    s.depth.clearSelection();
}

void DepthEditor::pushQuickSelectDepthEdit(float depthValue)
{
    render::PictureSession& s = d->sessionWithDepth();
    std::lock_guard<std::mutex> lock(s.depthMutex);
    s.depth.push(depth::selectionPatch(s.depth, depthValue));
    s.depth.clearSelection();
    d->publishRange(s);
}

void DepthEditor::enableFaceMatting(bool enable)
{
    render::PictureSession& s = d->session();
    std::lock_guard<std::mutex> lock(s.depthMutex);
    s.depth.setFaceMatting(enable);
}

bool DepthEditor::undoDepthEdit()
{
    render::PictureSession& s = d->session();
    std::lock_guard<std::mutex> lock(s.depthMutex);
    const bool done = s.depth.undo();
    if (done)
        d->publishRange(s);
    return done;
}

bool DepthEditor::redoDepthEdit()
{
    render::PictureSession& s = d->session();
    std::lock_guard<std::mutex> lock(s.depthMutex);
    const bool done = s.depth.redo();
    if (done)
        d->publishRange(s);
    return done;
}

void DepthEditor::reset()
{
    render::PictureSession& s = d->session();
    std::lock_guard<std::mutex> lock(s.depthMutex);
    s.depth.resetEdits();
    if (s.depth.hasDepth())
        d->publishRange(s);
}

bool DepthEditor::hasDepthEdits()
{
    render::PictureSession& s = d->session();
    std::lock_guard<std::mutex> lock(s.depthMutex);
    return s.depth.hasEdits();
}

} // namespace CIAPI
