#include "display/imageeditnode.h"

#include "core/resources.h"
#include "display/brushspray.h"
#include "display/flatcolornode.h"
#include "display/imagegeometry.h"
#include "display/imageplanesnode.h"
#include "display/lassopathnode.h"
#include "display/nodecrop.h"
#include "display/optionalnode.h"

#include <QImage>
#include <QQuickWindow>
#include <QSGSimpleTextureNode>
#include <QSGTexture>

ImageEditNode::ImageEditNode(QQuickWindow* window)
    : m_window(window)
    , m_overlay(new QSGTransformNode)
    , m_crop(new NodeCrop)
    , m_lasso(new LassoPathNode(window))
    , m_brush(new FlatColorNode(QColor(64, 128, 255, 160)))
    , m_brushGeometry(QSGGeometry::defaultAttributes_Point2D(), 0)
{
    ostra::initResources();
    const QImage cross(QString::fromLatin1(kCrossImage));
    if (window && !cross.isNull())
        m_crossTexture.reset(window->createTextureFromImage(cross));
    if (m_crossTexture) {
        m_cross = new QSGSimpleTextureNode;
        m_cross->setTexture(m_crossTexture.get());
        m_cross->setFiltering(QSGTexture::Linear);
    }
    m_crossOptional = new OptionalNode(m_cross, 1.0);
    m_lassoOptional = new OptionalNode(m_lasso, 1.0);
    m_brushGeometry.setDrawingMode(QSGGeometry::DrawPoints);
    m_brush->setGeometry(&m_brushGeometry);
    m_brush->material()->setFlag(QSGMaterial::Blending);
    m_brushOptional = new OptionalNode(m_brush, 1.0);

    m_overlay->appendChildNode(m_crossOptional);
    m_overlay->appendChildNode(m_lassoOptional);
    m_overlay->appendChildNode(m_brushOptional);
    m_overlay->appendChildNode(m_crop->shadeNode());
    m_overlay->appendChildNode(m_crop->frameNode());
    m_overlay->appendChildNode(m_crop->handleNode());
    appendChildNode(m_overlay);
}

ImageEditNode::~ImageEditNode()
{
    // The nodes themselves belong to the tree and go with it; the textures are ours.
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

bool ImageEditNode::crossShown() const
{
    return m_crossOptional->isVisible();
}

bool ImageEditNode::lassoShown() const
{
    return m_lassoOptional->isVisible();
}

bool ImageEditNode::brushShown() const
{
    return m_brushOptional->isVisible();
}

void ImageEditNode::updateOverlay(const ImageEditState& state, const ImageGeometry& g, bool avoidDrawPoints)
{
    const std::array<QPointF, 3> mapping { g.imageToView(QPointF(0, 0)), g.imageToView(QPointF(1, 0)),
        g.imageToView(QPointF(0, 1)) };
    if (m_built && mapping == m_mapping && state == static_cast<const ImageEditState&>(*this))
        return;
    m_built = true;
    m_mapping = mapping;
    static_cast<ImageEditState&>(*this) = state;

    QMatrix4x4 shift;
    shift.translate(float(anomaly), 0.f);
    m_overlay->setMatrix(shift);

    const bool depthMode = ImageEdit::isDepthMode(overlayMode);
    const bool hasReference = referencePoint.x() >= 0 && referencePoint.y() >= 0;
    if (m_cross && hasReference) {
        const QPointF c = g.imageToView(referencePoint);
        const QSizeF s = m_crossTexture->textureSize();
        m_cross->setRect(QRectF(c.x() - s.width() / 2, c.y() - s.height() / 2, s.width(), s.height()));
    }
    m_crossOptional->setVisible(m_cross && hasReference && overlayMode != ImageEdit::None);

    const bool lasso = overlayMode == ImageEdit::DepthEditingLasso;
    if (lasso) {
        std::vector<QPointF> path, corners;
        for (const QPointF& p : strokePoints)
            path.push_back(g.imageToView(p));
        for (const QPointF& p : segmentPoints)
            corners.push_back(g.imageToView(p));
        m_lasso->setPath(path, corners);
    }
    // Shown only with something to draw: a node drawn once with no vertices is not
    // drawn again when it gets some.
    m_lassoOptional->setVisible(lasso && !strokePoints.empty());

    const bool brush = depthMode && !lasso;
    if (brush) {
        std::vector<QPointF> stroke;
        for (const QPointF& p : strokePoints)
            stroke.push_back(g.imageToView(p));
        const bool heal = overlayMode == ImageEdit::DepthEditingEdgeHeal
            || overlayMode == ImageEdit::DepthEditingSurfHeal;
        const BrushSpray::Result spray = BrushSpray::build(
            stroke, brushRadius, avoidDrawPoints, heal ? BrushSpray::Normal : BrushSpray::Uniform);
        m_brushGeometry.setDrawingMode(avoidDrawPoints ? QSGGeometry::DrawLines : QSGGeometry::DrawPoints);
        m_brushGeometry.setLineWidth(spray.pointSize);
        m_brushGeometry.allocate(int(spray.vertices.size()));
        QSGGeometry::Point2D* v = m_brushGeometry.vertexDataAsPoint2D();
        for (const QPointF& p : spray.vertices)
            (v++)->set(float(p.x()), float(p.y()));
        m_brush->markDirty(DirtyGeometry);
    }
    m_brushOptional->setVisible(brush && !strokePoints.empty());
}

void ImageEditNode::marchLasso()
{
    if (m_lassoOptional->isVisible())
        m_lasso->advance();
}

void ImageEditNode::preprocess()
{
    if (m_planes)
        m_planes->preprocess();
}
