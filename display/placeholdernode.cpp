#include "display/placeholdernode.h"

#include "engine/sentinels.h"

#include <QTime>

#include <cstdint>
#include <cstdlib>

PlaceholderNode::PlaceholderNode(bool animated)
    : m_geometry(QSGGeometry::defaultAttributes_Point2D(), 4, 0, QSGGeometry::UnsignedShortType)
    , m_phase(int(reinterpret_cast<std::uintptr_t>(this) & 0x7fffffff))
{
    m_geometry.setDrawingMode(QSGGeometry::DrawTriangleStrip);
    setGeometry(&m_geometry);
    m_material.setColor(QColor(0, 0, 0));
    setMaterial(&m_material);
    if (animated)
        setFlag(UsePreprocess);
}

PlaceholderNode::~PlaceholderNode() = default;

void PlaceholderNode::setRect(const QRectF& r)
{
    if (qFuzzyCompare(r.x(), m_rect.x()) && qFuzzyCompare(r.y(), m_rect.y())
        && qFuzzyCompare(r.width(), m_rect.width()) && qFuzzyCompare(r.height(), m_rect.height())
        && !m_rect.isNull())
        return;
    m_rect = r;
    QSGGeometry::Point2D* v = m_geometry.vertexDataAsPoint2D();
    v[0].set(float(r.x()), float(r.y()));
    v[1].set(float(r.x()), float(r.y() + r.height()));
    v[2].set(float(r.x() + r.width()), float(r.y()));
    v[3].set(float(r.x() + r.width()), float(r.y() + r.height()));
    markDirty(DirtyGeometry);
}

QColor PlaceholderNode::colorFor(const CIAPI::ImagePyramid& pyramid, int t, int phase)
{
    if (pyramid == emptyPyramid())
        return QColor(0, 0, 0);
    if (pyramid == loadingPyramid()) {
        const unsigned step = (unsigned(t) + unsigned(phase)) >> 2;
        const int v = std::abs(int(step % 200u) - 100);
        return QColor(v, v, v);
    }
    if (pyramid == invalidPyramid())
        return QColor(40, 40, 40);
    if (pyramid == reservedPyramid())
        return QColor(0, 77, 177);
    return QColor(127, 127, 127);
}

void PlaceholderNode::preprocess()
{
    const QTime now = QTime::currentTime();
    const int t = now.isValid() ? now.msecsSinceStartOfDay() : 0;
    const QColor c = colorFor(m_pyramid, t, m_phase);
    if (c != m_material.color()) {
        m_material.setColor(c);
        markDirty(DirtyMaterial);
    }
}
