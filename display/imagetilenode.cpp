#include "display/imagetilenode.h"

#include "display/imageplanes.h"

#include <QSGTexture>

ImageTileNode::ImageTileNode(const QRect& tileRect)
    : m_tileRect(tileRect)
    , m_limit(tileRect.adjusted(0, 0, 1, 1))
{
    auto* geometry = new QSGGeometry(
        QSGGeometry::defaultAttributes_TexturedPoint2D(), 0, 0, QSGGeometry::UnsignedShortType);
    geometry->setDrawingMode(QSGGeometry::DrawTriangles);
    setGeometry(geometry);
    setFlag(OwnsGeometry);
    setMaterial(&m_material);
}

ImageTileNode::~ImageTileNode() = default;

void ImageTileNode::setTexture(QSGTexture* texture)
{
    m_texture.reset(texture);
    m_material.setTexture(texture);
    markDirty(DirtyMaterial);
}

bool ImageTileNode::refreshGeometry()
{
    const QRegion d = m_available & m_limit & m_tileRect.adjusted(0, 0, 1, 1);
    if (d == m_drawn)
        return false;
    const int count = qMin(d.rectCount(), kMaxRects);
    QSGGeometry* g = geometry();
    g->allocate(count * 4, count * 6);
    QSGGeometry::TexturedPoint2D* v = g->vertexDataAsTexturedPoint2D();
    quint16* index = g->indexDataAsUShort();
    // The texture is as large as the tile.
    const float tileWidth = float(qMax(1, m_tileRect.width()));
    const float tileHeight = float(qMax(1, m_tileRect.height()));
    const float x0 = float(m_tileRect.left());
    const float y0 = float(m_tileRect.top());
    int k = 0;
    for (const QRect& r : d) {
        if (k / 4 >= count)
            break;
        const float left = float(r.left());
        const float top = float(r.top());
        // Corners on inclusive pixel positions; where the drawn part ends at the tile's
        // own far edge (the level ends there, or the next tile has nothing yet) the quad
        // reaches that edge, so that the tile's last column and row are drawn too.
        const float right = float(r.right() == m_tileRect.right() ? r.right() + 1 : r.right());
        const float bottom = float(r.bottom() == m_tileRect.bottom() ? r.bottom() + 1 : r.bottom());
        v[k + 0].set(left, top, (left - x0) / tileWidth, (top - y0) / tileHeight);
        v[k + 1].set(right, top, (right - x0) / tileWidth, (top - y0) / tileHeight);
        v[k + 2].set(left, bottom, (left - x0) / tileWidth, (bottom - y0) / tileHeight);
        v[k + 3].set(right, bottom, (right - x0) / tileWidth, (bottom - y0) / tileHeight);
        const int i = (k / 4) * 6;
        index[i + 0] = quint16(k);
        index[i + 1] = quint16(k + 1);
        index[i + 2] = quint16(k + 2);
        index[i + 3] = quint16(k + 1);
        index[i + 4] = quint16(k + 2);
        index[i + 5] = quint16(k + 3);
        k += 4;
    }
    markDirty(DirtyGeometry);
    m_drawn = d;
    return true;
}
