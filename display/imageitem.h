#pragma once

#include "ciapi/image.h"
#include "display/imageservicepointer.h"
#include "engine/imageclient.h"

#include <QMatrix>
#include <QMetaObject>
#include <QPointer>
#include <QQuickItem>
#include <QRectF>
#include <QRegion>
#include <QUrl>

#include <memory>

class ImagePlanes;
class ImagePlanesNode;
class PlaceholderNode;
class QSGNode;

// The thumbnail of one picture in a gallery cell. It listens to the image service for
// its file and draws the coarsest level of the output it receives; until then a
// placeholder whose colour tells no file, loading and unreadable apart. Draws nothing
// and holds no pixels while `offscreen`.
class ImageItem : public QQuickItem, public ImageClient
{
    Q_OBJECT
    Q_PROPERTY(QObject* locator READ locator WRITE setLocator)
    Q_PROPERTY(QString location READ location WRITE setLocation NOTIFY locationChanged)
    Q_PROPERTY(bool loading READ loading NOTIFY loadingChanged)
    Q_PROPERTY(bool valid READ valid NOTIFY loadingChanged)
    Q_PROPERTY(QMatrix imageMatrix READ imageMatrix WRITE setImageMatrix NOTIFY matrixChanged)
    Q_PROPERTY(QRectF imageCrop READ imageCrop WRITE setImageCrop NOTIFY cropChanged)
    Q_PROPERTY(bool offscreen READ offscreen WRITE setOffscreen NOTIFY offscreenChanged)
    Q_PROPERTY(QSize imageAspect READ imageAspect WRITE setImageAspect NOTIFY cropChanged)
    Q_PROPERTY(QSizeF shownSize READ shownSize NOTIFY cropChanged)

public:
    explicit ImageItem(QQuickItem* parent = nullptr);
    ~ImageItem() override;

    // The image service: any object that implements IImageService.
    QObject* locator() const { return m_locator.object(); }
    void setLocator(QObject* locator);
    QString location() const { return m_location.toString(); }
    void setLocation(const QString& text);
    // True without a file or while no output with levels has arrived.
    bool loading() const;
    bool valid() const;
    QMatrix imageMatrix() const { return m_imageMatrix; }
    void setImageMatrix(const QMatrix& matrix);
    QRectF imageCrop() const { return m_imageCrop; }
    void setImageCrop(const QRectF& crop);
    bool offscreen() const { return m_offscreen; }
    // The unturned picture's aspect ratio (the gallery row's real width and height).
    QSize imageAspect() const { return m_imageAspect; }
    void setImageAspect(const QSize& aspect);
    // The part of the unturned picture the crop shows, in fractions of it, as the canvas
    // computes it from the same matrix and crop.
    QRectF pictureCrop() const;
    // The cropped part as shown (turned), in units of the aspect: the cell sizes the item
    // to this ratio, and the item draws exactly that part, turned and mirrored.
    QSizeF shownSize() const;

    // What is shown (one of the sentinels, or the engine's output).
    const CIAPI::ImagePyramid& pyramid() const { return m_pyramid; }

    // ImageClient
    QObject* object() override { return this; }
    void imageOutput(const VrxMessage& message) override;
    void fileInvalid(QUrl location) override;
    void routerDetached(ImageRouter* router) override;
    bool showsOutput() const override { return !m_offscreen; }

signals:
    void locationChanged();
    void loadingChanged();
    void offscreenChanged();
    void matrixChanged();
    void cropChanged();

public slots:
    void setOffscreen(bool offscreen);

protected:
    QSGNode* updatePaintNode(QSGNode* oldNode, UpdatePaintNodeData* data) override;
    void itemChange(ItemChange change, const ItemChangeData& value) override;

private:
    void requestImage();
    void releaseLocation();
    // Keeps frames coming while the loading placeholder pulses.
    void followPulse();
    void pulse();

    ImageServicePointer m_locator;
    QUrl m_location;
    // The key the image service files m_location under.
    QUrl m_key;
    CIAPI::ImagePyramid m_pyramid;
    std::weak_ptr<ImagePlanes> m_planesRef;
    // Pixels of the coarsest level that changed in the shown pyramid since they were
    // uploaded.
    QRegion m_refresh;
    QMatrix m_imageMatrix;
    QRectF m_imageCrop;
    QSize m_imageAspect;
    bool m_offscreen = true;
    QMetaObject::Connection m_pulse;

    // Owned by the scene graph; remembered so that they are recognised and reused.
    QSGNode* m_emptyNode = nullptr;
    PlaceholderNode* m_placeholderNode = nullptr;
    ImagePlanesNode* m_planesNode = nullptr;
};
