#include "display/nodecrop.h"

#include "display/flatcolornode.h"
#include "display/imagegeometry.h"
#include "display/optionalnode.h"

#include <QSGGeometry>

#include <cmath>

namespace {

constexpr int kShadeVertices = 24;
constexpr int kFrameVertices = 16;
constexpr int kHandleVertices = 72;

FlatColorNode* makeNode(const QColor& colour, int vertices, unsigned drawingMode)
{
    auto* node = new FlatColorNode(colour);
    auto* geometry = new QSGGeometry(QSGGeometry::defaultAttributes_Point2D(), vertices);
    geometry->setDrawingMode(drawingMode);
    geometry->setLineWidth(1);
    node->setGeometry(geometry);
    node->setFlag(QSGNode::OwnsGeometry);
    return node;
}

// Appends vertices mapped from picture fractions into the view.
class Writer
{
public:
    Writer(QSGGeometry* geometry, const ImageGeometry& g)
        : m_v(geometry->vertexDataAsPoint2D())
        , m_count(geometry->vertexCount())
        , m_g(g)
    { }
    void point(double x, double y)
    {
        const QPointF p = m_g.imageToView(QPointF(x, y));
        put(p);
    }
    void put(const QPointF& p)
    {
        if (m_i < m_count)
            m_v[m_i++].set(float(p.x()), float(p.y()));
    }
    // Two triangles over the picture rectangle (x0, y0) - (x1, y1), each corner mapped.
    void band(double x0, double y0, double x1, double y1)
    {
        point(x0, y0);
        point(x1, y0);
        point(x0, y1);
        point(x1, y0);
        point(x0, y1);
        point(x1, y1);
    }
    void line(double x0, double y0, double x1, double y1)
    {
        point(x0, y0);
        point(x1, y1);
    }
    // A mark given by two opposite corners; only they are mapped, the quad stays upright.
    void quad(double x1, double x2, double y1, double y2)
    {
        const QPointF P = m_g.imageToView(QPointF(x1, y1));
        const QPointF Q = m_g.imageToView(QPointF(x2, y2));
        put(QPointF(P.x(), P.y()));
        put(QPointF(Q.x(), P.y()));
        put(QPointF(P.x(), Q.y()));
        put(QPointF(Q.x(), P.y()));
        put(QPointF(P.x(), Q.y()));
        put(QPointF(Q.x(), Q.y()));
    }

private:
    QSGGeometry::Point2D* m_v;
    int m_count;
    int m_i = 0;
    const ImageGeometry& m_g;
};

} // namespace

NodeCrop::NodeCrop()
    : m_shade(makeNode(QColor(32, 32, 32), kShadeVertices, QSGGeometry::DrawTriangles))
    , m_frame(makeNode(QColor(255, 255, 255), kFrameVertices, QSGGeometry::DrawLines))
    , m_handles(makeNode(QColor(255, 255, 255), kHandleVertices, QSGGeometry::DrawTriangles))
    , m_shadeOptional(new OptionalNode(m_shade, 1.0))
    , m_frameOptional(new OptionalNode(m_frame, 0.4))
    , m_handleOptional(new OptionalNode(m_handles, 1.0))
{ }

void NodeCrop::setCropGeometry(GeometryEdits::CropState state, const QRectF& pictureCrop, double aspect)
{
    m_state = state;
    m_crop = pictureCrop;
    m_aspect = aspect > 0 ? aspect : 1.0;
}

void NodeCrop::setVisible(bool visible)
{
    m_frameOptional->setVisible(visible);
    m_handleOptional->setVisible(visible);
}

void NodeCrop::updateNode(const ImageGeometry& g)
{
    const double x = m_crop.x(), y = m_crop.y(), w = m_crop.width(), h = m_crop.height();
    {
        Writer s(m_shade->geometry(), g);
        s.band(0, 0, 1, y);
        s.band(0, y + h, 1, 1);
        s.band(0, y, x, y + h);
        s.band(x + w, y, 1, y + h);
    }
    {
        Writer f(m_frame->geometry(), g);
        f.line(x, y, x + w, y);
        f.line(x + w, y, x + w, y + h);
        f.line(x + w, y + h, x, y + h);
        f.line(x, y + h, x, y);
        f.line(x + w / 3, y, x + w / 3, y + h);
        f.line(x + 2 * w / 3, y, x + 2 * w / 3, y + h);
        f.line(x, y + h / 3, x + w, y + h / 3);
        f.line(x, y + 2 * h / 3, x + w, y + 2 * h / 3);
    }
    {
        // Mark sizes are view pixels, turned into picture fractions per axis.
        const double m = GeometryEdits::kMarkThickness;
        const QPointF origin = g.imageToView(QPointF(0, 0));
        const QPointF zero = g.viewToImage(origin);
        const QPointF thick = g.viewToImage(origin + QPointF(m, m)) - zero;
        const QPointF length = g.viewToImage(origin + QPointF(8 * m, 8 * m)) - zero;
        const double tx = std::fabs(thick.x()), ty = std::fabs(thick.y());
        const double Lx = std::fabs(length.x()) * (m_aspect + 1.0) / 2.0, Ly = std::fabs(length.y());
        Writer q(m_handles->geometry(), g);
        q.quad(x - tx, x, y, y + Ly);
        q.quad(x - tx, x + Lx - tx, y - ty, y);
        q.quad(x + w / 2 - Lx / 2, x + w / 2 + Lx / 2, y - ty, y);
        q.quad(x + w - Lx + tx, x + w + tx, y - ty, y);
        q.quad(x + w, x + w + tx, y, y + Ly);
        q.quad(x + w, x + w + tx, y + h / 2 - Ly / 2, y + h / 2 + Ly / 2);
        q.quad(x + w, x + w + tx, y + h + ty, y + h - Ly);
        q.quad(x + w - Lx + tx, x + w + tx, y + h, y + h + ty);
        q.quad(x + w / 2 - Lx / 2, x + w / 2 + Lx / 2, y + h, y + h + ty);
        q.quad(x - tx, x + Lx - tx, y + h, y + h + ty);
        q.quad(x - tx, x, y + h + ty, y + h - Ly);
        q.quad(x - tx, x, y + h / 2 - Ly / 2, y + h / 2 + Ly / 2);
    }
    const bool hidden = m_state == GeometryEdits::Hidden;
    m_shade->setColor(hidden ? QColor(32, 32, 32) : QColor(0, 0, 0));
    m_shadeOptional->setVisible(true);
    m_shadeOptional->setOpacity(hidden ? 1.0 : (m_state == GeometryEdits::Shown ? 0.8 : 0.5));
    m_shade->markDirty(QSGNode::DirtyGeometry);
    m_frame->markDirty(QSGNode::DirtyGeometry);
    m_handles->markDirty(QSGNode::DirtyGeometry);
}
