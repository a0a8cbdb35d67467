// The depth tools of the editor canvas: refocus, depth of field, brush, edge and surface
// heal, quick select and lasso, with their pointer input and their engine jobs.

#include "display/imageedititem.h"
#include "display/logging.h"

#include "ciapi/deptheditor.h"
#include "display/depthstroke.h"
#include "display/imagegeometry.h"
#include "engine/imageeditor.h"

#include <QCursor>
#include <QDebug>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

constexpr float kEngineBrushScale = 0.001f;

std::vector<CIAPI::PointF> toEnginePoints(const QVariantList& points)
{
    std::vector<CIAPI::PointF> out;
    out.reserve(size_t(points.size()));
    for (const QVariant& v : points) {
        const QPointF p = v.toPointF();
        out.push_back(CIAPI::PointF { float(p.x()), float(p.y()) });
    }
    return out;
}

} // namespace

// --- binding ---------------------------------------------------------------------------

void ImageEditItem::attachEditor(ImageEditor* editor)
{
    resetDepthState();
    if (editor) {
        connect(editor, &ImageViewer::setBusyIndicatorSignal, this, &ImageEditItem::setBusyIndicator,
            Qt::UniqueConnection);
        connect(editor, &ImageViewer::updateDepthProgressSignal, this,
            &ImageEditItem::setDepthProgressPercent, Qt::UniqueConnection);
        connect(editor, &ImageEditor::depthForEditingAvailableSignal, this, &ImageEditItem::onDepthAvailable,
            Qt::UniqueConnection);
    }
    emit loadingChanged();
}

void ImageEditItem::detachEditor()
{
    if (m_viewer) {
        disconnect(m_viewer, &ImageViewer::setBusyIndicatorSignal, this, &ImageEditItem::setBusyIndicator);
        disconnect(
            m_viewer, &ImageViewer::updateDepthProgressSignal, this, &ImageEditItem::setDepthProgressPercent);
        disconnect(
            m_viewer, &ImageEditor::depthForEditingAvailableSignal, this, &ImageEditItem::onDepthAvailable);
    }
    resetDepthState();
}

void ImageEditItem::resetDepthState()
{
    m_hasDepth = false;
    m_hasDepthTools = false;
    m_hasDepthRange = false;
    setEditorMode(ImageEdit::None);
    if (m_renderMode != ImageEdit::Normal) {
        m_renderMode = ImageEdit::Normal;
        m_histogramHeld = true;
        if (m_viewer) {
            m_viewer->setMode(ImageEdit::Normal);
            resetAndRequestRegions();
        }
        emit renderModeChanged(m_renderMode);
    }
    emit depthAvailabilityChanged();
}

void ImageEditItem::onDepthAvailable()
{
    if (!m_viewer)
        return;
    m_minDOF = std::min(double(m_viewer->propertyValue14()), 2.0);
    m_maxDOF = double(m_viewer->propertyValue16());
    m_dof = double(m_viewer->propertyValue0());
    m_depthRange = m_viewer->depthRange();
    m_hasDepth = true;
    m_hasDepthTools = true;
    m_hasDepthRange = m_maxDOF > m_dof;
    emit dofChanged(m_dof);
    emit depthRangeChanged();
    emit depthAvailabilityChanged();
}

// --- properties ------------------------------------------------------------------------

void ImageEditItem::setDof(double dof)
{
    if (!viewerShowsLocation() || !m_hasDepth || qFuzzyCompare(dof, m_dof))
        return;
    m_dof = dof;
    resetLevelRegions();
    m_viewer->setRendererProperty0(dof);
    m_saveTimer.start(kSaveDelayMs, this);
    m_depthRange = m_viewer->depthRange();
    m_hasDepthRange = m_maxDOF > m_dof;
    requestLevelRegions();
    emit dofChanged(m_dof);
    emit depthAvailabilityChanged();
}

void ImageEditItem::setRenderMode(RenderMode mode)
{
    if (mode == m_renderMode)
        return;
    m_renderMode = mode;
    m_histogramHeld = true;
    if (m_viewer) {
        m_viewer->setMode(mode);
        resetAndRequestRegions();
    }
    emit renderModeChanged(mode);
}

