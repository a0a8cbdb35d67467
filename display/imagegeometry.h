#pragma once

#include "ciapi/transform.h"

#include <QMatrix>
#include <QPointF>
#include <QSizeF>
#include <QTransform>

// How an image is placed in an item: its quarter turns and mirror, the scale that fits
// it (or the part of it to show) into the view, pan, zoom and the pyramid level drawn.
class ImageGeometry
{
public:
    ImageGeometry();
    virtual ~ImageGeometry();

    // Level-0 size of the image.
    void setImageSize(int width, int height);
    int imageWidth() const { return m_width; }
    int imageHeight() const { return m_height; }

    // Decomposes a matrix of quarter turns and mirroring into angle, mirror flag and
    // whether the axes swap, then recomputes the fit.
    void setMatrix(const QMatrix& matrix);
    void setTransform(const CIAPI::Transform& transform);
    const QMatrix& matrix() const { return m_matrix; }
    const CIAPI::Transform& transform() const { return m_transform; }
    bool transposed() const { return m_transposed; }
    bool mirrored() const { return m_mirrored; }
    int angle() const { return m_angle; }

    // The part of the image to fit, as fractions of its width and height.
    void setRelativeSize(const QSizeF& size);
    QSizeF relativeSize() const { return m_relativeSize; }
    void setViewSize(float width, float height);
    float viewWidth() const { return m_viewWidth; }
    float viewHeight() const { return m_viewHeight; }
    void setPan(float x, float y);
    float panX() const { return m_panX; }
    float panY() const { return m_panY; }
    void setZoom(float zoom) { m_zoom = zoom; }
    float zoom() const { return m_zoom; }
    void setLevel(int level) { m_level = level; }
    int level() const { return m_level; }
    float fitScale() const { return m_fitScale; }

    void recompute();
    // The fitted image in view units at zoom 1: width and height, swapped when turned a
    // quarter, times the fit scale.
    QSizeF orientedSize() const;

    // Turns a point by a multiple of 90 degrees exactly, or by any angle.
    static QPointF rotatePoint(const QPointF& p, double degrees);
    // Turns a vector by the geometry's angle, then mirrors it.
    QPointF rotateQuadrant(const QPointF& v) const;

    // The picture's turn as the view shows it: a vector of the unturned picture (pixels,
    // y down) turned by -angle (90 degrees is a counter-clockwise quarter turn on screen:
    // the picture's right side comes to the view's top), then mirrored left to right.
    // Drawing, overlays, hit tests and crops all map through this one rule.
    static QPointF orientToView(const QPointF& v, int angle, bool mirrored);
    static QPointF orientToPicture(const QPointF& v, int angle, bool mirrored);
    // The same as a linear map, for drawing.
    QTransform viewOrientation() const;

    // A normalised image point (0..1 over the unturned image) to view coordinates, and
    // back.
    QPointF imageToView(const QPointF& normalised) const;
    QPointF viewToImage(const QPointF& view) const;

protected:
    CIAPI::Transform m_transform;
    QMatrix m_matrix;
    int m_width = 0;
    int m_height = 0;
    bool m_transposed = false;
    bool m_mirrored = false;
    int m_angle = 0;
    QSizeF m_relativeSize { 1.0, 1.0 };
    float m_viewWidth = 0.f;
    float m_viewHeight = 0.f;
    float m_fitScale = 0.f;
    float m_panX = 0.f;
    float m_panY = 0.f;
    float m_zoom = 1.f;
    int m_level = 0;
};
