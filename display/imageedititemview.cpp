#include "display/imageedititem.h"
#include "display/logging.h"

#include "ciapi/renderer.h"
#include "display/geometryedits.h"
#include "engine/imageeditor.h"
#include "engine/imageproperties.h"

#include <QCursor>
#include <QDebug>
#include <QHoverEvent>
#include <QMouseEvent>
#include <QStringList>
#include <QWheelEvent>

// The view of the canvas (zoom, pan, the crop's fit, turns and mirrors), its editor modes
// and its pointer input apart from the depth tools.

// --- view ------------------------------------------------------------------------------

void ImageEditItem::setZoomLogLevel(double n)
{
    if (!m_navigator.setZoomLogLevel(n))
        return;
    update();
    viewChanged();
    emit zoomLevelChanged(n);
}

void ImageEditItem::setZoomLevel(double x)
{
    if (x > 0)
        setZoomLogLevel(ViewNavigator::logLevelOf(x));
}

void ImageEditItem::zoomIn()
{
    setZoomLogLevel(m_navigator.zoomLogLevel() + 1);
}

void ImageEditItem::zoomOut()
{
    setZoomLogLevel(m_navigator.zoomLogLevel() - 1);
}

void ImageEditItem::center()
{
    m_geometry.setPan(0.f, 0.f);
    update();
    viewChanged();
}

void ImageEditItem::fitInView()
{
    m_geometry.setPan(0.f, 0.f);
    if (m_viewer) {
        applyCropZoom();
        updateCenter();
    }
    update();
    viewChanged();
}

void ImageEditItem::imageMoved()
{
    update();
    viewChanged();
}

void ImageEditItem::applyCropZoom()
{
    if (m_geometryEdits->cropState() == GeometryEdits::Active)
        return; // the view refits once the drag ends
    // While the crop is edited the whole picture is shown around it, so it can be dragged
    // anywhere; otherwise the crop fills the view.
    const QSizeF part = m_geometryEdits->cropState() == GeometryEdits::Hidden
        ? m_geometryEdits->cropRect().size()
        : QSizeF(1, 1);
    m_geometry.setRelativeSize(part);
    setZoomLogLevel(-1);
    update();
}

void ImageEditItem::updateCenter()
{
    if (m_geometryEdits->cropState() == GeometryEdits::Active)
        return;
    const QPointF centre
        = m_geometryEdits->cropState() == GeometryEdits::Hidden ? cropCentre() : QPointF(0.5, 0.5);
    m_navigator.centreOn(centre);
    update();
}

void ImageEditItem::rotateUserPosition(bool rightRotation)
{
    m_navigator.turn(rightRotation);
    update();
    viewChanged();
}

void ImageEditItem::mirrorUserPosition(bool horizontal)
{
    m_navigator.mirror(horizontal);
    update();
    viewChanged();
}

void ImageEditItem::updateTransformation()
{
    const CIAPI::Transform t = m_geometryEdits->transform();
    const CIAPI::RectF c = t.crop();
    const std::vector<float> m = t.matrix(t.aspectRatio());
    QStringList entries;
    for (float v : m)
        entries << QString::number(double(v));
    qCDebug(lcDisplay).noquote() << "Saving transformation. Crop:"
                                 << QStringLiteral("%1,%2;%3,%4")
                                        .arg(double(c.x))
                                        .arg(double(c.y))
                                        .arg(double(c.width))
                                        .arg(double(c.height))
                                 << ". Matrix:" << entries.join(QLatin1Char(',')) << ". Aspect ratio:"
                                 << QStringLiteral("%1,%2").arg(t.aspectRatio().x).arg(t.aspectRatio().y);
    m_geometry.setTransform(t);
    if (viewerShowsLocation() && !(m_viewer->renderer().transform() == t)) {
        m_viewer->setTransform(t);
        // Restarted by every change, so a burst of edits is written once.
        m_saveTimer.start(kSaveDelayMs, this);
    }
    emit propertiesChanged();
    update();
    viewChanged();
}

void ImageEditItem::resetGeometry()
{
    if (!viewerShowsLocation())
        return;
    ImageProperties* props = m_viewer->properties();
    props->resetTransform();
    m_geometryEdits->initTransform(props->transformProperties());
    m_geometry.setPan(0.f, 0.f);
    applyCropZoom();
    updateCenter();
    update();
    viewChanged();
}