void ImageEditItem::setPickerMode(PickerMode mode)
{
    if (mode == m_pickerMode)
        return;
    m_pickerMode = mode;
    if (mode != ImageEdit::Reference)
        m_lastPickerMode = mode;
    else if (m_editorMode == ImageEdit::DepthEditingLasso && DepthStroke::closePolygon(*this)) {
        emit hasClosedEditAreaChanged();
        update();
    }
    updateCursor();
    emit pickerModeChanged(mode);
    emit hasBrushChanged();
}

void ImageEditItem::setBrushSize(double size)
{
    const double v = std::max(minBrushSize(), std::min(maxBrushSize(), size));
    if (qFuzzyCompare(float(v), brushSize))
        return;
    brushSize = float(v);
    emit brushSizeChanged();
    emit brushRadiusChanged();
    if (ImageEdit::isDepthMode(m_editorMode) && !strokePoints.empty())
        update();
}

double ImageEditItem::brushRadiusValue() const
{
    if (m_planner.empty())
        return 0.0;
    return double(m_planner.levelSizes()[0].width()) * double(m_geometry.fitScale())
        * double(m_navigator.zoom()) * double(brushSize) * double(kEngineBrushScale);
}

bool ImageEditItem::hasBrush() const
{
    return m_editorMode >= ImageEdit::DepthEditingBrush && m_editorMode != ImageEdit::DepthEditingLasso
        && m_pickerMode != ImageEdit::Reference;
}

void ImageEditItem::setQuickAdd(bool add)
{
    if (add == quickAdd)
        return;
    quickAdd = add;
    emit quickAddChanged(add);
}

bool ImageEditItem::hasReferencePoint() const
{
    return DepthStroke::isInside(referencePoint);
}

bool ImageEditItem::hasClosedEditArea() const
{
    return DepthStroke::hasClosedEditArea(*this, m_editorMode);
}

void ImageEditItem::setAnomaly(double value)
{
    anomaly = value;
    update();
}

bool ImageEditItem::hasDepthEdits() const
{
    if (!m_viewer)
        return false;
    if (m_viewer->hasDepthEdits() || !strokePoints.empty() || !segmentPoints.empty())
        return true;
    return m_viewer->propertyValue0() != m_viewer->depthOfField();
}

void ImageEditItem::setBusyIndicator(bool busy)
{
    m_updatingDepth = busy;
    emit updatingDepthChanged();
}

void ImageEditItem::setDepthProgressRunning(bool running)
{
    setBusyIndicator(running);
}

void ImageEditItem::setDepthProgressPercent(int percent)
{
    m_depthProgress = percent;
    emit depthProgressChanged();
}

void ImageEditItem::optionFaceMatting(bool checked)
{
    // Matting changes the depth the picture is rendered with, and is saved with its edits.
    if (runDepthJob([checked](CIAPI::DepthEditor& e) { e.enableFaceMatting(checked); }))
        resetAndRequestRegions();
    else
        emit depthEditingError();
}

void ImageEditItem::clearDepthPoints()
{
    DepthStroke::clear(*this);
    update();
}

bool ImageEditItem::isValidDepth(float focusDepth) const
{
    return focusDepth >= m_depthRange.first && focusDepth <= m_depthRange.second;
}

// --- jobs ------------------------------------------------------------------------------

float ImageEditItem::depthAtPoint(const QPointF& p) const
{
    if (!m_viewer)
        throw std::runtime_error("No picture");
    float depth = 0.f;
    const CIAPI::PointF point { float(p.x()), float(p.y()) };
    m_viewer->readDepth([&](CIAPI::DepthEditor& e) { depth = e.getDepthAtPoint(point); });
    return depth;
}

void ImageEditItem::resetAndRequestRegions()
{
    resetLevelRegions();
    requestLevelRegions();
}

bool ImageEditItem::runDepthJob(const DepthJob& job)
{
    // A picture still opening takes no edit: its state is not read yet.
    if (!viewerShowsLocation() || !job)
        return false;
    bool edited = false;
    const bool done = m_viewer->applyJob([&](CIAPI::DepthEditor& e) {
        job(e);
        edited = e.hasDepthEdits();
    });
    if (!done)
        return false;
    // One flag: read from the state file at opening, then kept by every job.
    m_viewer->setHasDepthEdits(edited);
    emit hasDepthEditsChanged();
    // Depth edits reach the state file as soon as the other edits do.
    m_saveTimer.start(kSaveDelayMs, this);
    return true;
}

