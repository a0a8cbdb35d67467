#pragma once

#include "ciapi/image.h"

#include <QList>
#include <QPointF>
#include <QRect>
#include <QRegion>

#include <vector>

// Conversions between the engine's rectangles and points and Qt's, and two region
// helpers. Engine rectangles {x0, y0, x1, y1} end exclusively; QRect's right and bottom
// are inclusive.

// Sum of width * height over the region's rectangles (a region's rectangles never overlap).
qint64 regionArea(const QRegion& region);
// target |= pending, then pending is emptied.
void takeRegion(QRegion& pending, QRegion& target);

CIAPI::PointF toEnginePoint(const QPointF& p);
QPointF fromEnginePoint(const CIAPI::PointF& p);
std::vector<CIAPI::PointF> toEnginePoints(const QList<QPointF>& points);

QRect fromEngineRect(const CIAPI::ROI& r);
CIAPI::ROI toEngineRect(const QRect& r);
