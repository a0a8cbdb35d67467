#include "display/viewnavigator.h"

#include <QSizeF>

#include <algorithm>
#include <cmath>

namespace {

bool usableScale(float s)
{
    return std::isfinite(s) && s > 0.f;
}

} // namespace

ViewNavigator::ViewNavigator(ImageGeometry& geometry)
    : m_geometry(geometry)
{ }

bool ViewNavigator::setZoomLogLevel(double n)
{
    if (n == m_zoomLogLevel || !(n >= kMinZoomLogLevel) || !(n <= kMaxZoomLogLevel))
        return false;
    m_zoomLogLevel = n;
    m_zoom = float(std::pow(double(1.05f), n));
    m_geometry.setZoom(m_zoom);
    return true;
}

double ViewNavigator::logLevelOf(double zoom)
{
    return std::log(zoom) / double(std::log(1.05f));
}

bool ViewNavigator::reset()
{
    const bool zoomed = m_zoomLogLevel != 0.0;
    m_zoomLogLevel = 0.0;
    m_zoom = 1.f;
    m_geometry.setZoom(1.f);
    m_geometry.setPan(0.f, 0.f);
    return zoomed;
}

bool ViewNavigator::resizeView(int w, int h)
{
    const float s0 = m_geometry.fitScale();
    m_geometry.setViewSize(float(w), float(h));
    const float s1 = m_geometry.fitScale();
    if (usableScale(s0) && usableScale(s1) && s0 != s1)
        m_geometry.setPan(m_geometry.panX() * s1 / s0, m_geometry.panY() * s1 / s0);
    return usableScale(s1);
}

void ViewNavigator::centreOn(const QPointF& centre)
{
    const QPointF d
        = ImageGeometry::orientToView(QPointF(0.5, 0.5) - centre, m_geometry.angle(), m_geometry.mirrored());
    const QSizeF fitted = m_geometry.orientedSize();
    m_geometry.setPan(float(fitted.width() * d.x()), float(fitted.height() * d.y()));
}

void ViewNavigator::turn(bool rightRotation)
{
    // The fit after the quarter turn, relative to the fit now.
    const QSizeF rel = m_geometry.relativeSize();
    double side1 = rel.width() * m_geometry.imageWidth(), side2 = rel.height() * m_geometry.imageHeight();
    if (m_geometry.transposed())
        std::swap(side1, side2);
    const double vw = m_geometry.viewWidth(), vh = m_geometry.viewHeight();
    const double now = std::min(vw / side1, vh / side2), turned = std::min(vw / side2, vh / side1);
    const double f = std::isfinite(now) && now > 0 && std::isfinite(turned) ? turned / now : 1.0;
    const float px = m_geometry.panX(), py = m_geometry.panY();
    if (rightRotation)
        m_geometry.setPan(float(-py * f), float(px * f));
    else
        m_geometry.setPan(float(py * f), float(-px * f));
}

void ViewNavigator::mirror(bool horizontal)
{
    if (horizontal)
        m_geometry.setPan(-m_geometry.panX(), m_geometry.panY());
    else
        m_geometry.setPan(m_geometry.panX(), -m_geometry.panY());
}

void ViewNavigator::drag(const QPointF& delta)
{
    const QPointF d = delta / double(m_zoom);
    m_geometry.setPan(m_geometry.panX() + float(d.x()), m_geometry.panY() + float(d.y()));
}