bool ImageEditItem::runDepthStep(const std::function<bool(CIAPI::DepthEditor&)>& step)
{
    if (!viewerShowsLocation() || !step)
        return false;
    bool edited = false;
    bool changed = false;
    const bool done = m_viewer->applyJobIfChanged(
        [&](CIAPI::DepthEditor& e) {
            const bool did = step(e);
            edited = e.hasDepthEdits();
            return did;
        },
        changed);
    if (!done || !changed)
        return false;
    m_viewer->setHasDepthEdits(edited);
    emit hasDepthEditsChanged();
    m_saveTimer.start(kSaveDelayMs, this);
    return true;
}

bool ImageEditItem::commitDepthEdit(const DepthJob& job)
{
    if (!job)
        return false;
    if (!runDepthJob(job)) {
        emit depthEditingError();
        return false;
    }
    resetDepthEdit();
    resetAndRequestRegions();
    return true;
}

void ImageEditItem::pushBrushDepthEdit(const QVariantList& points, QPointF refPoint, double size)
{
    const std::vector<CIAPI::PointF> p = toEnginePoints(points);
    const CIAPI::PointF ref { float(refPoint.x()), float(refPoint.y()) };
    commitDepthEdit([p, ref, size](CIAPI::DepthEditor& e) {
        e.pushBrushDepthEdit(CIAPI::BrushDepthEditingParams { p, float(size), e.getDepthAtPoint(ref), 0 });
    });
}

void ImageEditItem::pushEdgeHealDepthEdit(const QVariantList& points, double size)
{
    const std::vector<CIAPI::PointF> p = toEnginePoints(points);
    commitDepthEdit([p, size](CIAPI::DepthEditor& e) {
        e.pushEdgeHealDepthEdit(CIAPI::HealDepthEditingParams { p, float(size) });
    });
}

void ImageEditItem::pushSurfHealDepthEdit(const QVariantList& points, double size)
{
    const std::vector<CIAPI::PointF> p = toEnginePoints(points);
    commitDepthEdit([p, size](CIAPI::DepthEditor& e) {
        e.pushSurfaceHealDepthEdit(CIAPI::HealDepthEditingParams { p, float(size) });
    });
}

void ImageEditItem::pushLassoDepthEdit(const QVariantList& points, QPointF refPoint, double size)
{
    const std::vector<CIAPI::PointF> p = toEnginePoints(points);
    const CIAPI::PointF ref { float(refPoint.x()), float(refPoint.y()) };
    commitDepthEdit([p, ref, size](CIAPI::DepthEditor& e) {
        e.pushLassoDepthEdit(
            CIAPI::LassoDepthEditingParams { p, e.getDepthAtPoint(ref), float(size) * 10.f });
    });
}

void ImageEditItem::pushQuickSelectDepthEditPoint(QPointF refPoint)
{
    const CIAPI::PointF ref { float(refPoint.x()), float(refPoint.y()) };
    commitDepthEdit([ref](CIAPI::DepthEditor& e) { e.pushQuickSelectDepthEdit(e.getDepthAtPoint(ref)); });
}

CIAPI::QuickSelectDepthEditingParams ImageEditItem::quickSelectParams() const
{
    CIAPI::QuickSelectDepthEditingParams params;
    params.points = DepthStroke::enginePoints(strokePoints);
    params.brushSize = brushSize * kEngineBrushScale;
    params.add = quickAdd;
    params.level = m_geometry.level();
    if (!m_planner.empty() && params.level >= 0 && params.level < int(m_planner.levelSizes().size()))
        params.visible = LevelPlanner::visibleLevelRect(m_planner.levelSizes()[size_t(params.level)],
            m_planner.levelSizes()[0], cropCentre(), m_geometry);
    return params;
}

void ImageEditItem::addQuickSelectStrokes()
{
    const CIAPI::QuickSelectDepthEditingParams params = quickSelectParams();
    commitDepthEdit([params](CIAPI::DepthEditor& e) { e.addQuickSelectStrokes(params); });
}

