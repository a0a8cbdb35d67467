#include "display/geometryedits.h"

#include "display/imagegeometry.h"

#include <QtGlobal>

#include <algorithm>
#include <cmath>

namespace {

const QPointF kCentre(0.5, 0.5);

bool isCorner(int handle)
{
    return handle == 1 || handle == 3 || handle == 6 || handle == 8;
}

// The turn and mirror each orientation code of the renderer starts with.
TurnAndMirror defaultTurnFor(int orientationCode)
{
    switch (orientationCode) {
    case 1:
        return { 90, false };
    case 2:
        return { 270, false };
    case 3:
        return { 270, true };
    case 4:
        return { 90, true };
    case 5:
        return { 180, true };
    case 6:
        return { 0, true };
    case 7:
        return { 180, false };
    default:
        return { 0, false };
    }
}

bool fuzzyDiffersFromOne(double a)
{
    return std::fabs(a - 1.0) * 100000.0 > std::min(std::fabs(a), 1.0);
}

} // namespace

GeometryEdits::GeometryEdits(QObject* parent)
    : QObject(parent)
    , m_transform(CIAPI::Point<int> { 1, 1 })
{
    m_handleCursors = { { 0, Qt::ForbiddenCursor }, { 1, Qt::SizeFDiagCursor }, { 2, Qt::SizeVerCursor },
        { 3, Qt::SizeBDiagCursor }, { 4, Qt::SizeHorCursor }, { 5, Qt::SizeHorCursor },
        { 6, Qt::SizeBDiagCursor }, { 7, Qt::SizeVerCursor }, { 8, Qt::SizeFDiagCursor } };
    connect(this, &GeometryEdits::cropCenterUpdated, this, &GeometryEdits::hasEditsChanged);
    connect(this, &GeometryEdits::transformationUpdated, this, &GeometryEdits::hasEditsChanged);
}

GeometryEdits::~GeometryEdits() = default;

QPointF GeometryEdits::pictureToView(const QPointF& p, const TurnAndMirror& turn)
{
    // A turn swaps the picture's sides together with the axes, so fractions map with the
    // same signed permutation as pixels.
    return ImageGeometry::orientToView(p - kCentre, turn.rotation, turn.mirrored) + kCentre;
}

QPointF GeometryEdits::viewToPicture(const QPointF& v, const TurnAndMirror& turn)
{
    return ImageGeometry::orientToPicture(v - kCentre, turn.rotation, turn.mirrored) + kCentre;
}

QRectF GeometryEdits::pictureRectToView(const QRectF& r, const TurnAndMirror& turn)
{
    return QRectF(pictureToView(r.topLeft(), turn), pictureToView(r.bottomRight(), turn)).normalized();
}

QRectF GeometryEdits::viewRectToPicture(const QRectF& r, const TurnAndMirror& turn)
{
    return QRectF(viewToPicture(r.topLeft(), turn), viewToPicture(r.bottomRight(), turn)).normalized();
}

void GeometryEdits::initTransform(const CIAPI::Transform& value)
{
    m_transform = value;
    m_crop = viewCropFromTransform(m_transform);
    if (m_cropState != Hidden)
        setTransformCropFromView(m_transform, m_committedCrop);
    emit transformationUpdated();
    emit zoomChanged();
    emit cropCenterUpdated();
    m_cropMode = Free;
    emit resetCropMode();
}

void GeometryEdits::setCropState(CropState state)
{
    if (state == m_cropState)
        return;
    const bool entering = m_cropState == Hidden;
    const bool leaving = state == Hidden;
    m_cropState = state;
    if (entering || leaving) {
        // Entering starts from the stored crop; leaving without applyCrop drops the edit.
        m_committedCrop = m_crop = viewCropFromTransform(m_transform);
        m_grabbedHandle = NoHandle;
        m_moving = false;
    }
    emit zoomChanged();
    emit cropStateChanged();
    emit cropCenterUpdated();
    emit updated();
}

