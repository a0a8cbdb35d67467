#include "display/lassopathnode.h"

#include "display/flatcolornode.h"

#include <QImage>
#include <QQuickWindow>
#include <QSGTexture>

#include <cmath>

LassoPathNode::LassoPathNode(QQuickWindow* window)
    : m_geometry(QSGGeometry::defaultAttributes_TexturedPoint2D(), 0)
    , m_corners(new FlatColorNode(QColor(0, 177, 237)))
    , m_cornerGeometry(QSGGeometry::defaultAttributes_Point2D(), 0)
{
    m_geometry.setDrawingMode(QSGGeometry::DrawLineStrip);
    m_geometry.setLineWidth(2);
    setGeometry(&m_geometry);
    if (window)
        m_texture.reset(window->createTextureFromImage(pattern()));
    if (m_texture) {
        m_texture->setFiltering(QSGTexture::Nearest);
        m_texture->setHorizontalWrapMode(QSGTexture::Repeat);
        m_material.setTexture(m_texture.get());
        m_material.setFiltering(QSGTexture::Nearest);
        m_material.setHorizontalWrapMode(QSGTexture::Repeat);
    }
    // The planes below draw themselves outside the scene graph's depth ordering: only
    // what is drawn in the blended pass is sure to land on top of them.
    m_material.setFlag(QSGMaterial::Blending);
    setMaterial(&m_material);
    m_cornerGeometry.setDrawingMode(QSGGeometry::DrawLines);
    m_cornerGeometry.setLineWidth(2);
    m_corners->setGeometry(&m_cornerGeometry);
    m_corners->material()->setFlag(QSGMaterial::Blending);
    appendChildNode(m_corners);
}

LassoPathNode::~LassoPathNode() = default;

QImage LassoPathNode::pattern()
{
    QImage image(kTextureWidth, 1, QImage::Format_ARGB32);
    for (int x = 0; x < kTextureWidth; ++x)
        image.setPixel(x, 0, x % 2 ? qRgb(192, 0, 0) : qRgb(255, 255, 255));
    return image;
}

void LassoPathNode::setPath(const std::vector<QPointF>& path, const std::vector<QPointF>& corners)
{
    m_path = path;
    m_geometry.allocate(int(path.size()));
    updateTextureCoordinates();

    m_cornerGeometry.allocate(int(corners.size()) * 8);
    QSGGeometry::Point2D* v = m_cornerGeometry.vertexDataAsPoint2D();
    const float h = kCornerHalf;
    for (const QPointF& c : corners) {
        const float x = float(c.x()), y = float(c.y());
        const float square[8][2] = { { x - h, y - h }, { x + h, y - h }, { x + h, y - h }, { x + h, y + h },
            { x + h, y + h }, { x - h, y + h }, { x - h, y + h }, { x - h, y - h } };
        for (const auto& s : square)
            (v++)->set(s[0], s[1]);
    }
    m_corners->markDirty(DirtyGeometry);
}

void LassoPathNode::advance()
{
    m_phase = (m_phase + 1) % kTextureWidth;
    updateTextureCoordinates();
}

void LassoPathNode::updateTextureCoordinates()
{
    QSGGeometry::TexturedPoint2D* v = m_geometry.vertexDataAsTexturedPoint2D();
    double length = m_phase;
    for (size_t i = 0; i < m_path.size(); ++i) {
        if (i > 0) {
            const QPointF d = m_path[i] - m_path[i - 1];
            length += std::hypot(d.x(), d.y());
        }
        v[i].set(float(m_path[i].x()), float(m_path[i].y()), float(length / kTextureWidth), 0.5f);
    }
    markDirty(DirtyGeometry);
}