void ImageEditItem::applyDepthEdit()
{
    const bool inside = DepthStroke::isInside(referencePoint);
    const CIAPI::PointF ref { float(referencePoint.x()), float(referencePoint.y()) };
    const std::vector<CIAPI::PointF> points = DepthStroke::enginePoints(strokePoints);
    const float size = brushSize * kEngineBrushScale;
    const bool closed = hasClosedEditArea() && inside;
    switch (m_editorMode) {
    case ImageEdit::DepthEditingBrush:
        if (closed)
            commitDepthEdit([points, ref, size](CIAPI::DepthEditor& e) {
                e.pushBrushDepthEdit(
                    CIAPI::BrushDepthEditingParams { points, size, e.getDepthAtPoint(ref), 0 });
            });
        break;
    case ImageEdit::DepthEditingQuickSelect:
        if (closed)
            commitDepthEdit(
                [ref](CIAPI::DepthEditor& e) { e.pushQuickSelectDepthEdit(e.getDepthAtPoint(ref)); });
        break;
    case ImageEdit::DepthEditingLasso:
        if (closed)
            commitDepthEdit([points, ref, size](CIAPI::DepthEditor& e) {
                e.pushLassoDepthEdit(
                    CIAPI::LassoDepthEditingParams { points, e.getDepthAtPoint(ref), size * 10.f });
            });
        break;
    default:
        return;
    }
    emit hasDepthEditsChanged();
}

void ImageEditItem::resetQuickSelect()
{
    if (!m_viewer)
        return;
    try {
        m_viewer->readDepth([](CIAPI::DepthEditor& e) { e.resetQuickSelect(); });
    } catch (const std::exception& e) {
        qCDebug(lcDisplay) << "resetQuickSelect:" << e.what();
    }
    quickSelectStrokes = 0;
}

void ImageEditItem::resetDepthEdit()
{
    DepthStroke::clear(*this);
    emit hasClosedEditAreaChanged();
    update();
    referencePoint = QPointF(-1, -1);
    emit hasReferencePointChanged();
    setPickerMode(m_lastPickerMode);
    if (m_editorMode == ImageEdit::DepthEditingQuickSelect) {
        resetQuickSelect();
        emit hasClosedEditAreaChanged();
        resetAndRequestRegions();
    }
}

bool ImageEditItem::undoRedo(bool redo)
{
    if (!m_hasDepthTools)
        return false;
    resetDepthEdit();
    QString error;
    // At an end of the history nothing changes: the picture is not marked changed (a look
    // at a picture with an undo too many writes no state file).
    const bool changed = runDepthStep([&](CIAPI::DepthEditor& e) {
        try {
            return redo ? e.redoDepthEdit() : e.undoDepthEdit();
        } catch (const std::runtime_error& x) {
            error = QString::fromUtf8(x.what());
            throw;
        }
    });
    if (!changed) {
        if (!error.isEmpty())
            qCDebug(lcDisplay) << (redo ? "redoDepthEdit:" : "undoDepthEdit:") << error;
        return false;
    }
    resetAndRequestRegions();
    return true;
}

bool ImageEditItem::undoDepthEdit()
{
    return undoRedo(false);
}

bool ImageEditItem::redoDepthEdit()
{
    return undoRedo(true);
}

void ImageEditItem::resetDepthEdits()
{
    if (!m_hasDepthTools)
        return;
    QString error;
    const bool ran = runDepthJob([&](CIAPI::DepthEditor& e) {
        try {
            e.reset();
        } catch (const std::runtime_error& x) {
            error = QString::fromUtf8(x.what());
            throw;
        }
    });
    if (!ran) {
        qCDebug(lcDisplay) << "resetDepthEdits:" << error;
        return;
    }
    resetAndRequestRegions();
}

// --- pointer input ---------------------------------------------------------------------

