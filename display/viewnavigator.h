#pragma once

#include "display/imagegeometry.h"

#include <QPointF>

// The canvas's zoom, pan and fit arithmetic on its geometry: zoom in steps of 5 % (log
// levels), the pan kept in place relative to the fit when the view resizes, and carried
// along when the picture turns or mirrors. Plain arithmetic; the item redraws.
class ViewNavigator
{
public:
    static constexpr int kMaxZoomLogLevel = 65;
    static constexpr int kMinZoomLogLevel = -15;

    explicit ViewNavigator(ImageGeometry& geometry);

    double zoomLogLevel() const { return m_zoomLogLevel; }
    float zoom() const { return m_zoom; }
    // False, changing nothing, when `n` is the current level or outside the range.
    bool setZoomLogLevel(double n);
    // The log level of a zoom factor above 0.
    static double logLevelOf(double zoom);
    // Zoom 1 and no pan; says whether the zoom level was another.
    bool reset();
    // The view took a new size; the pan keeps its place relative to the fit. False when
    // there is no usable fit (nothing to show).
    bool resizeView(int width, int height);
    // Pans so that `centre`, a point of the unturned picture (0..1), is in the middle.
    void centreOn(const QPointF& centre);
    // The pan after a quarter turn: the same part of the picture stays in view.
    void turn(bool right);
    void mirror(bool horizontal);
    // A drag by `delta` item pixels.
    void drag(const QPointF& delta);

private:
    ImageGeometry& m_geometry;
    double m_zoomLogLevel = 0.0;
    float m_zoom = 1.f;
};
