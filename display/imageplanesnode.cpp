#include "display/imageplanesnode.h"

#include "display/imageplanenode.h"
#include "display/imagetilenode.h"

#include <QMatrix4x4>
#include <QQuickWindow>
#include <QSGOpacityNode>
#include <QTransform>

ImagePlanesNode::ImagePlanesNode(const CIAPI::ImagePyramid& pyramid, int format)
    : m_pyramid(pyramid)
    , m_planes(std::make_shared<ImagePlanes>(pyramid, format))
{
    build();
}

ImagePlanesNode::ImagePlanesNode(const CIAPI::ImagePyramid& pyramid, std::shared_ptr<ImagePlanes> planes)
    : m_pyramid(pyramid)
    , m_planes(std::move(planes))
{
    build();
}

ImagePlanesNode::~ImagePlanesNode() = default;

void ImagePlanesNode::build()
{
    const int levels = m_planes->levelCount();
    for (int i = 0; i < levels; ++i) {
        auto* plane = new ImagePlaneNode(&m_planes->plane(i), 1 << i, i == levels - 1);
        auto* opacity = new QSGOpacityNode;
        opacity->appendChildNode(plane);
        prependChildNode(opacity);
        m_levelNodes.push_back(plane);
        m_opacityNodes.push_back(opacity);
    }
    if (levels > 0)
        setImageSize(m_planes->plane(0).width(), m_planes->plane(0).height());
    setPan(0.f, 0.f);
    setZoom(1.f);
    recompute();
}

void ImagePlanesNode::bindWindow(QQuickWindow* window)
{
    m_planes->bind();
    for (ImagePlaneNode* level : m_levelNodes) {
        ImagePlanes::ImagePlane* plane = level->plane();
        const std::vector<ImageTileNode*>& tiles = level->tiles();
        for (int i = 0; i < int(tiles.size()); ++i) {
            const quint32 id = plane->textureId(i);
            if (!window || id == 0)
                continue;
            QSGTexture* texture = window->createTextureFromNativeObject(QQuickWindow::NativeObjectTexture,
                &id, 0, tiles[size_t(i)]->tileRect().size(), QQuickWindow::TextureIsOpaque);
            if (!texture)
                continue;
            texture->setFiltering(QSGTexture::Linear);
            tiles[size_t(i)]->setTexture(texture);
        }
    }
}

void ImagePlanesNode::preprocess()
{
    if (m_levelNodes.empty())
        return;
    const int current = qBound(0, level(), levelCount() - 1);
    for (int i = current; i < levelCount(); ++i)
        m_levelNodes[size_t(i)]->preprocess();
    setOpacityForLevels();
}

void ImagePlanesNode::setOpacityForLevels()
{
    if (m_levelNodes.empty())
        return;
    const int current = qBound(0, level(), levelCount() - 1);
    bool filled = false;
    for (int i = 0; i < levelCount(); ++i) {
        qreal opacity = 0.0;
        if (i == current) {
            opacity = 1.0;
            filled = m_planes->plane(i).isComplete();
        } else if (i > current && !filled) {
            opacity = 1.0;
            filled = m_planes->plane(i).isComplete();
        }
        if (m_opacityNodes[size_t(i)]->opacity() != opacity)
            m_opacityNodes[size_t(i)]->setOpacity(opacity);
    }
}

void ImagePlanesNode::updateMatrix(const QRectF& itemRect)
{
    m_itemRect = itemRect;
    setViewSize(float(int(itemRect.width())), float(int(itemRect.height())));
    QMatrix4x4 m;
    m.translate(viewWidth() / 2.f, viewHeight() / 2.f);
    m.scale(zoom(), zoom(), 1.f);
    m.translate(panX(), panY());
    const float scale = float(imageWidth()) * fitScale();
    m.scale(scale, scale, 1.f);
    m *= QMatrix4x4(viewOrientation());
    if (m != QSGTransformNode::matrix())
        QSGTransformNode::setMatrix(m);
}

bool ImagePlanesNode::computeHistogram(std::vector<std::vector<quint32>>& bins, const QRectF& rect)
{
    if (m_levelNodes.empty())
        return false;
    return m_levelNodes.back()->computeHistogram(bins, rect);
}
