#include "display/enginerects.h"

qint64 regionArea(const QRegion& region)
{
    qint64 area = 0;
    for (const QRect& r : region)
        area += qint64(r.width()) * r.height();
    return area;
}

void takeRegion(QRegion& pending, QRegion& target)
{
    target |= pending;
    pending = QRegion();
}

CIAPI::PointF toEnginePoint(const QPointF& p)
{
    return CIAPI::PointF { float(p.x()), float(p.y()) };
}

QPointF fromEnginePoint(const CIAPI::PointF& p)
{
    return QPointF(double(p.x), double(p.y));
}

std::vector<CIAPI::PointF> toEnginePoints(const QList<QPointF>& points)
{
    std::vector<CIAPI::PointF> out;
    out.reserve(size_t(points.size()));
    for (const QPointF& p : points)
        out.push_back(toEnginePoint(p));
    return out;
}

QRect fromEngineRect(const CIAPI::ROI& r)
{
    return QRect(QPoint(r.x0, r.y0), QPoint(r.x1 - 1, r.y1 - 1));
}

CIAPI::ROI toEngineRect(const QRect& r)
{
    return CIAPI::ROI { r.left(), r.top(), r.right() + 1, r.bottom() + 1 };
}
