#pragma once

#include "ciapi/image.h"
#include "display/imagegeometry.h"
#include "display/imageplanes.h"

#include <QRectF>
#include <QSGTransformNode>

#include <memory>
#include <vector>

class ImagePlaneNode;
class QQuickWindow;
class QSGOpacityNode;

// Draws an image pyramid: every level as its own tile nodes, the coarsest first and
// finer ones on top, each level shown only while it is needed.
class ImagePlanesNode : public QSGTransformNode, public ImageGeometry
{
public:
    // Planes of its own for the pyramid, in a GL pixel format (GL_RGBA or GL_BGRA).
    ImagePlanesNode(const CIAPI::ImagePyramid& pyramid, int format);
    // Planes shared with other nodes.
    ImagePlanesNode(const CIAPI::ImagePyramid& pyramid, std::shared_ptr<ImagePlanes> planes);
    ~ImagePlanesNode() override;

    // The node matrix takes a QMatrix4x4, the image's quarter turns a QMatrix.
    using ImageGeometry::setMatrix;
    using QSGTransformNode::setMatrix;

    bool showsPyramid(const CIAPI::ImagePyramid& pyramid) const { return m_pyramid == pyramid; }
    const CIAPI::ImagePyramid& pyramid() const { return m_pyramid; }
    std::shared_ptr<ImagePlanes> planes() const { return m_planes; }
    int levelCount() const { return int(m_levelNodes.size()); }
    ImagePlaneNode* levelNode(int level) const { return m_levelNodes[size_t(level)]; }
    QSGOpacityNode* opacityNode(int level) const { return m_opacityNodes[size_t(level)]; }

    // Binds the planes to the current context and gives every tile its texture. Call on
    // the render thread with the window's context current.
    void bindWindow(QQuickWindow* window);

    // Uploads and refreshes the levels from the current one to the coarsest, then sets
    // the opacities.
    void preprocess() override;
    // The current level is shown; coarser levels fill in down to the first complete one.
    void setOpacityForLevels();
    // Places the image in an item's rectangle.
    void updateMatrix(const QRectF& itemRect);
    QRectF itemRect() const { return m_itemRect; }

    // Histogram of a normalised rectangle of the coarsest level (see ImagePlaneNode).
    bool computeHistogram(std::vector<std::vector<quint32>>& bins, const QRectF& rect);

private:
    void build();

    QRectF m_itemRect;
    CIAPI::ImagePyramid m_pyramid;
    std::shared_ptr<ImagePlanes> m_planes;
    std::vector<ImagePlaneNode*> m_levelNodes;
    std::vector<QSGOpacityNode*> m_opacityNodes;
};