void GeometryEdits::applyCrop(bool shouldHide)
{
    setTransformCropFromView(m_transform, m_crop);
    if (shouldHide && m_cropState != Hidden) {
        m_cropState = Hidden;
        m_grabbedHandle = NoHandle;
        m_moving = false;
        m_committedCrop = m_crop = viewCropFromTransform(m_transform);
        emit zoomChanged();
        emit cropStateChanged();
        emit cropCenterUpdated();
        emit updated();
    }
    emit transformationUpdated();
    emit cropCenterUpdated();
}

QRectF GeometryEdits::cropRect() const
{
    return viewRectToPicture(m_crop, decomposeTransform(m_transform));
}

void GeometryEdits::reorient(const std::function<void(CIAPI::Transform&)>& change)
{
    // The crop stays on the same part of the picture: it turns and mirrors with it.
    const TurnAndMirror before = decomposeTransform(m_transform);
    const QRectF crop = viewRectToPicture(m_crop, before);
    const QRectF committed = viewRectToPicture(m_committedCrop, before);
    setTransformCropFromView(m_transform, QRectF(0, 0, 1, 1));
    normalizeTransform(m_transform);
    change(m_transform);
    const TurnAndMirror after = decomposeTransform(m_transform);
    m_crop = pictureRectToView(crop, after);
    m_committedCrop = pictureRectToView(committed, after);
    setTransformCropFromView(m_transform, m_cropState != Hidden ? m_committedCrop : m_crop);
}

void GeometryEdits::rotateRight()
{
    emit aboutToRotate(true);
    // rotate90(k) turns the view by k quarter turns clockwise as seen.
    reorient([](CIAPI::Transform& t) { t.rotate90(1); });
    emit transformationUpdated();
    if (m_cropState != Hidden) {
        emit zoomChanged();
        emit cropCenterUpdated();
        emit toggleCropMode();
    }
}

void GeometryEdits::rotateLeft()
{
    emit aboutToRotate(false);
    reorient([](CIAPI::Transform& t) { t.rotate90(-1); });
    emit transformationUpdated();
    if (m_cropState != Hidden) {
        emit zoomChanged();
        emit cropCenterUpdated();
        emit toggleCropMode();
    }
}

void GeometryEdits::mirrorHorizontal()
{
    emit aboutToMirror(true);
    reorient([](CIAPI::Transform& t) { t.flipHorizontal(); });
    emit transformationUpdated();
    if (m_cropState != Hidden)
        emit cropCenterUpdated();
}

void GeometryEdits::mirrorVertical()
{
    emit aboutToMirror(false);
    reorient([](CIAPI::Transform& t) { t.flipVertical(); });
    emit transformationUpdated();
    if (m_cropState != Hidden)
        emit cropCenterUpdated();
}

double GeometryEdits::pictureAspect() const
{
    const CIAPI::Point<int> a = m_transform.aspectRatio();
    return a.x > 0 && a.y > 0 ? double(float(a.x) / float(a.y)) : 1.0;
}

double GeometryEdits::cropAspectRatio(CropMode mode) const
{
    switch (mode) {
    case Preset_4_3:
        return double(1.3333334f);
    case Preset_3_4:
        return 0.75;
    case Preset_16_9:
        return double(1.7777778f);
    case Preset_9_16:
        return 0.5625;
    case Preset_3_2:
        return 1.5;
    case Preset_2_3:
        return double(0.6666667f);
    case Preset_2_1:
        return 2.0;
    case Preset_1_2:
        return 0.5;
    case Preset_1_1:
        return 1.0;
    case Free:
        break;
    }
    const double viewAspect = isTransformTransposed(m_transform) ? 1.0 / pictureAspect() : pictureAspect();
    return m_crop.height() > 0 ? m_crop.width() * viewAspect / m_crop.height() : viewAspect;
}

double GeometryEdits::fractionRatio(CropMode mode) const
{
    if (mode == Free)
        return 1.0;
    // The view of a quarter-turned picture is as wide as the picture is high.
    const double viewAspect = isTransformTransposed(m_transform) ? 1.0 / pictureAspect() : pictureAspect();
    return cropAspectRatio(mode) / viewAspect;
}