bool ImageEditItem::isValidPoint(float x, float y) const
{
    return x >= 0.f && x < 1.f && y >= 0.f && y < 1.f;
}

bool ImageEditItem::isValidMouse(double x, double y) const
{
    const QPointF p = toPicture(QPointF(x, y));
    return isValidPoint(float(p.x()), float(p.y()));
}

QPointF ImageEditItem::toPicture(const QPointF& itemPoint) const
{
    return m_geometry.viewToImage(itemPoint);
}

void ImageEditItem::setEditorMode(EditorMode mode)
{
    if (mode == m_editorMode)
        return;
    if (mode == ImageEdit::DepthEditingQuickSelect || m_editorMode == ImageEdit::DepthEditingQuickSelect)
        resetQuickSelect();
    m_editorMode = mode;
    m_geometryEdits->setCropState(mode == ImageEdit::Crop ? GeometryEdits::Shown : GeometryEdits::Hidden);
    setRenderMode(ImageEdit::Normal);
    referencePoint = QPointF(-1, -1);
    mousePos = QPointF(-1, -1);
    emit hasReferencePointChanged();
    strokePoints.clear();
    segmentPoints.clear();
    emit hasClosedEditAreaChanged();
    update();
    updateCursor();
    emit editorModeChanged(mode);
    emit hasBrushChanged();
    if (mode == ImageEdit::DepthEditingLasso)
        m_marchTimer = startTimer(120);
    else if (m_marchTimer) {
        killTimer(m_marchTimer);
        m_marchTimer = 0;
    }
}

void ImageEditItem::updateCursor()
{
    if (m_editorMode == ImageEdit::Crop && m_mousePos.x() >= 0)
        setCursor(QCursor(m_geometryEdits->cursorAt(toPicture(m_mousePos), m_geometry)));
    else if (m_editorMode == ImageEdit::None || m_editorMode == ImageEdit::Crop)
        setCursor(QCursor(Qt::OpenHandCursor));
    else
        setCursor(depthCursor());
}

// --- input -----------------------------------------------------------------------------

void ImageEditItem::mousePressEvent(QMouseEvent* event)
{
    m_mousePos = event->localPos();
    forceActiveFocus(Qt::MouseFocusReason);
    if (depthPress(event->localPos())) {
        event->accept();
        return;
    }
    if (m_editorMode == ImageEdit::Crop)
        m_geometryEdits->beginCropDrag(toPicture(event->localPos()), m_geometry);
    else
        m_pressPoint = event->localPos();
    event->accept();
}

void ImageEditItem::mouseMoveEvent(QMouseEvent* event)
{
    m_mousePos = event->localPos();
    emit grabbedMouseMoved(m_mousePos.x(), m_mousePos.y(), true);
    if (!(event->buttons() & Qt::LeftButton))
        return;
    if (depthMove(event->localPos()))
        return;
    if (m_editorMode == ImageEdit::Crop) {
        m_geometryEdits->dragCrop(toPicture(event->localPos()), m_geometry);
        return;
    }
    m_navigator.drag(event->localPos() - m_pressPoint);
    m_pressPoint = event->localPos();
    update();
    viewChanged();
}

void ImageEditItem::mouseReleaseEvent(QMouseEvent* event)
{
    m_mousePos = event->localPos();
    if (depthRelease()) {
        event->accept();
        return;
    }
    if (m_editorMode == ImageEdit::Crop)
        m_geometryEdits->endCropDrag();
    event->accept();
}

void ImageEditItem::hoverMoveEvent(QHoverEvent* event)
{
    m_mousePos = event->posF();
    emit grabbedMouseMoved(m_mousePos.x(), m_mousePos.y(), true);
    if (m_editorMode != ImageEdit::None)
        updateCursor();
}

void ImageEditItem::hoverLeaveEvent(QHoverEvent*)
{
    emit grabbedMouseMoved(0, 0, false);
}

void ImageEditItem::wheelEvent(QWheelEvent* event)
{
    event->accept();
    if (depthWheel(event))
        return;
    if (m_geometryEdits->cropState() != GeometryEdits::Hidden)
        return;
    const int delta = event->angleDelta().y();
    if (delta > 0)
        zoomIn();
    else if (delta < 0)
        zoomOut();
}