bool ImageEditItem::depthPress(const QPointF& itemPoint)
{
    if (m_editorMode != ImageEdit::Refocus && !ImageEdit::isDepthMode(m_editorMode))
        return false;
    const QPointF p = toPicture(itemPoint);
    switch (m_pickerMode) {
    case ImageEdit::Reference: {
        if (!DepthStroke::isInside(p))
            break;
        float d = 0.f;
        try {
            d = depthAtPoint(p);
        } catch (const std::exception& e) {
            // No depth yet, or the engine refuses the point: the press does nothing.
            qCWarning(lcDisplay) << "depth at point:" << e.what();
            break;
        }
        if (m_editorMode != ImageEdit::Refocus) {
            referencePoint = p;
            emit hasReferencePointChanged();
        } else if (isValidDepth(d) && m_viewer) {
            referencePoint = p;
            resetLevelRegions();
            m_viewer->setRendererProperty1(d);
            m_saveTimer.start(kSaveDelayMs, this);
            requestLevelRegions();
            emit hasReferencePointChanged();
            emit hasDepthEditsChanged();
        }
        break;
    }
    case ImageEdit::Segmented:
    case ImageEdit::Trajectory:
        DepthStroke::press(*this, m_pickerMode, p);
        emit hasClosedEditAreaChanged();
        break;
    }
    update();
    return true;
}

bool ImageEditItem::depthMove(const QPointF& itemPoint)
{
    if (m_editorMode != ImageEdit::Refocus && !ImageEdit::isDepthMode(m_editorMode))
        return false;
    if (m_pickerMode == ImageEdit::Trajectory && DepthStroke::move(*this, toPicture(itemPoint))) {
        emit hasClosedEditAreaChanged();
        update();
    }
    return true;
}

bool ImageEditItem::depthRelease()
{
    switch (m_editorMode) {
    case ImageEdit::DepthEditingBrush:
        setPickerMode(ImageEdit::Reference);
        return true;
    case ImageEdit::DepthEditingEdgeHeal:
    case ImageEdit::DepthEditingSurfHeal: {
        if (strokePoints.empty())
            return true;
        const bool edge = m_editorMode == ImageEdit::DepthEditingEdgeHeal;
        const CIAPI::HealDepthEditingParams params { DepthStroke::enginePoints(strokePoints),
            brushSize * kEngineBrushScale };
        commitDepthEdit([params, edge](CIAPI::DepthEditor& e) {
            if (edge)
                e.pushEdgeHealDepthEdit(params);
            else
                e.pushSurfaceHealDepthEdit(params);
        });
        return true;
    }
    case ImageEdit::DepthEditingQuickSelect: {
        if (strokePoints.size() < 2) {
            DepthStroke::clear(*this);
            emit hasClosedEditAreaChanged();
            update();
            return true;
        }
        const CIAPI::QuickSelectDepthEditingParams params = quickSelectParams();
        DepthStroke::clear(*this);
        emit hasClosedEditAreaChanged();
        update();
        if (runDepthJob([params](CIAPI::DepthEditor& e) { e.addQuickSelectStrokes(params); })) {
            ++quickSelectStrokes;
            emit hasClosedEditAreaChanged();
            resetAndRequestRegions();
        } else {
            emit depthEditingError();
        }
        return true;
    }
    case ImageEdit::DepthEditingLasso:
        if (m_pickerMode == ImageEdit::Trajectory)
            setPickerMode(ImageEdit::Reference);
        return true;
    case ImageEdit::Refocus:
        return true;
    default:
        return false;
    }
}

bool ImageEditItem::depthWheel(QWheelEvent* event)
{
    if (m_editorMode < ImageEdit::DepthEditingBrush || m_editorMode > ImageEdit::DepthEditingQuickSelect
        || m_pickerMode == ImageEdit::Reference || (event->modifiers() & Qt::ControlModifier))
        return false;
    setBrushSize(double(brushSize) + event->angleDelta().y() * 0.125 / 15);
    return true;
}

QCursor ImageEditItem::depthCursor() const
{
    switch (m_editorMode) {
    case ImageEdit::Refocus: {
        const QPointF p = toPicture(m_mousePos);
        if (!DepthStroke::isInside(p))
            return QCursor(Qt::ForbiddenCursor);
        try {
            return QCursor(isValidDepth(depthAtPoint(p)) ? Qt::PointingHandCursor : Qt::ForbiddenCursor);
        } catch (const std::runtime_error&) {
            return QCursor(Qt::ForbiddenCursor);
        }
    }
    case ImageEdit::DepthEditingLasso:
        return QCursor(m_pickerMode == ImageEdit::Reference ? Qt::PointingHandCursor : Qt::CrossCursor);
    default:
        return QCursor(m_pickerMode != ImageEdit::Reference ? Qt::BlankCursor : Qt::PointingHandCursor);
    }
}