void GeometryEdits::setCropMode(GeometryEdits::CropMode mode)
{
    m_cropMode = mode;
    if (mode != Free) {
        const double k = fractionRatio(mode);
        double w = std::min(std::sqrt(m_crop.height() * m_crop.width() * k), 1.0);
        double h = w / k;
        if (h > 1.0) {
            w = k;
            h = 1.0;
        }
        QRectF r(0, 0, w, h);
        r.moveCenter(m_crop.center());
        if (r.left() < 0)
            r.moveLeft(0);
        if (r.top() < 0)
            r.moveTop(0);
        if (r.right() > 1)
            r.moveRight(1);
        if (r.bottom() > 1)
            r.moveBottom(1);
        m_crop = r;
    }
    emit cropCenterUpdated();
    emit zoomChanged();
    emit updated();
}

void GeometryEdits::setEditFlag(int orientationCode)
{
    m_orientationCode = orientationCode;
    emit hasEditsChanged();
}

bool GeometryEdits::hasEdits() const
{
    const double full = double(0.99999f);
    if (m_crop.width() < full || m_crop.height() < full)
        return true;
    if (decomposeTransform(m_transform) != defaultTurnFor(m_orientationCode))
        return true;
    const CIAPI::RectF c = m_transform.crop();
    return fuzzyDiffersFromOne(2.0 * double(c.y) + double(c.height))
        || fuzzyDiffersFromOne(2.0 * double(c.x) + double(c.width));
}

QSizeF GeometryEdits::marginInView(const ImageGeometry& geometry, double pixels, bool alongPictureX) const
{
    const QSizeF whole = geometry.orientedSize() * double(geometry.zoom());
    if (whole.width() <= 0 || whole.height() <= 0)
        return QSizeF(0, 0);
    QSizeF m(pixels / whole.width(), pixels / whole.height());
    if (alongPictureX) {
        // Marks along the picture's width are longer on wide pictures, as they are drawn.
        const double f = (pictureAspect() + 1.0) / 2.0;
        if (isTransformTransposed(m_transform))
            m.setHeight(m.height() * f);
        else
            m.setWidth(m.width() * f);
    }
    return m;
}

int GeometryEdits::cropHandleAt(const QPointF& p, const ImageGeometry& geometry) const
{
    const QSizeF m = marginInView(geometry, kMarkThickness, false);
    const QSizeF L = marginInView(geometry, kMarkLength, true);
    const QRectF& R = m_crop;
    const double x = p.x(), y = p.y();
    const double right = R.left() + R.width(), bottom = R.top() + R.height();
    // On a small crop the corner zones meet in the middle instead of overlapping.
    const double Lw = std::min(L.width(), R.width() / 3), Lh = std::min(L.height(), R.height() / 3);
    if (R.top() - m.height() < y && y < R.top() + Lh) {
        const double reach = y < R.top() ? Lw : 0.0;
        if (x > R.left() - m.width() && x < R.left() + reach)
            return 1;
        if (std::fabs(x - (R.left() + R.width() / 2)) < Lw / 2 && y < R.top())
            return 2;
        if (x < right + m.width() && x > right - reach)
            return 3;
        return 0;
    }
    if (std::fabs(y - (R.top() + R.height() / 2)) < Lh / 2) {
        if (x > R.left() - m.width() && x < R.left())
            return 4;
        if (x > right && x < right + m.width())
            return 5;
        return 0;
    }
    if (bottom - Lh < y && y < bottom + m.height()) {
        const double reach = y > bottom ? Lw : 0.0;
        if (x > R.left() - m.width() && x < R.left() + reach)
            return 6;
        if (std::fabs(x - (R.left() + R.width() / 2)) < Lw / 2 && y > bottom)
            return 7;
        if (x < right + m.width() && x > right - reach)
            return 8;
    }
    return 0;
}

Qt::CursorShape GeometryEdits::cursorAt(const QPointF& picturePoint, const ImageGeometry& geometry) const
{
    const QPointF p = pictureToView(picturePoint, decomposeTransform(m_transform));
    if (m_crop.contains(p))
        return Qt::OpenHandCursor;
    // Handles are found in the view, so their cursors need no turning.
    return m_handleCursors.value(cropHandleAt(p, geometry), Qt::ForbiddenCursor);
}

