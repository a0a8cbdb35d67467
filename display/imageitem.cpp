#include "display/imageitem.h"

#include "display/geometryedits.h"
#include "display/imageplanesnode.h"
#include "display/placeholdernode.h"
#include "engine/channelorder.h"
#include "engine/sentinels.h"
#include "engine/transformhelpers.h"
#include "engine/vrxmessage.h"

#include <QQuickWindow>
#include <QSGNode>

#include <algorithm>
#include <cmath>

namespace {

// Relative comparison of two crop values: equal unless they differ beyond one part in
// 10^12 of the smaller.
bool fuzzyEqual(double a, double b)
{
    return std::min(std::abs(a), std::abs(b)) >= std::abs(a - b) * 1e12;
}

bool isUnitRect(const QRectF& r)
{
    return fuzzyEqual(r.x(), 0.0) && fuzzyEqual(r.y(), 0.0) && fuzzyEqual(r.width(), 1.0)
        && fuzzyEqual(r.height(), 1.0);
}

} // namespace

ImageItem::ImageItem(QQuickItem* parent)
    : QQuickItem(parent)
    , m_pyramid(emptyPyramid())
{
    setFlag(ItemHasContents, true);
    connect(this, &ImageItem::offscreenChanged, this, &QQuickItem::update);
}

ImageItem::~ImageItem()
{
    releaseLocation();
}

void ImageItem::setLocator(QObject* locator)
{
    if (locator == m_locator)
        return;
    releaseLocation();
    m_locator = locator;
    if (m_location.isValid())
        requestImage();
}

void ImageItem::setLocation(const QString& text)
{
    const QUrl url(text);
    if (url == m_location)
        return;
    // The old file's keeper must stop sending here whatever the new location is.
    releaseLocation();
    if (url.isValid()) {
        m_location = url;
        m_key = IImageService::fileKey(url);
        requestImage();
        return;
    }
    m_location = QUrl();
    m_key = QUrl();
    m_pyramid = emptyPyramid();
    m_planesRef.reset();
    m_refresh = QRegion();
    emit loadingChanged();
    update();
}

void ImageItem::releaseLocation()
{
    if (m_locator && m_location.isValid())
        m_locator->releaseClient(m_location, this);
}

void ImageItem::requestImage()
{
    m_pyramid = loadingPyramid();
    m_planesRef.reset();
    m_refresh = QRegion();
    // A kept output may come back at once, before this returns.
    if (m_locator)
        m_locator->requestLoad(m_location, this);
    emit loadingChanged();
    followPulse();
    update();
}

bool ImageItem::loading() const
{
    return !m_location.isValid() || m_pyramid.levelCount() == 0;
}

bool ImageItem::valid() const
{
    return m_pyramid.levelCount() > 0;
}

void ImageItem::setImageMatrix(const QMatrix& matrix)
{
    m_imageMatrix = matrix;
    emit matrixChanged();
    emit cropChanged(); // the shown size turns with the matrix
    update();
}

void ImageItem::setImageCrop(const QRectF& crop)
{
    m_imageCrop = crop;
    setClip(!isUnitRect(crop));
    emit cropChanged();
    update();
}

void ImageItem::setImageAspect(const QSize& aspect)
{
    if (aspect == m_imageAspect)
        return;
    m_imageAspect = aspect;
    emit cropChanged();
    update();
}

QRectF ImageItem::pictureCrop() const
{
    if (m_imageCrop.isNull() || m_imageCrop.isEmpty())
        return QRectF(0, 0, 1, 1);
    CIAPI::Transform t(
        CIAPI::Point<int> { std::max(1, m_imageAspect.width()), std::max(1, m_imageAspect.height()) });
    try {
        t.setMatrix(int(std::lround(m_imageMatrix.m11())), int(std::lround(m_imageMatrix.m12())),
            int(std::lround(m_imageMatrix.m21())), int(std::lround(m_imageMatrix.m22())));
    } catch (const std::exception&) {
        // Not one of the eight orientations: shown unturned.
    }
    t.setCrop(CIAPI::RectF { float(m_imageCrop.x()), float(m_imageCrop.y()), float(m_imageCrop.width()),
        float(m_imageCrop.height()) });
    const QRectF crop = GeometryEdits::viewRectToPicture(viewCropFromTransform(t), decomposeTransform(t));
    return crop.isEmpty() ? QRectF(0, 0, 1, 1) : crop;
}

QSizeF ImageItem::shownSize() const
{
    const QRectF crop = pictureCrop();
    const QSizeF size(crop.width() * std::max(1, m_imageAspect.width()),
        crop.height() * std::max(1, m_imageAspect.height()));
    const bool transposed = std::abs(m_imageMatrix.m11() * m_imageMatrix.m22())
        < std::abs(m_imageMatrix.m12() * m_imageMatrix.m21());
    return transposed ? size.transposed() : size;
}

void ImageItem::setOffscreen(bool offscreen)
{
    if (offscreen == m_offscreen)
        return;
    m_offscreen = offscreen;
    if (offscreen && m_pyramid.levelCount() > 0) {
        // The picture stays with the service, which may drop it to stay within its budget;
        // an item off the screen holds no pixels.
        m_pyramid = loadingPyramid();
        m_planesRef.reset();
        m_refresh = QRegion();
        emit loadingChanged();
    } else if (!offscreen && (m_pyramid == loadingPyramid() || m_pyramid == invalidPyramid())
        && m_location.isValid()) {
        // Back on the screen: the kept picture comes back at once, else it is read again. A
        // file found unreadable is asked for again too: it may have been written since.
        requestImage();
    }
    emit offscreenChanged();
    followPulse();
}

