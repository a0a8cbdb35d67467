#include "display/imageeditnode.h"

#include "display/imageplanesnode.h"
#include "display/nodecrop.h"
#include "display/optionalnode.h"

ImageEditNode::ImageEditNode(QQuickWindow* window)
    : m_window(window)
    , m_overlay(new QSGTransformNode)
    , m_crop(new NodeCrop)
{
    m_overlay->appendChildNode(m_crop->shadeNode());
    m_overlay->appendChildNode(m_crop->frameNode());
    m_overlay->appendChildNode(m_crop->handleNode());
    appendChildNode(m_overlay);
}

ImageEditNode::~ImageEditNode()
{
    // The nodes themselves belong to the tree and go with it.
    delete m_crop;
}

void ImageEditNode::setPlanes(ImagePlanesNode* planes)
{
    if (m_planes) {
        removeChildNode(m_planes);
        delete m_planes;
    }
    m_planes = planes;
    if (m_planes)
        prependChildNode(m_planes);
}

void ImageEditNode::preprocess()
{
    if (m_planes)
        m_planes->preprocess();
}