void GeometryEdits::beginCropDrag(const QPointF& picturePoint, const ImageGeometry& geometry)
{
    const QPointF p = pictureToView(picturePoint, decomposeTransform(m_transform));
    m_moving = m_crop.contains(p);
    m_grabbedHandle = m_moving ? NoHandle : cropHandleAt(p, geometry);
    const CropState state = m_moving || m_grabbedHandle != NoHandle ? Active : Shown;
    m_lastPoint = p;
    if (m_cropState != Hidden && state != m_cropState) {
        m_cropState = state;
        emit cropStateChanged();
    }
    emit updated();
}

void GeometryEdits::dragCrop(const QPointF& picturePoint, const ImageGeometry&)
{
    if (m_cropState == Hidden)
        return;
    const QPointF p = pictureToView(picturePoint, decomposeTransform(m_transform));
    const QPointF d = p - m_lastPoint;
    if (m_grabbedHandle != NoHandle) {
        dragHandle(d);
        m_lastPoint = p;
        emit zoomChanged();
    } else if (m_moving) {
        dragWhole(d);
        m_lastPoint = p;
    } else {
        return;
    }
    emit cropCenterUpdated();
    emit updated();
}

void GeometryEdits::endCropDrag()
{
    m_moving = false;
    m_grabbedHandle = NoHandle;
    if (m_cropState == Active) {
        m_cropState = Shown;
        emit cropStateChanged();
    }
    // The view refits around the new crop once the pointer lets go.
    emit zoomChanged();
    emit cropCenterUpdated();
    emit updated();
}

void GeometryEdits::dragHandle(const QPointF& d)
{
    const int h = m_grabbedHandle;
    bool left = h == 1 || h == 4 || h == 6;
    bool right = h == 3 || h == 5 || h == 8;
    bool top = h == 1 || h == 2 || h == 3;
    bool bottom = h == 6 || h == 7 || h == 8;
    const double dx = left || right ? d.x() : 0.0;
    const double dy = top || bottom ? d.y() : 0.0;
    QRectF r = m_crop;
    if (m_cropMode == Free) {
        const double l = left ? qBound(0.0, r.left() + dx, r.right() - kMinimumSide) : r.left();
        const double rt = right ? qBound(r.left() + kMinimumSide, r.right() + dx, 1.0) : r.right();
        const double t = top ? qBound(0.0, r.top() + dy, r.bottom() - kMinimumSide) : r.top();
        const double b = bottom ? qBound(r.top() + kMinimumSide, r.bottom() + dy, 1.0) : r.bottom();
        m_crop = QRectF(QPointF(l, t), QPointF(rt, b));
        return;
    }
    // A preset keeps its ratio: the corner opposite the grabbed one stays, and an edge
    // drags the corner it shares with the top-left (top, left) or bottom-right (bottom,
    // right) pair.
    const double k = fractionRatio(m_cropMode);
    double grow;
    if (isCorner(h))
        grow = std::fabs(dx) >= std::fabs(dy) ? (left ? -dx : dx) : k * (top ? -dy : dy);
    else if (h == 2 || h == 7)
        grow = k * (top ? -dy : dy);
    else
        grow = left ? -dx : dx;
    if (h == 2 || h == 4) {
        left = true;
        top = true;
    } else if (h == 5 || h == 7) {
        right = true;
        bottom = true;
    }
    const double ax = left ? r.right() : r.left();
    const double ay = top ? r.bottom() : r.top();
    const double availableW = left ? ax : 1.0 - ax;
    const double availableH = top ? ay : 1.0 - ay;
    const double maxW = std::min(availableW, k * availableH);
    const double minW = std::min(kMinimumSide * std::max(k, 1.0), maxW);
    const double w = qBound(minW, r.width() + grow, maxW);
    const double hgt = w / k;
    m_crop = QRectF(left ? ax - w : ax, top ? ay - hgt : ay, w, hgt);
}

void GeometryEdits::dragWhole(const QPointF& d)
{
    QRectF r = m_crop;
    const double dx = qBound(-r.left(), d.x(), 1.0 - r.right());
    const double dy = qBound(-r.top(), d.y(), 1.0 - r.bottom());
    r.translate(dx, dy);
    m_crop = r;
}