void ImageItem::imageOutput(const VrxMessage& message)
{
    if (!m_location.isValid() || IImageService::fileKey(message.location) != m_key)
        return;
    // Off the screen nothing is drawn: the pixels are asked for again when it is back. What
    // the item showed before (the file was unreadable) is older than this picture.
    if (m_offscreen && message.pyramid.levelCount() > 0) {
        if (m_pyramid != loadingPyramid()) {
            m_pyramid = loadingPyramid();
            m_planesRef.reset();
            m_refresh = QRegion();
            emit loadingChanged();
        }
        return;
    }
    if (message.pyramid == m_pyramid && m_pyramid.levelCount() > 0) {
        // More pixels of the pyramid already shown: upload what changed again.
        const int coarsest = m_pyramid.levelCount() - 1;
        if (message.level == coarsest) {
            const CIAPI::ROI& r = message.region;
            m_refresh |= QRect(r.x0, r.y0, r.x1 - r.x0, r.y1 - r.y0);
        }
    } else {
        m_refresh = QRegion();
    }
    m_pyramid = message.pyramid;
    m_planesRef = message.state;
    emit loadingChanged();
    update();
}

void ImageItem::fileInvalid(QUrl location)
{
    Q_UNUSED(location)
    m_pyramid = invalidPyramid();
    m_planesRef.reset();
    m_refresh = QRegion();
    emit loadingChanged();
    update();
}

void ImageItem::routerDetached(ImageRouter* router)
{
    Q_UNUSED(router)
    // The service let go of the file's keeper (its outputs are stale, e.g. after a change
    // of pixel order). Ask again once the service has finished dropping it.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_locator && m_location.isValid())
                requestImage();
        },
        Qt::QueuedConnection);
}

void ImageItem::followPulse()
{
    const bool pulsing = !m_offscreen && m_pyramid == loadingPyramid() && window();
    if (pulsing && !m_pulse)
        m_pulse = connect(window(), &QQuickWindow::afterAnimating, this, &ImageItem::pulse);
    else if (!pulsing && m_pulse)
        disconnect(m_pulse);
}

void ImageItem::pulse()
{
    if (!m_offscreen && m_pyramid == loadingPyramid())
        update();
    else
        followPulse();
}

void ImageItem::itemChange(ItemChange change, const ItemChangeData& value)
{
    if (change == ItemSceneChange) {
        if (m_pulse)
            disconnect(m_pulse);
        if (value.window)
            QMetaObject::invokeMethod(this, &ImageItem::followPulse, Qt::QueuedConnection);
    }
    QQuickItem::itemChange(change, value);
}

QSGNode* ImageItem::updatePaintNode(QSGNode* oldNode, UpdatePaintNodeData*)
{
    if (!oldNode) {
        // The scene graph dropped whatever this item had given it.
        m_emptyNode = nullptr;
        m_placeholderNode = nullptr;
        m_planesNode = nullptr;
    }

    QSGNode* node = nullptr;
    if (m_offscreen) {
        if (!m_emptyNode || oldNode != m_emptyNode)
            m_emptyNode = new QSGNode;
        node = m_emptyNode;
    } else if (m_pyramid.levelCount() == 0) {
        if (!m_placeholderNode || oldNode != m_placeholderNode)
            m_placeholderNode = new PlaceholderNode(true);
        m_placeholderNode->setPyramid(m_pyramid);
        m_placeholderNode->setRect(boundingRect());
        // The colour is chosen per frame; the first frame must not wait for it.
        m_placeholderNode->preprocess();
        node = m_placeholderNode;
    } else {
        ImagePlanesNode* planes = nullptr;
        if (m_planesNode && oldNode == m_planesNode && m_planesNode->showsPyramid(m_pyramid)) {
            planes = m_planesNode;
            if (!m_refresh.isEmpty()) {
                planes->planes()->plane(planes->levelCount() - 1).addRegion(m_refresh, true);
                planes->preprocess();
            }
        } else {
            if (const std::shared_ptr<ImagePlanes> shared = m_planesRef.lock()) {
                planes = new ImagePlanesNode(m_pyramid, shared);
            } else {
                const int format = m_locator ? m_locator->channelOrder() : ChannelOrder::kDefault;
                planes = new ImagePlanesNode(m_pyramid, format);
            }
            planes->bindWindow(window());
            const int coarsest = planes->levelCount() - 1;
            planes->setLevel(coarsest);
            ImagePlanes::ImagePlane& plane = planes->planes()->plane(coarsest);
            plane.addRegion(plane.levelRect(), false);
            planes->preprocess();
            m_planesNode = planes;
        }
        m_refresh = QRegion();
        // Only the cropped part, fitted into the item and centred, as the canvas shows it.
        const QRectF crop = pictureCrop();
        planes->setMatrix(m_imageMatrix);
        planes->setRelativeSize(crop.size());
        planes->setPan(0.f, 0.f);
        planes->updateMatrix(boundingRect());
        const QPointF d = ImageGeometry::orientToView(
            QPointF(0.5, 0.5) - crop.center(), planes->angle(), planes->mirrored());
        const QSizeF fitted = planes->orientedSize();
        planes->setPan(float(fitted.width() * d.x()), float(fitted.height() * d.y()));
        planes->updateMatrix(boundingRect());
        node = planes;
    }

    if (oldNode && oldNode != node) {
        if (oldNode == m_emptyNode)
            m_emptyNode = nullptr;
        else if (oldNode == m_placeholderNode)
            m_placeholderNode = nullptr;
        else if (oldNode == m_planesNode)
            m_planesNode = nullptr;
        if (QSGNode* parent = oldNode->parent())
            parent->removeChildNode(oldNode);
        delete oldNode;
    }
    return node;
}
