#pragma once

#include "ciapi/image.h"

#include <QColor>
#include <QRectF>
#include <QSGFlatColorMaterial>
#include <QSGGeometry>
#include <QSGGeometryNode>

// A rectangle standing in for an image that has no pixels yet. Its colour tells the
// sentinel pyramids apart: black for none, a pulsing grey while loading, dark grey for
// an unreadable file.
class PlaceholderNode : public QSGGeometryNode
{
public:
    explicit PlaceholderNode(bool animated);
    ~PlaceholderNode() override;

    void setPyramid(const CIAPI::ImagePyramid& pyramid) { m_pyramid = pyramid; }
    const CIAPI::ImagePyramid& pyramid() const { return m_pyramid; }
    void setRect(const QRectF& rect);
    QRectF rect() const { return m_rect; }
    QColor color() const { return m_material.color(); }

    // Picks the colour for the current time.
    void preprocess() override;
    // The colour of a pyramid at a time of day in milliseconds since midnight.
    static QColor colorFor(const CIAPI::ImagePyramid& pyramid, int msecsSinceMidnight, int phase);

private:
    QSGGeometry m_geometry;
    QSGFlatColorMaterial m_material;
    CIAPI::ImagePyramid m_pyramid;
    QRectF m_rect;
    int m_phase;
};
