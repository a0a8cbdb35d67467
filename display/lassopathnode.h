#pragma once

#include <QPointF>
#include <QSGGeometry>
#include <QSGGeometryNode>
#include <QSGTextureMaterial>

#include <memory>
#include <vector>

class FlatColorNode;
class QQuickWindow;
class QSGTexture;

// The lasso: a line strip through the polygon whose texture alternates white and red
// pixels; its texture coordinate runs along the path, so the dashes follow every turn and
// march as the phase advances. A child draws a small square around every corner.
class LassoPathNode : public QSGGeometryNode
{
public:
    static constexpr int kTextureWidth = 256;
    static constexpr float kCornerHalf = 2.f;

    explicit LassoPathNode(QQuickWindow* window);
    ~LassoPathNode() override;

    // Points in item pixels.
    void setPath(const std::vector<QPointF>& path, const std::vector<QPointF>& corners);
    // Moves the dashes along by one pixel.
    void advance();

    // The 256 x 1 pattern: even pixels white, odd ones (192, 0, 0).
    static QImage pattern();

private:
    void updateTextureCoordinates();

    QSGGeometry m_geometry;
    QSGTextureMaterial m_material;
    std::unique_ptr<QSGTexture> m_texture;
    FlatColorNode* m_corners;
    QSGGeometry m_cornerGeometry;
    std::vector<QPointF> m_path;
    int m_phase = 0;
};
