#include "display/imagegeometry.h"

#include <algorithm>
#include <cmath>

ImageGeometry::ImageGeometry()
    : m_transform(CIAPI::Point<int> { 1, 1 })
{ }

ImageGeometry::~ImageGeometry() = default;

void ImageGeometry::setImageSize(int width, int height)
{
    m_width = width;
    m_height = height;
    recompute();
}

void ImageGeometry::setMatrix(const QMatrix& m)
{
    if (std::abs(m.m11() * m.m22()) > std::abs(m.m12() * m.m21())) {
        m_transposed = false;
        if (m.m11() < 0 && m.m22() > 0) {
            m_angle = 0;
            m_mirrored = true;
        } else if (m.m11() > 0 && m.m22() < 0) {
            m_angle = 180;
            m_mirrored = true;
        } else if (m.m11() < 0 && m.m22() < 0) {
            m_angle = 180;
            m_mirrored = false;
        } else {
            m_angle = 0;
            m_mirrored = false;
        }
    } else {
        m_transposed = true;
        if (m.m12() > 0 && m.m21() > 0) {
            m_angle = 90;
            m_mirrored = true;
        } else if (m.m12() < 0 && m.m21() > 0) {
            m_angle = 90;
            m_mirrored = false;
        } else if (m.m12() > 0 && m.m21() < 0) {
            m_angle = 270;
            m_mirrored = false;
        } else if (m.m12() < 0 && m.m21() < 0) {
            m_angle = 270;
            m_mirrored = true;
        }
        // A zero among the off-diagonal entries keeps the previous angle and mirror.
    }
    m_matrix = m;
    recompute();
}

void ImageGeometry::setTransform(const CIAPI::Transform& transform)
{
    m_transform = transform;
    const std::vector<float> v = transform.matrix(transform.aspectRatio());
    if (v.size() < 6)
        return;
    setMatrix(QMatrix(v[0], v[1], v[3], v[4], v[2], v[5]));
}

void ImageGeometry::setRelativeSize(const QSizeF& size)
{
    m_relativeSize = size;
    recompute();
}

void ImageGeometry::setViewSize(float width, float height)
{
    m_viewWidth = width;
    m_viewHeight = height;
    recompute();
}

void ImageGeometry::setPan(float x, float y)
{
    m_panX = x;
    m_panY = y;
}

void ImageGeometry::recompute()
{
    float side1 = float(m_relativeSize.width() * m_width);
    float side2 = float(m_relativeSize.height() * m_height);
    if (m_transposed)
        std::swap(side1, side2);
    if (side1 <= 0.f || side2 <= 0.f) {
        m_fitScale = 0.f;
        return;
    }
    m_fitScale = std::min(m_viewWidth / side1, m_viewHeight / side2);
}

QSizeF ImageGeometry::orientedSize() const
{
    const QSizeF size = m_transposed ? QSizeF(m_height, m_width) : QSizeF(m_width, m_height);
    return size * double(m_fitScale);
}

QPointF ImageGeometry::rotatePoint(const QPointF& p, double degrees)
{
    const double turns = degrees / 90.0;
    if (turns == std::floor(turns)) {
        const int quarter = ((int(turns) % 4) + 4) % 4;
        switch (quarter) {
        case 1:
            return QPointF(-p.y(), p.x());
        case 2:
            return QPointF(-p.x(), -p.y());
        case 3:
            return QPointF(p.y(), -p.x());
        default:
            return p;
        }
    }
    const double a = degrees * M_PI / 180.0;
    const double c = std::cos(a);
    const double s = std::sin(a);
    return QPointF(p.x() * c - p.y() * s, p.x() * s + p.y() * c);
}

QPointF ImageGeometry::rotateQuadrant(const QPointF& v) const
{
    QPointF r = v;
    switch (m_angle) {
    case 90:
        r = QPointF(-v.y(), v.x());
        break;
    case 180:
        r = QPointF(-v.x(), -v.y());
        break;
    case 270:
        r = QPointF(v.y(), -v.x());
        break;
    default:
        break;
    }
    if (m_mirrored)
        r.setX(-r.x());
    return r;
}

QPointF ImageGeometry::orientToView(const QPointF& v, int angle, bool mirrored)
{
    QPointF r = rotatePoint(v, -angle);
    if (mirrored)
        r.setX(-r.x());
    return r;
}

QPointF ImageGeometry::orientToPicture(const QPointF& v, int angle, bool mirrored)
{
    QPointF r = v;
    if (mirrored)
        r.setX(-r.x());
    return rotatePoint(r, angle);
}

QTransform ImageGeometry::viewOrientation() const
{
    const QPointF ex = orientToView(QPointF(1, 0), m_angle, m_mirrored);
    const QPointF ey = orientToView(QPointF(0, 1), m_angle, m_mirrored);
    return QTransform(ex.x(), ex.y(), ey.x(), ey.y(), 0, 0);
}

QPointF ImageGeometry::imageToView(const QPointF& p) const
{
    QPointF v((p.x() - 0.5) * m_width, (p.y() - 0.5) * m_height);
    v = orientToView(v, m_angle, m_mirrored);
    v *= double(m_fitScale);
    v += QPointF(m_panX, m_panY);
    v *= double(m_zoom);
    return v + QPointF(m_viewWidth / 2.0, m_viewHeight / 2.0);
}

QPointF ImageGeometry::viewToImage(const QPointF& view) const
{
    if (m_fitScale == 0.f || m_zoom == 0.f || m_width == 0 || m_height == 0)
        return QPointF();
    QPointF v = view - QPointF(m_viewWidth / 2.0, m_viewHeight / 2.0);
    v /= double(m_zoom);
    v -= QPointF(m_panX, m_panY);
    v /= double(m_fitScale);
    v = orientToPicture(v, m_angle, m_mirrored);
    return QPointF(v.x() / m_width + 0.5, v.y() / m_height + 0.5);
}
