#pragma once

#include <QRect>
#include <QRegion>
#include <QSGGeometryNode>
#include <QSGOpaqueTextureMaterial>

#include <memory>

class QSGTexture;

// One texture tile of a pyramid level. Its geometry covers only the part of the tile
// that is uploaded or being uploaded.
class ImageTileNode : public QSGGeometryNode
{
public:
    // Quads of one geometry are addressed with 16-bit indices.
    static constexpr int kMaxRects = 65536 / 4 - 1;

    explicit ImageTileNode(const QRect& tileRect);
    ~ImageTileNode() override;

    QRect tileRect() const { return m_tileRect; }
    // Takes ownership of the texture and draws with it.
    void setTexture(QSGTexture* texture);
    QSGTexture* texture() const { return m_texture.get(); }

    void setAvailable(const QRegion& available) { m_available = available; }
    const QRegion& available() const { return m_available; }
    const QRegion& drawn() const { return m_drawn; }
    // Rebuilds the geometry when the drawable part of the tile changed; true when it did.
    bool refreshGeometry();

private:
    QRect m_tileRect;
    QRegion m_available;
    QRegion m_limit;
    QRegion m_drawn;
    QSGOpaqueTextureMaterial m_material;
    std::unique_ptr<QSGTexture> m_texture;
};
