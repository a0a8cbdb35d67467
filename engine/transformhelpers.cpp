#include "engine/transformhelpers.h"

#include "ciapi/vrx/focalsize.h"

#include <QtGlobal>

#include <cmath>
#include <numeric>
#include <stdexcept>

namespace {

// Entries 0, 1, 3 and 4 of the row-major 2 x 3 matrix form the turn and mirror part.
struct Quad
{
    float m0, m1, m3, m4;
};

Quad quad(const CIAPI::Transform& t)
{
    const std::vector<float> m = t.matrix(t.aspectRatio());
    if (m.size() < 5)
        return { 1.f, 0.f, 0.f, 1.f };
    return { m[0], m[1], m[3], m[4] };
}

// The part of the unturned frame that a quarter-turned view covers, in frame fractions.
QRectF transposedFrame(const CIAPI::Transform& t)
{
    const CIAPI::Point<int> aspect = t.aspectRatio();
    const float a = aspect.x > 0 && aspect.y > 0 ? float(aspect.x) / float(aspect.y) : 1.f;
    return QRectF((1.f - 1.f / a) / 2.f, (1.f - a) / 2.f, 1.f / a, a);
}

} // namespace

bool isTransformTransposed(const CIAPI::Transform& t)
{
    const Quad q = quad(t);
    return std::fabs(q.m3 * q.m1) > std::fabs(q.m4 * q.m0);
}

bool isTransformMirrored(const CIAPI::Transform& t)
{
    const Quad q = quad(t);
    return isTransformTransposed(t) ? q.m1 * q.m3 > 0 : q.m0 * q.m4 < 0;
}

TurnAndMirror decomposeTransform(const CIAPI::Transform& t)
{
    const Quad q = quad(t);
    if (isTransformTransposed(t)) {
        if (q.m1 > 0 && q.m3 > 0)
            return { 90, true };
        if (q.m1 < 0 && q.m3 > 0)
            return { 90, false };
        if (q.m1 > 0 && q.m3 < 0)
            return { 270, false };
        if (q.m1 < 0 && q.m3 < 0)
            return { 270, true };
        return {};
    }
    if (q.m0 < 0 && q.m4 > 0)
        return { 0, true };
    if (q.m0 > 0 && q.m4 < 0)
        return { 180, true };
    if (q.m0 < 0 && q.m4 < 0)
        return { 180, false };
    return {};
}

void normalizeTransform(CIAPI::Transform& t)
{
    const TurnAndMirror d = decomposeTransform(t);
    t.reset(0);
    if (d.rotation != 0)
        t.rotate90(-d.rotation / 90);
    if (d.mirrored)
        t.flipHorizontal();
}

QRectF viewCropFromTransform(const CIAPI::Transform& t)
{
    const TurnAndMirror d = decomposeTransform(t);
    const CIAPI::RectF c = t.crop();
    QRectF r;
    if (isTransformTransposed(t)) {
        const QRectF base = transposedFrame(t);
        const double w = c.height / base.height();
        const double h = c.width / base.width();
        // The view's left edge: the picture's top for 90 degrees (its bottom once mirrored),
        // the picture's bottom for 270 degrees (its top once mirrored).
        const bool fromTop = (d.rotation == 90) != d.mirrored;
        const double x
            = fromTop ? (c.y - base.y()) / base.height() : 1.0 - (c.height + c.y - base.y()) / base.height();
        // The view's top edge: the picture's right side for 90 degrees, its left for 270.
        const double along = (c.x - base.x()) / base.width();
        const bool fromBottom = d.rotation == 90;
        const double y = fromBottom ? 1.0 - along - h : along;
        r = QRectF(x, y, w, h);
    } else {
        const bool fromRight = (d.rotation == 180) != d.mirrored;
        const double x = fromRight ? 1.0 - (c.x + c.width) : c.x;
        const double y = d.rotation == 180 ? 1.0 - (c.y + c.height) : c.y;
        r = QRectF(x, y, c.width, c.height);
    }
    return QRectF(qMax(0.0, r.x()), qMax(0.0, r.y()), qMin(r.width(), 1.0), qMin(r.height(), 1.0));
}

void setTransformCropFromView(CIAPI::Transform& t, const QRectF& v)
{
    const TurnAndMirror d = decomposeTransform(t);
    CIAPI::RectF c;
    if (isTransformTransposed(t)) {
        const QRectF base = transposedFrame(t);
        const bool is90 = d.rotation == 90;
        // 90 degrees brings the picture's right side to the view's top; mirroring then
        // swaps the view's left and right.
        const double yv = is90 ? 1.0 - v.y() - v.height() : v.y();
        const double xv = is90 != d.mirrored ? v.x() : 1.0 - (v.width() + v.x());
        c.x = float(base.x() + base.width() * yv);
        c.y = float(base.y() + base.height() * xv);
        c.width = float(v.height() * base.width());
        c.height = float(v.width() * base.height());
    } else {
        const bool is180 = d.rotation == 180;
        c.x = float(is180 != d.mirrored ? 1.0 - (v.width() + v.x()) : v.x());
        c.y = float(is180 ? 1.0 - (v.height() + v.y()) : v.y());
        c.width = float(v.width());
        c.height = float(v.height());
    }
    t.setCrop(c);
}

QRectF atLeastSmallestCrop(const QRectF& view)
{
    const double w = qMax(view.width(), kSmallestCropSide);
    const double h = qMax(view.height(), kSmallestCropSide);
    const QPointF centre = view.center();
    return QRectF(qBound(0.0, centre.x() - w / 2, 1.0 - w), qBound(0.0, centre.y() - h / 2, 1.0 - h), w, h);
}

bool fuzzyEqualRelative(double a, double b)
{
    return qMin(std::fabs(a), std::fabs(b)) >= 100000.0 * std::fabs(a - b);
}

bool sameCrop(const QRectF& a, const QRectF& b)
{
    return fuzzyEqualRelative(float(a.x()), float(b.x())) && fuzzyEqualRelative(float(a.y()), float(b.y()))
        && fuzzyEqualRelative(float(a.width()), float(b.width()))
        && fuzzyEqualRelative(float(a.height()), float(b.height()));
}

CIAPI::RectF pictureCropFromFrame(const CIAPI::Transform& t)
{
    const CIAPI::RectF c = t.crop();
    if (!isTransformTransposed(t))
        return c;
    // A quarter-turned crop is kept squeezed into the turned frame; undo that.
    const QRectF frame = transposedFrame(t);
    CIAPI::RectF r;
    r.x = float((c.x - frame.x()) / frame.width());
    r.y = float((c.y - frame.y()) / frame.height());
    r.width = float(c.width / frame.width());
    r.height = float(c.height / frame.height());
    return r;
}

bool fitTransformToPicture(CIAPI::Transform& t, int pictureWidth, int pictureHeight)
{
    const CIAPI::Point<int> aspect = t.aspectRatio();
    if (!t.isSet() || pictureWidth <= 0 || pictureHeight <= 0
        || qint64(aspect.x) * pictureHeight == qint64(aspect.y) * pictureWidth)
        return false;
    const QRectF view = viewCropFromTransform(t);
    const int d = std::gcd(pictureWidth, pictureHeight);
    t.setAspectRatio(CIAPI::Point<int> { pictureWidth / d, pictureHeight / d });
    setTransformCropFromView(t, view);
    return true;
}

bool fitTransformToPicture(CIAPI::Transform& t, float focalLength)
{
    try {
        const CIAPI::Point<int> size = CIAPI::vrx::cropSizeForFocalLength(focalLength);
        return fitTransformToPicture(t, size.x, size.y);
    } catch (const std::runtime_error&) {
        return false;
    }
}
